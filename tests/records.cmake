# Records, lists, the report information reader, the directory scan and the
# product link log, tested through the library's exported interface.
orv_add_test(ppinfo_test SOURCES ppinfo_test.cpp LIBS amirtupt)
orv_add_test(repfile_test SOURCES repfile_test.cpp LIBS amirtupt w32compat)
target_compile_definitions(repfile_test PRIVATE
                           RECORDS_FUZZ_CORPUS="${PROJECT_SOURCE_DIR}/fuzz/corpus")
orv_add_test(scan_test SOURCES scan_test.cpp LIBS amirtupt)
orv_add_test(pplog_test SOURCES pplog_test.cpp LIBS amirtupt qortrace w32compat)
