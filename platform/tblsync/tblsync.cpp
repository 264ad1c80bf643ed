// The AMACRT* calls: outer products, inner products, inner save parameters
// and the alert manager's settings, all kept in the registry.
#include "tblsync.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "store.h"

namespace {

using namespace tblsync;

std::string outerPath(const char *product) {
    return std::string(TBLSYNC_KEY_OUTER_PRODUCTS) + "\\" + product;
}

std::string innerPath(const char *product) {
    return std::string(TBLSYNC_KEY_INNER_PRODUCTS) + "\\" + product;
}

// A product name is one key name: not empty and without a separator.
LONG checkName(const char *product) {
    if (product == nullptr || *product == '\0' || std::strchr(product, '\\') != nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return ERROR_SUCCESS;
}

// Runs one call's logic and turns its Win32 code into the call's result:
// TRUE, or FALSE with the code in GetLastError and one trace line. A too
// small buffer is part of the ordinary two-step read, so it is traced as
// detail only.
template <class Fn>
BOOL finish(const char *call, const char *subject, Fn &&fn) noexcept {
    LONG rc;
    try {
        rc = fn();
    } catch (const std::bad_alloc &) {
        rc = ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        rc = ERROR_INVALID_PARAMETER;
    }
    if (rc == ERROR_SUCCESS) {
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    TraceLog(rc == ERROR_MORE_DATA ? kDetail : kError, kTraceSource, call, __LINE__,
             "%s failed: error %d", subject != nullptr ? subject : "NULL", static_cast<int>(rc));
    SetLastError(static_cast<DWORD>(rc));
    return FALSE;
}

// ---- Reading parameter blocks ------------------------------------------------
// A value missing from an existing product reads as empty text, an empty run
// of bytes or 0.

class BlockReader {
  public:
    explicit BlockReader(HKEY key) : key_(key) {}

    // NUL-terminated text into a buffer of *capacity bytes; a too small
    // buffer stays untouched and *capacity receives the size needed.
    LONG text(const char *name, char *buffer, DWORD *capacity) {
        if (buffer == nullptr) return ERROR_SUCCESS;
        std::vector<BYTE> data;
        LONG rc = read(name, data);
        if (rc != ERROR_SUCCESS) return rc;
        std::string value = textOf(data);
        DWORD needed = static_cast<DWORD>(value.size() + 1);
        if (needed > *capacity) {
            *capacity = needed;
            short_ = true;
            return ERROR_SUCCESS;
        }
        std::memcpy(buffer, value.c_str(), needed);
        return ERROR_SUCCESS;
    }

    // Raw bytes; *size: capacity in, length out (the size needed when the
    // buffer is too small, which then stays untouched).
    LONG bytes(const char *name, void *buffer, DWORD *size) {
        if (buffer == nullptr) return ERROR_SUCCESS;
        std::vector<BYTE> data;
        LONG rc = read(name, data);
        if (rc != ERROR_SUCCESS) return rc;
        DWORD length = static_cast<DWORD>(data.size());
        if (length > *size) {
            *size = length;
            short_ = true;
            return ERROR_SUCCESS;
        }
        if (length > 0) std::memcpy(buffer, data.data(), length);
        *size = length;
        return ERROR_SUCCESS;
    }

    // A fixed-size number or time; shorter data is zero-extended.
    LONG fixed(const char *name, void *out, size_t width) {
        if (out == nullptr) return ERROR_SUCCESS;
        std::vector<BYTE> data;
        LONG rc = read(name, data);
        if (rc != ERROR_SUCCESS) return rc;
        if (data.size() > width) return kErrorInvalidData;
        std::memset(out, 0, width);
        if (!data.empty()) std::memcpy(out, data.data(), data.size());
        return ERROR_SUCCESS;
    }

    LONG result() const { return short_ ? ERROR_MORE_DATA : ERROR_SUCCESS; }

  private:
    LONG read(const char *name, std::vector<BYTE> &data) {
        LONG rc = readValue(key_, name, data);
        if (rc == ERROR_FILE_NOT_FOUND) {
            data.clear();
            return ERROR_SUCCESS;
        }
        return rc;
    }

    HKEY key_;
    bool short_ = false;
};

LONG readOuter(const char *product, OuterProductParam *block) {
    if (block == nullptr || block->dwSize != sizeof(OuterProductParam)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (LONG rc = checkName(product)) return rc;
    Key key;
    if (LONG rc = openKey(HKEY_LOCAL_MACHINE, outerPath(product), key)) return rc;
    BlockReader reader(key.get());
    LONG rc = ERROR_SUCCESS;
    if (!rc) rc = reader.text("ProductName", block->lpszProductName, &block->dwProductNameSize);
    if (!rc)
        rc = reader.bytes("ReportTablePath", block->lpszReportTable, &block->dwReportTableSize);
    if (!rc) rc = reader.text("DisplayName", block->lpszDisplayName, &block->dwDisplayNameSize);
    if (!rc) rc = reader.fixed("LanguageID", block->lpdwLanguageID, sizeof(DWORD));
    if (!rc) rc = reader.fixed("ProductID", block->lpdwProductID, sizeof(DWORD));
    if (!rc) rc = reader.text("Version", block->lpszVersion, &block->dwVersionSize);
    if (!rc) rc = reader.fixed("Manual", block->lpdwProductType, sizeof(DWORD));
    return rc != ERROR_SUCCESS ? rc : reader.result();
}

LONG readInner(const char *product, InnerProductParam *block) {
    if (block == nullptr || block->dwSize != sizeof(InnerProductParam)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (LONG rc = checkName(product)) return rc;
    Key key;
    if (LONG rc = openKey(HKEY_LOCAL_MACHINE, innerPath(product), key)) return rc;
    BlockReader reader(key.get());
    LONG rc = ERROR_SUCCESS;
    if (!rc) rc = reader.bytes("Source", block->lpSource, &block->dwSourceSize);
    if (!rc) rc = reader.fixed("ProductTime", block->lpProductTime, sizeof(FILETIME));
    if (!rc) rc = reader.text("ProductName", block->lpszProductName, &block->dwProductNameSize);
    if (!rc) {
        rc = reader.bytes("RegisterPath", block->lpszRegisterPath, &block->dwRegisterPathSize);
    }
    if (!rc) rc = reader.text("DisplayName", block->lpszDisplayName, &block->dwDisplayNameSize);
    if (!rc) rc = reader.fixed("LanguageID", block->lpdwLanguageID, sizeof(DWORD));
    if (!rc) rc = reader.fixed("ProductID", block->lpdwProductID, sizeof(DWORD));
    if (!rc) rc = reader.text("Version", block->lpszVersion, &block->dwVersionSize);
    if (!rc) rc = reader.fixed("Manual", block->lpdwProductType, sizeof(DWORD));
    return rc != ERROR_SUCCESS ? rc : reader.result();
}

// ---- Writing the inner product block ---------------------------------------------

// Text of a write block: NUL-terminated, bounded by the capacity when one is
// given. Stored with its NUL.
LONG writeText(HKEY key, const char *name, const char *text, DWORD capacity) {
    if (text == nullptr) return ERROR_SUCCESS;
    size_t length = capacity > 0 ? strnlen(text, capacity) : std::strlen(text);
    return setText(key, name, std::string_view(text, length));
}

LONG writeBytes(HKEY key, const char *name, const void *data, DWORD size) {
    if (data == nullptr) return ERROR_SUCCESS;
    return setValue(key, name, REG_BINARY, data, size);
}

LONG writeNumber(HKEY key, const char *name, const DWORD *value) {
    if (value == nullptr) return ERROR_SUCCESS;
    return setValue(key, name, REG_DWORD, value, sizeof(DWORD));
}

LONG writeInner(const char *product, const InnerProductParam *block) {
    if (block == nullptr || block->dwSize != sizeof(InnerProductParam)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (LONG rc = checkName(product)) return rc;
    Transaction transaction;
    if (LONG rc = transaction.begin()) return rc;
    Key key;
    if (LONG rc = openKey(HKEY_LOCAL_MACHINE, innerPath(product), key)) return rc;
    HKEY k = key.get();
    LONG rc = ERROR_SUCCESS;
    if (!rc) rc = writeBytes(k, "Source", block->lpSource, block->dwSourceSize);
    if (!rc) rc = writeBytes(k, "ProductTime", block->lpProductTime, sizeof(FILETIME));
    if (!rc) rc = writeText(k, "ProductName", block->lpszProductName, block->dwProductNameSize);
    if (!rc) {
        rc = writeBytes(k, "RegisterPath", block->lpszRegisterPath, block->dwRegisterPathSize);
    }
    if (!rc) rc = writeText(k, "DisplayName", block->lpszDisplayName, block->dwDisplayNameSize);
    if (!rc) rc = writeNumber(k, "LanguageID", block->lpdwLanguageID);
    if (!rc) rc = writeNumber(k, "ProductID", block->lpdwProductID);
    if (!rc) rc = writeText(k, "Version", block->lpszVersion, block->dwVersionSize);
    if (!rc) rc = writeNumber(k, "Manual", block->lpdwProductType);
    if (rc != ERROR_SUCCESS) return rc;
    key.reset();
    return transaction.commit();
}

// ---- Products as keys ----------------------------------------------------------

LONG checkProduct(const std::string &path, const char *product, LPDWORD exists) {
    if (exists == nullptr) return ERROR_INVALID_PARAMETER;
    if (LONG rc = checkName(product)) return rc;
    Key key;
    LONG rc = openKey(HKEY_LOCAL_MACHINE, path + "\\" + product, key);
    if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) {
        *exists = rc == ERROR_SUCCESS ? 1 : 0;
        return ERROR_SUCCESS;
    }
    return rc;
}

LONG deleteProduct(const char *parentPath, const char *product) {
    if (LONG rc = checkName(product)) return rc;
    Transaction transaction;
    if (LONG rc = transaction.begin()) return rc;
    {
        Key parent;
        if (LONG rc = openKey(HKEY_LOCAL_MACHINE, parentPath, parent)) return rc;
        if (LONG rc = deleteTree(parent.get(), product)) return rc;
    }
    return transaction.commit();
}

// Name i at i * (*maxLength + 1) of a malloc block; a missing parent key is
// an empty list whose block is one zero byte.
LONG enumProducts(const char *parentPath, LPDWORD count, LPDWORD maxLength, LPSTR *names) {
    if (count == nullptr || maxLength == nullptr || names == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    std::vector<std::string> list;
    Key parent;
    LONG rc = openKey(HKEY_LOCAL_MACHINE, parentPath, parent);
    if (rc == ERROR_SUCCESS) {
        rc = listSubkeys(parent.get(), list);
    } else if (rc == ERROR_FILE_NOT_FOUND) {
        rc = ERROR_SUCCESS;
    }
    if (rc != ERROR_SUCCESS) return rc;

    size_t longest = 0;
    for (const std::string &name : list) longest = std::max(longest, name.size());
    const size_t slot = longest + 1;
    char *block = static_cast<char *>(std::calloc(list.empty() ? 1 : list.size(), slot));
    if (block == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    for (size_t i = 0; i < list.size(); ++i) {
        std::memcpy(block + i * slot, list[i].c_str(), list[i].size() + 1);
    }
    *count = static_cast<DWORD>(list.size());
    *maxLength = static_cast<DWORD>(longest);
    *names = block;
    return ERROR_SUCCESS;
}

LONG productTime(const char *product, LPFILETIME time) {
    if (time == nullptr) return ERROR_INVALID_PARAMETER;
    if (LONG rc = checkName(product)) return rc;
    Key key;
    if (LONG rc = openKey(HKEY_LOCAL_MACHINE, outerPath(product), key)) return rc;
    FILETIME written{};
    LONG rc = RegQueryInfoKey(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr, &written);
    if (rc == ERROR_SUCCESS) *time = written;
    return rc;
}

// ---- Settings and inner save parameters -----------------------------------------

LONG readSetting(const char *name, LPDWORD value) {
    if (value == nullptr) return ERROR_INVALID_PARAMETER;
    Key key;
    if (LONG rc = openKey(HKEY_LOCAL_MACHINE, TBLSYNC_KEY_ALERTMAN, key)) return rc;
    std::vector<BYTE> data;
    DWORD type = REG_NONE;
    if (LONG rc = readValue(key.get(), name, data, &type)) return rc;
    if (type != REG_DWORD || data.size() != sizeof(DWORD)) return kErrorInvalidData;
    std::memcpy(value, data.data(), sizeof(DWORD));
    return ERROR_SUCCESS;
}

LONG readSaveParam(const char *name, LPDWORD size, LPDWORD type, LPVOID data) {
    if (name == nullptr || size == nullptr) return ERROR_INVALID_PARAMETER;
    Key key;
    if (LONG rc = openKey(HKEY_LOCAL_MACHINE, TBLSYNC_KEY_SAVEPARAM, key)) return rc;
    return RegQueryValueEx(key.get(), name, nullptr, type, static_cast<LPBYTE>(data), size);
}

LONG writeSaveParam(const char *name, DWORD size, DWORD type, LPCVOID data) {
    if (name == nullptr || (data == nullptr && size > 0)) return ERROR_INVALID_PARAMETER;
    Key key;
    if (LONG rc = createKey(HKEY_LOCAL_MACHINE, TBLSYNC_KEY_SAVEPARAM, key)) return rc;
    return setValue(key.get(), name, type, data, size);
}

}  // namespace

extern "C" {

TBLSYNC_API BOOL AMACRTReadInnerSaveParam(LPCSTR name, LPDWORD size, LPDWORD type, LPVOID data) {
    return finish(__func__, name, [&] { return readSaveParam(name, size, type, data); });
}

TBLSYNC_API BOOL AMACRTWriteInnerSaveParam(LPCSTR name, DWORD size, DWORD type, LPCVOID data) {
    return finish(__func__, name, [&] { return writeSaveParam(name, size, type, data); });
}

TBLSYNC_API BOOL AMACRTReadProductParam(DWORD, LPCSTR productName, OuterProductParam *block) {
    return finish(__func__, productName, [&] { return readOuter(productName, block); });
}

TBLSYNC_API BOOL AMACRTReadInnerProductParam(DWORD, LPCSTR productName, InnerProductParam *block) {
    return finish(__func__, productName, [&] { return readInner(productName, block); });
}

TBLSYNC_API BOOL AMACRTWriteInnerProductParam(DWORD, LPCSTR productName, InnerProductParam *block) {
    return finish(__func__, productName, [&] { return writeInner(productName, block); });
}

TBLSYNC_API BOOL AMACRTEnumProduct(LPDWORD count, LPDWORD maxLength, LPSTR *names) {
    return finish(__func__, TBLSYNC_KEY_OUTER_PRODUCTS, [&] {
        return enumProducts(TBLSYNC_KEY_OUTER_PRODUCTS, count, maxLength, names);
    });
}

TBLSYNC_API BOOL AMACRTEnumInnerProduct(LPDWORD count, LPDWORD maxLength, LPSTR *names) {
    return finish(__func__, TBLSYNC_KEY_INNER_PRODUCTS, [&] {
        return enumProducts(TBLSYNC_KEY_INNER_PRODUCTS, count, maxLength, names);
    });
}

TBLSYNC_API BOOL AMACRTCheckProduct(LPCSTR productName, LPDWORD exists) {
    return finish(__func__, productName,
                  [&] { return checkProduct(TBLSYNC_KEY_OUTER_PRODUCTS, productName, exists); });
}

TBLSYNC_API BOOL AMACRTCheckInnerProduct(LPCSTR productName, LPDWORD exists) {
    return finish(__func__, productName,
                  [&] { return checkProduct(TBLSYNC_KEY_INNER_PRODUCTS, productName, exists); });
}

TBLSYNC_API BOOL AMACRTAddInnerProduct(LPCSTR productName) {
    return finish(__func__, productName, [&]() -> LONG {
        if (LONG rc = checkName(productName)) return rc;
        Key key;
        return createKey(HKEY_LOCAL_MACHINE, innerPath(productName), key);
    });
}

TBLSYNC_API BOOL AMACRTDeleteInnerProduct(LPCSTR productName) {
    return finish(__func__, productName,
                  [&] { return deleteProduct(TBLSYNC_KEY_INNER_PRODUCTS, productName); });
}

TBLSYNC_API BOOL AMACRTDeleteProduct(LPCSTR productName) {
    return finish(__func__, productName,
                  [&] { return deleteProduct(TBLSYNC_KEY_OUTER_PRODUCTS, productName); });
}

TBLSYNC_API BOOL AMACRTGetProductTime(LPCSTR productName, LPFILETIME time) {
    return finish(__func__, productName, [&] { return productTime(productName, time); });
}

TBLSYNC_API BOOL AMACRTReadLanguageID(LPDWORD languageId) {
    return finish(__func__, "LanguageID", [&] { return readSetting("LanguageID", languageId); });
}

TBLSYNC_API BOOL AMACRTReadDispersedReportTable(LPDWORD flag) {
    return finish(__func__, "DispersedReportTable",
                  [&] { return readSetting("DispersedReportTable", flag); });
}

}  // extern "C"
