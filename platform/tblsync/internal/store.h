// Registry helpers of the report-table copy library (internal): an owning key
// handle, whole-value reads, subkey listings, recursive deletion and a
// transaction guard. Every helper returns a Win32 error code (0 on success).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "qortrace.h"
#include "trace_levels.h"
#include "w32compat.h"

namespace tblsync {

inline constexpr char kTraceSource[] = "tblsync";

#define TBLSYNC_TRACE(level, ...) \
    ::TraceLog((level), ::tblsync::kTraceSource, __func__, __LINE__, __VA_ARGS__)

// Trace levels.
using orv::trace::kDetail;
using orv::trace::kError;
using orv::trace::kProgress;

// Win32 code for data that does not have the expected form.
inline constexpr LONG kErrorInvalidData = 13;

// An open registry key, closed when the holder goes.
class Key {
  public:
    Key() = default;
    ~Key() { reset(); }
    Key(Key &&other) noexcept : key_(other.key_) { other.key_ = nullptr; }
    Key &operator=(Key &&other) noexcept {
        if (this != &other) {
            reset();
            key_ = other.key_;
            other.key_ = nullptr;
        }
        return *this;
    }
    Key(const Key &) = delete;
    Key &operator=(const Key &) = delete;

    HKEY get() const noexcept { return key_; }
    explicit operator bool() const noexcept { return key_ != nullptr; }
    // For the Reg* calls that hand out a new key; drops the old one first.
    HKEY *receive() noexcept {
        reset();
        return &key_;
    }
    void reset() noexcept;

  private:
    HKEY key_ = nullptr;
};

LONG openKey(HKEY parent, const std::string &path, Key &out);
// Opens or creates; *created tells which when given.
LONG createKey(HKEY parent, const std::string &path, Key &out, bool *created = nullptr);

// Reads a whole value of any length. type may be null.
LONG readValue(HKEY key, const char *name, std::vector<BYTE> &data, DWORD *type = nullptr);
LONG setValue(HKEY key, const char *name, DWORD type, const void *data, size_t size);
// A REG_SZ value written with its terminating NUL.
LONG setText(HKEY key, const char *name, std::string_view text);

// Names of the direct subkeys, in the registry's order.
LONG listSubkeys(HKEY key, std::vector<std::string> &names);
// Deletes parent\name with everything below it.
LONG deleteTree(HKEY parent, const std::string &name);

// One registry transaction of the calling thread; rolled back unless
// committed. Inside a transaction the caller already holds, the changes
// simply join that one.
class Transaction {
  public:
    Transaction() = default;
    ~Transaction();
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    LONG begin();
    LONG commit();

  private:
    bool own_ = false;
};

// Text up to its first NUL (registry texts usually carry one).
std::string textOf(const std::vector<BYTE> &data);

}  // namespace tblsync
