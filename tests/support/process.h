// Child processes of a test: a body run in a fork, its exit status, and a
// holder of a named mutex that says through a pipe when it holds it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

#include "w32compat.h"

namespace orv_test {

// The exit code of the child `pid` once it ends, 128 + the signal that
// killed it, or -1 when it cannot be waited for.
inline int exitStatus(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Rounds of a kill-at-any-moment case: ORV_KILL_ROUNDS when set (a longer
// soak), `fallback` otherwise.
inline int killRounds(int fallback) {
    const char *env = std::getenv("ORV_KILL_ROUNDS");
    return env != nullptr && std::atoi(env) > 0 ? std::atoi(env) : fallback;
}

// Runs body in a child process whose exit code is body's result; the pid.
template <class Body>
pid_t spawn(Body body) {
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    return pid;
}

// A child process running `body`; its exit code is body's result. A child
// that fails an expectation reports it through the exit code, never through
// the test framework of the parent's copy. Killed and reaped when dropped.
class Child {
  public:
    explicit Child(const std::function<int()> &body) {
        pid_ = ::fork();
        if (pid_ == 0) {
            int code = 99;
            try {
                code = body();
            } catch (...) {
            }
            ::_exit(code);
        }
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    pid_t pid() const { return pid_; }
    // The exit code, or -signal.
    int wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }
    void kill9() { ::kill(pid_, SIGKILL); }
    // The caller reaped it with waitpid of its own.
    void markReaped() { reaped_ = true; }

  private:
    pid_t pid_ = -1;
    bool reaped_ = false;
};

// A child process that takes the named mutex (a setup tool holding
// "EVENTLOG_SEMA") and keeps it until release() or kill(). The constructor
// returns once the child holds the mutex or has failed to take it. The child
// never outlives the test; it is killed and reaped when dropped.
class MutexHolder {
  public:
    explicit MutexHolder(const char *name = "EVENTLOG_SEMA") {
        int ready[2] = {-1, -1}, release[2] = {-1, -1};
        if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(release, O_CLOEXEC) != 0) {
            for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::close(ready[0]);
            ::close(release[1]);
            HANDLE mutex = CreateMutex(nullptr, /*bInitialOwner=*/FALSE, name);
            char held = mutex != nullptr && WaitForSingleObject(mutex, INFINITE) == WAIT_OBJECT_0
                            ? 'y'
                            : 'n';
            if (::write(ready[1], &held, 1) != 1 || held != 'y') ::_exit(2);
            char go = 0;
            if (::read(release[0], &go, 1) != 1) ::_exit(3);
            ::_exit(ReleaseMutex(mutex) ? 0 : 4);
        }
        ::close(ready[1]);
        ::close(release[0]);
        release_ = release[1];
        char held = 0;
        holding_ = pid_ > 0 && ::read(ready[0], &held, 1) == 1 && held == 'y';
        ::close(ready[0]);
    }
    MutexHolder(const MutexHolder &) = delete;
    MutexHolder &operator=(const MutexHolder &) = delete;
    ~MutexHolder() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (release_ >= 0) ::close(release_);
    }

    bool holding() const { return holding_; }
    pid_t pid() const { return pid_; }

    // Lets go of the mutex and ends; the child's exit status (0: released).
    int release() {
        if (pid_ <= 0 || ::write(release_, "r", 1) != 1) return -1;
        return reap();
    }
    // Dies holding the mutex; the child's exit status (128 + SIGKILL).
    int kill() {
        if (pid_ <= 0) return -1;
        ::kill(pid_, SIGKILL);
        return reap();
    }

  private:
    int reap() {
        int status = exitStatus(pid_);
        pid_ = -1;
        return status;
    }

    pid_t pid_ = -1;
    int release_ = -1;
    bool holding_ = false;
};

}  // namespace orv_test
