# The registry of the Win32-compatibility layer, the registry-access library
# and the orvreg tool.
orv_add_test(registry_test SOURCES registry_test.cpp LIBS w32compat)
orv_add_test(amacre_test SOURCES amacre_test.cpp LIBS amacre w32compat)
find_package(SQLite3 REQUIRED)
orv_add_test(registry_process_test SOURCES registry_process_test.cpp LIBS w32compat SQLite::SQLite3)
if(TARGET orvreg)
  orv_add_test(orvreg_test SOURCES orvreg_test.cpp LIBS w32compat nlohmann_json::nlohmann_json)
  add_dependencies(orvreg_test orvreg)
  target_compile_definitions(orvreg_test PRIVATE ORVREG_PATH="$<TARGET_FILE:orvreg>")
endif()
