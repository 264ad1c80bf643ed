# Events, mutexes, handles, modules and the small helpers of the
# Win32-compatibility layer. The cross-process cases fork real processes and
# are timing-sensitive, so they run alone.
orv_add_test(sync_test SOURCES sync_test.cpp LIBS w32compat)
orv_add_test(sync_process_test SOURCES sync_process_test.cpp LIBS w32compat SERIAL)

# A module for LoadLibrary: its DllMain logs attach and detach to the file
# named by ORV_TESTMOD_LOG and refuses the attach when ORV_TESTMOD_FAIL is 1.
add_library(testmod SHARED module_testmod.cpp)
target_link_libraries(testmod PRIVATE w32compat)
set_target_properties(testmod PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)

orv_add_test(module_test SOURCES module_test.cpp LIBS w32compat)
add_dependencies(module_test testmod qorutil)
target_compile_definitions(module_test PRIVATE ORV_LIB_DIR="${CMAKE_BINARY_DIR}/lib")
# The damaged-object cases write an object's header as the layer lays it out.
target_include_directories(sync_process_test PRIVATE ${PROJECT_SOURCE_DIR}/platform/win32/internal)
