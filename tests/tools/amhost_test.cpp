// amhost as a separate process: it runs the product link thread and stops it
// cleanly, its options, and what it tells a service manager. What a cycle
// does to the products and the report table is the thread's own and tested
// with it; here a finished cycle is seen in the trace log only.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "amirtupt.h"
#include "process.h"
#include "registry_probe.h"
#include "tool.h"

namespace {

using namespace std::chrono;
using namespace orv_test;

const std::string kAlertMan = "SOFTWARE\\ORV\\QORAlertMan";

std::string rootDir() {
    const char *root = std::getenv("ORV_ROOT");
    return root != nullptr && *root != '\0' ? root : "/opt/orv";
}
std::string traceLog() {
    return readFile(rootDir() + "/log/trace.log");
}
size_t cyclesDone() {
    return countOf(traceLog(), "sync registry over. release mutex");
}
void placeProduct(const std::string &name) {
    writeProduct(std::string(QORPPLX_REPORT_INF_DIR) + "/" + name + ".inf", name, "1.0",
                 writeTable(name + ".tbl", tableRows(name + "Svc", 1, 1)));
}

// The service manager's end of the notification protocol: a datagram socket
// whose path a host started meanwhile finds in NOTIFY_SOCKET.
class NotifySocket {
  public:
    NotifySocket() : path_(rootDir() + "/notify.sock") {
        std::filesystem::create_directories(rootDir());
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        ::setenv("NOTIFY_SOCKET", path_.c_str(), 1);
    }
    ~NotifySocket() {
        ::unsetenv("NOTIFY_SOCKET");
        ::close(fd_);
    }
    bool bound() const { return bound_; }
    // The messages received so far, each datagram one string.
    const std::vector<std::string> &messages() {
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
            messages_.emplace_back(buffer, static_cast<size_t>(n));
        return messages_;
    }
    bool received(const std::string &part) {
        return std::any_of(messages().begin(), messages().end(),
                           [&](const std::string &m) { return m.find(part) != std::string::npos; });
    }

  private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
    std::vector<std::string> messages_;
};

// Each case has 30 seconds in all for its waits and runs: a host that hangs
// or never says what is waited for fails its case within them.
class AmhostTest : public ::testing::Test {
  protected:
    milliseconds left() const {
        return std::max(0ms, duration_cast<milliseconds>(until_ - steady_clock::now()));
    }
    bool soon(const std::function<bool()> &condition) const {
        return eventually(condition, left());
    }
    Output amhost(const std::vector<std::string> &args) const {
        return Tool(AMHOST_PATH, args).finish(left());
    }

  private:
    steady_clock::time_point until_ = steady_clock::now() + 30s;
};

// With --watch a product placed during a cycle far longer than the test is
// taken at once, and the host, standing in for the alert manager and the
// event log module, sees the events its import signals. SIGINT ends the
// long wait that follows.
TEST_F(AmhostTest, WatchRunsACycleAsSoonAsTheDirectoryChanges) {
    NotifySocket manager;
    ASSERT_TRUE(manager.bound());
    Tool host(AMHOST_PATH, {"--cycle", "3600", "--watch"});
    ASSERT_TRUE(soon([] { return countOf(traceLog(), "for changes") > 0; })) << traceLog();
    EXPECT_TRUE(soon([&] { return manager.received("or on a change"); }));
    placeProduct("Alpha");
    EXPECT_TRUE(soon([&] { return manager.received("(1 installed"); })) << traceLog();
    for (const char *event : {"AlertManagerBeginUpdatingReportTable",
                              "AlertManagerUpdatingReportTable", "Eventlog_Mod_Event"}) {
        EXPECT_NE(countOf(traceLog(), std::string("event ") + event + " fired"), 0u) << event;
    }
    host.signal(SIGINT);
    EXPECT_EQ(host.finish(left()).status, 0);
}

// A wrong command line ends the host before it runs anything.
TEST_F(AmhostTest, UsageErrorsAndVersion) {
    const std::vector<std::string> wrong[] = {
        {"--cycles", "0"}, {"--cycle", "-1"}, {"--cycle", "4294968"}, {"--frobnicate"}};
    for (const auto &args : wrong) EXPECT_GE(amhost(args).status, 100) << args.back();
    EXPECT_FALSE(fileExists(rootDir() + "/var/registry.db"));
    Output version = amhost({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("amhost ", 0), 0u) << version.out;
}

// --root relocates the agent (registry, logs) and the settings the thread
// reads are seeded: PathName only when missing, the cycle always. --cycles N
// ends the host after exactly N cycles.
TEST_F(AmhostTest, RootAndCycleAreSeeded) {
    const std::string root = "/opt/relocated";
    ASSERT_EQ(setenv("ORV_ROOT", root.c_str(), 1), 0);
    ASSERT_EQ(amhost({"--root", root, "--cycle", "0.25", "--cycles", "3"}).status, 0);
    EXPECT_TRUE(fileExists(root + "/var/registry.db"));
    EXPECT_FALSE(fileExists("/opt/orv/var/registry.db"));
    EXPECT_EQ(readText(kAlertMan, "PathName"), root);
    EXPECT_EQ(readDword(kAlertMan, "ReportTableTimeOut"), 250u);
    EXPECT_EQ(cyclesDone(), 3u) << traceLog();

    // An administrator's PathName stays; a new cycle replaces the old. With
    // a cycle of 0 the thread may begin a cycle or two more before it sees
    // the stop, so only the pause between cycles gives an exact count.
    ASSERT_EQ(writeText(kAlertMan, "PathName", "/srv/alertman"), ERROR_SUCCESS);
    ASSERT_EQ(amhost({"--root", root, "--cycle", "0", "--cycles", "1"}).status, 0);
    EXPECT_EQ(readText(kAlertMan, "PathName"), "/srv/alertman");
    EXPECT_EQ(readDword(kAlertMan, "ReportTableTimeOut"), 0u);
    EXPECT_GE(cyclesDone(), 4u);
}

// Under a service manager the host says when the thread runs, what each
// cycle did, and that it stops; whatever levels the trace log keeps.
TEST_F(AmhostTest, ServiceManagerIsToldReadyStatusAndStopping) {
    NotifySocket manager;
    ASSERT_TRUE(manager.bound());
    ASSERT_EQ(setenv("ORV_TRACE_LEVELS", "1", 1), 0);
    placeProduct("Kappa");
    EXPECT_EQ(amhost({"--cycle", "0.2", "--cycles", "2"}).status, 0);
    unsetenv("ORV_TRACE_LEVELS");

    std::vector<std::string> said = manager.messages(), statuses;
    ASSERT_FALSE(said.empty());
    EXPECT_EQ(said.front(), "READY=1");
    std::copy_if(said.begin(), said.end(), std::back_inserter(statuses),
                 [](const std::string &m) { return m.rfind("STATUS=", 0) == 0; });
    EXPECT_EQ(std::count(said.begin(), said.end(), "STOPPING=1"), 1);
    // --cycles asks for the stop when the last cycle begins; that cycle's
    // status follows and names no next cycle.
    const std::regex expected[] = {
        std::regex("STATUS=products registered: 1; cycle 1 ended .*: ok \\(1 installed, 0 "
                   "updated, 0 removed\\); next .*"),
        std::regex("STATUS=products registered: 1; cycle 2 ended .*: ok; stopping")};
    ASSERT_EQ(statuses.size(), 2u);
    for (size_t i = 0; i < 2; ++i)
        EXPECT_TRUE(std::regex_match(statuses[i], expected[i])) << statuses[i];
}

// A setup tool holding "EVENTLOG_SEMA" keeps the thread from the registry and
// the service manager hears of the wait; one that dies holding it does not
// block the host for good. SIGTERM ends the long wait that follows.
TEST_F(AmhostTest, WaitForADeadHolderOfTheRegistryMutexIsReported) {
    MutexHolder holder;
    ASSERT_TRUE(holder.holding()) << "the holder did not take the mutex";
    placeProduct("Delta");
    NotifySocket manager;
    Tool host(AMHOST_PATH, {"--cycle", "3600"});
    ASSERT_TRUE(soon([&] { return manager.received("waiting for EVENTLOG_SEMA since"); }))
        << traceLog();
    EXPECT_FALSE(manager.received("(1 installed"));
    EXPECT_EQ(holder.kill(), 128 + SIGKILL);
    EXPECT_TRUE(soon([&] { return manager.received("(1 installed"); })) << traceLog();
    host.signal(SIGTERM);
    EXPECT_EQ(host.finish(left()).status, 0);
}

}  // namespace
