# Report table copy, inner product reconciliation and the product link thread.
set(_amirtupt_test_libs amirtupt tblsync amacre w32compat qorutil qortrace ${CMAKE_DL_LIBS})
orv_add_test(rtcopy_test SOURCES rtcopy_test.cpp LIBS ${_amirtupt_test_libs})
orv_add_test(reconcile_test SOURCES reconcile_test.cpp LIBS ${_amirtupt_test_libs})
orv_add_test(linkthread_test SOURCES linkthread_test.cpp LIBS ${_amirtupt_test_libs})
