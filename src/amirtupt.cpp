// Report table import and the product link thread.
//
// ExecRTCopy runs one report-table copy through the copy library, UpdateSrc
// appends the sources a copy registered to the product's inner product,
// ProcAlertReport reconciles the inner products with the outer products, and
// AM_Dll_ReportTableUpdate is the host's product link thread that keeps the
// product registry in step with the report information files.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "amacre.h"
#include "amirtupt.h"
#include "capacities.h"
#include "qortrace.h"
#include "qorutil.h"
#include "tblsync.h"
#include "trace.h"
#include "w32compat.h"

namespace {

constexpr const char kTraceSource[] = "amirtupt";

using amirtupt::kDetail;
using amirtupt::kError;
using amirtupt::kFirstReadSize;
using amirtupt::kNameCapacity;
using amirtupt::kProgress;
using amirtupt::kReportTableCapacity;
using amirtupt::kVersionCapacity;
using amirtupt::orNull;

// ---- Resources -----------------------------------------------------------

// Blocks from AMACREAlloc and the name blocks of the enumerations go back
// with free.
struct FreeDeleter {
    void operator()(void *p) const noexcept { std::free(p); }
};
using MallocBlock = std::unique_ptr<BYTE, FreeDeleter>;
using NameBlock = std::unique_ptr<char, FreeDeleter>;

// ---- Names -----------------------------------------------------------------

constexpr const char kSaveReportTable[] = "ReportTable";
constexpr const char kSaveTablePath[] = "TablePath";
constexpr const char kSaveRegisterPath[] = "RegisterPath";
constexpr const char kSaveRegisterSrc[] = "RegisterSrc";
constexpr const char kSaveTraditional[] = "Traditional";

constexpr const char kAlertManKey[] = "SOFTWARE\\ORV\\QORAlertMan";
constexpr const char kOuterProductsKey[] = "SOFTWARE\\ORV\\ALERTREPORT";
constexpr const char kTraditionalTable[] = "\\PROGRAM\\AMIREPRT.TBL";

constexpr const char kEventlogSemaName[] = "EVENTLOG_SEMA";
constexpr const char kStartEventName[] = "AlertManagerBeginUpdatingReportTable";
constexpr const char kUpdatingEventName[] = "AlertManagerUpdatingReportTable";
constexpr const char kEventlogModEventName[] = "Eventlog_Mod_Event";

constexpr DWORD kTypeBinary = REG_BINARY;
constexpr DWORD kTypeNumber = REG_DWORD;

constexpr DWORD kPathNameCapacity = 8193;

constexpr DWORD kDefaultLanguage = 1041;
constexpr DWORD kDefaultCycle = 900000;

// A pass repeats stages A to C while removals ask for the traditional table
// again; an inner product that cannot be deleted would otherwise keep one
// call going for ever. The remaining work is picked up by the next call.
constexpr int kMaxPassRuns = 16;

constexpr DWORD kModeCreate = 0;
constexpr DWORD kModeUpdate = 1;
constexpr DWORD kModeRemove = 2;
constexpr DWORD kModeTraditional = 3;

// ---- Process-wide state of the report table copy --------------------------

// Set by the change callback (on the thread that runs the copy), cleared
// before every update copy.
int32_t bReportTableChanged = 0;
// Display name of the product under a slimmed update (callback trace line).
const char *lpszReporTableDisplayName = nullptr;
// The link thread's two events, signalled by the change callback.
HANDLE hReportTableStartRTCopyEvent = nullptr;
HANDLE hReportTableUpdatingRTCopyEvent = nullptr;
// The copy library, held loaded from process attach to process detach.
HMODULE g_hTblsync = nullptr;

// ---- Process-wide state of the product link thread -------------------------

PPInfo *ppinfos = nullptr;
HANDLE hStartRTCopyEvent = nullptr;
HANDLE hUpdatingRTCopyEvent = nullptr;
HANDLE hEventlogSema = nullptr;
HKEY hKey = nullptr;
HKEY hAlertManKey = nullptr;
// Set while the registry has not yet been compared with the report
// information files in this process.
int32_t firstrun = 1;

// ---- Helpers ---------------------------------------------------------------

// Length to print of a run of bytes that may lack its NUL.
int printableLength(const char *s, uint32_t size) {
    if (s == nullptr) return 0;
    const void *nul = std::memchr(s, '\0', size);
    return static_cast<int>(nul != nullptr ? static_cast<const char *>(nul) - s : size);
}

bool isZero(const FILETIME &t) {
    return t.dwLowDateTime == 0 && t.dwHighDateTime == 0;
}

// Reads an inner save parameter of up to `capacity` bytes into `data`;
// *length receives its length (0 after a failure).
bool readSaveParam(const char *name, void *data, DWORD capacity, DWORD *length) {
    DWORD size = capacity;
    DWORD type = 0;
    if (AMACRTReadInnerSaveParam(name, &size, &type, data) == 0 || size > capacity) {
        *length = 0;
        return false;
    }
    *length = size;
    return true;
}

void writeTraditional(DWORD value) {
    AMACRTWriteInnerSaveParam(kSaveTraditional, sizeof value, kTypeNumber, &value);
}

// ---- Report table copy -------------------------------------------------------

int32_t initChangedReportTable() {
    TRACE_AS("InitChangedReportTable", kDetail, ">");
    bReportTableChanged = 0;
    TRACE_AS("InitChangedReportTable", kDetail, "<return %d", TRUE);
    return TRUE;
}

int32_t callBackChangedReportTable() {
    TRACE_AS("CallBackChangedReportTable", kDetail, ">");
    if (bReportTableChanged == 0) {
        TRACE_AS("CallBackChangedReportTable", kDetail, "Event update start: %s\n",
                 orNull(lpszReporTableDisplayName));
        SetEvent(hReportTableStartRTCopyEvent);
        SetEvent(hReportTableUpdatingRTCopyEvent);
        bReportTableChanged = 1;
    }
    TRACE_AS("CallBackChangedReportTable", kDetail, "<return %d", TRUE);
    return TRUE;
}

int32_t updateSrc(const char *lpszProduct) {
    TRACE_AS("UpdateSrc", kDetail, ">Params: lpszProduct=%s", orNull(lpszProduct));
    int32_t result = 0;
    [&] {
        if (lpszProduct == nullptr) return;

        // "RegisterSrc": a first read to learn its length, a second one whole.
        BYTE first[kFirstReadSize] = {};
        DWORD srcSize = sizeof first;
        DWORD type = 0;
        if (AMACRTReadInnerSaveParam(kSaveRegisterSrc, &srcSize, &type, first) == 0 &&
            GetLastError() != ERROR_MORE_DATA) {
            TRACE_AS("UpdateSrc", kError, "ERROR Read registry source : %s", kSaveRegisterSrc);
            return;
        }
        DWORD capacity = srcSize != 0 ? srcSize : 1;
        MallocBlock registered(static_cast<BYTE *>(AMACREAlloc(AMACRE_ZEROINIT, capacity)));
        if (!registered) {
            TRACE_AS("UpdateSrc", kError, "Allocate memory error : size=%d",
                     static_cast<int>(capacity));
            return;
        }
        AMACREAdjustSize(&capacity);
        DWORD registeredLength = capacity;
        if (AMACRTReadInnerSaveParam(kSaveRegisterSrc, &registeredLength, &type,
                                     registered.get()) == 0 ||
            registeredLength > capacity) {
            TRACE_AS("UpdateSrc", kError, "ERROR Read registry source : %s", kSaveRegisterSrc);
            return;
        }

        // The product's source data, the same way.
        BYTE sourceFirst[kFirstReadSize] = {};
        InnerProductParam block{};
        block.dwSize = sizeof block;
        block.dwSourceSize = sizeof sourceFirst;
        block.lpSource = sourceFirst;
        if (AMACRTReadInnerProductParam(0, lpszProduct, &block) == 0 &&
            GetLastError() != ERROR_MORE_DATA) {
            TRACE_AS("UpdateSrc", kError, "ERROR read InnerProductParameter : product=%s",
                     lpszProduct);
            return;
        }
        uint64_t wanted = uint64_t{block.dwSourceSize} + registeredLength;
        if (wanted > UINT32_MAX) {
            TRACE_AS("UpdateSrc", kError, "ERROR read InnerProductParameter : product=%s",
                     lpszProduct);
            return;
        }
        DWORD sourceCapacity = wanted != 0 ? static_cast<DWORD>(wanted) : 1;
        MallocBlock source(static_cast<BYTE *>(AMACREAlloc(AMACRE_ZEROINIT, sourceCapacity)));
        if (!source) {
            TRACE_AS("UpdateSrc", kError, "ERROR read InnerProductParameter : product=%s",
                     lpszProduct);
            return;
        }
        AMACREAdjustSize(&sourceCapacity);
        block = InnerProductParam{};
        block.dwSize = sizeof block;
        block.dwSourceSize = sourceCapacity;
        block.lpSource = source.get();
        if (AMACRTReadInnerProductParam(0, lpszProduct, &block) == 0 ||
            uint64_t{block.dwSourceSize} + registeredLength > sourceCapacity) {
            TRACE_AS("UpdateSrc", kError, "ERROR read InnerProductParameter : product=%s",
                     lpszProduct);
            return;
        }

        // Append behind the existing sources and store the whole run.
        if (registeredLength != 0) {
            std::memcpy(source.get() + block.dwSourceSize, registered.get(), registeredLength);
        }
        InnerProductParam write{};
        write.dwSize = sizeof write;
        write.dwSourceSize = block.dwSourceSize + registeredLength;
        write.lpSource = source.get();
        AMACRTWriteInnerProductParam(1, lpszProduct, &write);
        result = 1;
    }();
    TRACE_AS("UpdateSrc", kDetail, "<return %d", result);
    return result;
}

int32_t execRTCopy(const char *lpszProduct, uint32_t dwMode, const char *lpszString,
                   uint32_t dwSize, const char *lpszOrgString, uint32_t dwOrgSize,
                   uint32_t dwEnvironmentLanguageID, int32_t bSlimed) {
    // The two runs of bytes are printed as strings, never past their size.
    TRACE_AS("ExecRTCopy", kDetail,
             ">Params: lpszProduct=%s, dwMode=%d, lpszString=%.*s, dwSize=%d, lpszOrgString=%.*s, "
             "dwOrgSize=%d, dwEnvironmentLanguageID=%d, bSlimed=%d",
             orNull(lpszProduct), static_cast<int>(dwMode),
             lpszString != nullptr ? printableLength(lpszString, dwSize) : 4, orNull(lpszString),
             static_cast<int>(dwSize),
             lpszOrgString != nullptr ? printableLength(lpszOrgString, dwOrgSize) : 4,
             orNull(lpszOrgString), static_cast<int>(dwOrgSize),
             static_cast<int>(dwEnvironmentLanguageID), static_cast<int>(bSlimed));

    if (lpszProduct == nullptr || (lpszString == nullptr && dwSize != 0) ||
        (lpszOrgString == nullptr && dwOrgSize != 0)) {
        TRACE_AS("ExecRTCopy", kError, "invalid parameter");
        TRACE_AS("ExecRTCopy", kDetail, "<return %d", 0);
        return 0;
    }

    const char *modeWord = nullptr;
    switch (dwMode) {
        case kModeCreate:
            modeWord = "CREATE";
            break;
        case kModeUpdate:
            modeWord = "UPDATE";
            break;
        case kModeRemove:
            modeWord = "REMOVE";
            break;
        default:
            break;
    }
    TRACE_AS("ExecRTCopy", kDetail, "mode to deal with the product : %s", orNull(modeWord));

    // The copy library takes its data from the inner save parameters.
    AMACRTWriteInnerSaveParam(kSaveReportTable, dwSize, kTypeBinary, lpszString);
    AMACRTWriteInnerSaveParam(kSaveTablePath, dwOrgSize, kTypeBinary, lpszOrgString);

    void *argv[4] = {};
    DWORD argc = 0;
    auto product = const_cast<char *>(lpszProduct);
    switch (dwMode) {
        case kModeCreate:
        case kModeRemove:
            argv[argc++] = const_cast<char *>(modeWord);
            argv[argc++] = product;
            break;
        case kModeUpdate:
            initChangedReportTable();
            argv[argc++] = const_cast<char *>(modeWord);
            argv[argc++] =
                bSlimed != 0 ? reinterpret_cast<void *>(&CallBackChangedReportTable) : nullptr;
            argv[argc++] = product;
            break;
        default:
            argv[argc++] = product;
            break;
    }

    RTCopyRequest request{};
    request.qwSize = sizeof request;
    request.dwPriority = 100;
    request.lpReserved = nullptr;
    request.dwArgc = argc;
    request.lppArgv = argv;

    int32_t result = 0;
    if (RTCopy(&request, 0) == 0) {
        if (dwMode == kModeUpdate) updateSrc(lpszProduct);
        result = 1;
    }
    TRACE_AS("ExecRTCopy", kDetail, "<return %d", result);
    return result;
}

int32_t dllMain(uint32_t dwReason) {
    TRACE_AS("DllMain", kDetail, ">dwReason=%d", static_cast<int>(dwReason));
    int32_t result = TRUE;
    if (dwReason == DLL_PROCESS_ATTACH) {
        HMODULE module = LoadLibrary("tblsync.dll");
        if (module == nullptr) {
            TRACE_AS("DllMain", kError, "load tblsync.dll failed.");
            result = FALSE;
        } else if (g_hTblsync == nullptr) {
            g_hTblsync = module;
        } else {
            FreeLibrary(module);  // already pinned by an earlier attach
        }
    } else if (dwReason == DLL_PROCESS_DETACH) {
        if (g_hTblsync != nullptr) {
            FreeLibrary(g_hTblsync);
            g_hTblsync = nullptr;
        } else {
            TRACE_AS("DllMain", kError, "free tblsync.dll failed.");
        }
    }
    TRACE_AS("DllMain", kDetail, "<return %d.", result);
    return result;
}

// ---- Inner product reconciliation ----------------------------------------------

// The values of one outer product.
// The text buffers are filled by read() only; an up-to-date product never
// needs them.
struct OuterProduct {
    char name[kNameCapacity];
    char reportTable[kReportTableCapacity];
    DWORD reportTableSize = 0;
    char displayName[kNameCapacity];
    DWORD languageId = 0;
    DWORD productId = 0;
    char version[kVersionCapacity];
    DWORD productType = 0;

    // The product type alone: all that an up-to-date product needs.
    bool readType(const char *product) {
        OuterProductParam block{};
        block.dwSize = sizeof block;
        block.lpdwProductType = &productType;
        return AMACRTReadProductParam(0, product, &block) != 0;
    }

    // Every value, for a copy and the inner product written after it.
    bool read(const char *product) {
        std::memset(name, 0, sizeof name);
        std::memset(reportTable, 0, sizeof reportTable);
        std::memset(displayName, 0, sizeof displayName);
        std::memset(version, 0, sizeof version);
        OuterProductParam block{};
        block.dwSize = sizeof block;
        block.dwProductNameSize = sizeof name;
        block.lpszProductName = name;
        block.dwReportTableSize = sizeof reportTable;
        block.lpszReportTable = reportTable;
        block.dwDisplayNameSize = sizeof displayName;
        block.lpszDisplayName = displayName;
        block.lpdwLanguageID = &languageId;
        block.lpdwProductID = &productId;
        block.dwVersionSize = sizeof version;
        block.lpszVersion = version;
        block.lpdwProductType = &productType;
        bool ok = AMACRTReadProductParam(0, product, &block) != 0;
        reportTableSize =
            ok && block.dwReportTableSize <= sizeof reportTable ? block.dwReportTableSize : 0;
        name[sizeof name - 1] = '\0';
        displayName[sizeof displayName - 1] = '\0';
        version[sizeof version - 1] = '\0';
        return ok;
    }
};

// The registered report table path as the last copy stored it.
struct RegisteredPath {
    char path[kReportTableCapacity] = {};
    DWORD length = 0;

    void read() {
        if (!readSaveParam(kSaveRegisterPath, path, sizeof path, &length)) {
            TRACE_AS("ProcAlertReport", kError, "Error read %s", kSaveRegisterPath);
            std::memset(path, 0, sizeof path);
        }
    }
};

// The inner product's record, its source data in a block of its own length.
struct InnerProduct {
    MallocBlock source;
    DWORD sourceLength = 0;
    FILETIME storedTime{};
    // Filled by readDetails() only.
    char name[kNameCapacity];
    char registeredPath[kReportTableCapacity];
    DWORD registeredPathLength = 0;
    char displayName[kNameCapacity];
    DWORD languageId = 0;
    DWORD productId = 0;

    // The first read into a buffer of the usual size, with the stored time.
    struct FirstRead {
        BYTE source[kFirstReadSize] = {};
        DWORD length = 0;    // the whole source data's length
        bool whole = false;  // the data and the stored time came with it
        FILETIME storedTime{};
    };

    // True when the source data's length can be had.
    static bool readFirst(const char *product, FirstRead *first) {
        InnerProductParam block{};
        block.dwSize = sizeof block;
        block.dwSourceSize = sizeof first->source;
        block.lpSource = first->source;
        block.lpProductTime = &first->storedTime;
        first->whole = AMACRTReadInnerProductParam(0, product, &block) != 0;
        if (!first->whole && GetLastError() != ERROR_MORE_DATA) return false;
        first->length = block.dwSourceSize;
        return true;
    }

    // The length of the source data (true when it can be had).
    static bool sourceLengthOf(const char *product, DWORD *length) {
        FirstRead first;
        if (!readFirst(product, &first)) return false;
        *length = first.length;
        return true;
    }

    // The second read into the block of `capacity` bytes, spared when the
    // first read brought everything it would: an up-to-date product then
    // costs one read of its inner record.
    void readSource(const char *product, DWORD capacity, const FirstRead &first) {
        if (!first.whole || first.length > capacity) {
            readSource(product, capacity);
            return;
        }
        std::memcpy(source.get(), first.source, first.length);
        sourceLength = first.length;
        storedTime = first.storedTime;
    }

    // Second read into a block of `capacity` bytes (already allocated): the
    // source data and the stored time.
    void readSource(const char *product, DWORD capacity) {
        InnerProductParam block{};
        block.dwSize = sizeof block;
        block.dwSourceSize = capacity;
        block.lpSource = source.get();
        block.lpProductTime = &storedTime;
        if (AMACRTReadInnerProductParam(0, product, &block) == 0) {
            TRACE_AS("ProcAlertReport", kError, "Error read inner product : %s", product);
            storedTime = FILETIME{};
            sourceLength = 0;
            return;
        }
        sourceLength = block.dwSourceSize <= capacity ? block.dwSourceSize : 0;
    }

    // The rest of the record, for an update.
    void readDetails(const char *product) {
        std::memset(name, 0, sizeof name);
        std::memset(registeredPath, 0, sizeof registeredPath);
        std::memset(displayName, 0, sizeof displayName);
        InnerProductParam block{};
        block.dwSize = sizeof block;
        block.dwProductNameSize = sizeof name;
        block.lpszProductName = name;
        block.dwRegisterPathSize = sizeof registeredPath;
        block.lpszRegisterPath = registeredPath;
        block.dwDisplayNameSize = sizeof displayName;
        block.lpszDisplayName = displayName;
        block.lpdwLanguageID = &languageId;
        block.lpdwProductID = &productId;
        if (AMACRTReadInnerProductParam(0, product, &block) == 0) {
            TRACE_AS("ProcAlertReport", kError, "Error read inner product : %s", product);
            registeredPathLength = 0;
            return;
        }
        registeredPathLength =
            block.dwRegisterPathSize <= sizeof registeredPath ? block.dwRegisterPathSize : 0;
        name[sizeof name - 1] = '\0';
        displayName[sizeof displayName - 1] = '\0';
    }
};

// Writes the inner product from the outer product's values; `emptySource`
// also stores empty source data (a new inner product).
void writeInner(const char *product, OuterProduct &outer, FILETIME &productTime,
                RegisteredPath &registered, bool emptySource) {
    static char empty[1] = "";
    InnerProductParam block{};
    block.dwSize = sizeof block;
    if (emptySource) {
        block.dwSourceSize = 0;
        block.lpSource = reinterpret_cast<LPBYTE>(empty);
    }
    block.lpProductTime = &productTime;
    block.dwProductNameSize = 0;
    block.lpszProductName = outer.name;
    block.dwRegisterPathSize = registered.length;
    block.lpszRegisterPath = registered.path;
    block.dwDisplayNameSize = 0;
    block.lpszDisplayName = outer.displayName;
    block.lpdwLanguageID = &outer.languageId;
    block.lpdwProductID = &outer.productId;
    block.dwVersionSize = 0;
    block.lpszVersion = outer.version;
    block.lpdwProductType = &outer.productType;
    if (AMACRTWriteInnerProductParam(1, product, &block) == 0) {
        TRACE_AS("ProcAlertReport", kError, "Error write inner product : %s", product);
    }
}

// The reads of a pass share one registry transaction: the store is locked
// once for a run of reads instead of once per read. The batch is closed
// before every copy and write, which run in transactions of their own.
class ReadBatch {
  public:
    ReadBatch() = default;
    ReadBatch(const ReadBatch &) = delete;
    ReadBatch &operator=(const ReadBatch &) = delete;
    ~ReadBatch() { end(); }

    void begin() {
        // A transaction the caller already holds is not ours to end.
        if (!own_) own_ = RegBeginTransaction() == ERROR_SUCCESS;
    }
    void end() {
        if (own_) {
            own_ = false;
            RegCommitTransaction();  // nothing was written: a failure loses nothing
        }
    }

  private:
    bool own_ = false;
};

class ReconciliationPass {
  public:
    ReconciliationPass(HANDLE start, HANDLE updating) : start_(start), updating_(updating) {}

    // Runs stages A to C until no removal asks for the traditional table
    // again; returns the pass's result.
    int32_t run() {
        for (int runs = 1;; ++runs) {
            stageA();
            stageB();
            if (!stageC()) {
                batch_.end();
                return 0;
            }
            if (traditional_ == 0) return 1;
            if (runs == kMaxPassRuns) {
                TRACE_AS("ProcAlertReport", kError,
                         "inner products still removed after %d runs; the next pass goes on", runs);
                return 1;
            }
        }
    }

    // True when the closing step is due.
    bool changed() const { return changed_ || closingForced_; }

  private:
    // Stage A: the language of the pass and the traditional import.
    void stageA() {
        batch_.begin();
        language_ = kDefaultLanguage;
        if (AMACRTReadLanguageID(&language_) == 0) language_ = kDefaultLanguage;

        DWORD length = 0;
        traditional_ = 0;
        if (!readSaveParam(kSaveTraditional, &traditional_, sizeof traditional_, &length)) {
            traditional_ = 0;
        }
        if (traditional_ == 0) {
            batch_.end();
            return;
        }

        char path[kPathNameCapacity + sizeof kTraditionalTable] = {};
        DWORD size = kPathNameCapacity;
        DWORD type = 0;
        if (AMACRERegReadEx(HKEY_LOCAL_MACHINE, kAlertManKey, "PathName", &type, &size, path) ==
            0) {
            std::memset(path, 0, sizeof path);
            if (GetQorRootPath(path, kPathNameCapacity) <= 0) path[0] = '\0';
            TRACE_AS("ProcAlertReport", kError, "PathName unreadable at %s, using %s", kAlertManKey,
                     path);
        }
        batch_.end();
        path[kPathNameCapacity - 1] = '\0';
        std::strcat(path, kTraditionalTable);
        TRACE_AS("ProcAlertReport", kDetail, "got PathName %s\n", path);
        TRACE_AS("ProcAlertReport", kDetail, "Event traditional start.\n");
        SetEvent(start_);
        SetEvent(updating_);
        execRTCopy(path, kModeTraditional, "", 0, "", 0, language_, 0);
        ResetEvent(updating_);
        TRACE_AS("ProcAlertReport", kDetail, "Event traditional end.\n");
        writeTraditional(0);
        traditional_ = 0;
    }

    // Stage B: import new automatic outer products, update changed ones.
    void stageB() {
        batch_.begin();
        DWORD count = 0, maxLength = 0;
        LPSTR names = nullptr;
        BOOL listed = AMACRTEnumProduct(&count, &maxLength, &names);
        NameBlock block(names);
        if (listed == 0) {
            TRACE_AS("ProcAlertReport", kDetail, "EnmuProduct Error!");
            return;
        }
        for (DWORD i = 0; i < count && names != nullptr; ++i) {
            const char *name = names + size_t{i} * (size_t{maxLength} + 1);
            if (!outerProduct(name)) break;
        }
        batch_.end();
    }

    // One outer product; false ends stage B.
    bool outerProduct(const char *name) {
        std::unique_ptr<OuterProduct> outer(new OuterProduct);
        if (!outer->readType(name)) {
            TRACE_AS("ProcAlertReport", kError, "Error read product parameter : %s", name);
            outer->productType = PPTYPE_MANUAL;  // left alone
        }
        if (outer->productType != 0) {
            TRACE_AS("ProcAlertReport", kDetail, "Get a not auto product: %s\n", name);
            return true;
        }
        TRACE_AS("ProcAlertReport", kDetail, "Get a  auto  product: %s\n", name);

        FILETIME productTime{};
        if (AMACRTGetProductTime(name, &productTime) == 0) {
            TRACE_AS("ProcAlertReport", kError, "Error GetProductTime : %s\n", name);
            pplog("%s: Error get product time.\n", name);
            productTime = FILETIME{};
        }
        DWORD innerExists = 0;
        if (AMACRTCheckInnerProduct(name, &innerExists) == 0) {
            TRACE_AS("ProcAlertReport", kError, "Error check inner product : %s", name);
            innerExists = 0;
        }
        if (innerExists == 0) {
            if (!outer->read(name)) {
                TRACE_AS("ProcAlertReport", kError, "Error read product parameter : %s", name);
                return true;
            }
            batch_.end();
            importProduct(name, *outer, productTime);
            batch_.begin();
            return true;
        }
        return updateCheck(name, *outer, productTime);
    }

    void importProduct(const char *name, OuterProduct &outer, FILETIME &productTime) {
        TRACE_AS("ProcAlertReport", kProgress, "Import report table start: %s\n", name);
        pplog("%s: Import report table start!\n", name);
        SetEvent(start_);
        SetEvent(updating_);
        execRTCopy(name, kModeCreate, outer.reportTable, outer.reportTableSize, "", 0, language_,
                   0);
        ResetEvent(updating_);
        TRACE_AS("ProcAlertReport", kError, "Import report table end : %s", name);
        pplog("%s: Import report table end!\n", name);
        SetEvent(start_);
        AMACRTAddInnerProduct(name);
        RegisteredPath registered;
        registered.read();
        writeInner(name, outer, productTime, registered, /*emptySource=*/true);
        updateSrc(name);
        pplog("%s: Inner registered. INSTALL over.\n", name);
        TRACE_AS("ProcAlertReport", kProgress, "%s: Inner registered. INSTALL over.\n", name);
        changed_ = true;
    }

    // An outer product with an inner product; false ends stage B.
    bool updateCheck(const char *name, OuterProduct &outer, FILETIME &productTime) {
        InnerProduct::FirstRead first;
        if (!InnerProduct::readFirst(name, &first)) {
            TRACE_AS("ProcAlertReport", kError, "Error read source : %s", name);
            pplog("%s: Error read source\n", name);
            return false;
        }
        DWORD capacity = first.length != 0 ? first.length : 1;
        std::unique_ptr<InnerProduct> inner(new InnerProduct);
        inner->source.reset(static_cast<BYTE *>(AMACREAlloc(AMACRE_ZEROINIT, capacity)));
        if (!inner->source) {
            TRACE_AS("ProcAlertReport", kError, "malloc memory error : size=%d",
                     static_cast<int>(capacity));
            return false;
        }
        AMACREAdjustSize(&capacity);
        inner->readSource(name, capacity, first);

        bool zeroTime = isZero(productTime);
        if (!zeroTime && CompareFileTime(&productTime, &inner->storedTime) == 0) return true;
        if (!outer.read(name)) {
            TRACE_AS("ProcAlertReport", kError, "Error read product parameter : %s", name);
            return true;
        }
        inner->readDetails(name);

        batch_.end();
        pplog("%s: Find newer version product.\n", name);
        TRACE_AS("ProcAlertReport", kProgress, "Find newer version product : %s", name);
        if (zeroTime) {
            // Slimmed update: the alert manager hears of it only when the copy
            // reports a change through the callback.
            TRACE_AS("ProcAlertReport", kDetail, "Last date time is zero!\n");
            lpszReporTableDisplayName = outer.displayName;
            hReportTableStartRTCopyEvent = start_;
            hReportTableUpdatingRTCopyEvent = updating_;
            pplog("%s: Begin update report table.\n", name);
            TRACE_AS("ProcAlertReport", kProgress, "Begin update report table : %s", name);
            execRTCopy(name, kModeUpdate, outer.reportTable, outer.reportTableSize,
                       inner->registeredPath, inner->registeredPathLength, language_, 1);
            if (bReportTableChanged != 0) {
                ResetEvent(updating_);
                TRACE_AS("ProcAlertReport", kDetail, "event update end: %s\n", outer.displayName);
            }
            lpszReporTableDisplayName = nullptr;  // the buffer goes away with this product
        } else {
            TRACE_AS("ProcAlertReport", kDetail, "Event update start. %s\n", outer.displayName);
            SetEvent(start_);
            SetEvent(updating_);
            pplog("%s: Begin update report table.\n", name);
            TRACE_AS("ProcAlertReport", kProgress, "Begin update report table : %s", name);
            execRTCopy(name, kModeUpdate, outer.reportTable, outer.reportTableSize,
                       inner->registeredPath, inner->registeredPathLength, language_, 0);
            ResetEvent(updating_);
            TRACE_AS("ProcAlertReport", kDetail, "event update end: %s\n", outer.displayName);
        }
        pplog("%s: End update report table.\n", name);
        TRACE_AS("ProcAlertReport", kProgress, "End update report table : %s", name);
        RegisteredPath registered;
        registered.read();
        writeInner(name, outer, productTime, registered, /*emptySource=*/false);
        pplog("%s: Inner registry. UPDATE over.\n", name);
        TRACE_AS("ProcAlertReport", kProgress, "Inner registry. UPDATE over : %s", name);
        changed_ = true;
        batch_.begin();
        return true;
    }

    // Stage C: remove automatic inner products whose outer product is gone.
    // False when the pass ends with result 0.
    bool stageC() {
        batch_.begin();
        DWORD count = 0, maxLength = 0;
        LPSTR names = nullptr;
        BOOL listed = AMACRTEnumInnerProduct(&count, &maxLength, &names);
        NameBlock block(names);
        if (listed == 0) {
            TRACE_AS("ProcAlertReport", kError, "AMACRTEnumInnerProduct Error");
            return false;
        }
        for (DWORD i = 0; i < count && names != nullptr; ++i) {
            const char *name = names + size_t{i} * (size_t{maxLength} + 1);
            if (!innerProduct(i, name)) return false;
        }
        batch_.end();
        return true;
    }

    // One inner product; false ends the pass with result 0.
    bool innerProduct(DWORD index, const char *name) {
        if (GetIProductType(name) != 0) {
            TRACE_AS("ProcAlertReport", kDetail, "ignore : not auto inner Product: %s\n", name);
            return true;
        }
        TRACE_AS("ProcAlertReport", kDetail, "Found auto inner Product: %s\n", name);
        DWORD outerExists = 0;
        if (AMACRTCheckProduct(name, &outerExists) == 0) {
            // Never remove report tables on a failed look-up.
            TRACE_AS("ProcAlertReport", kError, "Error check product : %s", name);
            return true;
        }
        if (outerExists != 0) return true;

        TRACE_AS("ProcAlertReport", kProgress, " Product  %03u is not exist: %s\n", index, name);
        DWORD length = 0;
        if (!InnerProduct::sourceLengthOf(name, &length)) {
            TRACE_AS("ProcAlertReport", kError, "Error read source : %s", name);
            pplog("%s: Error read source!\n", name);
            closingForced_ = true;
            return false;
        }
        std::unique_ptr<InnerProduct> inner(new InnerProduct);
        DWORD capacity = length;
        inner->source.reset(static_cast<BYTE *>(AMACREAlloc(AMACRE_ZEROINIT, capacity)));
        if (!inner->source) {
            TRACE_AS("ProcAlertReport", kError, "malloc memory error : size=%d",
                     static_cast<int>(capacity));
            closingForced_ = true;
            return false;
        }
        AMACREAdjustSize(&capacity);
        inner->readSource(name, capacity);
        inner->readDetails(name);

        batch_.end();
        TRACE_AS("ProcAlertReport", kProgress, "Remove report table start : %s", name);
        pplog("%s: Remove report table start!\n", name);
        SetEvent(start_);
        SetEvent(updating_);
        execRTCopy(name, kModeRemove, reinterpret_cast<const char *>(inner->source.get()),
                   inner->sourceLength, "", 0, language_, 0);
        ResetEvent(updating_);
        TRACE_AS("ProcAlertReport", kProgress, "Remove report table end : %s", name);
        pplog("%s: Remove report table end!\n", name);
        AMACRTDeleteInnerProduct(name);
        TRACE_AS("ProcAlertReport", kProgress, "Product REMOVE over : %s", name);
        pplog("%s: Product REMOVE over!\n", name);
        inner.reset();
        writeTraditional(1);
        traditional_ = 1;
        changed_ = true;
        batch_.begin();
        return true;
    }

    HANDLE start_;
    HANDLE updating_;
    DWORD language_ = kDefaultLanguage;
    DWORD traditional_ = 0;
    bool changed_ = false;
    bool closingForced_ = false;
    ReadBatch batch_;
};

// Tells the event log module and the product link log that a pass changed
// the registry.
void closePass(uint32_t *lpdwProcCnts) {
    TRACE_AS("ProcAlertReport", kDetail, "registry changed!\n");
    HANDLE event = OpenEvent(EVENT_ALL_ACCESS, FALSE, kEventlogModEventName);
    if (event != nullptr) {
        SetEvent(event);
        CloseHandle(event);
    }
    uint32_t n = 0;
    if (lpdwProcCnts != nullptr) {
        n = *lpdwProcCnts;
        *lpdwProcCnts = n + 1;
    }
    TRACE_AS("ProcAlertReport", kProgress,
             "%03u--------------------------------------------------\n", n);
    pplognotime("------------------------------------------------------------\n");
}

int32_t procAlertReport(uint32_t *lpdwProcCnts, HANDLE start, HANDLE updating) {
    TRACE_AS("ProcAlertReport", kDetail,
             "> lpdwProcCnts=%p, hStartRTCopyEvent=%p, hUpdatingRTCopyEvent=%p",
             static_cast<void *>(lpdwProcCnts), start, updating);
    int32_t result = 0;
    try {
        auto pass = std::make_unique<ReconciliationPass>(start, updating);
        result = pass->run();
        if (pass->changed()) closePass(lpdwProcCnts);
    } catch (const std::bad_alloc &) {
        TRACE_AS("ProcAlertReport", kError, "malloc memory error : size=%d",
                 static_cast<int>(sizeof(ReconciliationPass)));
        result = 0;
    }
    TRACE_AS("ProcAlertReport", kDetail, "< return value %d", result);
    return result;
}

// ---- Product link thread ---------------------------------------------------------

// Waits on the host's stop event; true when it was signalled. A stop event
// that cannot be waited on still keeps the loop to its pace.
bool waitForStop(HANDLE stop, DWORD milliseconds) {
    DWORD rc = WaitForSingleObject(stop, milliseconds);
    if (rc == WAIT_OBJECT_0) return true;
    if (rc != WAIT_TIMEOUT) {
        TRACE_AS("AM_Dll_ReportTableUpdate", kError, "wait for stop event error : %u", rc);
        Sleep(milliseconds);
    }
    return false;
}

void clearUpState() {
    TRACE_AS("clearUp", kDetail, ">");
    QORPPLX_PPInfoClear(ppinfos);
    ppinfos = nullptr;
    if (hEventlogSema != nullptr) {
        CloseHandle(hEventlogSema);
        hEventlogSema = nullptr;
    }
    // CloseHandle closes keys as well as events.
    auto close = [](auto &handle) {
        HANDLE h = reinterpret_cast<HANDLE>(handle);
        if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
        handle = nullptr;
    };
    close(hAlertManKey);
    close(hKey);
    close(hStartRTCopyEvent);
    close(hUpdatingRTCopyEvent);
    TRACE_AS("clearUp", kDetail, "<");
}

// Registered automatic products against the files of the first scan.
void firstRunReconciliation() {
    firstrun = 0;
    PPInfo *registered = nullptr;
    if (ReadProductsRegisteried(PPTYPE_AUTOMATIC, &registered) == 0) {
        QORPPLX_PPInfoClear(registered);
        return;
    }
    for (PPInfo *r = registered; r != nullptr; r = r->next) {
        PPInfo *disk = QORPPLX_PPInfoFindPPbyProduct(ppinfos, r->ProductName);
        if (disk == nullptr) {
            TRACE_AS("AM_Dll_ReportTableUpdate", kProgress, "Remove product: %s", r->ProductName);
            pplog("Remove product: %s\n", r->ProductName);
            unregisterPP(r);
            continue;
        }
        TRACE_AS("AM_Dll_ReportTableUpdate", kDetail, "find the pp on disk : %s", r->ProductName);
        if (QORPPLX_PPVersionNewer(disk, r) != 0) {
            disk->op = PPOP_UPDATE;
            continue;
        }
        std::memcpy(disk->ProductName, r->ProductName, sizeof disk->ProductName);
        int32_t n = r->NumReportTablePath;
        if (n < 0) n = 0;
        if (n > PPINFO_MAX_REPORTTABLES) n = PPINFO_MAX_REPORTTABLES;
        disk->NumReportTablePath = n;
        for (int32_t i = 0; i < n; ++i) {
            std::memcpy(disk->ReportTablePath[i], r->ReportTablePath[i],
                        sizeof disk->ReportTablePath[i]);
        }
        std::memcpy(disk->DisplayName, r->DisplayName, sizeof disk->DisplayName);
        std::memcpy(disk->LanguageID, r->LanguageID, sizeof disk->LanguageID);
        std::memcpy(disk->ProductID, r->ProductID, sizeof disk->ProductID);
        std::memcpy(disk->Version, r->Version, sizeof disk->Version);
        disk->op = PPOP_NONE;
    }
    QORPPLX_PPInfoClear(registered);
}

// Carries out each record's operation for the products the thread owns.
void dispatch() {
    for (PPInfo *p = ppinfos; p != nullptr; p = p->next) {
        const char *name = p->ProductName;
        switch (p->op) {
            case PPOP_CREATE:
                if (GetProductType(name) != 0) {
                    TRACE_AS("AM_Dll_ReportTableUpdate", kProgress,
                             "%s, You are tring to install a product not service.", name);
                    pplog("%s: You are tring to install a product not service.\n", name);
                } else {
                    pplog("Install product: %s\n", name);
                    TRACE_AS("AM_Dll_ReportTableUpdate", kProgress, "Install product: %s", name);
                    registerPP(p);
                    TRACE_AS("AM_Dll_ReportTableUpdate", kProgress, "Install done.");
                }
                break;
            case PPOP_REMOVE:
                if (GetProductType(name) != 0) {
                    TRACE_AS("AM_Dll_ReportTableUpdate", kProgress,
                             "%s: You are tring to remove a product not service.", name);
                    pplog("%s: You are tring to remove a product not service.\n", name);
                } else {
                    pplog("Remove product: %s\n", name);
                    TRACE_AS("AM_Dll_ReportTableUpdate", kProgress, "Remove product: %s", name);
                    unregisterPP(p);
                    TRACE_AS("AM_Dll_ReportTableUpdate", kProgress, "Remove done.");
                }
                break;
            case PPOP_UPDATE:
                if (GetProductType(name) != 0) {
                    TRACE_AS("AM_Dll_ReportTableUpdate", kProgress,
                             "%s: You are tring to update a product not service.", name);
                    pplog("%s: You are tring to update a product not service.\n", name);
                } else {
                    TRACE_AS("AM_Dll_ReportTableUpdate", kProgress, "Update product: %s", name);
                    pplog("Update product: %s\n", name);
                    updatePP(p);
                    TRACE_AS("AM_Dll_ReportTableUpdate", kProgress, "Update done");
                }
                break;
            default:
                break;
        }
    }
}

// Start-up; 0 when the thread can cycle, else its exit code.
uint32_t startUp(DWORD *cycle, DWORD *dispersed) {
    hKey = nullptr;
    hAlertManKey = nullptr;
    hStartRTCopyEvent = nullptr;
    hUpdatingRTCopyEvent = nullptr;
    hEventlogSema = nullptr;

    hStartRTCopyEvent =
        CreateEvent(nullptr, /*bManualReset=*/FALSE, /*bInitialState=*/FALSE, kStartEventName);
    hUpdatingRTCopyEvent =
        CreateEvent(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, kUpdatingEventName);
    if (hStartRTCopyEvent == nullptr || hUpdatingRTCopyEvent == nullptr) {
        TRACE_AS("AM_Dll_ReportTableUpdate", kError, "Create Event error");
        return 2;
    }

    *dispersed = 1;
    if (AMACRTReadDispersedReportTable(dispersed) == 0) *dispersed = 1;

    DWORD type = 0, size = sizeof *cycle;
    if (AMACRERegReadEx(HKEY_LOCAL_MACHINE, kAlertManKey, "ReportTableTimeOut", &type, &size,
                        cycle) == 0) {
        TRACE_AS("AM_Dll_ReportTableUpdate", kError, "pplink's cycle is not defined at : %s\\%s",
                 kAlertManKey, "ReportTableTimeOut");
        *cycle = kDefaultCycle;
    }
    TRACE_AS("AM_Dll_ReportTableUpdate", kProgress, "set cycle to : %d seconds",
             static_cast<int>(*cycle / 1000));

    if (RegCreateKey(HKEY_LOCAL_MACHINE, kOuterProductsKey, &hKey) != ERROR_SUCCESS) {
        hKey = nullptr;
        TRACE_AS("AM_Dll_ReportTableUpdate", kError,
                 "Create/Open key SOFTWARE\\ORV\\ALERTREPORT error\n");
        return 1;
    }
    if (RegOpenKey(HKEY_LOCAL_MACHINE, kAlertManKey, &hAlertManKey) != ERROR_SUCCESS) {
        hAlertManKey = nullptr;
        TRACE_AS("AM_Dll_ReportTableUpdate", kError, "Open key SOFTWARE\\ORV\\QORAlertMan error\n");
        return 1;
    }

    ppinfos = nullptr;
    hEventlogSema = CreateMutex(nullptr, /*bInitialOwner=*/FALSE, kEventlogSemaName);
    if (hEventlogSema == nullptr) {
        TRACE_AS("AM_Dll_ReportTableUpdate", kError, "CreateMutex(%s) error", kEventlogSemaName);
        return 1;
    }
    return 0;
}

uint32_t linkThread(void *pAuto) {
    TraceLogSetThrName("PPLinkThread");
    TRACE_AS("AM_Dll_ReportTableUpdate", kDetail, ">Params : pAuto=%p", pAuto);
    if (pAuto == nullptr) {
        TRACE_AS("AM_Dll_ReportTableUpdate", kError, "param pAuto is null");
        TRACE_AS("AM_Dll_ReportTableUpdate", kDetail, "<return value FALSE");
        return 0;
    }
    HANDLE stop = static_cast<HANDLE *>(pAuto)[1];

    DWORD cycle = kDefaultCycle;
    DWORD dispersed = 1;
    uint32_t code = startUp(&cycle, &dispersed);
    uint32_t passCounter = 0;
    while (code == 0) {
        if (QORPPLX_getPPInfo(&ppinfos) < 0) {
            if (waitForStop(stop, cycle)) {
                TRACE_AS("AM_Dll_ReportTableUpdate", kProgress, "Get stop event.");
                break;
            }
            continue;
        }

        TRACE_AS("AM_Dll_ReportTableUpdate", kProgress, "Wait for reg access mutex : %s",
                 kEventlogSemaName);
        if (WaitForSingleObject(hEventlogSema, INFINITE) != WAIT_OBJECT_0) {
            TRACE_AS("AM_Dll_ReportTableUpdate", kProgress, "WaitForSingleObject error : %d.",
                     static_cast<int>(reinterpret_cast<intptr_t>(hEventlogSema)));
            // Instead of a plain one-second sleep: a stop request still gets
            // through while the mutex cannot be had.
            if (waitForStop(stop, 1000)) {
                TRACE_AS("AM_Dll_ReportTableUpdate", kProgress, "get stop event");
                break;
            }
            continue;
        }

        if (firstrun != 0) firstRunReconciliation();
        dispatch();
        if (dispersed != 0) {
            procAlertReport(&passCounter, hStartRTCopyEvent, hUpdatingRTCopyEvent);
        }
        ppinfos = QORPPLX_PPInfoDeleteAllRemovedPP(ppinfos);
        ReleaseMutex(hEventlogSema);
        TRACE_AS("AM_Dll_ReportTableUpdate", kProgress, "sync registry over. release mutex : %s",
                 kEventlogSemaName);

        if (waitForStop(stop, cycle)) {
            TRACE_AS("AM_Dll_ReportTableUpdate", kProgress, "get stop event");
            break;
        }
    }
    clearUpState();
    TRACE_AS("AM_Dll_ReportTableUpdate", kDetail, "< return value %d", static_cast<int>(code));
    return code;
}

}  // namespace

// ---- Exported entries ----------------------------------------------------------

extern "C" {

AMIRTUPT_API int32_t ExecRTCopy(const char *lpszProduct, uint32_t dwMode, const char *lpszString,
                                uint32_t dwSize, const char *lpszOrgString, uint32_t dwOrgSize,
                                uint32_t dwEnvironmentLanguageID, int32_t bSlimed) {
    try {
        return execRTCopy(lpszProduct, dwMode, lpszString, dwSize, lpszOrgString, dwOrgSize,
                          dwEnvironmentLanguageID, bSlimed);
    } catch (...) {
        return 0;
    }
}

AMIRTUPT_API int32_t UpdateSrc(const char *lpszProduct) {
    try {
        return updateSrc(lpszProduct);
    } catch (...) {
        return 0;
    }
}

AMIRTUPT_API int32_t InitChangedReportTable(void) {
    return initChangedReportTable();
}

AMIRTUPT_API int32_t CallBackChangedReportTable(void) {
    return callBackChangedReportTable();
}

AMIRTUPT_API int32_t DllMain(void *hinstDLL, uint32_t dwReason, void *lpvReserved) {
    (void)hinstDLL;
    (void)lpvReserved;
    try {
        return dllMain(dwReason);
    } catch (...) {
        return FALSE;
    }
}

AMIRTUPT_API int32_t ProcAlertReport(uint32_t *lpdwProcCnts, void *hStartRTCopyEvent,
                                     void *hUpdatingRTCopyEvent) {
    try {
        return procAlertReport(lpdwProcCnts, hStartRTCopyEvent, hUpdatingRTCopyEvent);
    } catch (...) {
        return 0;
    }
}

AMIRTUPT_API uint32_t AM_Dll_ReportTableUpdate(void *pAuto) {
    try {
        return linkThread(pAuto);
    } catch (...) {
        clearUpState();
        return 1;
    }
}

AMIRTUPT_API void clearUp(void) {
    try {
        clearUpState();
    } catch (...) {
    }
}

}  // extern "C"
