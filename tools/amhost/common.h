// Small pieces shared by the host's files: its trace lines and one owner per
// resource it holds (descriptor, event or mutex handle, registry key, module).
#pragma once

#include <unistd.h>

#include <memory>
#include <type_traits>

#include "qortrace.h"
#include "w32compat.h"

// Host trace lines carry the source "amhost" and the calling function's name.
#define HOST_TRACE(level, ...) ::TraceLog((level), "amhost", __func__, __LINE__, __VA_ARGS__)

namespace amhost {

inline constexpr int kTraceDetail = 0;
inline constexpr int kTraceError = 1;
inline constexpr int kTraceProgress = 3;

// A file descriptor, closed when dropped.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

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
