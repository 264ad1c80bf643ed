// Helpers of the event and mutex tests.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace sync_test {

// True while the thread `tid` sleeps in an event wait of the layer: a
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
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!inEventWait(tid)) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Waits (up to 10 s) until the killed process `pid` has finished dying: a
// zombie, its robust mutexes handed back, not yet reaped.
inline bool awaitZombie(pid_t pid) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        std::getline(in, line);
        std::string::size_type paren = line.rfind(')');
        if (paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'Z')
            return true;
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace sync_test
