// Helpers of the event, mutex and module tests.
#pragma once

#include <sys/stat.h>

#include <string>

#include "process.h"
#include "w32compat.h"
#include "wait.h"

namespace sync_test {

using orv_test::awaitEventWait;
using orv_test::Child;
using orv_test::eventually;
using orv_test::inEventWait;

inline std::string shmPath(const std::string &name) {
    return "/dev/shm/orv." + name;
}

inline bool shmFileExists(const std::string &name) {
    struct stat st;
    return stat(shmPath(name).c_str(), &st) == 0;
}

// The last error a failed call left behind; kSucceeded when it did not fail.
constexpr DWORD kSucceeded = 0xFFFFFFFEu;
template <class Call>
DWORD errorOf(Call call) {
    SetLastError(0);
    return call() ? kSucceeded : GetLastError();
}

}  // namespace sync_test
