// Helpers of the event, mutex and module tests.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <new>
#include <string>
#include <thread>

#include "w32compat.h"

namespace sync_test {

// Spins until pred() holds or `seconds` pass.
template <class Pred>
bool waitUntil(Pred pred, int seconds = 10) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Gives threads and processes time to take what they are about to take.
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

// True while the thread `tid` sleeps in an event wait of the layer: a
// FUTEX_WAIT_BITSET (op 9, shared) as /proc/<tid>/syscall shows it. Lets a
// test know that a waiter is really waiting before it signals.
inline bool inEventWait(pid_t tid) {
    std::ifstream in("/proc/" + std::to_string(tid) + "/syscall");
    std::string number, address, op;
    in >> number >> address >> op;
    return number == "202" && op == "0x9";
}

// True while the thread `tid` sleeps in poll() (syscall 7), as a wait on an
// event and a descriptor does.
inline bool inPoll(pid_t tid) {
    std::ifstream in("/proc/" + std::to_string(tid) + "/syscall");
    std::string number;
    in >> number;
    return number == "7";
}

// Waits (up to 10 s) until `tid` sleeps in an event wait.
inline bool awaitEventWait(pid_t tid) {
    return waitUntil([tid] { return inEventWait(tid); });
}

// Waits (up to 10 s) until the killed process `pid` has finished dying: a
// zombie, its robust mutexes handed back, not yet reaped.
inline bool awaitZombie(pid_t pid) {
    return waitUntil([pid] {
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

// A child process running `body`; its exit code is body's result. A child
// that fails an expectation reports it through the exit code, never through
// the test framework of the parent's copy.
class Child {
  public:
    explicit Child(const std::function<int()> &body) {
        pid_ = fork();
        if (pid_ == 0) {
            int code = 99;
            try {
                code = body();
            } catch (...) {
            }
            _exit(code);
        }
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    pid_t pid() const { return pid_; }
    // The exit code, or -signal.
    int wait() {
        int status = 0;
        waitpid(pid_, &status, 0);
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }
    void kill9() { kill(pid_, SIGKILL); }
    // The caller reaped it with waitpid of its own.
    void markReaped() { reaped_ = true; }

  private:
    pid_t pid_ = -1;
    bool reaped_ = false;
};

}  // namespace sync_test
