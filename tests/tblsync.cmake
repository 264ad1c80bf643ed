# The report-table copy library: its AMACRT* calls and RTCopy.
orv_add_test(tblsync_test SOURCES tblsync_test.cpp LIBS tblsync)
orv_add_test(tblsync_copy_test SOURCES tblsync_copy_test.cpp LIBS tblsync)
add_test(NAME TblsyncExports.MatchTheHeader
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/tblsync_exports.sh $<TARGET_FILE:tblsync>
                 ${PROJECT_SOURCE_DIR}/platform/tblsync/tblsync.h)
