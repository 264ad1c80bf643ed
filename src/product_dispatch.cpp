// The commands' dispatch: product_process serialises a command with the
// product link thread (in this or another process) through the named mutex
// "EVENTLOG_SEMA"; EnterMutex and OutMutex take and give back such a mutex,
// SetEventLogEvent wakes the thread, msgout prints the commands' messages.
#include <sys/stat.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "amirtupt.h"
#include "boundary.h"
#include "names.h"
#include "product.h"
#include "qorutil.h"
#include "trace.h"
#include "w32compat.h"

// Where msgout sends the commands' messages: 0 trace log, 1 standard output,
// anything else nowhere.
int print2 = 0;

namespace amirtupt::product {

namespace {

constexpr const char kTraceSource[] = "product";

constexpr uint32_t kCmdInstall = PPCMD_INSTALL;
constexpr uint32_t kCmdUpdate = PPCMD_UPDATE;
constexpr uint32_t kCmdRemove = PPCMD_REMOVE;
constexpr uint32_t kCmdUpdateRegistry = PPCMD_UPDATE_REGISTRY;

constexpr uint32_t kOk = PPRESULT_OK;
constexpr uint32_t kFailure = PPRESULT_FAILURE;
constexpr uint32_t kTableInvalid = PPRESULT_REPORTTABLE_INVALID;

}  // namespace

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

void message(const char *format, ...) {
    va_list args;
    va_start(args, format);
    msgout(format, args);
    va_end(args);
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
    HANDLE event = OpenEvent(EVENT_ALL_ACCESS, /*bInheritHandle=*/FALSE, kEventlogModEvent);
    int32_t result = 0;
    if (event != nullptr) {
        SetEvent(event);
        CloseHandle(event);
        result = 1;
    }
    TRACE(kDetail, "<return %d", result);
    return result;
}

// "EVENTLOG_SEMA" held for one command: taken through EnterMutex and given
// back through OutMutex whatever leaves the scope.
class CommandLock {
  public:
    explicit CommandLock(const char *name) : mutex_(EnterMutex(name, INFINITE)) {}
    ~CommandLock() {
        if (mutex_ != nullptr) OutMutex(mutex_);
    }
    CommandLock(const CommandLock &) = delete;
    CommandLock &operator=(const CommandLock &) = delete;
    bool held() const { return mutex_ != nullptr; }

  private:
    HANDLE mutex_;
};

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
        if (!S_ISREG(status.st_mode)) {
            TRACE_AS("product_process", kError, "<not valid file : %s\n", path);
            return kTableInvalid;
        }
    }
    return kOk;
}

uint32_t product_process(uint32_t command, const PPInfo *callerRecord) {
    TRACE(kDetail, ">Params: command=%u, proInfo=%p", command,
          static_cast<const void *>(callerRecord));
    uint32_t result = kFailure;
    TRACE_EXIT("<return value 0x%x", result);
    if (callerRecord == nullptr) {
        TRACE(kError, "param proInfo is NULL\n");
        return result;
    }
    const PPInfo record = terminatedCopy(*callerRecord);
    if (record.ProductName[0] == '\0') {
        TRACE(kError, "Product name is null\n");
        return result;
    }
    if (command < 2) {
        uint32_t valid = validateReportTables(record);
        if (valid != kOk) return result = valid;
    }
    result = kOk;
    {
        CommandLock lock(kEventlogSema);
        if (!lock.held()) {
            TRACE(kError, "EnterMutex error : %s", kEventlogSema);
            return result = kFailure;
        }
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
    }  // the lock goes back before the command's exit trace
    return result;
}

}  // namespace amirtupt::product

// ---- Exported entries ------------------------------------------------------------
// Thin: no exception crosses; each failure becomes the result its caller
// expects.

using amirtupt::guarded;
namespace product = amirtupt::product;

extern "C" {

AMIRTUPT_API void msgout(const char *format, ...) noexcept {
    va_list args;
    va_start(args, format);
    guarded([&] { product::msgout(format, args); });
    va_end(args);
}

AMIRTUPT_API uint32_t product_process(uint32_t command, PPInfo *record) noexcept {
    return guarded(PPRESULT_FAILURE, [&] { return product::product_process(command, record); });
}

AMIRTUPT_API void *EnterMutex(const char *name, uint32_t timeout) noexcept {
    return guarded(nullptr, [&] { return product::EnterMutex(name, timeout); });
}

AMIRTUPT_API void OutMutex(void *handle) noexcept {
    guarded([&] { product::OutMutex(handle); });
}

AMIRTUPT_API int32_t SetEventLogEvent(void) noexcept {
    return guarded(0, [] { return product::SetEventLogEvent(); });
}

}  // extern "C"
