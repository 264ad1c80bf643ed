// Helpers of the event, mutex and module tests.
#pragma once

#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <new>
#include <string>
#include <thread>

#include "process.h"
#include "w32compat.h"
#include "wait.h"

namespace sync_test {

using orv_test::awaitEventWait;
using orv_test::Child;
using orv_test::eventually;
using orv_test::inEventWait;

// A bounded pause within which something that must not happen (a second
// waiter released) would happen; never a wait for something to happen.
inline void settle() {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
}

inline bool shmFileExists(const std::string &name) {
    struct stat st;
    return stat(("/dev/shm/orv." + name).c_str(), &st) == 0;
}

// The last error a failed call left behind; kSucceeded when it did not fail.
constexpr DWORD kSucceeded = 0xFFFFFFFEu;
template <class Call>
DWORD errorOf(Call call) {
    SetLastError(0);
    return call() ? kSucceeded : GetLastError();
}

// The first word of /proc/<tid>/syscall: 7 while in poll(), as a wait on an
// event and a descriptor sleeps.
inline bool inPoll(pid_t tid) {
    std::ifstream in("/proc/" + std::to_string(tid) + "/syscall");
    std::string number;
    in >> number;
    return number == "7";
}

// Waits until the killed process `pid` is a zombie: its robust mutexes
// handed back, not yet reaped.
inline bool awaitZombie(pid_t pid) {
    return eventually([pid] {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        std::getline(in, line);
        std::string::size_type paren = line.rfind(')');
        return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'Z';
    });
}

// Memory shared with forked children.
template <class T>
class SharedBlock {
  public:
    SharedBlock() {
        void *p =
            mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) std::abort();
        value_ = new (p) T();
    }
    ~SharedBlock() {
        value_->~T();
        munmap(value_, sizeof(T));
    }
    SharedBlock(const SharedBlock &) = delete;
    SharedBlock &operator=(const SharedBlock &) = delete;
    T *operator->() const { return value_; }
    T &operator*() const { return *value_; }

  private:
    T *value_;
};

// A barrier for `count` processes, placed in a SharedBlock.
inline bool initSharedBarrier(pthread_barrier_t *barrier, unsigned count) {
    pthread_barrierattr_t attr;
    pthread_barrierattr_init(&attr);
    pthread_barrierattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    bool ok = pthread_barrier_init(barrier, &attr, count) == 0;
    pthread_barrierattr_destroy(&attr);
    return ok;
}

}  // namespace sync_test
