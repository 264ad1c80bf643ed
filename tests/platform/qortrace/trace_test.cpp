// Trace log: line format, level filter, NULL strings, thread names, file
// selection, rotation, and lines from several processes at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qortrace.h"

namespace {

std::vector<std::string> readLines(const std::string &path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class TraceLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = "/opt/orv/log/trace-test.log";
        ::unlink(path_.c_str());
        setenv("ORV_TRACE_FILE", path_.c_str(), 1);
        setenv("ORV_TRACE_LEVELS", "all", 1);
        TraceLogReload();
    }
    void TearDown() override {
        unsetenv("ORV_TRACE_FILE");
        unsetenv("ORV_TRACE_LEVELS");
        TraceLogReload();
    }
    std::string path_;
};

TEST_F(TraceLogTest, LineCarriesTimeThreadLevelPlaceAndMessage) {
    TraceLog(3, "ppinfo", "QORPPLX_PPInfoAddPP", 42, "> head=%p, n=%d, s=%s\n", nullptr, 7, "x");
    auto lines = readLines(path_);
    ASSERT_EQ(lines.size(), 1u);
    std::regex form(
        R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} tid\d+ 3 ppinfo:QORPPLX_PPInfoAddPP:42 > head=.*, n=7, s=x$)");
    EXPECT_TRUE(std::regex_match(lines[0], form)) << lines[0];
}

// The trace file keeps a message exactly; standard error, usually a
// terminal, gets control characters escaped.
TEST_F(TraceLogTest, ControlCharactersReachStandardErrorEscaped) {
    const char *hostile = "name \x1b[31mred\x1b]0;title\x07\rover";
    TraceLog(1, "s", "f", 1, "%s", hostile);
    const std::string errPath = "/opt/orv/log/stderr.txt";
    int saved = ::dup(STDERR_FILENO);
    int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(err, 0);
    ::dup2(err, STDERR_FILENO);
    setenv("ORV_TRACE_FILE", "-", 1);
    TraceLog(1, "s", "f", 1, "%s\n", hostile);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    ::close(err);
    auto file = readLines(path_);
    ASSERT_EQ(file.size(), 1u);
    EXPECT_NE(file[0].find(hostile), std::string::npos);
    auto shown = readLines(errPath);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_NE(shown[0].find("name \\x1B[31mred\\x1B]0;title\\x07\\x0Dover"), std::string::npos)
        << shown[0];
}

TEST_F(TraceLogTest, OnlyOneTrailingLineEndIsRemoved) {
    TraceLog(1, "s", "f", 1, "two ends\n\n");
    std::ifstream in(path_);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(all.find("two ends\n\n"), std::string::npos);
    EXPECT_EQ(all.find("two ends\n\n\n"), std::string::npos);
}

// Conversions of every width keep their arguments; NULL strings show as NULL.
TEST_F(TraceLogTest, ConversionsKeepTheirArgumentsAndNullShowsAsNULL) {
    // Through a volatile, so the compiler cannot see the null it would warn of.
    const char *volatile absent = nullptr;
    const char *none = absent;
    TraceLog(1, "s", "f", 1,
             "%d %u %ld %lld %zu %x %c %5.1f %% %03u %*d %s [%s] [%5s] [%-6s|] [%.2s]", -1,
             4000000000u, -5L, 1LL << 40, size_t{9}, 255u, 'q', 2.25, 7u, 4, 3, "end", none, none,
             "ab", "xyz");
    auto lines = readLines(path_);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" 1 s:f:1 -1 4000000000 -5 1099511627776 9 ff q   2.2 % 007    3 end "
                            "[NULL] [ NULL] [ab    |] [xy]"),
              std::string::npos)
        << lines[0];
}

// The levels are read once: a change of the environment counts from the next
// reload on, not from the next line.
TEST_F(TraceLogTest, LevelsChangeWithAReload) {
    setenv("ORV_TRACE_LEVELS", "1", 1);
    TraceLog(0, "s", "f", 1, "before the reload");
    TraceLogReload();
    TraceLog(0, "s", "f", 1, "after the reload");
    std::vector<std::string> lines = readLines(path_);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("before the reload"), std::string::npos);
}

// An observer sees the calls of the levels it watches, kept or not, with their
// arguments; what it traces itself is written but not observed; once removed
// it sees nothing more.
TEST_F(TraceLogTest, ObserverSeesWatchedLevelsWhetherKeptOrNot) {
    struct Seen {
        std::vector<std::string> calls;
    } seen;
    auto observer = [](void *context, int level, const char *thread, const char *source,
                       const char *function, const char *format, va_list args) {
        char text[128];
        std::vsnprintf(text, sizeof text, format, args);
        static_cast<Seen *>(context)->calls.push_back(std::to_string(level) + " " + thread + " " +
                                                      source + ":" + function + " " + text);
        TraceLog(level, "observer", "own", 1, "from the observer");
    };
    setenv("ORV_TRACE_LEVELS", "3", 1);
    TraceLogReload();
    TraceLogSetThrName("Watched");
    TraceLogSetObserver(observer, &seen, (1u << 0) | (1u << 3));
    TraceLog(0, "s", "f", 1, "dropped %d", 7);
    TraceLog(1, "s", "f", 1, "kept but not watched");
    TraceLog(3, "s", "g", 1, "kept %s", "and watched");
    TraceLogSetObserver(nullptr, nullptr, 0);
    TraceLog(3, "s", "g", 1, "after the removal");
    TraceLogSetThrName(nullptr);

    EXPECT_EQ(seen.calls, (std::vector<std::string>{"0 Watched s:f dropped 7",
                                                    "3 Watched s:g kept and watched"}));
    std::vector<std::string> lines = readLines(path_);
    ASSERT_EQ(lines.size(), 3u);  // level 3 only: the observer's own, the watched, the last
    EXPECT_NE(lines[0].find("from the observer"), std::string::npos);
    EXPECT_NE(lines[1].find("kept and watched"), std::string::npos);
    EXPECT_NE(lines[2].find("after the removal"), std::string::npos);
}

TEST_F(TraceLogTest, LevelsAreFilteredByTheEnvironment) {
    struct Case {
        const char *levels;
        std::set<int> kept;
    };
    const Case cases[] = {
        {nullptr, {1, 2, 3}},
        {"0,3", {0, 3}},
        {"all", {0, 1, 2, 3}},
        {"2", {2}},
    };
    for (const Case &c : cases) {
        ::unlink(path_.c_str());
        if (c.levels != nullptr) {
            setenv("ORV_TRACE_LEVELS", c.levels, 1);
            TraceLogReload();
        } else {
            unsetenv("ORV_TRACE_LEVELS");
            TraceLogReload();
        }
        for (int level = 0; level <= 3; ++level) TraceLog(level, "s", "f", 1, "level%d", level);
        std::set<int> seen;
        for (const std::string &line : readLines(path_)) seen.insert(line.back() - '0');
        EXPECT_EQ(seen, c.kept) << (c.levels != nullptr ? c.levels : "default");
    }
}

TEST_F(TraceLogTest, ThreadNameReplacesTheThreadId) {
    std::thread([] {
        TraceLogSetThrName("PPLinkThread");
        TraceLog(3, "amirtupt", "f", 1, "named");
    }).join();
    TraceLog(3, "amirtupt", "f", 1, "unnamed");
    auto lines = readLines(path_);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(" PPLinkThread 3 amirtupt:f:1 named"), std::string::npos);
    EXPECT_NE(lines[1].find(" tid"), std::string::npos);
}

TEST_F(TraceLogTest, ErrnoIsLeftAlone) {
    errno = ERANGE;
    TraceLog(1, "s", "f", 1, "x");
    EXPECT_EQ(errno, ERANGE);
    setenv("ORV_TRACE_FILE", "/nonexistent-dir/sub/trace.log", 1);
    errno = EDOM;
    TraceLog(1, "s", "f", 1, "dropped");
    EXPECT_EQ(errno, EDOM);
}

TEST_F(TraceLogTest, DefaultFileLiesUnderTheRootAndCreatesTheLogDirectory) {
    unsetenv("ORV_TRACE_FILE");
    setenv("ORV_ROOT", "/opt/relocated", 1);
    ::mkdir("/opt/relocated", 0755);
    TraceLog(1, "s", "f", 1, "relocated");
    unsetenv("ORV_ROOT");
    auto lines = readLines("/opt/relocated/log/trace.log");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("relocated"), std::string::npos);
}

TEST_F(TraceLogTest, FilePastTenMegabytesIsRotatedKeepingOneGeneration) {
    std::string chunk(4000, 'x');
    int written = 0;
    struct stat st {};
    // Fill until one rotation has happened, then write one more line.
    while (::stat((path_ + ".1").c_str(), &st) != 0 && written < 5000) {
        TraceLog(1, "s", "f", 1, "%s", chunk.c_str());
        ++written;
    }
    ASSERT_EQ(::stat((path_ + ".1").c_str(), &st), 0) << "no rotation after " << written;
    EXPECT_GT(st.st_size, 10 * 1024 * 1024);
    TraceLog(1, "s", "f", 1, "fresh");
    auto lines = readLines(path_);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("fresh"), std::string::npos);
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_LT(st.st_size, 1024 * 1024);
}

TEST_F(TraceLogTest, LinesFromSeveralProcessesNeverInterleave) {
    constexpr int kProcesses = 4;
    constexpr int kLines = 2000;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::string body(200 + p, char('a' + p));
            for (int i = 0; i < kLines; ++i) TraceLog(3, "s", "f", i, "%d:%s", p, body.c_str());
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    auto lines = readLines(path_);
    ASSERT_EQ(lines.size(), size_t{kProcesses} * kLines);
    for (const std::string &line : lines) {
        size_t colon = line.rfind(' ');
        ASSERT_NE(colon, std::string::npos);
        std::string message = line.substr(colon + 1);
        int p = message[0] - '0';
        ASSERT_GE(p, 0);
        ASSERT_LT(p, kProcesses);
        EXPECT_EQ(message, std::to_string(p) + ":" + std::string(200 + p, char('a' + p)));
    }
}

}  // namespace
