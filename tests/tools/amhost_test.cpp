// amhost as a separate process: it seeds the settings the product link thread
// reads, runs the thread, tells a service manager how it goes and stops it
// cleanly. What a cycle does is the thread's own and tested with it.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <regex>

#include "amirtupt.h"
#include "registry_probe.h"
#include "tool.h"

using namespace orv_test;

const std::string kAlertMan = "SOFTWARE\\ORV\\QORAlertMan";

// The service manager's end: a datagram socket a host started meanwhile
// finds in NOTIFY_SOCKET.
class NotifySocket {
  public:
    NotifySocket() {
        sockaddr_un address{AF_UNIX, "/opt/notify.sock"};
        bound = ::bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        ::setenv("NOTIFY_SOCKET", address.sun_path, 1);
    }
    ~NotifySocket() { ::close(fd_); }
    // Every datagram received so far, each followed by a line feed.
    const std::string &said() {
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
            said_.append(buffer, static_cast<size_t>(n)) += '\n';
        return said_;
    }
    bool bound = false;
    int fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::string said_;
};

// Every run and wait has a deadline of its own: a host that hangs or never
// says what is waited for fails its case within it.
bool heard(NotifySocket &manager, const std::string &part) {
    return eventually([&] { return manager.said().find(part) != std::string::npos; });
}

// A wrong command line ends the host before it runs anything.
TEST(AmhostTest, UsageErrorsRunNothing) {
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"--cycles", "0"}, {"--cycle", "-1"}, {"--cycle", "4294968"}, {"--frobnicate"}})
        EXPECT_GE(run(AMHOST_PATH, args).status, 100) << args.back();
    EXPECT_FALSE(fileExists("/opt/orv/var/registry.db"));
}

// --root relocates the agent and the settings are seeded: PathName only when
// missing, the cycle always. --cycles N ends the host after exactly N cycles,
// each reported, whatever levels the trace log keeps; only the pause between
// cycles gives an exact count.
TEST(AmhostTest, RootAndCycleAreSeededAndCyclesCounted) {
    NotifySocket manager;
    ASSERT_TRUE(manager.bound);
    ASSERT_EQ(setenv("ORV_ROOT", "/opt/relocated", 1) + setenv("ORV_TRACE_LEVELS", "1", 1), 0);
    ASSERT_EQ(
        run(AMHOST_PATH, {"--root", "/opt/relocated", "--cycle", "0.25", "--cycles", "3"}).status,
        0);
    EXPECT_TRUE(fileExists("/opt/relocated/var/registry.db"));
    EXPECT_FALSE(fileExists("/opt/orv/var/registry.db"));
    EXPECT_EQ(readText(kAlertMan, "PathName"), "/opt/relocated");
    EXPECT_EQ(readDword(kAlertMan, "ReportTableTimeOut"), 250u);
    EXPECT_TRUE(std::regex_match(manager.said(),
                                 std::regex("READY=1\n(STATUS=[^\n]* ended [^\n]*; next [^\n]*\n)*"
                                            "STOPPING=1\nSTATUS=[^\n]*cycle 3 ended[^\n]*; "
                                            "stopping\n")))
        << manager.said();

    ASSERT_EQ(writeText(kAlertMan, "PathName", "/srv/alertman"), ERROR_SUCCESS);
    ASSERT_EQ(
        run(AMHOST_PATH, {"--root", "/opt/relocated", "--cycle", "0", "--cycles", "1"}).status, 0);
    EXPECT_EQ(readText(kAlertMan, "PathName"), "/srv/alertman");
    EXPECT_EQ(readDword(kAlertMan, "ReportTableTimeOut"), 0u);
}

// A setup tool holding "EVENTLOG_SEMA" keeps the first cycle waiting, which
// the service manager hears of, until it dies. With --watch a product placed
// during a cycle far longer than the test is taken at once. SIGTERM ends the
// long wait that follows.
TEST(AmhostTest, WaitForADeadHolderThenWatchUntilStopped) {
    NotifySocket manager;
    MutexHolder holder;
    ASSERT_TRUE(manager.bound && holder.holding());
    Tool host(AMHOST_PATH, {"--cycle", "3600", "--watch"});
    EXPECT_TRUE(heard(manager, "waiting for EVENTLOG_SEMA since"));
    EXPECT_EQ(holder.kill(), 128 + SIGKILL);
    EXPECT_TRUE(heard(manager, "or on a change"));
    // The thread watches the directory from its first wait on, which follows the status.
    EXPECT_TRUE(
        eventually([] { return countOf(readFile("/opt/orv/log/trace.log"), "for changes"); }));
    writeProduct(std::string(QORPPLX_REPORT_INF_DIR) + "/Alpha.inf", "Alpha", "1.0",
                 writeTable("Alpha.tbl", tableRows("AlphaSvc", 1, 1)));
    EXPECT_TRUE(heard(manager, "(1 installed"));
    host.signal(SIGTERM);
    EXPECT_EQ(host.finish().status, 0);
    EXPECT_EQ(countOf(manager.said(), "STOPPING=1\n"), 1u);
}
