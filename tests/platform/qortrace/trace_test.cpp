// Trace log: line format, level filter, observer, where lines go, rotation,
// and lines from several processes at once.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <regex>
#include <thread>

#include "files.h"
#include "process.h"
#include "qortrace.h"

using namespace orv_test;

const std::string kLog = "/opt/orv/log/trace-test.log";

// The messages of a trace file's lines (what follows the last space), each
// followed by '|'.
std::string messages(const std::string &path) {
    std::istringstream in(readFile(path));
    std::string all;
    for (std::string line; std::getline(in, line);) all += line.substr(line.rfind(' ') + 1) + "|";
    return all;
}

void use(const char *file, const char *levels) {
    file ? setenv("ORV_TRACE_FILE", file, 1) : unsetenv("ORV_TRACE_FILE");
    levels ? setenv("ORV_TRACE_LEVELS", levels, 1) : unsetenv("ORV_TRACE_LEVELS");
    TraceLogReload();
}

// Each case runs in its own mount namespace: the log starts missing.
class TraceLogTest : public ::testing::Test {
    void SetUp() override { use(kLog.c_str(), "all"); }
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
    for (int level = 0; level <= 30; ++level) all += std::to_string(level) + "|";
    const std::pair<const char *, std::string> cases[] = {
        {nullptr, "1|2|3|"}, {"", "1|2|3|"}, {"0,3", "0|3|"}, {"all", all}, {"x2,30,31", "2|30|"}};
    for (const auto &[levels, kept] : cases) {
        ::unlink(kLog.c_str());
        use(kLog.c_str(), levels);
        setenv("ORV_TRACE_LEVELS", "0", 1);  // not read until the next reload
        for (int level = -1; level <= 31; ++level) TraceLog(level, "s", "f", 1, "%d", level);
        EXPECT_EQ(messages(kLog), kept) << (levels ? levels : "unset");
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
    EXPECT_EQ(messages(kLog), "own|at3|removed|");
}

// "-" sends lines to standard error, usually a terminal, with control
// characters escaped; the file keeps them as they are. A file that cannot be
// opened drops the line and leaves errno alone. Without a file
// named, the log lies under the root, its folder created.
TEST_F(TraceLogTest, DestinationsAndErrno) {
    const char *hostile = "name \x1b[31mred\a\rover";
    TraceLog(1, "s", "f", 1, "%s", hostile);
    EXPECT_NE(readFile(kLog).find(std::string(hostile) + "\n"), std::string::npos);
    use("-", "all");
    ::testing::internal::CaptureStderr();
    TraceLog(1, "s", "f", 1, "%s\n", hostile);
    const std::string shown = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(shown.find("name \\x1B[31mred\\x07\\x0Dover\n"), std::string::npos) << shown;

    use("/nonexistent-dir/sub/trace.log", "all");
    errno = EDOM;
    TraceLog(1, "s", "f", 1, "dropped");
    EXPECT_EQ(errno, EDOM);

    ASSERT_EQ(::mkdir("/opt/relocated", 0755), 0);
    setenv("ORV_ROOT", "/opt/relocated", 1);
    use(nullptr, "all");
    TraceLog(1, "s", "f", 1, "relocated");
    EXPECT_EQ(messages("/opt/relocated/log/trace.log"), "relocated|");
}

TEST_F(TraceLogTest, FilePastTenMegabytesIsRotatedKeepingOneGeneration) {
    const std::string chunk(4000, 'x');
    struct stat st {};
    for (int i = 0; i < 5000 && ::stat((kLog + ".1").c_str(), &st) != 0; ++i)
        TraceLog(1, "s", "f", 1, "%s", chunk.c_str());
    EXPECT_GT(st.st_size, 10 * 1024 * 1024);
    EXPECT_LT(st.st_size, 10 * 1024 * 1024 + 8192);
    TraceLog(1, "s", "f", 1, "fresh");
    EXPECT_EQ(messages(kLog), "fresh|");
}

// Each process's line, of a length of its own, arrives whole every time.
TEST_F(TraceLogTest, LinesFromSeveralProcessesNeverInterleave) {
    const std::string bodies[] = {std::string(200, 'a'), std::string(201, 'b'),
                                  std::string(202, 'c'), std::string(203, 'd')};
    std::vector<pid_t> children;
    for (const std::string &body : bodies)
        children.push_back(spawn([&body] {
            for (int i = 0; i < 2000; ++i) TraceLog(3, "s", "f", i, "%s", body.c_str());
            return 0;
        }));
    for (pid_t pid : children) ASSERT_EQ(exitStatus(pid), 0);
    const std::string all = readFile(kLog);
    EXPECT_EQ(countOf(all, "\n"), 8000u);
    for (const std::string &body : bodies) EXPECT_EQ(countOf(all, " " + body + "\n"), 2000u);
}
