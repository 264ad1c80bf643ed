// Helpers of the event, mutex and module tests.
#pragma once

#include <unistd.h>

#include <string>

#include "process.h"
#include "w32compat.h"
#include "wait.h"

namespace sync_test {

using namespace orv_test;

inline std::string shmPath(const std::string &name) {
    return "/dev/shm/orv." + name;
}

inline bool shmFileExists(const std::string &name) {
    return ::access(shmPath(name).c_str(), F_OK) == 0;
}

// The last error a failed call left behind; 0xFFFFFFFE when it did not fail.
template <class Call>
DWORD errorOf(Call call) {
    SetLastError(0);
    return call() ? 0xFFFFFFFEu : GetLastError();
}

}  // namespace sync_test
