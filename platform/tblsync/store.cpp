#include "store.h"

#include <algorithm>
#include <cstring>

namespace tblsync {

void Key::reset() noexcept {
    if (key_ != nullptr) {
        RegCloseKey(key_);
        key_ = nullptr;
    }
}

LONG openKey(HKEY parent, const std::string &path, Key &out) {
    return RegOpenKeyEx(parent, path.c_str(), /*ulOptions=*/0, KEY_ALL_ACCESS, out.receive());
}

LONG createKey(HKEY parent, const std::string &path, Key &out, bool *created) {
    DWORD disposition = 0;
    char emptyClass[] = "";
    LONG rc = RegCreateKeyEx(parent, path.c_str(), /*Reserved=*/0, emptyClass,
                             REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                             /*lpSecurityAttributes=*/nullptr, out.receive(), &disposition);
    if (rc == ERROR_SUCCESS && created != nullptr) {
        *created = disposition == REG_CREATED_NEW_KEY;
    }
    return rc;
}

LONG readValue(HKEY key, const char *name, std::vector<BYTE> &data, DWORD *type) {
    // Most values are short: try a small buffer first and ask again with the
    // size the registry reports (the value may grow meanwhile when another
    // process writes it).
    DWORD size = 256;
    for (int attempt = 0; attempt < 8; ++attempt) {
        data.resize(size);
        DWORD got = size;
        LONG rc = RegQueryValueEx(key, name, nullptr, type, data.data(), &got);
        if (rc == ERROR_SUCCESS) {
            data.resize(got);
            return ERROR_SUCCESS;
        }
        if (rc != ERROR_MORE_DATA) return rc;
        size = std::max(got, size + 1);
    }
    return ERROR_MORE_DATA;
}

LONG setValue(HKEY key, const char *name, DWORD type, const void *data, size_t size) {
    if (size > UINT32_MAX) return ERROR_INVALID_PARAMETER;
    static const BYTE kNothing = 0;
    const BYTE *bytes = data != nullptr ? static_cast<const BYTE *>(data) : &kNothing;
    return RegSetValueEx(key, name, /*Reserved=*/0, type, bytes, static_cast<DWORD>(size));
}

LONG setText(HKEY key, const char *name, std::string_view text) {
    std::string terminated(text);
    return setValue(key, name, REG_SZ, terminated.c_str(), terminated.size() + 1);
}

LONG listSubkeys(HKEY key, std::vector<std::string> &names) {
    names.clear();
    DWORD longest = 0;
    LONG rc = RegQueryInfoKey(key, nullptr, nullptr, nullptr, nullptr, &longest, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    std::vector<char> buffer(std::max<DWORD>(longest + 1, 256));
    for (DWORD index = 0;;) {
        DWORD length = static_cast<DWORD>(buffer.size());
        rc = RegEnumKeyEx(key, index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (rc == ERROR_MORE_DATA) {
            // A longer name appeared since the size query.
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != ERROR_SUCCESS) return rc;
        names.emplace_back(buffer.data(), strnlen(buffer.data(), length));
        ++index;
    }
}

LONG deleteTree(HKEY parent, const std::string &name) {
    {
        Key key;
        LONG rc = openKey(parent, name, key);
        if (rc != ERROR_SUCCESS) return rc;
        std::vector<std::string> children;
        rc = listSubkeys(key.get(), children);
        if (rc != ERROR_SUCCESS) return rc;
        for (const std::string &child : children) {
            rc = deleteTree(key.get(), child);
            if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return rc;
        }
    }
    return RegDeleteKey(parent, name.c_str());
}

Transaction::~Transaction() {
    if (own_) RegRollbackTransaction();
}

LONG Transaction::begin() {
    LONG rc = RegBeginTransaction();
    if (rc == ERROR_ALREADY_EXISTS) {
        // The caller's own transaction is open on this thread: the changes
        // join it and land or vanish with it.
        return ERROR_SUCCESS;
    }
    own_ = rc == ERROR_SUCCESS;
    return rc;
}

LONG Transaction::commit() {
    if (!own_) return ERROR_SUCCESS;
    // A failed commit ends the transaction as well, with nothing written.
    own_ = false;
    return RegCommitTransaction();
}

std::string textOf(const std::vector<BYTE> &data) {
    const char *text = reinterpret_cast<const char *>(data.data());
    return std::string(text, strnlen(text, data.size()));
}

}  // namespace tblsync
