# RTCopy of a product with four 500-entry tables beside plain registry writes.
orv_add_bench(tblsync_bench SOURCES tblsync_bench.cpp LIBS tblsync)
