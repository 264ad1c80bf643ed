// amhost as a separate process: a product file placed while it runs is
// registered and its report table imported, a changed file updates it, a
// removed one unregisters it; a stop signal ends it with the thread's exit
// code 0 and --cycles ends it by itself after exactly that many cycles.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "amirtupt.h"
#include "files.h"
#include "process.h"
#include "registry_probe.h"
#include "w32compat.h"
#include "wait.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace orv_test;

const std::string kInfDir = QORPPLX_REPORT_INF_DIR;

std::string rootDir() {
    const char *root = std::getenv("ORV_ROOT");
    return root != nullptr && *root != '\0' ? root : "/opt/orv";
}

// A product file and its one report table: `entries` lines of
// "<product>Svc,<id>,ERROR,<text>".
void placeProduct(const std::string &name, const std::string &version,
                  const std::vector<int> &eventIds) {
    std::string rows;
    for (int id : eventIds) rows += tableRows(name + "Svc", id, 1, "ERROR");
    writeProduct(kInfDir + "/" + name + ".inf", name, version, writeTable(name + ".tbl", rows));
}

std::string entryKey(const std::string &name, int id) {
    return "SOFTWARE\\ORV\\QORAlertMan\\ReportTable\\" + name + "Svc\\" + std::to_string(id);
}

std::string traceLog() {
    return readFile(rootDir() + "/log/trace.log");
}
std::string linkLog() {
    return readFile(rootDir() + "/log/PPLink.log");
}
bool linkLogHas(const char *line) {
    return linkLog().find(line) != std::string::npos;
}

// One amhost process; killed if a test leaves it running.
class Host {
  public:
    explicit Host(std::vector<std::string> args) {
        std::vector<char *> argv;
        std::string program = AMHOST_PATH;
        argv.push_back(program.data());
        for (auto &arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            // A test killed on a time-out takes its host along.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() == parent) ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
    }
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;
    ~Host() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    bool started() const { return pid_ > 0; }
    void signal(int signo) const { ::kill(pid_, signo); }

    // The exit code, or -1 when it did not exit normally within the limit.
    int exitCode(std::chrono::milliseconds limit = kPatience) {
        int status = 0;
        if (!eventually([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, limit)) {
            return -1;
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    pid_t pid_ = -1;
};

// The service manager's end of the notification protocol: a datagram socket
// whose path a host started meanwhile finds in NOTIFY_SOCKET.
class NotifySocket {
  public:
    NotifySocket() : path_(rootDir() + "/notify.sock") {
        fs::create_directories(rootDir());
        fs::remove(path_);
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        ::setenv("NOTIFY_SOCKET", path_.c_str(), 1);
    }
    NotifySocket(const NotifySocket &) = delete;
    NotifySocket &operator=(const NotifySocket &) = delete;
    ~NotifySocket() {
        ::unsetenv("NOTIFY_SOCKET");
        ::close(fd_);
    }
    bool bound() const { return bound_; }

    // The messages received so far, each datagram one string.
    const std::vector<std::string> &messages() {
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
            messages_.emplace_back(buffer, static_cast<size_t>(n));
        return messages_;
    }
    bool received(const std::string &part) {
        for (const std::string &message : messages())
            if (message.find(part) != std::string::npos) return true;
        return false;
    }

  private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
    std::vector<std::string> messages_;
};

// Cycles the product link thread has finished, as its trace says.
size_t cyclesDone() {
    return countOf(traceLog(), "sync registry over. release mutex");
}

// A product file placed, changed and removed while the host runs: on a
// short cycle, and with --watch on a cycle far longer than the test.
TEST(AmhostTest, ProductFilesFollowTheDirectory) {
    const std::vector<std::vector<std::string>> runs = {{"--cycle", "0.2"},
                                                        {"--cycle", "3600", "--watch"}};
    for (const auto &args : runs) {
        SCOPED_TRACE(args.back());
        size_t before = cyclesDone();
        size_t watching = countOf(traceLog(), "watching /opt/orv/report/inf for changes");
        Host host(args);
        ASSERT_TRUE(host.started());
        ASSERT_TRUE(eventually([&] { return cyclesDone() > before; })) << traceLog();
        if (args.back() == "--watch") {
            ASSERT_TRUE(eventually([&] {
                return countOf(traceLog(), "watching /opt/orv/report/inf for changes") > watching;
            })) << traceLog();
        }

        placeProduct("Alpha", "1.0", {100, 101});
        EXPECT_TRUE(eventually([] { return keyExists(innerKey("Alpha")); })) << linkLog();
        EXPECT_EQ(readDword(productKey("Alpha"), "Manual"), 0u);
        EXPECT_EQ(readText(productKey("Alpha"), "Version"), "1.0");
        EXPECT_EQ(readText(entryKey("Alpha", 100), "Owner"), "Alpha");
        EXPECT_EQ(readText(entryKey("Alpha", 101), "Severity"), "ERROR");
        EXPECT_TRUE(eventually([] { return linkLogHas("Alpha: Inner registered. INSTALL over."); }))
            << linkLog();
        // The host stands in for the alert manager and the event log module:
        // the import signalled all three events and the host saw each.
        EXPECT_TRUE(eventually([] {
            std::string trace = traceLog();
            return trace.find("event AlertManagerBeginUpdatingReportTable fired") !=
                       std::string::npos &&
                   trace.find("event AlertManagerUpdatingReportTable fired") != std::string::npos &&
                   trace.find("event Eventlog_Mod_Event fired") != std::string::npos;
        })) << traceLog();

        // A higher version with a changed table replaces the product's entries.
        // Changes are noticed by the file's modification time in whole seconds.
        placeProduct("Alpha", "2.0", {101, 102});
        const std::string file = kInfDir + "/Alpha.inf";
        fs::last_write_time(file, fs::last_write_time(file) + 5s);
        EXPECT_TRUE(eventually([] { return keyExists(entryKey("Alpha", 102)); })) << linkLog();
        EXPECT_EQ(readText(productKey("Alpha"), "Version"), "2.0");
        EXPECT_TRUE(eventually([] { return keyGone(entryKey("Alpha", 100)); }));
        EXPECT_TRUE(eventually([] { return linkLogHas("Alpha: Inner registry. UPDATE over."); }))
            << linkLog();

        // The file gone: the product, its inner product and its entries go too.
        fs::remove(file);
        EXPECT_TRUE(eventually([] { return keyGone(innerKey("Alpha")); })) << linkLog();
        EXPECT_TRUE(keyGone(productKey("Alpha")));
        EXPECT_TRUE(keyGone(entryKey("Alpha", 101)));
        EXPECT_TRUE(eventually([] { return linkLogHas("Alpha: Product REMOVE over!"); }))
            << linkLog();

        host.signal(SIGTERM);
        EXPECT_EQ(host.exitCode(), 0);
    }
}

// A stop signal is honoured during a long wait of the thread, not only at
// the end of the cycle.
TEST(AmhostTest, StopSignalEndsALongWaitWithExitCodeZero) {
    for (int signo : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(signo));
        size_t before = cyclesDone();
        Host host({"--cycle", "3600"});
        ASSERT_TRUE(host.started());
        ASSERT_TRUE(eventually([&] { return cyclesDone() > before; })) << traceLog();
        host.signal(signo);
        EXPECT_EQ(host.exitCode(10s), 0);
    }
}

TEST(AmhostTest, CyclesOptionEndsAfterExactlyThatManyCycles) {
    placeProduct("Gamma", "1.0", {300});
    for (int cycles : {1, 3}) {
        SCOPED_TRACE(cycles);
        size_t before = cyclesDone();
        Host host({"--cycle", "0.3", "--cycles", std::to_string(cycles)});
        ASSERT_TRUE(host.started());
        EXPECT_EQ(host.exitCode(), 0);
        EXPECT_EQ(cyclesDone() - before, static_cast<size_t>(cycles)) << traceLog();
    }
    // The first run already did the product's work.
    EXPECT_TRUE(keyExists(innerKey("Gamma")));
}

// Under a service manager the host says when the thread runs, what each
// cycle did, and that it stops; whatever levels the trace log keeps.
TEST(AmhostTest, ServiceManagerIsToldReadyStatusAndStopping) {
    NotifySocket manager;
    ASSERT_TRUE(manager.bound());
    ASSERT_EQ(setenv("ORV_TRACE_LEVELS", "1", 1), 0);
    placeProduct("Kappa", "1.0", {700});
    Host host({"--cycle", "0.2", "--cycles", "2"});
    ASSERT_TRUE(host.started());
    EXPECT_EQ(host.exitCode(), 0);
    unsetenv("ORV_TRACE_LEVELS");

    const std::vector<std::string> &said = manager.messages();
    ASSERT_GE(said.size(), 4u);
    EXPECT_EQ(said.front(), "READY=1");
    // --cycles asks for the stop when the last cycle begins; that cycle's
    // status follows and names no next cycle.
    std::vector<std::string> statuses;
    bool stopping = false;
    for (const std::string &message : said) {
        if (message.rfind("STATUS=", 0) == 0) statuses.push_back(message);
        if (message == "STOPPING=1") stopping = true;
    }
    EXPECT_TRUE(stopping);
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_NE(statuses[0].find("products registered: 1; cycle 1 ended "), std::string::npos)
        << statuses[0];
    EXPECT_NE(statuses[0].find(": ok (1 installed, 0 updated, 0 removed); next cycle "),
              std::string::npos)
        << statuses[0];
    EXPECT_NE(statuses[1].find("products registered: 1; cycle 2 ended "), std::string::npos)
        << statuses[1];
    EXPECT_NE(statuses[1].find(": ok; stopping"), std::string::npos) << statuses[1];
}

// A setup tool holding "EVENTLOG_SEMA" keeps the thread from touching the
// registry; one that dies holding it does not block the host for good.
TEST(AmhostTest, DeadHolderOfTheRegistryMutexDoesNotBlockTheHost) {
    MutexHolder holder;
    ASSERT_TRUE(holder.holding()) << "the holder did not take the mutex";

    placeProduct("Delta", "1.0", {400});
    NotifySocket manager;
    Host host({"--cycle", "0.2"});
    ASSERT_TRUE(host.started());
    // The service manager hears of the wait once it lasts.
    ASSERT_TRUE(eventually([&] { return manager.received("waiting for EVENTLOG_SEMA since"); }))
        << traceLog();
    EXPECT_TRUE(keyGone(productKey("Delta")));  // the holder still lives

    EXPECT_EQ(holder.kill(), 128 + SIGKILL);
    EXPECT_TRUE(eventually([] { return keyExists(innerKey("Delta")); })) << traceLog();
    EXPECT_TRUE(eventually([&] { return manager.received("(1 installed"); }));
    host.signal(SIGTERM);
    EXPECT_EQ(host.exitCode(), 0);
}

// --root relocates the agent (registry, logs) and the settings the thread
// reads are seeded: PathName only when missing, the cycle always.
TEST(AmhostTest, RootAndCycleAreSeeded) {
    const std::string root = "/opt/relocated";
    ASSERT_EQ(setenv("ORV_ROOT", root.c_str(), 1), 0);

    Host first({"--root", root, "--cycle", "0.25", "--cycles", "1"});
    ASSERT_TRUE(first.started());
    ASSERT_EQ(first.exitCode(), 0);
    EXPECT_TRUE(fs::exists(root + "/var/registry.db"));
    EXPECT_FALSE(fs::exists("/opt/orv/var/registry.db"));
    EXPECT_EQ(readText("SOFTWARE\\ORV\\QORAlertMan", "PathName"), root);
    EXPECT_EQ(readDword("SOFTWARE\\ORV\\QORAlertMan", "ReportTableTimeOut"), 250u);
    EXPECT_EQ(cyclesDone(), 1u);

    // An administrator's PathName stays; a new cycle replaces the old.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\ORV\\QORAlertMan", &key), ERROR_SUCCESS);
    const char kOwn[] = "/srv/alertman";
    ASSERT_EQ(RegSetValueEx(key, "PathName", 0, REG_SZ, reinterpret_cast<const BYTE *>(kOwn),
                            sizeof kOwn),
              ERROR_SUCCESS);
    RegCloseKey(key);
    Host second({"--root", root, "--cycle", "0", "--cycles", "1"});
    ASSERT_TRUE(second.started());
    ASSERT_EQ(second.exitCode(), 0);
    EXPECT_EQ(readText("SOFTWARE\\ORV\\QORAlertMan", "PathName"), kOwn);
    EXPECT_EQ(readDword("SOFTWARE\\ORV\\QORAlertMan", "ReportTableTimeOut"), 0u);
}

}  // namespace
