// A module for the LoadLibrary tests. Its DllMain appends "attach <module>"
// or "detach <module>" to the file named by ORV_TESTMOD_LOG, refuses the
// attach when ORV_TESTMOD_FAIL is "1", and with ORV_TESTMOD_NESTED=1 holds
// another module (qorutil.dll) for as long as it is attached.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "w32compat.h"

namespace {

HMODULE g_nested = nullptr;

bool envIs(const char *name, const char *value) {
    const char *v = std::getenv(name);
    return v != nullptr && std::strcmp(v, value) == 0;
}

void logLine(const char *what, void *module) {
    const char *path = std::getenv("ORV_TESTMOD_LOG");
    if (path == nullptr) return;
    if (FILE *f = std::fopen(path, "ae")) {
        std::fprintf(f, "%s %p\n", what, module);
        std::fclose(f);
    }
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int32_t DllMain(void *module, uint32_t reason, void *) {
    if (reason == DLL_PROCESS_ATTACH) {
        if (envIs("ORV_TESTMOD_FAIL", "1")) {
            logLine("refuse", module);
            return FALSE;
        }
        if (envIs("ORV_TESTMOD_NESTED", "1")) {
            g_nested = LoadLibrary("qorutil.dll");
            if (g_nested == nullptr) return FALSE;
        }
        logLine("attach", module);
    } else if (reason == DLL_PROCESS_DETACH) {
        if (g_nested != nullptr) FreeLibrary(g_nested);
        g_nested = nullptr;
        logLine("detach", module);
    }
    return TRUE;
}

__attribute__((visibility("default"))) int TestModAnswer(int x) {
    return x * 2 + 1;
}

}  // extern "C"
