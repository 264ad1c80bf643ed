# The product link thread with the directory watch: latency from a dropped
# file to its imported table, cycles of a burst and idle wake-ups. Plain
# program, run by bench/watch.sh.
add_executable(bench_watch watch_bench.cpp)
target_link_libraries(bench_watch PRIVATE amirtupt tblsync amacre w32compat)
