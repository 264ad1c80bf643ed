// What the host tells the service manager that started it: ready once the
// product link thread cycles, one status line after each cycle (and while a
// cycle waits long for "EVENTLOG_SEMA"), stopping on a stop request. It speaks
// the notification protocol on the datagram socket NOTIFY_SOCKET names; a
// host started without NOTIFY_SOCKET sends nothing and observes nothing.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "common.h"

namespace amhost {

// The service manager's notification socket.
class Notifier {
  public:
    // Null when NOTIFY_SOCKET is unset or names no usable socket address.
    static std::unique_ptr<Notifier> fromEnvironment();

    // One datagram of newline-separated assignments ("READY=1").
    bool send(std::string_view message) const;

  private:
    Notifier() = default;

    UniqueFd socket_;
    sockaddr_un address_{};
    socklen_t length_ = 0;
};

// What the product link thread's cycles did, as its trace calls tell it.
// The calls are observed whatever levels the trace log keeps.
struct CycleReport {
    uint64_t number = 0;      // cycles begun
    bool finished = false;    // the last one has reached its wait
    std::string result;       // of the last finished cycle
    int64_t durationMs = 0;   // scan to wait of the last finished cycle
    std::time_t endedAt = 0;  // wall clock at its end
    unsigned installed = 0, updated = 0, removed = 0;
    std::time_t mutexWaitSince = 0;  // the running cycle waits for "EVENTLOG_SEMA"; 0 when not
};

class CycleObserver {
  public:
    CycleObserver();
    ~CycleObserver();
    CycleObserver(const CycleObserver &) = delete;
    CycleObserver &operator=(const CycleObserver &) = delete;

    // Readable when something was observed; take() clears it.
    int fd() const { return wake_.get(); }
    CycleReport take();

  private:
    static void observe(void *context, int level, const char *thread, const char *source,
                        const char *function, const char *format, va_list args);
    void begin();
    void end(const char *result);
    void wake();

    UniqueFd wake_;
    std::mutex lock_;
    CycleReport report_;
    int64_t startedMs_ = 0;
    bool dirMissing_ = false;
};

// Both together, as the host's serve loop uses them.
class ServiceStatus {
  public:
    // Null outside a service manager.
    static std::unique_ptr<ServiceStatus> create(uint32_t cycleMs);

    int fd() const { return observer_.fd(); }
    // Milliseconds until a long mutex wait is worth a status line; -1 for none.
    int timeoutMs() const;
    // Reads what was observed and says it: READY=1 at the first cycle,
    // STATUS= when a cycle ended or a mutex wait has lasted.
    void update();
    // Says STOPPING=1; later status lines name no next cycle.
    void stopping();

  private:
    ServiceStatus(std::unique_ptr<Notifier> notifier, uint32_t cycleMs, bool watching)
        : notifier_(std::move(notifier)), cycleMs_(cycleMs), watching_(watching) {}
    void say(const CycleReport &report, bool waiting);

    std::unique_ptr<Notifier> notifier_;
    CycleObserver observer_;
    uint32_t cycleMs_;
    bool watching_;  // a change of the directory starts a cycle early
    bool ready_ = false;
    bool stopping_ = false;
    CycleReport last_;
    uint64_t saidWaitOf_ = 0;  // the cycle whose long mutex wait was said
};

}  // namespace amhost
