// The product link thread with WatchReportDirectory 1, measured (not a
// test; run it inside tests/isolated.sh, bench/watch.sh does):
//
//   bench_watch drops N BURST   time from a report information file's close
//                               to its product registered and its table
//                               imported, over N files dropped one by one
//                               (900 s cycle); then BURST files at once and
//                               the number of cycles they took
//   bench_watch idle SECONDS CYCLE_MS WATCH
//                               the link thread's wake-ups (voluntary context
//                               switches) over SECONDS with nothing changing
//
// Results are printed as "name value" lines.
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "amirtupt.h"
#include "tblsync.h"
#include "w32compat.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char kTraceLog[] = "/opt/orv/log/trace.log";
constexpr const char kCycleDone[] = "sync registry over. release mutex";
constexpr const char kWatching[] = "watching /opt/orv/report/inf for changes";

[[noreturn]] void die(const std::string &why) {
    std::fprintf(stderr, "bench_watch: %s\n", why.c_str());
    std::exit(1);
}

std::string readFile(const char *path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

size_t countOf(const std::string &text, const std::string &needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

void writeFile(const std::string &path, const std::string &text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        die("cannot write " + path);
    }
    ::close(fd);
}

void setSettings(DWORD cycleMs, DWORD watch) {
    HKEY key = nullptr;
    if (RegCreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\ORV\\QORAlertMan", &key) != ERROR_SUCCESS) {
        die("cannot create the settings key");
    }
    RegSetValueEx(key, "ReportTableTimeOut", 0, REG_DWORD, reinterpret_cast<BYTE *>(&cycleMs), 4);
    RegSetValueEx(key, "WatchReportDirectory", 0, REG_DWORD, reinterpret_cast<BYTE *>(&watch), 4);
    const char root[] = "/opt/orv";
    RegSetValueEx(key, "PathName", 0, REG_SZ, reinterpret_cast<const BYTE *>(root), sizeof root);
    RegCloseKey(key);
}

std::set<pid_t> tasks() {
    std::set<pid_t> ids;
    DIR *dir = ::opendir("/proc/self/task");
    if (dir == nullptr) die("cannot list /proc/self/task");
    while (dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') ids.insert(std::atoi(entry->d_name));
    }
    ::closedir(dir);
    return ids;
}

long voluntarySwitches(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::atol(line.c_str() + 24);
    }
    return -1;
}

// The link thread on a thread of its own, as the host runs it.
class LinkThread {
  public:
    LinkThread() {
        stop_ = CreateEvent(nullptr, TRUE, FALSE, nullptr);
        block_[1] = stop_;
        std::set<pid_t> before = tasks();
        thread_ = std::thread([this] { AM_Dll_ReportTableUpdate(block_); });
        for (auto until = Clock::now() + std::chrono::seconds(5); tid_ == 0;) {
            for (pid_t t : tasks()) {
                if (before.count(t) == 0) tid_ = t;
            }
            if (Clock::now() > until) die("the link thread did not start");
        }
    }
    ~LinkThread() {
        SetEvent(stop_);
        thread_.join();
        CloseHandle(stop_);
    }
    pid_t tid() const { return tid_; }

  private:
    HANDLE stop_;
    void *block_[2] = {};
    std::thread thread_;
    pid_t tid_ = 0;
};

// Sleeps until one of the log files changes, or 1 s passes.
class LogWatch {
  public:
    LogWatch() : fd_(inotify_init1(IN_CLOEXEC)) {
        if (fd_ < 0 || inotify_add_watch(fd_, "/opt/orv/log", IN_MODIFY | IN_CREATE) < 0) {
            die("cannot watch /opt/orv/log");
        }
    }
    ~LogWatch() { ::close(fd_); }
    template <class Pred>
    void until(Pred pred, std::chrono::seconds bound = std::chrono::seconds(600)) {
        auto end = Clock::now() + bound;
        while (!pred()) {
            if (Clock::now() > end) die("timed out");
            timeval tv{1, 0};
            fd_set set;
            FD_ZERO(&set);
            FD_SET(fd_, &set);
            if (::select(fd_ + 1, &set, nullptr, nullptr, &tv) > 0) {
                char buffer[4096];
                [[maybe_unused]] ssize_t n = ::read(fd_, buffer, sizeof buffer);
            }
        }
    }

  private:
    int fd_;
};

// The trace log read on from where the last look ended (the product link
// log cannot serve: it starts afresh when it grows past its bound). Counts
// the complete lines that hold each needle.
class TraceTail {
  public:
    // Reads what was added; returns the lines added that hold `needle`.
    std::vector<std::string> added(const std::string &needle) {
        std::vector<std::string> found;
        std::ifstream in(kTraceLog, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(offset_));
        std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        offset_ += chunk.size();
        partial_ += chunk;
        size_t start = 0;
        for (size_t end = partial_.find('\n'); end != std::string::npos;
             end = partial_.find('\n', start)) {
            std::string line = partial_.substr(start, end - start);
            if (line.find(needle) != std::string::npos) found.push_back(line);
            start = end + 1;
        }
        partial_.erase(0, start);
        return found;
    }

  private:
    size_t offset_ = 0;
    std::string partial_;
};

std::string infText(const std::string &product, const std::string &table) {
    return "ProductName = \"" + product + "\"\nDisplayName = \"" + product +
           " Monitor\"\nLanguageID = \"E\"\nProductID = 120\nVersion = \"1.0\"\n"
           "ReportTableName = \"" +
           table + "\"\n";
}

bool imported(const std::string &product, int id) {
    DWORD exists = 0;
    if (AMACRTCheckInnerProduct(product.c_str(), &exists) == 0 || exists == 0) return false;
    std::string key =
        "SOFTWARE\\ORV\\QORAlertMan\\ReportTable\\" + product + "Src\\" + std::to_string(id);
    HKEY entry = nullptr;
    if (RegOpenKey(HKEY_LOCAL_MACHINE, key.c_str(), &entry) != ERROR_SUCCESS) return false;
    RegCloseKey(entry);
    return true;
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    size_t rank = static_cast<size_t>(p / 100.0 * static_cast<double>(values.size()) + 0.999999);
    return values[std::min(values.size(), std::max<size_t>(rank, 1)) - 1];
}

int drops(int count, int burst) {
    ::mkdir("/opt/orv/tables", 0755);
    setSettings(900000, 1);
    LogWatch logs;
    LinkThread thread;
    logs.until([] { return countOf(readFile(kTraceLog), kWatching) >= 1; });

    // Each line of the trace that the wait looks for: a product's import
    // done, and a cycle's end.
    const std::string installed = ": Inner registered. INSTALL over.";
    TraceTail tail;
    size_t imports = 0, cycles = 0;
    auto look = [&] {
        for (const auto &line : tail.added("amirtupt:")) {
            if (line.find(installed) != std::string::npos) ++imports;
            if (line.find(kCycleDone) != std::string::npos) ++cycles;
        }
    };

    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        std::string product = "Drop" + std::to_string(i);
        std::string table = "/opt/orv/tables/" + product + ".tbl";
        writeFile(table, product + "Src," + std::to_string(1000 + i) + ",INFO,event\n");
        size_t importsBefore = imports, cyclesBefore = cycles;
        writeFile("/opt/orv/report/inf/" + product + ".inf", infText(product, table));
        auto closed = Clock::now();
        logs.until([&] {
            look();
            return imports > importsBefore;
        });
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - closed).count());
        if (!imported(product, 1000 + i)) die(product + " is not in the report table");
        // The next drop finds the thread waiting again.
        logs.until([&] {
            look();
            return cycles > cyclesBefore;
        });
    }
    std::printf("drops %d\n", count);
    std::printf("drop_to_imported_median_ms %.1f\n", percentile(ms, 50));
    std::printf("drop_to_imported_p99_ms %.1f\n", percentile(ms, 99));
    std::printf("drop_to_imported_max_ms %.1f\n", percentile(ms, 100));

    size_t importsBefore = imports, cyclesBefore = cycles;
    auto start = Clock::now();
    for (int i = 0; i < burst; ++i) {
        std::string product = "Burst" + std::to_string(i);
        std::string table = "/opt/orv/tables/" + product + ".tbl";
        writeFile(table, product + "Src,1,INFO,event\n");
        writeFile("/opt/orv/report/inf/" + product + ".inf", infText(product, table));
    }
    auto written = Clock::now();
    logs.until([&] {
        look();
        return imports - importsBefore >= static_cast<size_t>(burst);
    });
    auto registered = Clock::now();
    // Cycles that still follow the burst are counted too: wait until the
    // thread has been quiet for 5 s.
    for (auto quietSince = Clock::now(); Clock::now() - quietSince < std::chrono::seconds(5);) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        size_t seen = cycles;
        look();
        if (cycles != seen) quietSince = Clock::now();
    }
    for (int i = 0; i < burst; ++i) {
        if (!imported("Burst" + std::to_string(i), 1)) die("a burst product is not imported");
    }
    std::printf("burst_files %d\n", burst);
    std::printf("burst_write_ms %.0f\n",
                std::chrono::duration<double, std::milli>(written - start).count());
    std::printf("burst_to_all_imported_ms %.0f\n",
                std::chrono::duration<double, std::milli>(registered - start).count());
    std::printf("burst_cycles %zu\n", cycles - cyclesBefore);
    return 0;
}

int idle(int seconds, DWORD cycleMs, DWORD watch) {
    setSettings(cycleMs, watch);
    LogWatch logs;
    LinkThread thread;
    logs.until([] { return countOf(readFile(kTraceLog), kCycleDone) >= 1; });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // into its wait
    std::set<pid_t> others = tasks();
    others.erase(::gettid());
    long before = voluntarySwitches(thread.tid());
    size_t cyclesBefore = countOf(readFile(kTraceLog), kCycleDone);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    long after = voluntarySwitches(thread.tid());
    size_t cycles = countOf(readFile(kTraceLog), kCycleDone) - cyclesBefore;
    std::set<pid_t> now = tasks();
    now.erase(::gettid());
    std::printf("idle_seconds %d cycle_ms %u watch %u\n", seconds, cycleMs, watch);
    std::printf("idle_wakeups %ld\n", after - before);
    std::printf("idle_cycles %zu\n", cycles);
    std::printf("idle_other_threads %zu\n", now.size() - 1);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "drops" && argc == 4) return drops(std::atoi(argv[2]), std::atoi(argv[3]));
    if (mode == "idle" && argc == 5) {
        return idle(std::atoi(argv[2]), static_cast<DWORD>(std::atol(argv[3])),
                    static_cast<DWORD>(std::atol(argv[4])));
    }
    std::fprintf(stderr, "usage: bench_watch drops N BURST | idle SECONDS CYCLE_MS WATCH\n");
    return 2;
}
