// Waiting for something another thread or process does: a polled condition
// with a deadline of the test's own, so that a hang fails within seconds.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace orv_test {

// Generous: the dev build runs under ASan and the machine is shared.
inline constexpr std::chrono::milliseconds kPatience{20000};

// Polls until condition holds (true) or the deadline passes (false).
inline bool eventually(const std::function<bool()> &condition,
                       std::chrono::milliseconds deadline = kPatience,
                       std::chrono::milliseconds every = std::chrono::milliseconds(20)) {
    auto until = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(every);
    }
    return true;
}

// True while the thread `tid` sleeps in an event wait of the Win32 layer: a
// FUTEX_WAIT_BITSET (op 9, shared) as /proc/<tid>/syscall shows it. Lets a
// test know that a waiter is really waiting before it signals.
inline bool inEventWait(pid_t tid) {
    std::ifstream in("/proc/" + std::to_string(tid) + "/syscall");
    std::string number, address, op;
    in >> number >> address >> op;
    return number == "202" && op == "0x9";
}

// Waits (up to 10 s) until `tid` sleeps in an event wait.
inline bool awaitEventWait(pid_t tid) {
    return eventually([tid] { return inEventWait(tid); }, std::chrono::seconds(10),
                      std::chrono::milliseconds(1));
}

}  // namespace orv_test
