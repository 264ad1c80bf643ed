// A module for the LoadLibrary tests. Its DllMain appends "attach <module>",
// "detach <module>" or "refuse <module>" to the file named by ORV_TESTMOD_LOG,
// refuses the attach when ORV_TESTMOD_FAIL is set, and with ORV_TESTMOD_NESTED
// set holds another module (qorutil.dll) for as long as it is attached.
#include <cstdio>
#include <cstdlib>

#include "w32compat.h"

namespace {

HMODULE g_nested = nullptr;

// Logs what DllMain did and returns its result.
int32_t logged(const char *what, void *module, int32_t result) {
    const char *path = std::getenv("ORV_TESTMOD_LOG");
    if (FILE *f = path != nullptr ? std::fopen(path, "ae") : nullptr) {
        std::fprintf(f, "%s %p\n", what, module);
        std::fclose(f);
    }
    return result;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int32_t DllMain(void *module, uint32_t reason, void *) {
    if (reason == DLL_PROCESS_DETACH)  // gives back what the attach took
        return logged("detach", module, g_nested == nullptr || FreeLibrary(g_nested));
    if (std::getenv("ORV_TESTMOD_FAIL") != nullptr) return logged("refuse", module, FALSE);
    if (std::getenv("ORV_TESTMOD_NESTED") != nullptr && !(g_nested = LoadLibrary("qorutil.dll")))
        return FALSE;
    return logged("attach", module, TRUE);
}

__attribute__((visibility("default"))) int TestModAnswer(int x) {
    return x * 2 + 1;
}

}  // extern "C"
