# The product commands in process and as the setup tool, beside the bare
# companion calls that do the same registry and report table work.
if(TARGET orvpp)
  orv_add_bench(product_bench SOURCES product_bench.cpp LIBS amirtupt w32compat tblsync)
  target_compile_definitions(product_bench PRIVATE ORVPP_PATH="$<TARGET_FILE:orvpp>")
  add_dependencies(product_bench orvpp)
endif()
