// Modules of the Win32-compatibility layer: LoadLibrary, FreeLibrary and
// GetProcAddress over dlopen.
//
// LoadLibrary("X.dll") loads libx.so from one directory only: ORV_MODULE_DIR
// when it is set and not empty, else the directory of this library. A name
// with a '/' is a path and is loaded as given. A module's HMODULE is a value
// of this layer (never the dlopen handle), so a stale or made-up one is
// refused with ERROR_INVALID_HANDLE. Loads, unloads and the modules' DllMain
// calls run under one recursive loader lock: a DllMain may load or free other
// modules, and no other thread sees a module whose attach has not finished.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "qortrace.h"
#include "w32compat.h"

namespace {

constexpr const char kSource[] = "w32compat";
constexpr DWORD kErrorModNotFound = 126;
constexpr DWORD kErrorProcNotFound = 127;

#define MODULE_TRACE(level, function, ...) \
    ::TraceLog((level), kSource, (function), __LINE__, __VA_ARGS__)

using DllMainFn = int32_t (*)(void *, uint32_t, void *);

struct DlCloser {
    void operator()(void *handle) const { dlclose(handle); }
};
using DlHandle = std::unique_ptr<void, DlCloser>;

struct Module {
    DlHandle library;
    std::uintptr_t id = 0;
    unsigned references = 0;
    std::string path;
};

struct Loader {
    std::recursive_mutex lock;
    std::unordered_map<std::uintptr_t, std::unique_ptr<Module>> byId;
    std::unordered_map<void *, Module *> byLibrary;
    std::uintptr_t nextId = std::uintptr_t{1} << 40;
};

Loader &loader() {
    static Loader *l = new Loader;  // modules may be freed from exit handlers
    return *l;
}

// The directory of this library, from dladdr.
std::string ownDirectory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&ownDirectory), &info) == 0 || info.dli_fname == nullptr)
        return ".";
    std::string path = info.dli_fname;
    std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// The file a module name stands for: "X.dll" -> <dir>/libx.so, "x" ->
// <dir>/libx.so, "libx.so" -> <dir>/libx.so, a name with '/' as given.
std::string modulePath(const char *name) {
    std::string file = name;
    if (file.find('/') != std::string::npos) return file;
    for (char &c : file) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto endsWith = [&](const char *suffix) {
        std::size_t n = std::strlen(suffix);
        return file.size() >= n && file.compare(file.size() - n, n, suffix) == 0;
    };
    if (endsWith(".dll")) {
        file.resize(file.size() - 4);
        file = "lib" + file + ".so";
    } else if (!endsWith(".so")) {
        file = "lib" + file + ".so";
    }
    const char *dir = std::getenv("ORV_MODULE_DIR");
    std::string directory = (dir != nullptr && dir[0] != '\0') ? std::string(dir) : ownDirectory();
    return directory + "/" + file;
}

DllMainFn dllMainOf(void *library) {
    void *symbol = dlsym(library, "DllMain");
    return reinterpret_cast<DllMainFn>(symbol);
}

Module *findModule(Loader &l, HMODULE module) {
    auto it = l.byId.find(reinterpret_cast<std::uintptr_t>(module));
    return it == l.byId.end() ? nullptr : it->second.get();
}

HMODULE loadLibrary(const char *name) {
    std::string path = modulePath(name);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        MODULE_TRACE(1, "LoadLibrary", "module %s not found as %s", name, path.c_str());
        SetLastError(kErrorModNotFound);
        return nullptr;
    }
    Loader &l = loader();
    std::lock_guard guard(l.lock);
    DlHandle library(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!library) {
        const char *why = dlerror();
        MODULE_TRACE(1, "LoadLibrary", "cannot load %s: %s", path.c_str(), why ? why : "?");
        SetLastError(kErrorModNotFound);
        return nullptr;
    }
    auto known = l.byLibrary.find(library.get());
    if (known != l.byLibrary.end()) {
        // Already loaded: one more reference, no second attach. The extra
        // dlopen reference goes with `library`.
        ++known->second->references;
        SetLastError(ERROR_SUCCESS);
        return reinterpret_cast<HMODULE>(known->second->id);
    }
    auto module = std::make_unique<Module>();
    module->id = l.nextId;
    module->references = 1;
    module->path = path;
    void *raw = library.get();
    module->library = std::move(library);
    Module *m = module.get();
    l.byId.emplace(m->id, std::move(module));
    l.nextId += 16;
    try {
        l.byLibrary.emplace(raw, m);
    } catch (...) {
        l.byId.erase(m->id);
        throw;
    }
    HMODULE handle = reinterpret_cast<HMODULE>(m->id);
    if (DllMainFn dllMain = dllMainOf(raw)) {
        if (dllMain(handle, DLL_PROCESS_ATTACH, nullptr) == FALSE) {
            MODULE_TRACE(1, "LoadLibrary", "DllMain of %s failed its process attach", path.c_str());
            l.byLibrary.erase(raw);
            l.byId.erase(reinterpret_cast<std::uintptr_t>(handle));
            SetLastError(ERROR_DLL_INIT_FAILED);
            return nullptr;
        }
    }
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL freeLibrary(HMODULE module) {
    Loader &l = loader();
    std::lock_guard guard(l.lock);
    Module *m = findModule(l, module);
    if (m == nullptr || m->references == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (--m->references > 0) return TRUE;
    if (DllMainFn dllMain = dllMainOf(m->library.get()))
        dllMain(module, DLL_PROCESS_DETACH, nullptr);
    void *raw = m->library.get();
    l.byLibrary.erase(raw);
    l.byId.erase(reinterpret_cast<std::uintptr_t>(module));  // dlclose
    return TRUE;
}

FARPROC getProcAddress(HMODULE module, const char *name) {
    Loader &l = loader();
    std::lock_guard guard(l.lock);
    Module *m = findModule(l, module);
    if (m == nullptr || m->references == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // Small values are ordinals, which modules here do not have.
    if (reinterpret_cast<std::uintptr_t>(name) < 0x10000) {
        SetLastError(name == nullptr ? ERROR_INVALID_PARAMETER : kErrorProcNotFound);
        return nullptr;
    }
    void *symbol = dlsym(m->library.get(), name);
    if (symbol == nullptr) {
        SetLastError(kErrorProcNotFound);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

}  // namespace

extern "C" {

// Loads a module or counts one more reference to it. NULL on failure: 126
// when the file is missing or cannot be loaded, 1114 when its DllMain refused
// the attach (the module is unloaded again).
W32_API HMODULE LoadLibrary(LPCSTR lpLibFileName) {
    if (lpLibFileName == nullptr || lpLibFileName[0] == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    try {
        return loadLibrary(lpLibFileName);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

// Drops one reference; the last one detaches (DllMain) and unloads.
W32_API BOOL FreeLibrary(HMODULE hLibModule) {
    try {
        return freeLibrary(hLibModule);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

// The address of an exported name; NULL with 127 when there is none.
W32_API FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    try {
        return getProcAddress(hModule, lpProcName);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

}  // extern "C"
