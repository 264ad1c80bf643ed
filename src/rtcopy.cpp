// Report table copy: ExecRTCopy drives one copy of the report-table copy
// library, UpdateSrc appends the sources it registered to the inner product,
// CallBackChangedReportTable announces a slimmed update that changed the
// table, and DllMain pins the copy library for the life of the process.
#include "rtcopy.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "amacre.h"
#include "amirtupt.h"
#include "boundary.h"
#include "capacities.h"
#include "tblsync.h"
#include "trace.h"
#include "w32compat.h"

namespace amirtupt {

namespace {

constexpr const char kTraceSource[] = "amirtupt";

// The change callback's state: set by the callback on the thread that runs
// the copy, cleared before every update copy; the events and display name
// are those of the slimmed update under way.
struct ChangeCallbackState {
    int32_t bReportTableChanged = 0;
    const char *lpszReporTableDisplayName = nullptr;
    HANDLE hReportTableStartRTCopyEvent = nullptr;
    HANDLE hReportTableUpdatingRTCopyEvent = nullptr;
};
ChangeCallbackState changeState;

// The copy library, held loaded from process attach to process detach.
HMODULE g_hTblsync = nullptr;

// Length to print of a run of bytes that may lack its NUL.
int printableLength(const char *s, uint32_t size) {
    if (s == nullptr) return 0;
    const void *nul = std::memchr(s, '\0', size);
    return static_cast<int>(nul != nullptr ? static_cast<const char *>(nul) - s : size);
}

}  // namespace

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
    AMACRTWriteInnerSaveParam(kSaveTraditional, sizeof value, REG_DWORD, &value);
}

int32_t initChangedReportTable() {
    TRACE_AS("InitChangedReportTable", kDetail, ">");
    changeState.bReportTableChanged = 0;
    TRACE_AS("InitChangedReportTable", kDetail, "<return %d", TRUE);
    return TRUE;
}

int32_t callBackChangedReportTable() {
    TRACE_AS("CallBackChangedReportTable", kDetail, ">");
    if (changeState.bReportTableChanged == 0) {
        TRACE_AS("CallBackChangedReportTable", kDetail, "Event update start: %s\n",
                 orNull(changeState.lpszReporTableDisplayName));
        SetEvent(changeState.hReportTableStartRTCopyEvent);
        SetEvent(changeState.hReportTableUpdatingRTCopyEvent);
        changeState.bReportTableChanged = 1;
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

int32_t execRTCopy(const char *lpszProduct, CopyMode dwMode, const char *lpszString,
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

    int32_t result = 0;
    TRACE_EXIT_AS("ExecRTCopy", "<return %d", result);
    if (lpszProduct == nullptr || (lpszString == nullptr && dwSize != 0) ||
        (lpszOrgString == nullptr && dwOrgSize != 0)) {
        TRACE_AS("ExecRTCopy", kError, "invalid parameter");
        return result;
    }

    const char *modeWord = nullptr;
    switch (dwMode) {
        case CopyMode::Create:
            modeWord = "CREATE";
            break;
        case CopyMode::Update:
            modeWord = "UPDATE";
            break;
        case CopyMode::Remove:
            modeWord = "REMOVE";
            break;
        default:
            break;
    }
    TRACE_AS("ExecRTCopy", kDetail, "mode to deal with the product : %s", orNull(modeWord));

    // The copy library takes its data from the inner save parameters.
    AMACRTWriteInnerSaveParam(kSaveReportTable, dwSize, REG_BINARY, lpszString);
    AMACRTWriteInnerSaveParam(kSaveTablePath, dwOrgSize, REG_BINARY, lpszOrgString);

    void *argv[4] = {};
    DWORD argc = 0;
    auto product = const_cast<char *>(lpszProduct);
    switch (dwMode) {
        case CopyMode::Create:
        case CopyMode::Remove:
            argv[argc++] = const_cast<char *>(modeWord);
            argv[argc++] = product;
            break;
        case CopyMode::Update:
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

    if (RTCopy(&request, 0) == 0) {
        if (dwMode == CopyMode::Update) updateSrc(lpszProduct);
        result = 1;
    }
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

ChangeWatch::ChangeWatch(const char *displayName, HANDLE start, HANDLE updating) noexcept {
    changeState.lpszReporTableDisplayName = displayName;
    changeState.hReportTableStartRTCopyEvent = start;
    changeState.hReportTableUpdatingRTCopyEvent = updating;
}

ChangeWatch::~ChangeWatch() {
    changeState.lpszReporTableDisplayName = nullptr;  // the caller's buffer goes away
}

bool ChangeWatch::changed() const noexcept {
    return changeState.bReportTableChanged != 0;
}

}  // namespace amirtupt

// ---- Exported entries ----------------------------------------------------------

using amirtupt::guarded;

extern "C" {

AMIRTUPT_API int32_t ExecRTCopy(const char *lpszProduct, uint32_t dwMode, const char *lpszString,
                                uint32_t dwSize, const char *lpszOrgString, uint32_t dwOrgSize,
                                uint32_t dwEnvironmentLanguageID, int32_t bSlimed) noexcept {
    return guarded(0, [&] {
        return amirtupt::execRTCopy(lpszProduct, static_cast<amirtupt::CopyMode>(dwMode),
                                    lpszString, dwSize, lpszOrgString, dwOrgSize,
                                    dwEnvironmentLanguageID, bSlimed);
    });
}

AMIRTUPT_API int32_t UpdateSrc(const char *lpszProduct) noexcept {
    return guarded(0, [&] { return amirtupt::updateSrc(lpszProduct); });
}

AMIRTUPT_API int32_t InitChangedReportTable(void) noexcept {
    return guarded(0, [] { return amirtupt::initChangedReportTable(); });
}

AMIRTUPT_API int32_t CallBackChangedReportTable(void) noexcept {
    return guarded(0, [] { return amirtupt::callBackChangedReportTable(); });
}

AMIRTUPT_API int32_t DllMain(void * /*hinstDLL*/, uint32_t dwReason,
                             void * /*lpvReserved*/) noexcept {
    return guarded(FALSE, [&] { return amirtupt::dllMain(dwReason); });
}

}  // extern "C"
