# The report-table copy library: its AMACRT* calls and RTCopy.
orv_add_test(tblsync_test SOURCES tblsync_test.cpp LIBS tblsync)
orv_add_test(tblsync_copy_test SOURCES tblsync_copy_test.cpp LIBS tblsync)
