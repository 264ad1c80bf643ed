// Per-thread last error and the small helpers of the Win32-compatibility
// layer.
#include <errno.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "deadline.h"
#include "w32compat.h"

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

std::uint64_t fileTimeValue(const FILETIME &time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

extern "C" {

W32_API DWORD GetLastError(void) {
    return t_lastError;
}

W32_API void SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}

// -1, 0 or 1 as the first time is earlier than, equal to or later than the
// second. A missing argument is a caller's bug: 0 with error 87.
W32_API LONG CompareFileTime(const FILETIME *lpFileTime1, const FILETIME *lpFileTime2) {
    if (lpFileTime1 == nullptr || lpFileTime2 == nullptr) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    std::uint64_t a = fileTimeValue(*lpFileTime1);
    std::uint64_t b = fileTimeValue(*lpFileTime2);
    return a < b ? -1 : (a > b ? 1 : 0);
}

// Copies a string; NULL (and nothing copied) when either pointer is NULL.
W32_API LPSTR lstrcpy(LPSTR lpString1, LPCSTR lpString2) {
    if (lpString1 == nullptr || lpString2 == nullptr) return nullptr;
    return std::strcpy(lpString1, lpString2);
}

// Sleeps the whole time even when signals interrupt it; 0 yields the CPU,
// INFINITE never returns.
W32_API void Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    if (dwMilliseconds == INFINITE) {
        for (;;) pause();
    }
    timespec deadline = orv::deadlineAfter(dwMilliseconds);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

}  // extern "C"
