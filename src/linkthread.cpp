// The product link thread: AM_Dll_ReportTableUpdate keeps the product
// registry in step with the report information files on the host's cycle,
// and clearUp releases what the thread holds.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "amacre.h"
#include "amirtupt.h"
#include "boundary.h"
#include "dirwatch.h"
#include "lock.h"
#include "names.h"
#include "qortrace.h"
#include "reconcile.h"
#include "tblsync.h"
#include "trace.h"
#include "w32compat.h"

namespace amirtupt {

namespace {

constexpr const char kTraceSource[] = "amirtupt";

constexpr DWORD kDefaultCycle = 900000;

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

using Clock = std::chrono::steady_clock;

// A burst of changes has settled once the directory was quiet this long,
// or this long after its first change.
constexpr auto kSettleQuiet = std::chrono::milliseconds(250);
constexpr auto kSettleLimit = std::chrono::milliseconds(2000);

DWORD millisecondsUntil(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<DWORD>(std::min<long long>(left, INFINITE - 1));
}

// Everything the thread holds between its cycles. One per process, touched
// by the thread and by clearUp only.
struct LinkThread {
    PPInfo *ppinfos = nullptr;
    HANDLE hStartRTCopyEvent = nullptr;
    HANDLE hUpdatingRTCopyEvent = nullptr;
    HANDLE hEventlogSema = nullptr;
    HKEY hKey = nullptr;
    HKEY hAlertManKey = nullptr;
    // Set while the registry has not yet been compared with the report
    // information files in this process.
    int32_t firstrun = 1;
    DWORD dwCycle = kDefaultCycle;
    DWORD dwDispersed = 1;
    uint32_t dwPassCounter = 0;
    // "WatchReportDirectory": nonzero when a change of the report
    // information directory also ends the wait for the cycle.
    DWORD dwWatch = 0;
    DirectoryWatch watch{QORPPLX_REPORT_INF_DIR};

    uint32_t run(void *pAuto);
    void clearUp();

  private:
    uint32_t startUp();
    bool waitCycle(HANDLE stop);
    bool settle(HANDLE stop, Clock::time_point cycleEnd);
    void firstRunReconciliation();
    void dispatch();
};

LinkThread linkThread;

void LinkThread::clearUp() {
    TRACE_AS("clearUp", kDetail, ">");
    QORPPLX_PPInfoClear(ppinfos);
    ppinfos = nullptr;
    watch.close();
    // CloseHandle closes keys as well as events and mutexes.
    auto close = [](auto &handle) {
        HANDLE h = reinterpret_cast<HANDLE>(handle);
        if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
        handle = nullptr;
    };
    close(hEventlogSema);
    close(hAlertManKey);
    close(hKey);
    close(hStartRTCopyEvent);
    close(hUpdatingRTCopyEvent);
    TRACE_AS("clearUp", kDetail, "<");
}

// Start-up; 0 when the thread can cycle, else its exit code.
uint32_t LinkThread::startUp() {
    hKey = nullptr;
    hAlertManKey = nullptr;
    hStartRTCopyEvent = nullptr;
    hUpdatingRTCopyEvent = nullptr;
    hEventlogSema = nullptr;

    hStartRTCopyEvent =
        CreateEvent(nullptr, /*bManualReset=*/FALSE, /*bInitialState=*/FALSE, kStartEvent);
    hUpdatingRTCopyEvent =
        CreateEvent(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, kUpdatingEvent);
    if (hStartRTCopyEvent == nullptr || hUpdatingRTCopyEvent == nullptr) {
        TRACE_AS("AM_Dll_ReportTableUpdate", kError, "Create Event error");
        return 2;
    }

    dwDispersed = 1;
    if (AMACRTReadDispersedReportTable(&dwDispersed) == 0) dwDispersed = 1;

    DWORD type = 0, size = sizeof dwCycle;
    if (AMACRERegReadEx(HKEY_LOCAL_MACHINE, kAlertManKey, kCycleSetting, &type, &size, &dwCycle) ==
        0) {
        TRACE_AS("AM_Dll_ReportTableUpdate", kError, "pplink's cycle is not defined at : %s\\%s",
                 kAlertManKey, kCycleSetting);
        dwCycle = kDefaultCycle;
    }
    TRACE_AS("AM_Dll_ReportTableUpdate", kProgress, "set cycle to : %d seconds",
             static_cast<int>(dwCycle / 1000));

    if (RegCreateKey(HKEY_LOCAL_MACHINE, kProductsKey, &hKey) != ERROR_SUCCESS) {
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
    // Read without the registry-access library, which traces a missing
    // value: without the setting the thread behaves and traces as always.
    DWORD watchSetting = 0, watchType = 0, watchSize = sizeof watchSetting;
    if (RegQueryValueEx(hAlertManKey, kWatchSetting, /*lpReserved=*/nullptr, &watchType,
                        reinterpret_cast<BYTE *>(&watchSetting), &watchSize) != ERROR_SUCCESS ||
        watchType != REG_DWORD || watchSize != sizeof watchSetting) {
        watchSetting = 0;
    }
    dwWatch = watchSetting;

    ppinfos = nullptr;
    hEventlogSema = CreateMutex(nullptr, /*bInitialOwner=*/FALSE, kEventlogSema);
    if (hEventlogSema == nullptr) {
        TRACE_AS("AM_Dll_ReportTableUpdate", kError, "CreateMutex(%s) error", kEventlogSema);
        return 1;
    }
    return 0;
}

// Registered automatic products against the files of the first scan.
void LinkThread::firstRunReconciliation() {
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

// Waits for the length of the cycle; true when the stop event ended the
// wait. While the directory is watched, a change ends it early once the
// burst it belongs to has settled; the wait sleeps in one call until then,
// so with nothing changing it wakes exactly as the plain wait does.
bool LinkThread::waitCycle(HANDLE stop) {
    if (dwWatch == 0) return waitForStop(stop, dwCycle);
    watch.arm();
    const Clock::time_point cycleEnd = Clock::now() + std::chrono::milliseconds(dwCycle);
    for (;;) {
        DWORD left = millisecondsUntil(cycleEnd);
        if (!watch.armed() || left == 0) return waitForStop(stop, left);
        DWORD rc = WaitForEventOrDescriptor(stop, watch.fd(), left);
        if (rc == WAIT_OBJECT_0) return true;
        if (rc == WAIT_TIMEOUT) return false;
        if (rc != WAIT_OBJECT_0 + 1) {
            TRACE_AS("AM_Dll_ReportTableUpdate", kError,
                     "wait for stop event or directory change error : %u; the cycle goes on", rc);
            watch.close();
            continue;
        }
        switch (watch.read()) {
            case DirectoryWatch::Change::None:
                continue;
            case DirectoryWatch::Change::Lost:
                return false;  // events may be missing: a scan now catches up
            case DirectoryWatch::Change::Some:
                return settle(stop, cycleEnd);
        }
    }
}

// Lets a burst of changes settle before the cycle runs; true on stop.
bool LinkThread::settle(HANDLE stop, Clock::time_point cycleEnd) {
    const Clock::time_point limit = std::min(Clock::now() + kSettleLimit, cycleEnd);
    for (;;) {
        DWORD left = millisecondsUntil(std::min(Clock::now() + kSettleQuiet, limit));
        if (left == 0 || !watch.armed()) return false;
        DWORD rc = WaitForEventOrDescriptor(stop, watch.fd(), left);
        if (rc == WAIT_OBJECT_0) return true;
        if (rc != WAIT_OBJECT_0 + 1 || watch.read() == DirectoryWatch::Change::Lost) return false;
    }
}

// Carries out each record's operation for the products the thread owns.
void LinkThread::dispatch() {
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

uint32_t LinkThread::run(void *pAuto) {
    TraceLogSetThrName("PPLinkThread");
    TRACE_AS("AM_Dll_ReportTableUpdate", kDetail, ">Params : pAuto=%p", pAuto);
    if (pAuto == nullptr) {
        TRACE_AS("AM_Dll_ReportTableUpdate", kError, "param pAuto is null");
        TRACE_AS("AM_Dll_ReportTableUpdate", kDetail, "<return value FALSE");
        return 0;
    }
    HANDLE stop = static_cast<HANDLE *>(pAuto)[1];

    dwCycle = kDefaultCycle;
    dwDispersed = 1;
    uint32_t code = startUp();
    while (code == 0) {
        if (QORPPLX_getPPInfo(&ppinfos) < 0) {
            if (waitCycle(stop)) {
                TRACE_AS("AM_Dll_ReportTableUpdate", kProgress, "Get stop event.");
                break;
            }
            continue;
        }

        TRACE_AS("AM_Dll_ReportTableUpdate", kProgress, "Wait for reg access mutex : %s",
                 kEventlogSema);
        MutexHold sema(hEventlogSema, INFINITE);
        if (!sema.owns()) {
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
        if (dwDispersed != 0) {
            procAlertReport(&dwPassCounter, hStartRTCopyEvent, hUpdatingRTCopyEvent);
        }
        ppinfos = QORPPLX_PPInfoDeleteAllRemovedPP(ppinfos);
        sema.release();
        TRACE_AS("AM_Dll_ReportTableUpdate", kProgress, "sync registry over. release mutex : %s",
                 kEventlogSema);

        if (waitCycle(stop)) {
            TRACE_AS("AM_Dll_ReportTableUpdate", kProgress, "get stop event");
            break;
        }
    }
    clearUp();
    TRACE_AS("AM_Dll_ReportTableUpdate", kDetail, "< return value %d", static_cast<int>(code));
    return code;
}

}  // namespace

}  // namespace amirtupt

extern "C" {

AMIRTUPT_API uint32_t AM_Dll_ReportTableUpdate(void *pAuto) noexcept {
    return amirtupt::guarded(1u, [&] {
        try {
            return amirtupt::linkThread.run(pAuto);
        } catch (...) {
            amirtupt::linkThread.clearUp();
            throw;
        }
    });
}

AMIRTUPT_API void clearUp(void) noexcept {
    amirtupt::guarded([] { amirtupt::linkThread.clearUp(); });
}

}  // extern "C"
