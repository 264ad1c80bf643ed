// Inner product reconciliation: ProcAlertReport imports automatic outer
// products that have no inner product, updates those whose product time
// changed and removes automatic inner products whose outer product is gone,
// each through a report table copy.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "amacre.h"
#include "amirtupt.h"
#include "boundary.h"
#include "capacities.h"
#include "names.h"
#include "qorutil.h"
#include "reconcile.h"
#include "rtcopy.h"
#include "tblsync.h"
#include "trace.h"
#include "w32compat.h"

namespace amirtupt {

namespace {

constexpr const char kTraceSource[] = "amirtupt";

// The language of a pass when the copy library cannot tell it.
constexpr DWORD kPassDefaultLanguage = kLanguageJapanese;
constexpr DWORD kPathNameCapacity = 8193;

// A pass repeats stages A to C while removals ask for the traditional table
// again; an inner product that cannot be deleted would otherwise keep one
// call going for ever. The remaining work is picked up by the next call.
constexpr int kMaxPassRuns = 16;

bool isZero(const FILETIME &t) {
    return t.dwLowDateTime == 0 && t.dwHighDateTime == 0;
}

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
        language_ = kPassDefaultLanguage;
        if (AMACRTReadLanguageID(&language_) == 0) language_ = kPassDefaultLanguage;

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
        if (AMACRERegReadEx(HKEY_LOCAL_MACHINE, kAlertManKey, kPathNameSetting, &type, &size,
                            path) == 0) {
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
        execRTCopy(path, CopyMode::Traditional, "", 0, "", 0, language_, 0);
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
        execRTCopy(name, CopyMode::Create, outer.reportTable, outer.reportTableSize, "", 0,
                   language_, 0);
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
            ChangeWatch watch(outer.displayName, start_, updating_);
            pplog("%s: Begin update report table.\n", name);
            TRACE_AS("ProcAlertReport", kProgress, "Begin update report table : %s", name);
            execRTCopy(name, CopyMode::Update, outer.reportTable, outer.reportTableSize,
                       inner->registeredPath, inner->registeredPathLength, language_, 1);
            if (watch.changed()) {
                ResetEvent(updating_);
                TRACE_AS("ProcAlertReport", kDetail, "event update end: %s\n", outer.displayName);
            }
        } else {
            TRACE_AS("ProcAlertReport", kDetail, "Event update start. %s\n", outer.displayName);
            SetEvent(start_);
            SetEvent(updating_);
            pplog("%s: Begin update report table.\n", name);
            TRACE_AS("ProcAlertReport", kProgress, "Begin update report table : %s", name);
            execRTCopy(name, CopyMode::Update, outer.reportTable, outer.reportTableSize,
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
        execRTCopy(name, CopyMode::Remove, reinterpret_cast<const char *>(inner->source.get()),
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
    DWORD language_ = kPassDefaultLanguage;
    DWORD traditional_ = 0;
    bool changed_ = false;
    bool closingForced_ = false;
    ReadBatch batch_;
};

// Tells the event log module and the product link log that a pass changed
// the registry.
void closePass(uint32_t *lpdwProcCnts) {
    TRACE_AS("ProcAlertReport", kDetail, "registry changed!\n");
    HANDLE event = OpenEvent(EVENT_ALL_ACCESS, FALSE, kEventlogModEvent);
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

}  // namespace

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

}  // namespace amirtupt

extern "C" AMIRTUPT_API int32_t ProcAlertReport(uint32_t *lpdwProcCnts, void *hStartRTCopyEvent,
                                                void *hUpdatingRTCopyEvent) noexcept {
    return amirtupt::guarded(0, [&] {
        return amirtupt::procAlertReport(lpdwProcCnts, hStartRTCopyEvent, hUpdatingRTCopyEvent);
    });
}
