// Trace log: line format, level filter, observer, where lines go, rotation,
// and lines from several processes at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "files.h"
#include "process.h"
#include "qortrace.h"

namespace {

using namespace orv_test;

const std::string kLog = "/opt/orv/log/trace-test.log";

std::vector<std::string> readLines(const std::string &path) {
    std::istringstream in(readFile(path));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Each case runs in its own mount namespace: the log starts missing.
class TraceLogTest : public ::testing::Test {
  protected:
    void SetUp() override { use(kLog.c_str(), "all"); }
    static void use(const char *file, const char *levels) {
        file ? setenv("ORV_TRACE_FILE", file, 1) : unsetenv("ORV_TRACE_FILE");
        levels ? setenv("ORV_TRACE_LEVELS", levels, 1) : unsetenv("ORV_TRACE_LEVELS");
        TraceLogReload();
    }
};

// Every conversion takes its argument of its own width; NULL strings show as
// NULL; a thread's name replaces its id; one trailing line end is dropped.
TEST_F(TraceLogTest, LineCarriesTimeThreadLevelPlaceAndMessage) {
    const char *volatile absent = nullptr;  // hidden from the format checker
    TraceLog(3, "ppinfo", "AddPP", 42,
             "%d %u %ld %lld %zu %x %c %5.1f %% %*d %s [%s] [%5s] [%.2s]\n", -1, 4000000000u, -5L,
             1LL << 40, size_t{9}, 255u, 'q', 2.25, 4, 3, "end", (const char *)absent,
             (const char *)absent, "xyz");
    std::thread([] {
        TraceLogSetThrName("PPLinkThread");
        TraceLog(1, "s", "f", 7, "two ends\n\n");
    }).join();
    const std::string all = readFile(kLog);
    const std::regex form(
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} tid\d+ 3 ppinfo:AddPP:42 -1 4000000000 -5 1099511627776 9 ff q   2.2 %    3 end \[NULL\] \[ NULL\] \[xy\]
\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} PPLinkThread 1 s:f:7 two ends

)");
    EXPECT_TRUE(std::regex_match(all, form)) << all;
}

// The levels are read at a reload only: unset or empty keeps 1 to 3, a list
// the levels from 0 to 30 it names. An observer sees the calls of the levels
// it watches, kept or not, but not what it traces itself.
TEST_F(TraceLogTest, LevelsFilterLinesAndObserverSeesWatchedLevels) {
    std::string all;
    for (int level = 0; level <= 30; ++level) all += std::to_string(level);
    const std::pair<const char *, std::string> cases[] = {
        {nullptr, "123"}, {"", "123"}, {"0,3", "03"}, {"all", all}, {"x2,30,31", "230"}};
    for (const auto &[levels, kept] : cases) {
        ::unlink(kLog.c_str());
        use(kLog.c_str(), levels);
        setenv("ORV_TRACE_LEVELS", "0", 1);  // not read until the next reload
        for (int level = -1; level <= 31; ++level) TraceLog(level, "s", "f", 1, "%d", level);
        std::string seen;
        for (const std::string &line : readLines(kLog)) seen += line.substr(line.rfind(' ') + 1);
        EXPECT_EQ(seen, kept) << (levels ? levels : "unset");
    }

    std::string calls;
    auto observer = [](void *context, int level, const char *, const char *, const char *,
                       const char *format, va_list args) {
        char text[64];
        std::vsnprintf(text, sizeof text, format, args);
        *static_cast<std::string *>(context) += std::to_string(level) + text + "|";
        TraceLog(level, "observer", "own", 1, "own");
    };
    ::unlink(kLog.c_str());
    use(kLog.c_str(), "3");
    TraceLogSetObserver(observer, &calls, (1u << 0) | (1u << 3));
    for (int level : {0, 1, 3}) TraceLog(level, "s", "f", 1, "at%d", level);
    TraceLogSetObserver(nullptr, nullptr, 0);
    TraceLog(3, "s", "f", 1, "removed");
    EXPECT_EQ(calls, "0at0|3at3|");
    std::string written;
    for (const std::string &line : readLines(kLog)) written += line.substr(line.rfind(' ')) + "|";
    EXPECT_EQ(written, " own| at3| removed|");
}

// "-" sends lines to standard error, usually a terminal, with control
// characters escaped; the file keeps them as they are. A file that cannot be
// opened drops the line; errno is left alone either way.
TEST_F(TraceLogTest, DestinationsAndErrno) {
    const char *hostile = "name \x1b[31mred\a\rover";
    errno = ERANGE;
    TraceLog(1, "s", "f", 1, "%s", hostile);
    EXPECT_EQ(errno, ERANGE);
    int saved = ::dup(STDERR_FILENO);
    int err = ::open("/opt/stderr.txt", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(err, 0);
    ::dup2(err, STDERR_FILENO);
    use("-", "all");
    TraceLog(1, "s", "f", 1, "%s\n", hostile);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    ::close(err);
    EXPECT_NE(readFile(kLog).find(std::string(hostile) + "\n"), std::string::npos);
    EXPECT_NE(readFile("/opt/stderr.txt").find("name \\x1B[31mred\\x07\\x0Dover\n"),
              std::string::npos)
        << readFile("/opt/stderr.txt");

    use("/nonexistent-dir/sub/trace.log", "all");
    errno = EDOM;
    TraceLog(1, "s", "f", 1, "dropped");
    EXPECT_EQ(errno, EDOM);

    // Without a file named, the log lies under the root, its folder created.
    ASSERT_EQ(::mkdir("/opt/relocated", 0755), 0);
    setenv("ORV_ROOT", "/opt/relocated", 1);
    use(nullptr, "all");
    TraceLog(1, "s", "f", 1, "relocated");
    unsetenv("ORV_ROOT");
    EXPECT_NE(readFile("/opt/relocated/log/trace.log").find("relocated"), std::string::npos);
}

TEST_F(TraceLogTest, FilePastTenMegabytesIsRotatedKeepingOneGeneration) {
    const std::string chunk(4000, 'x');
    struct stat st {};
    for (int i = 0; i < 5000 && ::stat((kLog + ".1").c_str(), &st) != 0; ++i) {
        TraceLog(1, "s", "f", 1, "%s", chunk.c_str());
    }
    ASSERT_EQ(::stat((kLog + ".1").c_str(), &st), 0);
    EXPECT_GT(st.st_size, 10 * 1024 * 1024);
    EXPECT_LT(st.st_size, 10 * 1024 * 1024 + 8192);
    TraceLog(1, "s", "f", 1, "fresh");
    EXPECT_EQ(readLines(kLog).size(), 1u);
}

TEST_F(TraceLogTest, LinesFromSeveralProcessesNeverInterleave) {
    constexpr int kProcesses = 4, kLines = 2000;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        children.push_back(spawn([p] {
            const std::string body(200 + p, char('a' + p));
            for (int i = 0; i < kLines; ++i) TraceLog(3, "s", "f", i, "%d:%s", p, body.c_str());
            return 0;
        }));
    }
    for (pid_t pid : children) ASSERT_EQ(exitStatus(pid), 0);
    std::vector<int> counts(kProcesses);
    for (const std::string &line : readLines(kLog)) {
        const std::string message = line.substr(line.rfind(' ') + 1);
        const int p = message[0] - '0';
        ASSERT_TRUE(p >= 0 && p < kProcesses) << line;
        ASSERT_EQ(message, std::to_string(p) + ":" + std::string(200 + p, char('a' + p)));
        ++counts[p];
    }
    EXPECT_EQ(counts, std::vector<int>(kProcesses, kLines));
}

}  // namespace
