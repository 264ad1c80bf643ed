# The product registry store, the product commands and the setup tool.
orv_add_test(product_registry_test SOURCES product_registry_test.cpp
             LIBS amirtupt w32compat tblsync)
orv_add_test(product_commands_test SOURCES product_commands_test.cpp
             LIBS amirtupt w32compat tblsync)
orv_add_test(product_concurrency_test SOURCES product_concurrency_test.cpp
             LIBS amirtupt w32compat tblsync)
if(TARGET orvpp)
  orv_add_test(orvpp_test SOURCES orvpp_test.cpp LIBS amirtupt w32compat tblsync
                           nlohmann_json::nlohmann_json)
  target_compile_definitions(orvpp_test PRIVATE ORVPP_PATH="$<TARGET_FILE:orvpp>")
  add_dependencies(orvpp_test orvpp)
endif()
