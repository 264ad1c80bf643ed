# A steady-state reconciliation pass over 200 up-to-date automatic products
# beside the registry reads that no such pass can avoid.
orv_add_bench(amirtupt_bench SOURCES amirtupt_bench.cpp
              LIBS amirtupt tblsync amacre w32compat)
