# Binary interfaces: every shared library exports exactly what its header
# declares, and the library's public header compiles as C11 and works from C.
get_property(_exporting GLOBAL PROPERTY ORV_EXPORTING_LIBRARIES)
foreach(library IN LISTS _exporting)
  get_target_property(_declared ${library} ORV_EXPORTS_FILE)
  add_test(NAME abi.exports.${library}
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/abi/check_exports.sh $<TARGET_FILE:${library}>
                   ${_declared})
endforeach()

add_executable(c_header_test abi/c_header.c)
target_link_libraries(c_header_test PRIVATE amirtupt)
set_target_properties(c_header_test PROPERTIES C_STANDARD 11 C_EXTENSIONS OFF)
target_compile_options(c_header_test PRIVATE -pedantic)
add_test(NAME abi.c_header COMMAND ${ORV_ISOLATED_LAUNCHER} $<TARGET_FILE:c_header_test>)

# What `cmake --install` gives: run in the isolated root, since the
# installed amhost runs one cycle of the product link thread.
add_test(NAME install.layout
         COMMAND ${ORV_ISOLATED_LAUNCHER} ${CMAKE_CURRENT_SOURCE_DIR}/install/check_layout.sh
                 ${CMAKE_BINARY_DIR} ${CMAKE_INSTALL_PREFIX} ${ORV_INSTALL_LIBDIR}
                 ${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_SBINDIR})

# A C program outside the tree builds against an installed copy through
# pkg-config and through find_package, and runs on it.
add_test(NAME install.consumer
         COMMAND ${ORV_ISOLATED_LAUNCHER} ${CMAKE_CURRENT_SOURCE_DIR}/install/check_consumer.sh
                 ${CMAKE_BINARY_DIR} ${CMAKE_INSTALL_PREFIX}
                 ${CMAKE_CURRENT_SOURCE_DIR}/install/consumer
                 "$<$<BOOL:${ORV_SANITIZE}>:-fsanitize=address,undefined>")
