// The product registry store and the product commands.
//
// Registry store: one key per outer product under SOFTWARE\ORV\ALERTREPORT,
// written from a PPInfo record, rewritten, deleted, read back into a record,
// listed by product type; the type readers of outer and inner products and
// the system language.
//
// Commands: install, update, registry update and remove of one product by
// hand. Each works on the outer product first and then on the inner product
// and its report tables, all in one registry transaction; when the inner
// half fails, only the outer half's change stays.
// product_process serialises a command with the product link thread (in this
// or another process) through the named mutex "EVENTLOG_SEMA".
#include <sys/stat.h>

#include <cassert>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "amacre.h"
#include "amirtupt.h"
#include "capacities.h"
#include "qorutil.h"
#include "tblsync.h"
#include "trace.h"
#include "w32compat.h"

namespace {
constexpr const char kTraceSource[] = "product";
}  // namespace

// Where msgout sends the commands' messages: 0 trace log, 1 standard output,
// anything else nowhere.
int print2 = 0;

namespace {

using amirtupt::kDetail;
using amirtupt::kError;
using amirtupt::kFirstReadSize;
using amirtupt::kNameCapacity;
using amirtupt::kProgress;
using amirtupt::kReportTableCapacity;
using amirtupt::kVersionCapacity;
using amirtupt::orNull;

constexpr const char kProductsKey[] = "SOFTWARE\\ORV\\ALERTREPORT";
// The same keys as the writer's, addressed the way the type readers do.
constexpr const char kOuterTypeKey[] = "SOFTWARE\\ORV\\AlertReport";
constexpr const char kInnerTypeKey[] = "SOFTWARE\\ORV\\QORAlertMan\\AlertReport";
constexpr const char kTypeValue[] = "MANUAL";
constexpr const char kCommandMutex[] = "EVENTLOG_SEMA";
constexpr const char kEventLogEvent[] = "Eventlog_Mod_Event";
constexpr const char kRegisterPath[] = "RegisterPath";

constexpr DWORD kDefaultLanguage = 1033;
constexpr DWORD kBlockSize = 112;
// The stored report table list: NUL-separated paths, a final NUL, zeros.
constexpr DWORD kReportTableListSize = 254;
constexpr int kMaxTables = PPINFO_MAX_REPORTTABLES;
// "SOFTWARE\ORV\ALERTREPORT", a backslash, a product name of up to 511
// characters and the NUL.
constexpr size_t kKeyPathSize = sizeof kProductsKey + PPINFO_PRODUCTNAME_SIZE;

constexpr uint32_t kCmdInstall = PPCMD_INSTALL;
constexpr uint32_t kCmdUpdate = PPCMD_UPDATE;
constexpr uint32_t kCmdRemove = PPCMD_REMOVE;
constexpr uint32_t kCmdUpdateRegistry = PPCMD_UPDATE_REGISTRY;

constexpr uint32_t kOk = PPRESULT_OK;
constexpr uint32_t kExistence = PPRESULT_EXISTENCE;
constexpr uint32_t kRemoveNotOwned = PPRESULT_REMOVE_NOT_OWNED;
constexpr uint32_t kNotHigherVersion = PPRESULT_NOT_HIGHER_VERSION;
constexpr uint32_t kUpdateNotOwned = PPRESULT_UPDATE_NOT_OWNED;
constexpr uint32_t kFailure = PPRESULT_FAILURE;
constexpr uint32_t kInstallFailure = PPRESULT_INSTALL_FAILURE;
constexpr uint32_t kInnerFailure = PPRESULT_INNER_FAILURE;
constexpr uint32_t kImportFailure = PPRESULT_IMPORT_FAILURE;
constexpr uint32_t kTableInvalid = PPRESULT_REPORTTABLE_INVALID;

// ---- Small helpers -----------------------------------------------------------

// Cuts a text field that a caller left without its NUL at the field's end.
template <size_t N>
void terminate(char (&field)[N]) {
    field[N - 1] = '\0';
}

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

// Copies a NUL-terminated text into a field, cut to fit.
template <size_t N>
void copyText(char (&field)[N], const char *text) {
    std::snprintf(field, N, "%s", text);
}

DWORD decimal(const char *text) {
    return static_cast<DWORD>(std::strtol(text, nullptr, 10));
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

// ---- Registry store ------------------------------------------------------------
// The functions below carry the names under which they trace; the exported
// entries at the end of the file are thin wrappers around them.
namespace impl {

int32_t keyExist(const char *keyPath) {
    TRACE(kDetail, ">Params: keyPath=%s", orNull(keyPath));
    HKEY key = nullptr;
    int32_t exists = 0;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, keyPath, /*ulOptions=*/0, KEY_QUERY_VALUE, &key) ==
        ERROR_SUCCESS) {
        RegCloseKey(key);
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

int32_t registerPP(const PPInfo *record) {
    TRACE(kDetail, ">Params: record=%p, ProductName=%s", static_cast<const void *>(record),
          record->ProductName);
    char path[kKeyPathSize];
    productKeyPath(path, record->ProductName);
    if (keyExist(path)) {
        TRACE(kDetail, "<return 0");
        return 0;
    }
    HKEY key = nullptr;
    DWORD disposition = 0;
    char emptyClass[] = "";
    if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, path, /*Reserved=*/0, emptyClass, /*dwOptions=*/0,
                       KEY_ALL_ACCESS, /*lpSecurityAttributes=*/nullptr, &key,
                       &disposition) != ERROR_SUCCESS) {
        TRACE(kError, "ERROR Create key.\n KEY: %s\n", path);
        TRACE(kDetail, "<return -1");
        return -1;
    }
    RegSetPP(key, record);
    RegCloseKey(key);
    TRACE(kDetail, "<return 0");
    return 0;
}

int32_t updatePP(const PPInfo *record) {
    TRACE(kDetail, ">Params: record=%p, ProductName=%s", static_cast<const void *>(record),
          record->ProductName);
    char path[kKeyPathSize];
    productKeyPath(path, record->ProductName);
    if (!keyExist(path)) {
        TRACE(kDetail, "<return 0");
        return 0;
    }
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, path, /*ulOptions=*/0, KEY_ALL_ACCESS, &key) !=
        ERROR_SUCCESS) {
        TRACE(kError, "ERROR Open key.\n KEY: %s", path);
        TRACE(kDetail, "<return -1");
        return -1;
    }
    RegSetPP(key, record);
    RegCloseKey(key);
    TRACE(kDetail, "<return 0");
    return 0;
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
    DWORD language = kDefaultLanguage;
    if (!AMACRTReadLanguageID(&language)) language = kDefaultLanguage;
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
    if (productName == nullptr) {
        TRACE(kError, "param productName is NULL\n");
        TRACE(kDetail, "< return value %p", static_cast<void *>(nullptr));
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
        TRACE(kDetail, "< return value %p", static_cast<void *>(nullptr));
        return nullptr;
    }
    auto *record = static_cast<PPInfo *>(std::malloc(sizeof(PPInfo)));
    if (record == nullptr) {
        TRACE(kError, "Malloc to PPInfo error : size=%d", static_cast<int>(sizeof(PPInfo)));
        TRACE(kDetail, "< return value %p", static_cast<void *>(nullptr));
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
    TRACE(kDetail, "< return value %p", static_cast<void *>(record));
    return record;
}

int32_t ReadProductsRegisteried(int32_t type, PPInfo **head) {
    TRACE(kDetail, ">Params: type=%d, phead=%p", type, static_cast<void *>(head));
    if (head == nullptr) {
        TRACE(kError, "param phead is NULL\n");
        TRACE(kDetail, "<return FALSE");
        return FALSE;
    }
    *head = nullptr;
    DWORD count = 0;
    DWORD nameLength = 0;
    char *names = nullptr;
    if (!AMACRTEnumProduct(&count, &nameLength, &names)) {
        TRACE(kError, "EnmuProduct Error!");
        std::free(names);
        TRACE(kDetail, "<return TRUE");
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
    std::free(names);
    TRACE(kDetail, "<return TRUE");
    return TRUE;
}

// ---- Messages ------------------------------------------------------------------

void msgout(const char *format, va_list args) {
    TRACE(kDetail, ">Params: format=%s, print2=%d", orNull(format), print2);
    if (format == nullptr) {
        TRACE(kDetail, "<return");
        return;
    }
    char text[1024] = {};
    std::vsnprintf(text, sizeof text - 1, format, args);
    char converted[1024] = {};
    QorCodeConvert(text, -1, converted, sizeof converted, /*from=*/0, /*to=*/1);
    switch (print2) {
        case 0:
            TRACE(kProgress, "%s", converted);
            break;
        case 1:
            std::fputs(converted, stdout);
            std::fflush(stdout);
            break;
        default:
            break;
    }
    TRACE(kDetail, "<return");
}

void message(const char *format, ...) __attribute__((format(printf, 1, 2)));
void message(const char *format, ...) {
    va_list args;
    va_start(args, format);
    msgout(format, args);
    va_end(args);
}

// ---- Commands ------------------------------------------------------------------

// The registry work of one command as one registry transaction of the calling
// thread: a command killed at any point leaves the registry as it was before
// the command or as the command leaves it, never in between. The copy
// library's calls join it. A command that fails rolls it back; what the
// outer half did is then done again on its own (keepOuterHalf), because the
// outer half's result stays when the inner half fails. Inside a transaction
// the caller already holds, the command's work joins that one and lands or
// vanishes with it.
class CommandTransaction {
  public:
    explicit CommandTransaction(const char *function) : function_(function) {
        LONG rc = RegBeginTransaction();
        own_ = rc == ERROR_SUCCESS;
        begun_ = own_ || rc == ERROR_ALREADY_EXISTS;
        if (!begun_) {
            TRACE_AS(function_, kError, "registry transaction not begun : error %d",
                     static_cast<int>(rc));
        }
    }
    CommandTransaction(const CommandTransaction &) = delete;
    CommandTransaction &operator=(const CommandTransaction &) = delete;
    ~CommandTransaction() { rollback(); }

    bool begun() const { return begun_; }

    // False when the changes could not be stored; none of them is kept then.
    bool commit() {
        if (!own_) return begun_;
        own_ = false;
        LONG rc = RegCommitTransaction();
        if (rc == ERROR_SUCCESS) return true;
        TRACE_AS(function_, kError, "registry commit error %d, nothing changed",
                 static_cast<int>(rc));
        return false;
    }

    // True when the command's changes are gone (the transaction was ours).
    bool rollback() {
        if (!own_) return false;
        own_ = false;
        RegRollbackTransaction();
        return true;
    }

    // After a rollback: does the outer half's work again in a transaction of
    // its own; outer returns true on success.
    template <typename Outer>
    void keepOuterHalf(Outer outer) {
        if (!rollback()) return;
        CommandTransaction again(function_);
        if (!again.begun() || !outer() || !again.commit()) {
            TRACE_AS(function_, kError, "outer product left as before the command");
        }
    }

  private:
    const char *function_;
    bool own_ = false;
    bool begun_ = false;
};

uint32_t product_install_inner(const PPInfo *record) {
    TRACE(kDetail, ">Params: record=%p", static_cast<const void *>(record));
    if (record == nullptr) {
        TRACE(kError, "product_install_inner(): param proInfo is NULL\n");
        TRACE(kDetail, "<return value 0x%X", kInnerFailure);
        return kInnerFailure;
    }
    const char *name = record->ProductName;
    auto fail = [](uint32_t result) {
        TRACE_AS("product_install_inner", kDetail, "<return value 0x%X", result);
        return result;
    };
    DWORD language = static_cast<DWORD>(get_sa_language());
    TRACE(kProgress, "inner install product : %s", name);

    char reportTable[kReportTableListSize] = {};
    OuterProductParam outer;
    std::memset(&outer, 0, sizeof outer);
    outer.dwSize = kBlockSize;
    outer.dwReportTableSize = sizeof reportTable;
    outer.lpszReportTable = reportTable;
    if (!AMACRTReadProductParam(/*flags=*/0, name, &outer)) {
        TRACE(kError, "Error: Read product parameter!!!\n");
        return fail(kInnerFailure);
    }
    DWORD reportTableSize = outer.dwReportTableSize;
    if (reportTableSize > sizeof reportTable) reportTableSize = sizeof reportTable;

    DWORD innerExists = 0;
    if (!AMACRTCheckInnerProduct(name, &innerExists)) {
        TRACE(kError, "Error: Check inner product!!!\n");
        return fail(kInnerFailure);
    }

    char registeredPath[kReportTableCapacity] = {};
    DWORD registeredLength = 0;
    bool created = false;
    if (!innerExists) {
        if (!ExecRTCopy(name, /*dwMode=*/0, reportTable, reportTableSize, "", 0, language,
                        /*bSlimed=*/0)) {
            TRACE(kError, "Error: import report table.\n");
            return fail(kImportFailure);
        }
        if (!AMACRTAddInnerProduct(name)) {
            TRACE(kError, "Error: Register inner product!!!\n");
            return fail(kInnerFailure);
        }
        created = true;
    } else {
        InnerProductParam inner;
        std::memset(&inner, 0, sizeof inner);
        inner.dwSize = kBlockSize;
        inner.dwRegisterPathSize = sizeof registeredPath;
        inner.lpszRegisterPath = registeredPath;
        if (!AMACRTReadInnerProductParam(/*flags=*/0, name, &inner)) {
            TRACE(kError, "Error: Read product parameter!!!\n");
            return fail(kInnerFailure);
        }
        registeredLength = inner.dwRegisterPathSize;
        if (registeredLength > sizeof registeredPath) registeredLength = sizeof registeredPath;
        if (!ExecRTCopy(name, /*dwMode=*/1, reportTable, reportTableSize, registeredPath,
                        registeredLength, language, /*bSlimed=*/0)) {
            TRACE(kError, "Error: import report table.\n");
            return fail(kImportFailure);
        }
    }

    // The path list as the copy registered it; when it cannot be read the
    // inner product keeps what the buffer holds.
    DWORD pathSize = sizeof registeredPath;
    DWORD pathType = 0;
    if (AMACRTReadInnerSaveParam(kRegisterPath, &pathSize, &pathType, registeredPath)) {
        registeredLength = pathSize < sizeof registeredPath ? pathSize : sizeof registeredPath;
    } else {
        TRACE(kError, "Error: read report table path from reg value RegisterPath");
    }

    DWORD productId = decimal(record->ProductID);
    DWORD productType = static_cast<DWORD>(record->Manual);
    FILETIME productTime = {0, 0};
    BYTE noSource[1] = {0};
    InnerProductParam inner;
    std::memset(&inner, 0, sizeof inner);
    inner.dwSize = kBlockSize;
    inner.lpProductTime = &productTime;
    inner.lpszProductName = const_cast<char *>(name);
    inner.dwRegisterPathSize = registeredLength;
    inner.lpszRegisterPath = registeredPath;
    inner.lpszDisplayName = const_cast<char *>(record->DisplayName);
    inner.lpdwLanguageID = &language;
    inner.lpdwProductID = &productId;
    inner.lpszVersion = const_cast<char *>(record->Version);
    inner.lpdwProductType = &productType;
    if (created) {
        inner.dwSourceSize = 0;
        inner.lpSource = noSource;
    }
    if (!AMACRTWriteInnerProductParam(/*flags=*/1, name, &inner)) {
        TRACE(kError, "Error: write inner product parameter");
        return fail(kInnerFailure);
    }
    if (created && !UpdateSrc(name)) {
        TRACE(kError, "Can't update the source of product");
        return fail(kInnerFailure);
    }

    if (!AMACRTGetProductTime(name, &productTime)) {
        TRACE(kError, "Error: GetProductTime ");
        productTime = {0, 0};
    }
    InnerProductParam timeOnly;
    std::memset(&timeOnly, 0, sizeof timeOnly);
    timeOnly.dwSize = kBlockSize;
    timeOnly.lpProductTime = &productTime;
    if (!AMACRTWriteInnerProductParam(/*flags=*/1, name, &timeOnly)) {
        TRACE(kError, "Error: write the time to inner\n");
        return fail(kInnerFailure);
    }
    TRACE(kDetail, "<return value 0x%X", kOk);
    return kOk;
}

uint32_t product_install(const PPInfo *record) {
    TRACE(kDetail, ">Params: record=%p, ProductName=%s", static_cast<const void *>(record),
          record != nullptr ? record->ProductName : "NULL");
    uint32_t result = kOk;
    if (record == nullptr) {
        TRACE(kError, "product_install(): param proInfo is NULL\n");
        result = kInstallFailure;
    } else {
        const char *name = record->ProductName;
        CommandTransaction transaction(__func__);
        DWORD exists = 0;
        if (!transaction.begun()) {
            message("Install product \"%s\" error\n", name);
            result = kInstallFailure;
        } else if (!AMACRTCheckProduct(name, &exists)) {
            message("Install product \"%s\" error\n", name);
            TRACE(kError, "Check outer product error!!! :%s ", name);
            result = kInstallFailure;
        } else if (exists) {
            message("Product \"%s\" exist\n", name);
            result = kExistence;
        } else if (registerPP(record) == -1) {
            message("Install product \"%s\" error\n", name);
            TRACE(kError, "Outer register the product error : %s", name);
            result = kInstallFailure;
        } else {
            result = product_install_inner(record);
            if (result != kOk) {
                // The product key stays when the inner half fails.
                transaction.keepOuterHalf([record] { return registerPP(record) != -1; });
            } else if (!transaction.commit()) {
                result = kInstallFailure;
            }
            if (result == kOk) {
                message("Product \"%s\" INSTALLED successfully\n", name);
            } else {
                message("Install product \"%s\" error\n", name);
            }
        }
    }
    TRACE(kDetail, "<return value 0x%X", result);
    return result;
}

// The checks that update and registry update share: the product exists, is
// owned by the record's type and can be read back. kOk lets the caller go on
// with the registered record in *registered, which the caller frees.
uint32_t checkUpdatable(const char *function, const PPInfo *record, PPInfo **registered) {
    const char *name = record->ProductName;
    TRACE_AS(function, kProgress, "update product : %s", name);
    DWORD exists = 0;
    if (!AMACRTCheckProduct(name, &exists)) {
        message("Update product \"%s\" error\n", name);
        TRACE_AS(function, kError, "Check outer product error!!!\n");
        return kFailure;
    }
    if (!exists) {
        message("Product \"%s\" is not exist\n", name);
        return kExistence;
    }
    if (GetProductType(name) != static_cast<uint32_t>(record->Manual)) {
        message("You can't update the product not owned\n");
        return kUpdateNotOwned;
    }
    *registered = GetProductInfo(name);
    if (*registered == nullptr) {
        message("Update product \"%s\" error\n", name);
        return kFailure;
    }
    return kOk;
}

uint32_t product_update(const PPInfo *record) {
    TRACE(kDetail, ">Params: record=%p, ProductName=%s", static_cast<const void *>(record),
          record != nullptr ? record->ProductName : "NULL");
    auto done = [](uint32_t result) {
        TRACE_AS("product_update", kDetail, "return value 0x%X", result);
        return result;
    };
    if (record == nullptr) {
        TRACE(kError, "param proInfo is NULL\n");
        return done(kFailure);
    }
    const char *name = record->ProductName;
    CommandTransaction transaction(__func__);
    if (!transaction.begun()) {
        message("Update product \"%s\" error\n", name);
        return done(kFailure);
    }
    PPInfo *registered = nullptr;
    uint32_t result = checkUpdatable(__func__, record, &registered);
    if (result != kOk) return done(result);
    bool newer = QORPPLX_PPVersionNewer(record, registered) == 1;
    std::free(registered);
    if (!newer) {
        message("Your information file is not a HIGHER VERSION one\n");
        return done(kNotHigherVersion);
    }
    if (updatePP(record) == -1) {
        TRACE(kDetail, "Outer update the product error\n");
        message("Update product \"%s\" error\n", name);
        return done(kFailure);
    }
    if (product_install_inner(record) != kOk) {
        // The rewritten product key stays when the inner half fails.
        transaction.keepOuterHalf([record] { return updatePP(record) != -1; });
        message("Update product \"%s\" error\n", name);
        return done(kFailure);
    }
    if (!transaction.commit()) {
        message("Update product \"%s\" error\n", name);
        return done(kFailure);
    }
    message("Product \"%s\" has been UPDATED successfully\n", name);
    return done(kOk);
}

uint32_t product_update_pi(const PPInfo *record) {
    TRACE(kDetail, ">Params: record=%p, ProductName=%s", static_cast<const void *>(record),
          record != nullptr ? record->ProductName : "NULL");
    auto done = [](uint32_t result) {
        TRACE_AS("product_update_pi", kDetail, "<return value 0x%X", result);
        return result;
    };
    if (record == nullptr) {
        TRACE(kError, "param proInfo is NULL\n");
        return done(kFailure);
    }
    const char *name = record->ProductName;
    CommandTransaction transaction(__func__);
    if (!transaction.begun()) {
        message("Update product \"%s\" error\n", name);
        return done(kFailure);
    }
    PPInfo *registered = nullptr;
    uint32_t result = checkUpdatable(__func__, record, &registered);
    if (result != kOk) return done(result);
    std::free(registered);  // read back only to prove that the product can be read
    if (updatePP(record) == -1) {
        TRACE(kDetail, "Outer update the product error\n");
        message("Update product \"%s\" error\n", name);
        return done(kFailure);
    }
    if (!transaction.commit()) {
        message("Update product \"%s\" error\n", name);
        return done(kFailure);
    }
    return done(kOk);
}

// The outer half of remove; kOk lets the inner half run.
uint32_t product_remove_outer(const char *productName, int32_t productType) {
    TRACE(kDetail, ">Params: productName=%s, productType=%d", productName, productType);
    uint32_t result = kOk;
    DWORD exists = 0;
    if (!AMACRTCheckProduct(productName, &exists)) {
        TRACE(kError, "check product error");
        message("Remove the product \"%s\" error\n", productName);
        result = kFailure;
    } else if (!exists) {
        TRACE(kProgress, "product not exist");
        message("Product \"%s\" is not exist\n", productName);
        result = kExistence;
    } else if (productType != -1 &&
               static_cast<uint32_t>(productType) != GetProductType(productName)) {
        TRACE(kProgress, "it is not owned product");
        message("You can't remove the product not owned\n");
        result = kRemoveNotOwned;
    } else if (!AMACRTDeleteProduct(productName)) {
        TRACE(kError, "delete product error");
        message("Remove the product \"%s\" error\n", productName);
        result = kFailure;
    }
    TRACE(result == kOk ? kDetail : kError, "<return value 0x%X", result);
    return result;
}

uint32_t product_remove_inner(const char *productName) {
    auto done = [](uint32_t result) {
        TRACE_AS("product_remove_inner", kDetail, "<return value 0x%X", result);
        return result;
    };
    if (productName == nullptr) {
        TRACE(kError, "param productName is NULL\n");
        return done(kFailure);
    }
    // The entry line comes once the name is known, at the progress level.
    TRACE(kProgress, ">Params: productName=%s", productName);
    DWORD innerExists = 0;
    if (!AMACRTCheckInnerProduct(productName, &innerExists)) {
        TRACE(kError, "check inner product error");
        return done(kFailure);
    }
    if (!innerExists) return done(kOk);

    char source[kFirstReadSize] = {};
    InnerProductParam inner;
    std::memset(&inner, 0, sizeof inner);
    inner.dwSize = kBlockSize;
    inner.dwSourceSize = sizeof source;
    inner.lpSource = reinterpret_cast<BYTE *>(source);
    if (!AMACRTReadInnerProductParam(/*flags=*/0, productName, &inner)) {
        TRACE(kError, "read inner pruduct error");
        return done(kFailure);
    }
    if (!ExecRTCopy(productName, /*dwMode=*/2, source, sizeof source, "", 0,
                    /*dwEnvironmentLanguageID=*/0, /*bSlimed=*/0)) {
        TRACE(kError, "remove product's eventid error");
        return done(kFailure);
    }
    if (!AMACRTDeleteInnerProduct(productName)) {
        TRACE(kError, "delete inner product error");
        return done(kFailure);
    }
    return done(kOk);
}

uint32_t product_remove(const char *productName, int32_t productType) {
    TRACE(kDetail, ">Params: productName=%s, productType=%d", orNull(productName), productType);
    uint32_t result = kOk;
    if (productName == nullptr) {
        TRACE(kError, "param productName is NULL\n");
        result = kFailure;
    } else {
        CommandTransaction transaction(__func__);
        if (!transaction.begun()) {
            message("Remove the product \"%s\" error\n", productName);
            result = kFailure;
        } else {
            result = product_remove_outer(productName, productType);
        }
        if (result == kOk) {
            result = product_remove_inner(productName);
            if (result != kOk) {
                // The outer product stays deleted when the inner half fails.
                transaction.keepOuterHalf(
                    [productName] { return AMACRTDeleteProduct(productName) != 0; });
            } else if (!transaction.commit()) {
                result = kFailure;
            }
            if (result == kOk) {
                message("Product \"%s\" is REMOVED sucessfully\n", productName);
            } else {
                message("Remove the product \"%s\" error\n", productName);
            }
        }
    }
    TRACE(kDetail, "<return value 0x%X", result);
    return result;
}

// ---- Dispatch ------------------------------------------------------------------

HANDLE EnterMutex(const char *name, uint32_t timeout) {
    TRACE(kDetail, ">Params: name=%s, timeout=%u", orNull(name), timeout);
    HANDLE mutex = CreateMutex(/*lpMutexAttributes=*/nullptr, /*bInitialOwner=*/FALSE, name);
    if (mutex != nullptr && WaitForSingleObject(mutex, timeout) != WAIT_OBJECT_0) {
        CloseHandle(mutex);
        mutex = nullptr;
    }
    TRACE(kDetail, "<return %p", mutex);
    return mutex;
}

void OutMutex(HANDLE mutex) {
    TRACE(kDetail, ">Params: handle=%p", mutex);
    if (mutex != nullptr) {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
    TRACE(kDetail, "<return");
}

int32_t SetEventLogEvent() {
    TRACE(kDetail, ">");
    HANDLE event = OpenEvent(EVENT_ALL_ACCESS, /*bInheritHandle=*/FALSE, kEventLogEvent);
    int32_t result = 0;
    if (event != nullptr) {
        SetEvent(event);
        CloseHandle(event);
        result = 1;
    }
    TRACE(kDetail, "<return %d", result);
    return result;
}

// Checks the report tables of an install or update before the lock is taken:
// at least one, at most four, each a regular file (links followed).
uint32_t validateReportTables(const PPInfo &record) {
    int count = record.NumReportTablePath;
    if (count < 0 || count > kMaxTables) {
        TRACE_AS("product_process", kError, "invalid number of report tables : %d", count);
        return kTableInvalid;
    }
    if (count == 0) {
        TRACE_AS("product_process", kError, "not report table defined");
        return kTableInvalid;
    }
    for (int i = 0; i < count; ++i) {
        const char *path = record.ReportTablePath[i];
        struct stat status;
        if (::stat(path, &status) != 0) {
            TRACE_AS("product_process", kError, "<can't get file's status : %s\n", path);
            return kTableInvalid;
        }
        if ((status.st_mode & 0xF000) != 0x8000) {
            TRACE_AS("product_process", kError, "<not valid file : %s\n", path);
            return kTableInvalid;
        }
    }
    return kOk;
}

uint32_t product_process(uint32_t command, const PPInfo *callerRecord) {
    TRACE(kDetail, ">Params: command=%u, proInfo=%p", command,
          static_cast<const void *>(callerRecord));
    auto done = [](uint32_t result) {
        TRACE_AS("product_process", kDetail, "<return value 0x%x", result);
        return result;
    };
    if (callerRecord == nullptr) {
        TRACE(kError, "param proInfo is NULL\n");
        return done(kFailure);
    }
    const PPInfo record = terminatedCopy(*callerRecord);
    if (record.ProductName[0] == '\0') {
        TRACE(kError, "Product name is null\n");
        return done(kFailure);
    }
    if (command < 2) {
        uint32_t valid = validateReportTables(record);
        if (valid != kOk) return done(valid);
    }
    HANDLE mutex = EnterMutex(kCommandMutex, INFINITE);
    if (mutex == nullptr) {
        TRACE(kError, "EnterMutex error : %s", kCommandMutex);
        return done(kFailure);
    }
    uint32_t result = kOk;
    switch (command) {
        case kCmdInstall:
            result = product_install(&record);
            break;
        case kCmdUpdate:
            result = product_update(&record);
            break;
        case kCmdRemove:
            result = product_remove(record.ProductName, record.Manual);
            break;
        case kCmdUpdateRegistry:
            result = product_update_pi(&record);
            break;
        default:
            break;
    }
    OutMutex(mutex);
    return done(result);
}

}  // namespace impl

// The exported entries take a caller's record; the store and the commands
// work on a copy whose texts end inside their fields.
template <typename Body>
auto withRecord(const PPInfo *record, Body body) {
    if (record == nullptr) return body(nullptr);
    const PPInfo copy = terminatedCopy(*record);
    return body(&copy);
}

}  // namespace

// ---- Exported entries ------------------------------------------------------------
// Thin: no exception crosses; each failure becomes the result its caller
// expects.

extern "C" AMIRTUPT_API int32_t registerPP(PPInfo *record) {
    assert(record != nullptr);
    if (record == nullptr) return -1;
    try {
        return withRecord(record, [](const PPInfo *r) { return impl::registerPP(r); });
    } catch (...) {
        return -1;
    }
}

extern "C" AMIRTUPT_API int32_t updatePP(PPInfo *record) {
    assert(record != nullptr);
    if (record == nullptr) return -1;
    try {
        return withRecord(record, [](const PPInfo *r) { return impl::updatePP(r); });
    } catch (...) {
        return -1;
    }
}

extern "C" AMIRTUPT_API int32_t unregisterPP(PPInfo *record) {
    assert(record != nullptr);
    if (record == nullptr) return -1;
    try {
        return withRecord(record, [](const PPInfo *r) { return impl::unregisterPP(r); });
    } catch (...) {
        return -1;
    }
}

extern "C" AMIRTUPT_API PPInfo *GetProductInfo(const char *productName) {
    try {
        return impl::GetProductInfo(productName);
    } catch (...) {
        return nullptr;
    }
}

extern "C" AMIRTUPT_API int32_t ReadProductsRegisteried(int32_t type, PPInfo **head) {
    try {
        return impl::ReadProductsRegisteried(type, head);
    } catch (...) {
        return FALSE;
    }
}

extern "C" AMIRTUPT_API uint32_t GetProductType(const char *productName) {
    try {
        return impl::GetProductType(productName);
    } catch (...) {
        return 0;
    }
}

extern "C" AMIRTUPT_API uint32_t GetIProductType(const char *productName) {
    try {
        return impl::GetIProductType(productName);
    } catch (...) {
        return 0;
    }
}

extern "C" AMIRTUPT_API void msgout(const char *format, ...) {
    va_list args;
    va_start(args, format);
    try {
        impl::msgout(format, args);
    } catch (...) {
    }
    va_end(args);
}

extern "C" AMIRTUPT_API uint32_t product_install(PPInfo *record) {
    try {
        return withRecord(record, [](const PPInfo *r) { return impl::product_install(r); });
    } catch (...) {
        return kInstallFailure;
    }
}

extern "C" AMIRTUPT_API uint32_t product_update(PPInfo *record) {
    try {
        return withRecord(record, [](const PPInfo *r) { return impl::product_update(r); });
    } catch (...) {
        return kFailure;
    }
}

extern "C" AMIRTUPT_API uint32_t product_update_pi(PPInfo *record) {
    try {
        return withRecord(record, [](const PPInfo *r) { return impl::product_update_pi(r); });
    } catch (...) {
        return kFailure;
    }
}

extern "C" AMIRTUPT_API uint32_t product_remove(const char *productName, int32_t productType) {
    try {
        return impl::product_remove(productName, productType);
    } catch (...) {
        return kFailure;
    }
}

extern "C" AMIRTUPT_API uint32_t product_process(uint32_t command, PPInfo *record) {
    try {
        return impl::product_process(command, record);
    } catch (...) {
        return kFailure;
    }
}

extern "C" AMIRTUPT_API void *EnterMutex(const char *name, uint32_t timeout) {
    try {
        return impl::EnterMutex(name, timeout);
    } catch (...) {
        return nullptr;
    }
}

extern "C" AMIRTUPT_API void OutMutex(void *handle) {
    try {
        impl::OutMutex(handle);
    } catch (...) {
    }
}

extern "C" AMIRTUPT_API int32_t SetEventLogEvent(void) {
    try {
        return impl::SetEventLogEvent();
    } catch (...) {
        return 0;
    }
}
