# The report information reader and scan beside their file-system floors.
# The two modules are built on their own, as for the tests.
if(NOT TARGET records_modules)
  add_library(records_modules STATIC ${PROJECT_SOURCE_DIR}/src/ppinfo.cpp
                                     ${PROJECT_SOURCE_DIR}/src/repfile.cpp)
  target_include_directories(records_modules PUBLIC ${PROJECT_SOURCE_DIR}/include
                             PRIVATE ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(records_modules PUBLIC qortrace qorutil)
endif()
orv_add_bench(bench_records SOURCES records_bench.cpp LIBS records_modules)
