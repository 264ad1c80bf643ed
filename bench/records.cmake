# The report information reader and scan beside their file-system floors.
orv_add_bench(bench_records SOURCES records_bench.cpp LIBS amirtupt w32compat)
