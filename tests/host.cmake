# The host service end to end: amhost runs as a separate process in the
# isolated root, the test drives it through product files and signals and
# looks at the registry, the product link log and the trace log.
if(TARGET amhost)
  orv_add_test(amhost_test SOURCES amhost_test.cpp LIBS w32compat)
  add_dependencies(amhost_test amhost amirtupt)
  target_include_directories(amhost_test PRIVATE ${PROJECT_SOURCE_DIR}/include)
  target_compile_definitions(amhost_test PRIVATE AMHOST_PATH="$<TARGET_FILE:amhost>")
endif()
