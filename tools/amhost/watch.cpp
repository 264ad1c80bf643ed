#include "watch.h"

#include <sys/inotify.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "amirtupt.h"

namespace amhost {
namespace {

using namespace std::chrono_literals;

constexpr const char kBeginEvent[] = "AlertManagerBeginUpdatingReportTable";
constexpr const char kUpdatingEvent[] = "AlertManagerUpdatingReportTable";
constexpr const char kEventlogEvent[] = "Eventlog_Mod_Event";

// Longest a watcher sits in one wait before it looks at its stop request.
constexpr DWORD kWaitSliceMs = 200;
// How often a watcher looks whether a signalled manual-reset event was reset.
constexpr auto kResetPoll = 20ms;

// Sleeps up to `period`; returns at once when a stop is requested.
void pause(const std::stop_token &stop, std::chrono::milliseconds period) {
    std::mutex lock;
    std::condition_variable_any wake;
    std::unique_lock held(lock);
    wake.wait_for(held, stop, period, [] { return false; });
}

// Opens an event that another thread of this process creates, retrying until
// it exists or the watch ends.
Handle openWhenCreated(const std::stop_token &stop, const char *name) {
    while (!stop.stop_requested()) {
        if (HANDLE event = OpenEvent(EVENT_ALL_ACCESS, /*bInheritHandle=*/FALSE, name)) {
            HOST_TRACE(kTraceDetail, "watching event %s", name);
            return Handle(event);
        }
        pause(stop, 10ms);
    }
    return Handle();
}

// A failed wait is said once per run of failures and slows the watcher down.
void waitFailed(const std::stop_token &stop, const char *name, bool &reported) {
    if (!reported) {
        HOST_TRACE(kTraceError, "waiting for event %s failed : %u", name,
                   static_cast<unsigned>(GetLastError()));
        reported = true;
    }
    pause(stop, 1s);
}

void fired(const char *name, std::atomic<uint64_t> &count) {
    uint64_t n = count.fetch_add(1) + 1;
    HOST_TRACE(kTraceProgress, "event %s fired (%llu)", name, static_cast<unsigned long long>(n));
}

// An auto-reset event: every successful wait is one signal.
void watchAutoReset(const std::stop_token &stop, const char *name, HANDLE event,
                    std::atomic<uint64_t> &count) {
    bool reported = false;
    while (!stop.stop_requested()) {
        DWORD result = WaitForSingleObject(event, kWaitSliceMs);
        if (result == WAIT_OBJECT_0) {
            reported = false;
            fired(name, count);
        } else if (result != WAIT_TIMEOUT) {
            waitFailed(stop, name, reported);
        }
    }
}

// A manual-reset event stays signalled until it is reset, so a signal is the
// edge from reset to signalled: after one is seen the watcher blocks no more
// on the event but looks every kResetPoll whether it has been reset, and only
// then waits for the next signal.
void watchManualReset(const std::stop_token &stop, const char *name, HANDLE event,
                      std::atomic<uint64_t> &count) {
    bool armed = true;
    bool reported = false;
    while (!stop.stop_requested()) {
        DWORD result = WaitForSingleObject(event, armed ? kWaitSliceMs : 0);
        if (result == WAIT_OBJECT_0) {
            reported = false;
            if (armed) fired(name, count);
            armed = false;
            pause(stop, kResetPoll);
        } else if (result == WAIT_TIMEOUT) {
            armed = true;
        } else {
            waitFailed(stop, name, reported);
        }
    }
}

int64_t monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

EventWatchers::EventWatchers(HANDLE eventlog) {
    if (eventlog != nullptr) {
        threads_[0] = std::jthread([this, eventlog](const std::stop_token &stop) {
            watchAutoReset(stop, kEventlogEvent, eventlog, eventlog_);
        });
    }
    threads_[1] = std::jthread([this](const std::stop_token &stop) {
        Handle event = openWhenCreated(stop, kBeginEvent);
        if (event) watchAutoReset(stop, kBeginEvent, event.get(), begin_);
    });
    threads_[2] = std::jthread([this](const std::stop_token &stop) {
        Handle event = openWhenCreated(stop, kUpdatingEvent);
        if (event) watchManualReset(stop, kUpdatingEvent, event.get(), updating_);
    });
}

void EventWatchers::stop() {
    for (auto &thread : threads_) thread.request_stop();
    for (auto &thread : threads_) {
        if (thread.joinable()) thread.join();
    }
}

EventWatchers::Counts EventWatchers::counts() const {
    return Counts{begin_.load(), updating_.load(), eventlog_.load()};
}

CycleCounter::CycleCounter(uint64_t target, uint32_t cycleMs) : target_(target), cycleMs_(cycleMs) {
    UniqueFd fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!fd) {
        HOST_TRACE(kTraceError, "inotify_init1 failed : %s; counting cycles by the clock",
                   std::strerror(errno));
        return;
    }
    if (inotify_add_watch(fd.get(), QORPPLX_REPORT_INF_DIR, IN_OPEN | IN_ONLYDIR) < 0) {
        HOST_TRACE(kTraceProgress, "cannot watch %s : %s; counting cycles by the clock",
                   QORPPLX_REPORT_INF_DIR, std::strerror(errno));
        return;
    }
    inotify_ = std::move(fd);
}

void CycleCounter::started() {
    startMs_ = monotonicMs();
    if (!inotify_) fallBackToClock();
}

void CycleCounter::fallBackToClock() {
    inotify_.reset();
    int64_t base = seen_ == 0 && startMs_ >= 0 ? startMs_ : monotonicMs();
    int64_t left = static_cast<int64_t>(target_) - static_cast<int64_t>(seen_) - 1;
    if (left < 0) left = 0;
    deadlineMs_ = base + left * cycleMs_ + cycleMs_ / 2;
}

int CycleCounter::timeoutMs() const {
    if (deadlineMs_ < 0) return -1;
    int64_t left = deadlineMs_ - monotonicMs();
    if (left <= 0) return 0;
    return left > 1000000 ? 1000000 : static_cast<int>(left);
}

bool CycleCounter::expired() const {
    return deadlineMs_ >= 0 && monotonicMs() >= deadlineMs_;
}

bool CycleCounter::onReadable() {
    alignas(inotify_event) char buffer[4096];
    bool lost = false;
    for (;;) {
        ssize_t n = ::read(inotify_.get(), buffer, sizeof buffer);
        if (n <= 0) break;
        for (ssize_t at = 0; at < n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            // The directory itself (no name) opened: a scan, the start of a cycle.
            if ((event->mask & IN_OPEN) != 0 && event->len == 0) ++seen_;
            if ((event->mask & (IN_IGNORED | IN_Q_OVERFLOW)) != 0) lost = true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    if (seen_ >= target_) return true;
    if (lost) {
        HOST_TRACE(kTraceProgress, "lost the watch of %s after %llu cycles; counting by the clock",
                   QORPPLX_REPORT_INF_DIR, static_cast<unsigned long long>(seen_));
        fallBackToClock();
    }
    return false;
}

}  // namespace amhost
