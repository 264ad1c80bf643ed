# The trace log and the utility library.
orv_add_test(trace_test SOURCES trace_test.cpp LIBS qortrace)
orv_add_test(qorutil_test SOURCES qorutil_test.cpp LIBS qorutil)
