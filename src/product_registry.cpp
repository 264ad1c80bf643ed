// The product registry store: one key per outer product under
// SOFTWARE\ORV\ALERTREPORT, written from a PPInfo record, rewritten,
// deleted, read back into a record, listed by product type; the type readers
// of outer and inner products and the system language.
#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "amacre.h"
#include "amirtupt.h"
#include "boundary.h"
#include "capacities.h"
#include "names.h"
#include "product.h"
#include "tblsync.h"
#include "trace.h"
#include "w32compat.h"

namespace amirtupt::product {

namespace {

constexpr const char kTraceSource[] = "product";

// "SOFTWARE\ORV\ALERTREPORT", a backslash, a product name of up to 511
// characters and the NUL.
constexpr size_t kKeyPathSize = sizeof kProductsKey + PPINFO_PRODUCTNAME_SIZE;

// Cuts a text field that a caller left without its NUL at the field's end.
template <size_t N>
void terminate(char (&field)[N]) {
    field[N - 1] = '\0';
}

// Copies a NUL-terminated text into a field, cut to fit.
template <size_t N>
void copyText(char (&field)[N], const char *text) {
    std::snprintf(field, N, "%s", text);
}

void productKeyPath(char (&path)[kKeyPathSize], const char *productName) {
    std::snprintf(path, sizeof path, "%s\\%s", kProductsKey, productName);
}

// Number of report table entries of a record that may be read: a count
// outside 0..4 never reads past the record.
int usableTableCount(const PPInfo &record) {
    int count = record.NumReportTablePath;
    if (count >= 0 && count <= kMaxTables) return count;
    int usable = count < 0 ? 0 : kMaxTables;
    TRACE_AS("RegSetPP", kError, "NumReportTablePath %d out of range, %d used", count, usable);
    return usable;
}

// Builds the stored report table list. A list that would not fit keeps the
// whole leading paths that do, never a cut path, and always its final NUL.
void buildReportTableList(const PPInfo &record, BYTE (&list)[kReportTableListSize]) {
    std::memset(list, 0, sizeof list);
    int count = usableTableCount(record);
    size_t used = 0;
    for (int i = 0; i < count; ++i) {
        const char *path = record.ReportTablePath[i];
        size_t length = std::strlen(path);
        // The path, its NUL and the list's final NUL.
        if (used + length + 2 > sizeof list) {
            for (int j = i; j < count; ++j) {
                TRACE_AS("RegSetPP", kError, "report table path left out, list over %u bytes : %s",
                         static_cast<unsigned>(sizeof list), record.ReportTablePath[j]);
            }
            break;
        }
        std::memcpy(list + used, path, length + 1);
        used += length + 1;
    }
}

void setText(HKEY key, const char *name, const char *text) {
    RegSetValueEx(key, name, /*Reserved=*/0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                  static_cast<DWORD>(std::strlen(text) + 1));
}

void setNumber(HKEY key, const char *name, DWORD number) {
    RegSetValueEx(key, name, /*Reserved=*/0, REG_DWORD, reinterpret_cast<const BYTE *>(&number),
                  sizeof number);
}

}  // namespace

// A copy of a caller's record whose every text ends inside its field, so that
// nothing below reads past a field of a record filled by hand.
PPInfo terminatedCopy(const PPInfo &record) {
    PPInfo copy;
    std::memcpy(&copy, &record, sizeof copy);
    terminate(copy.FileName);
    terminate(copy.ProductName);
    for (auto &path : copy.ReportTablePath) terminate(path);
    terminate(copy.DisplayName);
    terminate(copy.LanguageID);
    terminate(copy.ProductID);
    terminate(copy.Version);
    return copy;
}

// ---- Registry store ------------------------------------------------------------
// The functions below carry the names under which they trace; the exported
// entries at the end of the file are thin wrappers around them.

int32_t keyExist(const char *keyPath) {
    TRACE(kDetail, ">Params: keyPath=%s", orNull(keyPath));
    RegKey key;
    int32_t exists = 0;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, keyPath, /*ulOptions=*/0, KEY_QUERY_VALUE, key.out()) ==
        ERROR_SUCCESS) {
        exists = 1;
    }
    TRACE(kDetail, "<return %d", exists);
    return exists;
}

// Writes every value of the record into an open product key. A failed write
// does not stop the later ones.
int32_t RegSetPP(HKEY key, const PPInfo *record) {
    TRACE(kDetail, ">Params: key=%p, record=%p, ProductName=%s", static_cast<void *>(key),
          static_cast<const void *>(record), record->ProductName);
    setText(key, "ProductName", record->ProductName);
    setText(key, "DisplayName", record->DisplayName);
    setText(key, "Version", record->Version);
    setNumber(key, "Manual", static_cast<DWORD>(record->Manual));
    BYTE list[kReportTableListSize];
    buildReportTableList(*record, list);
    RegSetValueEx(key, "ReportTablePath", /*Reserved=*/0, REG_BINARY, list, sizeof list);
    setNumber(key, "LanguageID", decimal(record->LanguageID));
    setNumber(key, "ProductID", decimal(record->ProductID));
    TRACE(kDetail, "<return 0");
    return 0;
}

namespace {

// Stores the record's values in the product's key: registerPP creates the
// key when it is not there yet, updatePP rewrites it when it is.
int32_t storeProduct(const char *function, const PPInfo *record, bool create) {
    TRACE_AS(function, kDetail, ">Params: record=%p, ProductName=%s",
             static_cast<const void *>(record), record->ProductName);
    int32_t result = 0;
    TRACE_EXIT_AS(function, "<return %d", result);
    char path[kKeyPathSize];
    productKeyPath(path, record->ProductName);
    if (keyExist(path) == create) return result;
    RegKey key;
    if (create) {
        DWORD disposition = 0;
        char emptyClass[] = "";
        if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, path, /*Reserved=*/0, emptyClass,
                           /*dwOptions=*/0, KEY_ALL_ACCESS, /*lpSecurityAttributes=*/nullptr,
                           key.out(), &disposition) != ERROR_SUCCESS) {
            TRACE_AS(function, kError, "ERROR Create key.\n KEY: %s\n", path);
            return result = -1;
        }
    } else if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, path, /*ulOptions=*/0, KEY_ALL_ACCESS, key.out()) !=
               ERROR_SUCCESS) {
        TRACE_AS(function, kError, "ERROR Open key.\n KEY: %s", path);
        return result = -1;
    }
    RegSetPP(key.get(), record);
    return result;
}

}  // namespace

int32_t registerPP(const PPInfo *record) {
    return storeProduct(__func__, record, /*create=*/true);
}

int32_t updatePP(const PPInfo *record) {
    return storeProduct(__func__, record, /*create=*/false);
}

int32_t unregisterPP(const PPInfo *record) {
    TRACE(kDetail, ">Params: record=%p, ProductName=%s", static_cast<const void *>(record),
          record->ProductName);
    char path[kKeyPathSize];
    productKeyPath(path, record->ProductName);
    if (keyExist(path)) RegDeleteKey(HKEY_LOCAL_MACHINE, path);
    TRACE(kDetail, "<return 0");
    return 0;
}

// The product type stored under key\productName; preset when the value is
// there but shorter than 4 bytes, 0 when it cannot be read.
uint32_t readType(const char *function, const char *key, const char *productName, DWORD preset) {
    TRACE_AS(function, kDetail, ">Params: productName=%s", orNull(productName));
    DWORD type = preset;
    DWORD size = sizeof type;
    if (productName == nullptr ||
        !AMACREGetSubkeyValue(HKEY_LOCAL_MACHINE, key, productName, kTypeValue, &type, &size)) {
        type = 0;
    }
    TRACE_AS(function, kDetail, "<return %u", type);
    return type;
}

uint32_t GetProductType(const char *productName) {
    return readType(__func__, kOuterTypeKey, productName, 0);
}

uint32_t GetIProductType(const char *productName) {
    return readType(__func__, kInnerTypeKey, productName, 1);
}

int get_sa_language() {
    TRACE(kDetail, ">");
    DWORD language = kLanguageEnglish;
    if (!AMACRTReadLanguageID(&language)) language = kLanguageEnglish;
    TRACE(kDetail, "<return %d", static_cast<int>(language));
    return static_cast<int>(language);
}

// Splits a stored report table list into the record's entries: at most four,
// each cut to its field, never reading past the list's length.
void splitReportTableList(PPInfo &record, const char *list, size_t length) {
    record.NumReportTablePath = 0;
    size_t offset = 0;
    while (offset < length && list[offset] != '\0') {
        size_t pathLength = strnlen(list + offset, length - offset);
        if (record.NumReportTablePath == kMaxTables) {
            TRACE_AS("GetProductInfo", kError,
                     "more than %d report table paths stored for %s, the first %d kept", kMaxTables,
                     record.ProductName, kMaxTables);
            break;
        }
        char(&entry)[PPINFO_REPORTTABLEPATH_SIZE] =
            record.ReportTablePath[record.NumReportTablePath];
        size_t kept = pathLength < sizeof entry - 1 ? pathLength : sizeof entry - 1;
        std::memcpy(entry, list + offset, kept);
        entry[kept] = '\0';
        ++record.NumReportTablePath;
        offset += pathLength + 1;
    }
}

PPInfo *GetProductInfo(const char *productName) {
    TRACE(kDetail, ">Params: productName=%s", orNull(productName));
    void *result = nullptr;
    TRACE_EXIT("< return value %p", result);
    if (productName == nullptr) {
        TRACE(kError, "param productName is NULL\n");
        return nullptr;
    }
    // One byte beyond each capacity stays zero, so every text read is
    // terminated whatever the copy library leaves in the buffer.
    char name[kNameCapacity + 1] = {};
    char tables[kReportTableListSize + 1] = {};
    char displayName[kNameCapacity + 1] = {};
    char version[kVersionCapacity + 1] = {};
    DWORD language = 0;
    DWORD productId = 0;
    DWORD storedType = 0;
    OuterProductParam block;
    std::memset(&block, 0, sizeof block);
    block.dwSize = kBlockSize;
    block.dwProductNameSize = kNameCapacity;
    block.lpszProductName = name;
    block.dwReportTableSize = kReportTableListSize;
    block.lpszReportTable = tables;
    block.dwDisplayNameSize = kNameCapacity;
    block.lpszDisplayName = displayName;
    block.lpdwLanguageID = &language;
    block.lpdwProductID = &productId;
    block.dwVersionSize = kVersionCapacity;
    block.lpszVersion = version;
    block.lpdwProductType = &storedType;

    uint32_t type = GetProductType(productName);
    if (!AMACRTReadProductParam(/*flags=*/0, productName, &block)) {
        TRACE(kDetail, "cannot read the parameters of %s : error %u", productName, GetLastError());
        return nullptr;
    }
    auto *record = static_cast<PPInfo *>(std::malloc(sizeof(PPInfo)));
    if (record == nullptr) {
        TRACE(kError, "Malloc to PPInfo error : size=%d", static_cast<int>(sizeof(PPInfo)));
        return nullptr;
    }
    std::memset(record, 0, sizeof *record);
    copyText(record->ProductName, name);
    copyText(record->DisplayName, displayName);
    copyText(record->Version, version);
    size_t listLength = block.dwReportTableSize < kReportTableListSize ? block.dwReportTableSize
                                                                       : kReportTableListSize;
    splitReportTableList(*record, tables, listLength);
    std::snprintf(record->LanguageID, sizeof record->LanguageID, "%d", static_cast<int>(language));
    std::snprintf(record->ProductID, sizeof record->ProductID, "%d", static_cast<int>(productId));
    record->op = PPOP_NONE;
    record->next = nullptr;
    record->Manual = static_cast<int32_t>(type);
    result = record;
    return record;
}

int32_t ReadProductsRegisteried(int32_t type, PPInfo **head) {
    TRACE(kDetail, ">Params: type=%d, phead=%p", type, static_cast<void *>(head));
    const char *result = "TRUE";
    TRACE_EXIT("<return %s", result);
    if (head == nullptr) {
        TRACE(kError, "param phead is NULL\n");
        result = "FALSE";
        return FALSE;
    }
    *head = nullptr;
    DWORD count = 0;
    DWORD nameLength = 0;
    char *names = nullptr;
    BOOL listed = AMACRTEnumProduct(&count, &nameLength, &names);
    NameBlock block(names);
    if (!listed) {
        TRACE(kError, "EnmuProduct Error!");
        return TRUE;
    }
    const size_t slot = static_cast<size_t>(nameLength) + 1;
    // A slot that lacks its NUL is read up to the slot's end only.
    char name[kKeyPathSize];
    for (DWORD i = 0; i < count && names != nullptr; ++i) {
        const char *entry = names + slot * i;
        size_t length = strnlen(entry, slot);
        if (length >= sizeof name) length = sizeof name - 1;
        std::memcpy(name, entry, length);
        name[length] = '\0';
        if (type != -1 && GetProductType(name) != static_cast<uint32_t>(type)) {
            TRACE(kDetail, "ignore product : %s ", name);
            continue;
        }
        PPInfo *record = GetProductInfo(name);
        if (record == nullptr) {
            TRACE(kProgress, "read product from registry error : %s ", name);
            continue;
        }
        TRACE(kProgress, "add product to list : %s ", name);
        *head = QORPPLX_PPInfoAddPP(*head, record);
    }
    return TRUE;
}

}  // namespace amirtupt::product

// ---- Exported entries ------------------------------------------------------------
// Thin: no exception crosses; each failure becomes the result its caller
// expects.

using amirtupt::guarded;
namespace product = amirtupt::product;

extern "C" {

AMIRTUPT_API int32_t registerPP(PPInfo *record) noexcept {
    assert(record != nullptr);
    return guarded(-1, [&] {
        return record == nullptr ? -1 : product::withRecord(record, product::registerPP);
    });
}

AMIRTUPT_API int32_t updatePP(PPInfo *record) noexcept {
    assert(record != nullptr);
    return guarded(-1, [&] {
        return record == nullptr ? -1 : product::withRecord(record, product::updatePP);
    });
}

AMIRTUPT_API int32_t unregisterPP(PPInfo *record) noexcept {
    assert(record != nullptr);
    return guarded(-1, [&] {
        return record == nullptr ? -1 : product::withRecord(record, product::unregisterPP);
    });
}

AMIRTUPT_API PPInfo *GetProductInfo(const char *productName) noexcept {
    return guarded(nullptr, [&] { return product::GetProductInfo(productName); });
}

AMIRTUPT_API int32_t ReadProductsRegisteried(int32_t type, PPInfo **head) noexcept {
    return guarded(FALSE, [&] { return product::ReadProductsRegisteried(type, head); });
}

AMIRTUPT_API uint32_t GetProductType(const char *productName) noexcept {
    return guarded(0u, [&] { return product::GetProductType(productName); });
}

AMIRTUPT_API uint32_t GetIProductType(const char *productName) noexcept {
    return guarded(0u, [&] { return product::GetIProductType(productName); });
}

}  // extern "C"
