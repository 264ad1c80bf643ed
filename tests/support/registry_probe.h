// Looking at the registry from a test, independently of the code under test:
// whether keys exist, what values hold, and writing fixtures.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "w32compat.h"

namespace orv_test {

// An open key under HKEY_LOCAL_MACHINE, closed when it goes out of scope:
// opened for reading, or created (when missing) for writing.
class Key {
  public:
    explicit Key(const std::string &path, bool create = false) {
        if (create) {
            DWORD disposition = 0;
            result_ = RegCreateKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), /*Reserved=*/0, nullptr,
                                     /*dwOptions=*/0, KEY_ALL_ACCESS, nullptr, &key_, &disposition);
        } else {
            result_ =
                RegOpenKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), /*ulOptions=*/0, KEY_READ, &key_);
        }
        if (result_ != ERROR_SUCCESS) key_ = nullptr;
    }
    Key(const Key &) = delete;
    Key &operator=(const Key &) = delete;
    ~Key() {
        if (key_ != nullptr) RegCloseKey(key_);
    }
    explicit operator bool() const { return key_ != nullptr; }
    HKEY get() const { return key_; }
    // The registry's result for opening or creating the key.
    LONG result() const { return result_; }

  private:
    HKEY key_ = nullptr;
    LONG result_ = ERROR_SUCCESS;
};

// RegOpenKey's result for a key: ERROR_SUCCESS present, ERROR_FILE_NOT_FOUND absent.
inline LONG openResult(const std::string &path) {
    HKEY key = nullptr;
    LONG rc = RegOpenKey(HKEY_LOCAL_MACHINE, path.c_str(), &key);
    if (rc == ERROR_SUCCESS) RegCloseKey(key);
    return rc;
}

inline bool keyExists(const std::string &path) {
    return openResult(path) == ERROR_SUCCESS;
}

// Absent, as opposed to unreadable.
inline bool keyGone(const std::string &path) {
    return openResult(path) == ERROR_FILE_NOT_FOUND;
}

struct Value {
    DWORD type = 0;
    std::string bytes;
};

// A value's type and bytes; nullopt when the key or the value is missing.
inline std::optional<Value> readValue(const std::string &keyPath, const char *name) {
    Key key(keyPath);
    DWORD type = 0;
    std::string bytes(65536, '\0');
    DWORD size = static_cast<DWORD>(bytes.size());
    if (!key || RegQueryValueEx(key.get(), name, nullptr, &type,
                                reinterpret_cast<BYTE *>(bytes.data()), &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    bytes.resize(size);
    return Value{type, bytes};
}

// A value's bytes up to its first NUL; `missing` when there is no such value.
inline std::string readText(const std::string &keyPath, const char *name,
                            const std::string &missing = "") {
    auto value = readValue(keyPath, name);
    return value ? value->bytes.substr(0, value->bytes.find('\0')) : missing;
}

// A value of exactly four bytes as a number.
inline std::optional<DWORD> readDword(const std::string &keyPath, const char *name) {
    auto value = readValue(keyPath, name);
    if (!value || value->bytes.size() != sizeof(DWORD)) return std::nullopt;
    DWORD number = 0;
    std::memcpy(&number, value->bytes.data(), sizeof number);
    return number;
}

// Creates the key when needed and sets the value; the registry's result.
inline LONG writeValue(const std::string &keyPath, const char *name, DWORD type,
                       const std::string &bytes) {
    Key key(keyPath, /*create=*/true);
    if (!key) return key.result();
    return RegSetValueEx(key.get(), name, /*Reserved=*/0, type,
                         reinterpret_cast<const BYTE *>(bytes.data()),
                         static_cast<DWORD>(bytes.size()));
}

inline LONG writeDword(const std::string &keyPath, const char *name, DWORD number) {
    return writeValue(keyPath, name, REG_DWORD,
                      std::string(reinterpret_cast<const char *>(&number), sizeof number));
}

// A REG_SZ value with its terminating NUL.
inline LONG writeText(const std::string &keyPath, const char *name, const std::string &text) {
    return writeValue(keyPath, name, REG_SZ, text + '\0');
}

// The names of a key's subkeys, or of its values, in enumeration order;
// empty when the key is missing.
inline std::vector<std::string> subkeys(const std::string &path, bool valueNames = false) {
    std::vector<std::string> names;
    Key key(path);
    char name[1024];
    for (DWORD i = 0, length = sizeof name; key; ++i, length = sizeof name) {
        if ((valueNames
                 ? RegEnumValue(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr)
                 : RegEnumKeyEx(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr)) !=
            ERROR_SUCCESS) {
            break;
        }
        names.emplace_back(name, length);
    }
    return names;
}

inline std::vector<std::string> valueNames(const std::string &path) {
    return subkeys(path, /*valueNames=*/true);
}

// A FILETIME as one number of 100 ns ticks.
inline std::uint64_t ticks(const FILETIME &t) {
    return (std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
}

inline FILETIME fromTicks(std::uint64_t v) {
    return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
}

// A key's last-write time in ticks; 0 when it cannot be asked for.
inline std::uint64_t lastWriteOf(HKEY key) {
    FILETIME t{};
    return RegQueryInfoKey(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                           nullptr, nullptr, nullptr, &t) == ERROR_SUCCESS
               ? ticks(t)
               : 0;
}

// The keys of a product: its outer product (what a setup tool registers) and
// its inner product (what the report table copy keeps).
inline std::string productKey(const std::string &name) {
    return "SOFTWARE\\ORV\\ALERTREPORT\\" + name;
}
inline std::string innerKey(const std::string &name) {
    return "SOFTWARE\\ORV\\QORAlertMan\\AlertReport\\" + name;
}

}  // namespace orv_test
