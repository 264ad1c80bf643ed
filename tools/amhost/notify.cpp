#include "notify.h"

#include <sys/eventfd.h>
#include <time.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "qortrace.h"

namespace amhost {
namespace {

constexpr const char kThreadName[] = "PPLinkThread";
constexpr const char kThreadFunction[] = "AM_Dll_ReportTableUpdate";
constexpr const char kScanFunction[] = "QORPPLX_getPPInfo";
constexpr const char kProductsKey[] = "SOFTWARE\\ORV\\ALERTREPORT";
// A cycle that waits this long for "EVENTLOG_SEMA" says so.
constexpr int64_t kLongMutexWaitMs = 2000;

int64_t monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::string clockTime(std::time_t when) {
    tm local{};
    char text[16] = "?";
    if (localtime_r(&when, &local) != nullptr) std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

// The products registered under SOFTWARE\ORV\ALERTREPORT; -1 when unreadable.
long registeredProducts() {
    HKEY raw = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kProductsKey, 0, KEY_READ, &raw) != ERROR_SUCCESS)
        return -1;
    Key key(raw);
    DWORD subkeys = 0;
    if (RegQueryInfoKey(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                        nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return -1;
    return static_cast<long>(subkeys);
}

// True when the thread also wakes on a change of the report information
// directory, as it reads the setting when it starts.
bool watchesDirectory() {
    HKEY raw = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\ORV\\QORAlertMan", 0, KEY_READ, &raw) !=
        ERROR_SUCCESS)
        return false;
    Key key(raw);
    DWORD value = 0, type = 0, size = sizeof value;
    return RegQueryValueEx(key.get(), "WatchReportDirectory", nullptr, &type,
                           reinterpret_cast<BYTE *>(&value), &size) == ERROR_SUCCESS &&
           type == REG_DWORD && value == 1;
}

}  // namespace

std::unique_ptr<Notifier> Notifier::fromEnvironment() {
    const char *path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr || *path == '\0') return nullptr;
    std::unique_ptr<Notifier> notifier(new Notifier());
    size_t length = std::strlen(path);
    if (length >= sizeof notifier->address_.sun_path || (path[0] != '/' && path[0] != '@')) {
        HOST_TRACE(kTraceError, "NOTIFY_SOCKET is no socket address : %s", path);
        return nullptr;
    }
    notifier->address_.sun_family = AF_UNIX;
    std::memcpy(notifier->address_.sun_path, path, length);
    // "@name" is a socket in the abstract namespace: a leading NUL, no end.
    if (path[0] == '@') notifier->address_.sun_path[0] = '\0';
    notifier->length_ =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (path[0] == '@' ? 0 : 1));
    notifier->socket_.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!notifier->socket_) {
        HOST_TRACE(kTraceError, "cannot open a socket for NOTIFY_SOCKET : %s",
                   std::strerror(errno));
        return nullptr;
    }
    return notifier;
}

bool Notifier::send(std::string_view message) const {
    ssize_t sent;
    do {
        sent = ::sendto(socket_.get(), message.data(), message.size(), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr *>(&address_), length_);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        HOST_TRACE(kTraceError, "cannot notify the service manager : %s", std::strerror(errno));
        return false;
    }
    return true;
}

CycleObserver::CycleObserver() {
    wake_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_) {
        HOST_TRACE(kTraceError, "eventfd failed : %s; no status for the service manager",
                   std::strerror(errno));
        return;
    }
    TraceLogSetObserver(&CycleObserver::observe, this, (1u << kTraceDetail) | (1u << 3));
}

CycleObserver::~CycleObserver() {
    if (wake_) TraceLogSetObserver(nullptr, nullptr, 0);
}

// Runs on the tracing thread: only the product link thread's own calls that
// mark a cycle's steps count, and nothing here traces.
void CycleObserver::observe(void *context, int level, const char *thread, const char *,
                            const char *function, const char *format, va_list args) {
    if (std::strcmp(thread, kThreadName) != 0 || function == nullptr || format == nullptr) return;
    auto *self = static_cast<CycleObserver *>(context);
    if (std::strcmp(function, kScanFunction) == 0) {
        if (level == kTraceDetail && format[0] == '>') {
            self->begin();
        } else if (level == kTraceDetail && std::strcmp(format, "< return value %d") == 0) {
            if (va_arg(args, int) < 0)
                self->end(self->dirMissing_ ? "no report information directory" : "scan failed");
        } else if (std::strncmp(format, "< the dir not exist", 19) == 0) {
            self->dirMissing_ = true;
        }
        return;
    }
    if (level != 3 || std::strcmp(function, kThreadFunction) != 0) return;
    if (std::strcmp(format, "sync registry over. release mutex : %s") == 0) {
        self->end("ok");
    } else if (std::strcmp(format, "WaitForSingleObject error : %d.") == 0) {
        self->end("EVENTLOG_SEMA not acquired");
    } else {
        std::lock_guard guard(self->lock_);
        if (std::strcmp(format, "Wait for reg access mutex : %s") == 0) {
            self->report_.mutexWaitSince = std::time(nullptr);
            self->wake();  // the host times the wait; it is said only when it lasts
            return;
        }
        if (std::strcmp(format, "Install done.") == 0) ++self->report_.installed;
        if (std::strcmp(format, "Update done") == 0) ++self->report_.updated;
        if (std::strcmp(format, "Remove product: %s") == 0) ++self->report_.removed;
    }
}

void CycleObserver::begin() {
    {
        std::lock_guard guard(lock_);
        ++report_.number;
        report_.finished = false;
        report_.installed = report_.updated = report_.removed = 0;
        report_.mutexWaitSince = 0;
        dirMissing_ = false;
        startedMs_ = monotonicMs();
    }
    wake();
}

void CycleObserver::end(const char *result) {
    {
        std::lock_guard guard(lock_);
        report_.finished = true;
        report_.result = result;
        report_.durationMs = monotonicMs() - startedMs_;
        report_.endedAt = std::time(nullptr);
        report_.mutexWaitSince = 0;
    }
    wake();
}

void CycleObserver::wake() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_.get(), &one, sizeof one);
}

CycleReport CycleObserver::take() {
    uint64_t count = 0;
    [[maybe_unused]] ssize_t n = ::read(wake_.get(), &count, sizeof count);
    std::lock_guard guard(lock_);
    return report_;
}

std::unique_ptr<ServiceStatus> ServiceStatus::create(uint32_t cycleMs) {
    std::unique_ptr<Notifier> notifier = Notifier::fromEnvironment();
    if (!notifier) return nullptr;
    std::unique_ptr<ServiceStatus> status(
        new ServiceStatus(std::move(notifier), cycleMs, watchesDirectory()));
    if (status->fd() < 0) return nullptr;
    return status;
}

int ServiceStatus::timeoutMs() const {
    if (last_.mutexWaitSince == 0 || saidWaitOf_ == last_.number) return -1;
    int64_t left = (static_cast<int64_t>(last_.mutexWaitSince) * 1000 + kLongMutexWaitMs) -
                   static_cast<int64_t>(std::time(nullptr)) * 1000;
    return left <= 0 ? 0 : static_cast<int>(left);
}

void ServiceStatus::update() {
    CycleReport report = observer_.take();
    if (!ready_ && report.number > 0) {
        ready_ = true;
        notifier_->send("READY=1");
    }
    bool ended = report.finished && (!last_.finished || report.number != last_.number);
    bool waitLasted = report.mutexWaitSince != 0 && saidWaitOf_ != report.number &&
                      std::time(nullptr) * 1000 >=
                          static_cast<int64_t>(report.mutexWaitSince) * 1000 + kLongMutexWaitMs;
    last_ = report;
    if (ended) say(report, /*waiting=*/false);
    if (waitLasted) {
        saidWaitOf_ = report.number;
        say(report, /*waiting=*/true);
    }
}

void ServiceStatus::say(const CycleReport &report, bool waiting) {
    std::string line = "STATUS=";
    long products = registeredProducts();
    line += products < 0 ? "products registered: unknown"
                         : "products registered: " + std::to_string(products);
    if (waiting) {
        line += "; cycle " + std::to_string(report.number) + " waiting for EVENTLOG_SEMA since " +
                clockTime(report.mutexWaitSince);
    } else {
        line += "; cycle " + std::to_string(report.number) + " ended " + clockTime(report.endedAt) +
                " after " + std::to_string(report.durationMs) + " ms: " + report.result;
        if (report.installed + report.updated + report.removed > 0) {
            line += " (" + std::to_string(report.installed) + " installed, " +
                    std::to_string(report.updated) + " updated, " + std::to_string(report.removed) +
                    " removed)";
        }
        std::time_t next = report.endedAt + static_cast<std::time_t>(cycleMs_ / 1000);
        if (stopping_)
            line += "; stopping";
        else
            line += "; next cycle " + clockTime(next) + (watching_ ? " or on a change" : "");
    }
    notifier_->send(line);
}

void ServiceStatus::stopping() {
    stopping_ = true;
    notifier_->send("STOPPING=1");
}

}  // namespace amhost
