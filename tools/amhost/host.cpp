#include "host.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

#include "amirtupt.h"
#include "common.h"
#include "file_access.h"
#include "notify.h"
#include "qorutil.h"
#include "watch.h"

namespace amhost {
namespace {

constexpr const char kAlertManKey[] = "SOFTWARE\\ORV\\QORAlertMan";
constexpr DWORD kDefaultCycleMs = 900000;

using ThreadEntry = uint32_t (*)(void *);

// Said on standard error (where a service manager collects it) and in the trace log.
void fail(const char *what, const char *detail) {
    std::fprintf(stderr, "amhost: %s: %s\n", what, detail);
    HOST_TRACE(kTraceError, "%s: %s", what, detail);
}

// Makes `root` the agent root of this process and of every companion it
// loads, with the log and registry directories in place.
bool useRoot(const std::string &root) {
    std::error_code error;
    std::filesystem::path path = std::filesystem::absolute(root, error);
    if (error) {
        std::fprintf(stderr, "amhost: root %s: %s\n", root.c_str(), error.message().c_str());
        return false;
    }
    std::filesystem::create_directories(path, error);
    for (const char *sub : {"log", "var"}) {
        // The agent's folders: its owner's (and group's), whatever the umask.
        if (!error && !orv::access::makeFolder((path / sub).c_str()) && errno != EEXIST) {
            error = std::error_code(errno, std::generic_category());
        }
        if (error) {
            std::fprintf(stderr, "amhost: cannot create %s: %s\n", (path / sub).c_str(),
                         error.message().c_str());
            return false;
        }
    }
    setenv("ORV_ROOT", path.c_str(), /*overwrite=*/1);
    return true;
}

// Products can only report once their directory exists.
void ensureReportDirectory() {
    std::error_code error;
    if (std::filesystem::create_directories(QORPPLX_REPORT_INF_DIR, error)) {
        HOST_TRACE(kTraceProgress, "created %s", QORPPLX_REPORT_INF_DIR);
    } else if (error) {
        HOST_TRACE(kTraceError, "cannot create %s : %s", QORPPLX_REPORT_INF_DIR,
                   error.message().c_str());
    }
}

// Creates the alert manager's settings key, seeds "PathName" with the agent
// root when it is missing, writes the cycle when one was asked for, and
// returns the cycle the thread will read.
DWORD seedSettings(const Options &options) {
    HKEY raw = nullptr;
    LONG rc = RegCreateKey(HKEY_LOCAL_MACHINE, kAlertManKey, &raw);
    if (rc != ERROR_SUCCESS) {
        HOST_TRACE(kTraceError, "cannot create %s : %d", kAlertManKey, static_cast<int>(rc));
        std::fprintf(stderr, "amhost: cannot create registry key %s (error %d)\n", kAlertManKey,
                     static_cast<int>(rc));
        return options.cycleMs.value_or(kDefaultCycleMs);
    }
    Key key(raw);

    DWORD size = 0;
    rc = RegQueryValueEx(key.get(), "PathName", nullptr, nullptr, nullptr, &size);
    if (rc == ERROR_FILE_NOT_FOUND) {
        char root[4096];
        int length = GetQorRootPath(root, sizeof root);
        if (length > 0) {
            rc = RegSetValueEx(key.get(), "PathName", 0, REG_SZ, reinterpret_cast<BYTE *>(root),
                               static_cast<DWORD>(length) + 1);
            if (rc == ERROR_SUCCESS)
                HOST_TRACE(kTraceProgress, "seeded PathName : %s", root);
            else
                HOST_TRACE(kTraceError, "cannot set PathName : %d", static_cast<int>(rc));
        }
    }

    if (options.watch) {
        DWORD on = 1;
        rc = RegSetValueEx(key.get(), "WatchReportDirectory", 0, REG_DWORD,
                           reinterpret_cast<BYTE *>(&on), sizeof on);
        if (rc != ERROR_SUCCESS)
            HOST_TRACE(kTraceError, "cannot set WatchReportDirectory : %d", static_cast<int>(rc));
    }

    if (options.cycleMs) {
        DWORD cycle = *options.cycleMs;
        rc = RegSetValueEx(key.get(), "ReportTableTimeOut", 0, REG_DWORD,
                           reinterpret_cast<BYTE *>(&cycle), sizeof cycle);
        if (rc != ERROR_SUCCESS)
            HOST_TRACE(kTraceError, "cannot set ReportTableTimeOut : %d", static_cast<int>(rc));
        return cycle;
    }
    DWORD cycle = 0;
    DWORD type = 0;
    size = sizeof cycle;
    rc = RegQueryValueEx(key.get(), "ReportTableTimeOut", nullptr, &type,
                         reinterpret_cast<BYTE *>(&cycle), &size);
    return rc == ERROR_SUCCESS && size == sizeof cycle ? cycle : kDefaultCycleMs;
}

// The product link thread with the host's side of its protocol: the
// parameter block whose second word is the stop event, and a descriptor that
// becomes readable when the thread has returned.
class LinkThread {
  public:
    LinkThread(ThreadEntry entry, HANDLE stop) : block_{nullptr, stop} {
        done_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!done_) throw std::system_error(errno, std::generic_category(), "eventfd");
        thread_ = std::thread([this, entry] {
            exitCode_ = entry(block_);
            uint64_t one = 1;
            [[maybe_unused]] ssize_t n = ::write(done_.get(), &one, sizeof one);
        });
    }
    LinkThread(const LinkThread &) = delete;
    LinkThread &operator=(const LinkThread &) = delete;
    ~LinkThread() {
        if (thread_.joinable()) thread_.join();
    }

    int doneFd() const { return done_.get(); }
    uint32_t join() {
        thread_.join();
        return exitCode_;
    }

  private:
    void *block_[2];
    UniqueFd done_;
    uint32_t exitCode_ = 0;
    std::thread thread_;
};

UniqueFd stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return UniqueFd(signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
}

const char *signalName(uint32_t signo) {
    switch (signo) {
        case SIGTERM:
            return "SIGTERM";
        case SIGINT:
            return "SIGINT";
        default:
            return "signal";
    }
}

// Waits until the thread returns, passing a stop signal or the end of the
// asked-for cycles on to the thread through the stop event, and keeps the
// service manager told (status, when started by one).
void serve(LinkThread &thread, HANDLE stop, int signals, CycleCounter *counter,
           ServiceStatus *status) {
    bool stopping = false;
    auto requestStop = [&](const char *why) {
        if (!stopping) {
            TraceLog(kTraceProgress, "amhost", "serve", __LINE__, "stop requested : %s", why);
            if (status != nullptr) status->stopping();
        }
        stopping = true;
        SetEvent(stop);
    };
    auto sooner = [](int a, int b) { return a < 0 ? b : b < 0 ? a : std::min(a, b); };
    for (;;) {
        pollfd fds[4] = {{thread.doneFd(), POLLIN, 0},
                         {signals, POLLIN, 0},
                         {-1, POLLIN, 0},
                         {status != nullptr ? status->fd() : -1, POLLIN, 0}};
        int timeout = -1;
        if (counter != nullptr && !stopping) {
            fds[2].fd = counter->fd();
            timeout = counter->timeoutMs();
        }
        if (status != nullptr) timeout = sooner(timeout, status->timeoutMs());
        int ready = ::poll(fds, 4, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            HOST_TRACE(kTraceError, "poll failed : %s", std::strerror(errno));
            requestStop("poll failed");
            return;  // the caller joins the thread, which now ends at its next wait
        }
        bool threadDone = (fds[0].revents & POLLIN) != 0;
        if ((fds[1].revents & POLLIN) != 0) {
            signalfd_siginfo info{};
            while (::read(signals, &info, sizeof info) == sizeof info)
                requestStop(signalName(info.ssi_signo));
        }
        if (counter != nullptr && !stopping) {
            bool reached = (fds[2].revents & POLLIN) != 0 ? counter->onReadable() : false;
            if (reached || counter->expired()) requestStop("cycles done");
        }
        // After the stop request: the directory's open that asked for it is
        // queued before the end of the cycle it began, whose status then says so.
        if (status != nullptr) status->update();
        if (threadDone) return;
    }
}

}  // namespace

int run(const Options &options) {
    // The stop signals are taken from a descriptor, never by a handler: they
    // are blocked before any thread exists so that every thread inherits that.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    UniqueFd signals = stopSignals();
    if (!signals) {
        fail("signalfd", std::strerror(errno));
        return kHostFailure;
    }

    // Environment first: every companion reads it on its next call.
    if (!options.root.empty() && !useRoot(options.root)) return kHostFailure;
    if (options.foreground) setenv("ORV_TRACE_FILE", "-", /*overwrite=*/1);

    char root[4096] = "";
    GetQorRootPath(root, sizeof root);
    HOST_TRACE(kTraceProgress, "starting : root %s", root);
    ensureReportDirectory();
    DWORD cycleMs = seedSettings(options);

    Handle eventlog(CreateEvent(nullptr, /*bManualReset=*/FALSE, /*bInitialState=*/FALSE,
                                "Eventlog_Mod_Event"));
    if (!eventlog) {
        HOST_TRACE(kTraceError, "CreateEvent(Eventlog_Mod_Event) error : %u",
                   static_cast<unsigned>(GetLastError()));
    }
    Handle stop(CreateEvent(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr));
    if (!stop) {
        fail("cannot create the stop event", std::to_string(GetLastError()).c_str());
        return kHostFailure;
    }

    Module library(LoadLibrary("amirtupt.dll"));
    if (!library) {
        fail("cannot load amirtupt.dll", ("error " + std::to_string(GetLastError())).c_str());
        return kHostFailure;
    }
    auto entry =
        reinterpret_cast<ThreadEntry>(GetProcAddress(library.get(), "AM_Dll_ReportTableUpdate"));
    if (entry == nullptr) {
        fail("amirtupt.dll", "no AM_Dll_ReportTableUpdate");
        return kHostFailure;
    }

    std::optional<CycleCounter> counter;
    if (options.cycles) counter.emplace(*options.cycles, cycleMs);

    // Observes the thread from its first trace call on: made before it starts.
    std::unique_ptr<ServiceStatus> status = ServiceStatus::create(cycleMs);

    uint32_t exitCode = 0;
    {
        EventWatchers watchers(eventlog.get());
        LinkThread thread(entry, stop.get());
        if (counter) counter->started();
        serve(thread, stop.get(), signals.get(), counter ? &*counter : nullptr, status.get());
        exitCode = thread.join();
        watchers.stop();
        auto seen = watchers.counts();
        HOST_TRACE(kTraceProgress,
                   "events seen : AlertManagerBeginUpdatingReportTable %llu, "
                   "AlertManagerUpdatingReportTable %llu, Eventlog_Mod_Event %llu",
                   static_cast<unsigned long long>(seen.begin),
                   static_cast<unsigned long long>(seen.updating),
                   static_cast<unsigned long long>(seen.eventlog));
    }
    HOST_TRACE(kTraceProgress, "product link thread ended : %u", static_cast<unsigned>(exitCode));
    library.reset();
    return static_cast<int>(exitCode);
}

}  // namespace amhost
