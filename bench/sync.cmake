# Events and mutexes: an uncontended named mutex, the hand-off between two
# processes and the creation of a named object, each beside its floor.
orv_add_bench(bench_sync SOURCES bench_sync.cpp LIBS w32compat rt)
