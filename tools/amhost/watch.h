// What the host watches beside the product link thread: the events that the
// alert manager and the event log module would wait on, and the thread's
// cycles (for a host asked to stop after a number of them).
#pragma once

#include <atomic>
#include <cstdint>
#include <stop_token>
#include <thread>

#include "common.h"

namespace amhost {

// Traces every time "AlertManagerBeginUpdatingReportTable",
// "AlertManagerUpdatingReportTable" or "Eventlog_Mod_Event" fires. The host is
// the alert manager here, so taking the auto-reset signals is its right.
class EventWatchers {
  public:
    struct Counts {
        uint64_t begin = 0;
        uint64_t updating = 0;
        uint64_t eventlog = 0;
    };

    // eventlog: the host's own "Eventlog_Mod_Event", borrowed (it must stay
    // open until the watchers are stopped), or null when it could not be
    // created. The two report table events are
    // opened by name once the product link thread has created them.
    explicit EventWatchers(HANDLE eventlog);
    EventWatchers(const EventWatchers &) = delete;
    EventWatchers &operator=(const EventWatchers &) = delete;
    ~EventWatchers() { stop(); }

    // Ends the watch; safe to repeat. Returns within one poll period.
    void stop();
    Counts counts() const;

  private:
    std::atomic<uint64_t> begin_{0};
    std::atomic<uint64_t> updating_{0};
    std::atomic<uint64_t> eventlog_{0};
    std::jthread threads_[3];
};

// Counts the product link thread's cycles. Every cycle begins with a scan
// that opens the report information directory, so the counter watches that
// directory for opens of the directory itself (inotify). When the directory
// cannot be watched (it is missing, or vanishes), a cycle is only a failed
// scan and a wait, so the counter falls back to the clock: one cycle length
// per cycle, stopping halfway through the last wait.
class CycleCounter {
  public:
    CycleCounter(uint64_t target, uint32_t cycleMs);

    // The descriptor to poll for readability; -1 while counting by the clock.
    int fd() const { return inotify_.get(); }
    // Milliseconds the caller may sleep before calling expired(); -1 for no limit.
    int timeoutMs() const;
    // Reads the pending directory events; true once the target is reached.
    bool onReadable();
    // True once the target is reached by the clock.
    bool expired() const;
    // The product link thread has been started (base of the clock).
    void started();

  private:
    void fallBackToClock();

    uint64_t target_;
    uint32_t cycleMs_;
    uint64_t seen_ = 0;
    UniqueFd inotify_;
    int64_t startMs_ = -1;     // monotonic start of the thread
    int64_t deadlineMs_ = -1;  // monotonic deadline in clock mode
};

}  // namespace amhost
