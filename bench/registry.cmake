# The registry: one value write and one value read, each beside a bare SQLite
# statement in the same journal mode as its floor.
find_package(SQLite3 REQUIRED)
orv_add_bench(bench_registry SOURCES bench_registry.cpp LIBS w32compat SQLite::SQLite3)
