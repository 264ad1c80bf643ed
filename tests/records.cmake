# Records, lists, the report information reader, the directory scan and the
# product link log. The tests build the two modules on their own, beside the
# companions they call, so they do not wait on the rest of the library.
add_library(records_modules STATIC ${PROJECT_SOURCE_DIR}/src/ppinfo.cpp
                                   ${PROJECT_SOURCE_DIR}/src/repfile.cpp)
target_include_directories(records_modules PUBLIC ${PROJECT_SOURCE_DIR}/include
                           PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(records_modules PUBLIC qortrace qorutil)

orv_add_test(ppinfo_test SOURCES ppinfo_test.cpp LIBS records_modules)
orv_add_test(repfile_test SOURCES repfile_test.cpp LIBS records_modules)
target_compile_definitions(repfile_test PRIVATE
                           RECORDS_FUZZ_CORPUS="${PROJECT_SOURCE_DIR}/fuzz/corpus")
orv_add_test(scan_test SOURCES scan_test.cpp LIBS records_modules)
orv_add_test(pplog_test SOURCES pplog_test.cpp LIBS records_modules)
