// Ownership of a mutex of the compatibility layer by construction: whatever
// leaves the scope, a mutex that was obtained is released.
#pragma once

#include "w32compat.h"

namespace amirtupt {

// Waits for an open mutex; released when the holder goes or by release().
class MutexHold {
  public:
    MutexHold(HANDLE mutex, DWORD milliseconds) noexcept
        : mutex_(WaitForSingleObject(mutex, milliseconds) == WAIT_OBJECT_0 ? mutex : nullptr) {}
    ~MutexHold() { release(); }
    MutexHold(const MutexHold &) = delete;
    MutexHold &operator=(const MutexHold &) = delete;

    bool owns() const noexcept { return mutex_ != nullptr; }
    void release() noexcept {
        if (mutex_ != nullptr) ReleaseMutex(mutex_);
        mutex_ = nullptr;
    }

  private:
    HANDLE mutex_;
};

}  // namespace amirtupt
