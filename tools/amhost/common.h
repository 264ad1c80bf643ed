// Small pieces shared by the host's files: its trace lines and one owner per
// resource it holds (descriptor, event or mutex handle, registry key, module).
#pragma once

#include <unistd.h>

#include <memory>
#include <type_traits>

#include "qortrace.h"
#include "trace_levels.h"
#include "unique_fd.h"
#include "w32compat.h"

// Host trace lines carry the source "amhost" and the calling function's name.
#define HOST_TRACE(level, ...) ::TraceLog((level), "amhost", __func__, __LINE__, __VA_ARGS__)

namespace amhost {

inline constexpr int kTraceDetail = 0;
inline constexpr int kTraceError = 1;
inline constexpr int kTraceProgress = orv::trace::kProgress;

using orv::UniqueFd;

struct HandleCloser {
    void operator()(void *handle) const { CloseHandle(handle); }
};
// An event or mutex handle of the compatibility layer.
using Handle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

struct KeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
// An open registry key.
using Key = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

struct ModuleFreer {
    void operator()(HMODULE module) const { FreeLibrary(module); }
};
// A module loaded with LoadLibrary; dropping it runs its detach.
using Module = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleFreer>;

}  // namespace amhost
