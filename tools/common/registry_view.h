// What the showing tools read from the agent's registry: open keys, their
// subkeys and values, and how a value's data is shown. Shared by orvreg and
// orvpp so that the console and the JSON output choose the same form.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "w32compat.h"

namespace orv::tools {

constexpr const char kRootName[] = "HKEY_LOCAL_MACHINE";

// A registry call that failed, with the key (and value) it concerned.
struct RegError : std::runtime_error {
    RegError(const std::string &what, LONG code) : std::runtime_error(what), code(code) {}
    LONG code;
};

// Words for a registry error code.
const char *reason(LONG code);

// Throws RegError(what, code) unless code is ERROR_SUCCESS.
void check(LONG code, const std::string &what);

// "HKEY_LOCAL_MACHINE" or "HKEY_LOCAL_MACHINE\<relative>".
std::string displayPath(const std::string &relative);
std::string join(const std::string &parent, const std::string &child);

// An open key, closed at scope exit.
class Key {
  public:
    static Key open(const std::string &path);
    static Key create(const std::string &path);
    Key(Key &&other) noexcept : h_(other.h_) { other.h_ = nullptr; }
    Key &operator=(Key &&) = delete;
    ~Key();
    HKEY get() const { return h_; }

  private:
    Key() = default;
    HKEY h_ = nullptr;
};

struct Value {
    std::string name;
    DWORD type = 0;
    std::string data;
};

// A key's subkey names in name order and its values in the order they were
// first written; path names the key in errors.
std::vector<std::string> subkeyNames(const Key &key, const std::string &path);
std::vector<Value> values(const Key &key, const std::string &path);

// "REG_SZ", "REG_DWORD", ..., or "REG_TYPE_<n>" for a type without a name.
std::string typeText(DWORD type);

// How a value's data is shown: text (REG_SZ up to its first NUL), a number
// (a 4-byte REG_DWORD, an 8-byte REG_QWORD), a list (data that is a
// NUL-separated list of strings without control characters, each NUL-ended,
// perhaps padded with NULs, as the product keys' path lists are), or else
// the bytes themselves.
struct ShownData {
    enum class Form { kText, kNumber, kList, kBytes } form = Form::kBytes;
    std::string text;  // kText; kBytes: the data
    std::uint64_t number = 0;
    std::vector<std::string> items;
};
ShownData shownData(const Value &value);

// What a showing command reads, read as one snapshot of the registry: a key
// deleted meanwhile is never half seen, and writers are not held up.
class Snapshot {
  public:
    Snapshot() : open_(RegBeginSnapshot() == ERROR_SUCCESS) {}
    ~Snapshot() {
        if (open_) RegRollbackTransaction();  // nothing was written
    }
    Snapshot(const Snapshot &) = delete;
    Snapshot &operator=(const Snapshot &) = delete;

  private:
    bool open_;
};

}  // namespace orv::tools
