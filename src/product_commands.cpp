// The product commands: install, update, registry update and remove of one
// product by hand. Each works on the outer product first and then on the
// inner product and its report tables, all in one registry transaction; when
// the inner half fails, only the outer half's change stays. product_process
// (product_dispatch.cpp) runs them under "EVENTLOG_SEMA".
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
#include "qorutil.h"
#include "rtcopy.h"
#include "tblsync.h"
#include "trace.h"
#include "w32compat.h"

namespace amirtupt::product {

namespace {

constexpr const char kTraceSource[] = "product";

constexpr uint32_t kOk = PPRESULT_OK;
constexpr uint32_t kExistence = PPRESULT_EXISTENCE;
constexpr uint32_t kRemoveNotOwned = PPRESULT_REMOVE_NOT_OWNED;
constexpr uint32_t kNotHigherVersion = PPRESULT_NOT_HIGHER_VERSION;
constexpr uint32_t kUpdateNotOwned = PPRESULT_UPDATE_NOT_OWNED;
constexpr uint32_t kFailure = PPRESULT_FAILURE;
constexpr uint32_t kInstallFailure = PPRESULT_INSTALL_FAILURE;
constexpr uint32_t kInnerFailure = PPRESULT_INNER_FAILURE;
constexpr uint32_t kImportFailure = PPRESULT_IMPORT_FAILURE;

}  // namespace

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
        if (!execRTCopy(name, CopyMode::Create, reportTable, reportTableSize, "", 0, language,
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
        if (!execRTCopy(name, CopyMode::Update, reportTable, reportTableSize, registeredPath,
                        registeredLength, language, /*bSlimed=*/0)) {
            TRACE(kError, "Error: import report table.\n");
            return fail(kImportFailure);
        }
    }

    // The path list as the copy registered it; when it cannot be read the
    // inner product keeps what the buffer holds.
    DWORD pathSize = sizeof registeredPath;
    DWORD pathType = 0;
    if (AMACRTReadInnerSaveParam(kSaveRegisterPath, &pathSize, &pathType, registeredPath)) {
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
    if (created && !updateSrc(name)) {
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

// The start that update and registry update share: their transaction is
// begun, the product exists, is owned by the record's type and can be read
// back. kOk lets the caller go on with the registered record in registered.
uint32_t startUpdate(const char *function, const PPInfo *record,
                     const CommandTransaction &transaction, Malloced<PPInfo> &registered) {
    const char *name = record->ProductName;
    if (!transaction.begun()) {
        message("Update product \"%s\" error\n", name);
        return kFailure;
    }
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
    registered.reset(GetProductInfo(name));
    if (!registered) {
        message("Update product \"%s\" error\n", name);
        return kFailure;
    }
    return kOk;
}

// The end that update and registry update share: the outer product
// rewritten, then, for an update, the inner half; a failed inner half keeps
// the rewritten product key.
uint32_t finishUpdate(const PPInfo *record, CommandTransaction &transaction, bool withInner) {
    const char *name = record->ProductName;
    if (updatePP(record) == -1) {
        TRACE_AS(withInner ? "product_update" : "product_update_pi", kDetail,
                 "Outer update the product error\n");
        message("Update product \"%s\" error\n", name);
        return kFailure;
    }
    if (withInner && product_install_inner(record) != kOk) {
        transaction.keepOuterHalf([record] { return updatePP(record) != -1; });
        message("Update product \"%s\" error\n", name);
        return kFailure;
    }
    if (!transaction.commit()) {
        message("Update product \"%s\" error\n", name);
        return kFailure;
    }
    return kOk;
}

uint32_t product_update(const PPInfo *record) {
    TRACE(kDetail, ">Params: record=%p, ProductName=%s", static_cast<const void *>(record),
          record != nullptr ? record->ProductName : "NULL");
    uint32_t result = kFailure;
    TRACE_EXIT("return value 0x%X", result);
    if (record == nullptr) {
        TRACE(kError, "param proInfo is NULL\n");
        return result;
    }
    CommandTransaction transaction(__func__);
    Malloced<PPInfo> registered;
    result = startUpdate(__func__, record, transaction, registered);
    if (result != kOk) return result;
    bool newer = QORPPLX_PPVersionNewer(record, registered.get()) == 1;
    registered.reset();
    if (!newer) {
        message("Your information file is not a HIGHER VERSION one\n");
        return result = kNotHigherVersion;
    }
    result = finishUpdate(record, transaction, /*withInner=*/true);
    if (result == kOk) {
        message("Product \"%s\" has been UPDATED successfully\n", record->ProductName);
    }
    return result;
}

uint32_t product_update_pi(const PPInfo *record) {
    TRACE(kDetail, ">Params: record=%p, ProductName=%s", static_cast<const void *>(record),
          record != nullptr ? record->ProductName : "NULL");
    uint32_t result = kFailure;
    TRACE_EXIT("<return value 0x%X", result);
    if (record == nullptr) {
        TRACE(kError, "param proInfo is NULL\n");
        return result;
    }
    CommandTransaction transaction(__func__);
    Malloced<PPInfo> readBack;  // only to prove that the product can be read
    result = startUpdate(__func__, record, transaction, readBack);
    if (result != kOk) return result;
    return result = finishUpdate(record, transaction, /*withInner=*/false);
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
    uint32_t result = kFailure;
    TRACE_EXIT("<return value 0x%X", result);
    if (productName == nullptr) {
        TRACE(kError, "param productName is NULL\n");
        return result;
    }
    // The entry line comes once the name is known, at the progress level.
    TRACE(kProgress, ">Params: productName=%s", productName);
    DWORD innerExists = 0;
    if (!AMACRTCheckInnerProduct(productName, &innerExists)) {
        TRACE(kError, "check inner product error");
        return result;
    }
    if (!innerExists) return result = kOk;

    char source[kFirstReadSize] = {};
    InnerProductParam inner;
    std::memset(&inner, 0, sizeof inner);
    inner.dwSize = kBlockSize;
    inner.dwSourceSize = sizeof source;
    inner.lpSource = reinterpret_cast<BYTE *>(source);
    if (!AMACRTReadInnerProductParam(/*flags=*/0, productName, &inner)) {
        TRACE(kError, "read inner pruduct error");
        return result;
    }
    if (!execRTCopy(productName, CopyMode::Remove, source, sizeof source, "", 0,
                    /*dwEnvironmentLanguageID=*/0, /*bSlimed=*/0)) {
        TRACE(kError, "remove product's eventid error");
        return result;
    }
    if (!AMACRTDeleteInnerProduct(productName)) {
        TRACE(kError, "delete inner product error");
        return result;
    }
    return result = kOk;
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

}  // namespace amirtupt::product

// ---- Exported entries ------------------------------------------------------------
// Thin: no exception crosses; each failure becomes the result its caller
// expects.

using amirtupt::guarded;
namespace product = amirtupt::product;

extern "C" {

AMIRTUPT_API uint32_t product_install(PPInfo *record) noexcept {
    return guarded(PPRESULT_INSTALL_FAILURE, [&] {
        return product::withRecord(record,
                                   [](const PPInfo *r) { return product::product_install(r); });
    });
}

AMIRTUPT_API uint32_t product_update(PPInfo *record) noexcept {
    return guarded(PPRESULT_FAILURE, [&] {
        return product::withRecord(record,
                                   [](const PPInfo *r) { return product::product_update(r); });
    });
}

AMIRTUPT_API uint32_t product_update_pi(PPInfo *record) noexcept {
    return guarded(PPRESULT_FAILURE, [&] {
        return product::withRecord(record,
                                   [](const PPInfo *r) { return product::product_update_pi(r); });
    });
}

AMIRTUPT_API uint32_t product_remove(const char *productName, int32_t productType) noexcept {
    return guarded(PPRESULT_FAILURE,
                   [&] { return product::product_remove(productName, productType); });
}

}  // extern "C"
