# The registry of the Win32-compatibility layer, the registry-access library
# and the orvreg tool.
orv_add_test(registry_test SOURCES registry_test.cpp LIBS w32compat)
