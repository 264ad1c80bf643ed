// The product link thread driven through short cycles in the isolated root:
// report information files come, change and go, and the registry and the
// report table follow; start-up failures and stop requests.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <future>
#include <sstream>
#include <string>
#include <thread>

#include "lib_helpers.h"
#include "process.h"

namespace {

using namespace lib_test;

constexpr auto kLiveness = std::chrono::seconds(20);

// Writes a report information file for a product; `age` moves its
// modification time, so that a rewrite within one second is still seen.
void writeInf(const std::string &file, const std::string &product, const std::string &version,
              const std::string &table, time_t age = 0) {
    std::string path =
        writeProduct(std::string(QORPPLX_REPORT_INF_DIR) + "/" + file, product, version, table);
    if (age != 0) {
        struct timespec times[2] = {{time(nullptr) + age, 0}, {time(nullptr) + age, 0}};
        ::utimensat(AT_FDCWD, path.c_str(), times, 0);
    }
}

std::string registeredVersion(const char *product) {
    PPInfo *p = GetProductInfo(product);
    if (p == nullptr) return "<none>";
    std::string v = p->Version;
    std::free(p);
    return v;
}

// The thread on a thread of its own, with the host's parameter block.
class LinkThread {
  public:
    LinkThread() {
        stop_ = CreateEvent(nullptr, TRUE, FALSE, nullptr);
        block_[1] = stop_;
        result_ =
            std::async(std::launch::async, [this] { return AM_Dll_ReportTableUpdate(block_); });
    }
    ~LinkThread() {
        if (result_.valid()) stop();
        CloseHandle(stop_);
    }
    // Signals the stop event; the exit code, or -1 when the thread did not
    // end within the liveness bound.
    int64_t stop() {
        requestStop();
        return finished();
    }
    void requestStop() { SetEvent(stop_); }
    int64_t finished() {
        if (result_.wait_for(kLiveness) != std::future_status::ready) return -1;
        return result_.get();
    }
    bool running() {
        return result_.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready;
    }

  private:
    HANDLE stop_ = nullptr;
    void *block_[2] = {};
    std::future<uint32_t> result_;
};

class LinkThreadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        alpha1_ = writeTable("alpha1.tbl", "AlphaSrc,1,ERROR,disk failed\n");
        alpha2_ = writeTable("alpha2.tbl", "AlphaSrc,1,ERROR,disk lost\nAlphaSrc,5,INFO,ok\n");
    }
    static void setCycle(DWORD milliseconds) {
        setDword(TBLSYNC_KEY_ALERTMAN, "ReportTableTimeOut", milliseconds);
    }
    static void registerProduct(const char *name, const std::string &table, const char *version,
                                int manual) {
        PPInfo record = makeRecord(name, version, {table}, manual);
        ASSERT_EQ(registerPP(&record), 0);
    }

    std::string alpha1_, alpha2_;
};

// A cycle long enough that one cycle is all a test sees.
constexpr DWORD kOneCycle = 600000;

TEST_F(LinkThreadTest, FileChangesAreFollowedCycleByCycle) {
    setCycle(100);
    writeInf("alpha.ri", "Alpha", "1.0", alpha1_);
    LinkThread thread;
    ASSERT_TRUE(eventually([] { return innerExists("Alpha"); }));

    // A higher version with other report tables.
    writeInf("alpha.ri", "Alpha", "2.0", alpha2_, 10);
    ASSERT_TRUE(eventually([] {
        return registeredVersion("Alpha") == "2.0" && reportTable().count("AlphaSrc/5") == 1;
    }));

    // The file goes: the product and its report tables go with it.
    ASSERT_EQ(::unlink((std::string(QORPPLX_REPORT_INF_DIR) + "/alpha.ri").c_str()), 0);
    ASSERT_TRUE(eventually([] { return !outerExists("Alpha") && !innerExists("Alpha"); }));
    EXPECT_EQ(thread.stop(), 0);
    EXPECT_TRUE(inOrder(pplinkLog(), {"Install product: Alpha\n", "Update product: Alpha\n",
                                      "Alpha: Inner registry. UPDATE over.\n",
                                      "Remove product: Alpha\n", "Alpha: Product REMOVE over!\n"}));
}

// The first cycle compares the registered automatic products with the files
// and registers and imports a new one.
TEST_F(LinkThreadTest, FirstCycleReconcilesRegistryWithFiles) {
    setCycle(kOneCycle);
    registerProduct("Gone", writeTable("gone.tbl", "GoneSrc,1,INFO,gone\n"), "1.0",
                    PPTYPE_AUTOMATIC);
    registerProduct("Same", writeTable("same.tbl", "SameSrc,2,INFO,same\n"), "1.0",
                    PPTYPE_AUTOMATIC);
    registerProduct("Newer", writeTable("newer1.tbl", "NewerSrc,3,INFO,old\n"), "1.0",
                    PPTYPE_AUTOMATIC);
    uint32_t counter = 0;
    ASSERT_EQ(ProcAlertReport(&counter, nullptr, nullptr), 1);
    ASSERT_TRUE(innerExists("Gone"));
    writeInf("same.ri", "Same", "1.0", "/opt/orv/tables/other.tbl");
    writeInf("newer.ri", "Newer", "1.1", writeTable("newer2.tbl", "NewerSrc,3,INFO,new\n"));
    writeInf("alpha.ri", "Alpha", "1.0", alpha1_);
    size_t logged = readFile(kPPLinkLog).size();
    LinkThread thread;

    ASSERT_TRUE(eventually([] {
        return !outerExists("Gone") && !innerExists("Gone") &&
               reportTable().count("NewerSrc/3") == 1 &&
               reportTable()["NewerSrc/3"] == "INFO|new|Newer" && innerExists("Alpha");
    }));
    EXPECT_EQ(thread.stop(), 0);

    std::string log = pplinkLog(logged);
    EXPECT_TRUE(inOrder(log, {"Remove product: Gone\n", "Update product: Newer\n"}));
    EXPECT_TRUE(inOrder(
        log, {"Install product: Alpha\n", "Alpha: Inner registered. INSTALL over.\n", kSeparator}));
    EXPECT_EQ(registeredVersion("Alpha"), "1.0");
    EXPECT_EQ(GetProductType("Alpha"), 0u);
    // An equal version takes the registered values and leaves the key alone.
    EXPECT_EQ(countOf(log, "Same"), 0u) << log;
    EXPECT_EQ(registeredVersion("Same"), "1.0");
    EXPECT_EQ(registeredVersion("Newer"), "1.1");
}

TEST_F(LinkThreadTest, ManualProductsFilesOnlyGetNotServiceLines) {
    setCycle(kOneCycle);
    registerProduct("Hand", alpha1_, "1.0", PPTYPE_MANUAL);
    writeInf("hand.ri", "Hand", "2.0", alpha2_);
    LinkThread thread;

    ASSERT_TRUE(eventually([] {
        return pplinkLog().find("Hand: You are tring to install a product not service.\n") !=
               std::string::npos;
    }));
    EXPECT_EQ(thread.stop(), 0);

    EXPECT_EQ(registeredVersion("Hand"), "1.0");
    EXPECT_EQ(GetProductType("Hand"), 1u);
    EXPECT_FALSE(innerExists("Hand"));
    EXPECT_EQ(countOf(pplinkLog(), "Install product: Hand"), 0u);
}

// A null parameter block ends the thread at once without creating
// anything; a missing directory only makes the scans fail.
TEST_F(LinkThreadTest, NullBlockEndsAtOnceAndMissingDirectoryStillStops) {
    setCycle(100);
    EXPECT_EQ(AM_Dll_ReportTableUpdate(nullptr), 0u);
    EXPECT_EQ(OpenEvent(EVENT_ALL_ACCESS, FALSE, kStartEvent), nullptr);
    EXPECT_FALSE(keyExists(TBLSYNC_KEY_OUTER_PRODUCTS));

    ASSERT_EQ(::rmdir(QORPPLX_REPORT_INF_DIR), 0);
    LinkThread thread;
    // Deliberate, bounded pause: a few failed scans must not end the thread.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(thread.running());
    EXPECT_EQ(thread.stop(), 0);
    EXPECT_FALSE(fileExists(kPPLinkLog));
}

TEST_F(LinkThreadTest, StartUpFailuresEndTheThreadWithTheirCodes) {
    struct Case {
        const char *what;
        const char *takenName;  // a name given to the other kind of object first
        bool mutexTaker;
        bool alertManKey;
        int64_t code;
    };
    const Case cases[] = {
        {"event name held by a mutex", kStartEvent, true, true, 2},
        {"mutex name held by an event", "EVENTLOG_SEMA", false, true, 1},
        {"alert manager key missing", nullptr, false, false, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.alertManKey) {
            setCycle(100);
        } else {
            RegDeleteKey(HKEY_LOCAL_MACHINE, TBLSYNC_KEY_ALERTMAN);
            ASSERT_FALSE(keyExists(TBLSYNC_KEY_ALERTMAN));
        }
        HANDLE taker = nullptr;
        if (c.takenName != nullptr) {
            taker = c.mutexTaker ? CreateMutex(nullptr, FALSE, c.takenName)
                                 : CreateEvent(nullptr, TRUE, FALSE, c.takenName);
            ASSERT_NE(taker, nullptr);
        }
        {
            LinkThread thread;
            EXPECT_EQ(thread.finished(), c.code);
        }
        // Whatever start-up had created is released again.
        if (c.mutexTaker) {
            EXPECT_EQ(OpenEvent(EVENT_ALL_ACCESS, FALSE, kUpdatingEvent), nullptr);
        } else {
            EXPECT_EQ(OpenEvent(EVENT_ALL_ACCESS, FALSE, kStartEvent), nullptr);
        }
        if (taker != nullptr) CloseHandle(taker);
    }
}

// A setup tool in another process holds "EVENTLOG_SEMA"; the thread does its
// cycle's work only once the tool lets go (or dies), then honours the stop.
TEST_F(LinkThreadTest, StopIsHonouredAfterASetupToolHoldingTheMutex) {
    for (bool killHolder : {false, true}) {
        SCOPED_TRACE(killHolder ? "holder killed" : "holder releases");
        MutexHolder holder;
        ASSERT_TRUE(holder.holding());

        setCycle(kOneCycle);
        std::string product = killHolder ? "Killed" : "Released";
        writeInf(product + ".ri", product, "1.0", alpha1_);
        const std::string waiting = "Wait for reg access mutex";
        size_t waitsBefore = countOf(readFile(kTraceLog), waiting);
        LinkThread thread;
        ASSERT_TRUE(eventually([&] { return countOf(readFile(kTraceLog), waiting) > waitsBefore; }))
            << readFile(kTraceLog);
        // No registry work while the tool holds the mutex, and the stop
        // request waits for the cycle to be done.
        thread.requestStop();
        EXPECT_FALSE(outerExists(product.c_str()));
        EXPECT_TRUE(thread.running());

        EXPECT_EQ(killHolder ? holder.kill() : holder.release(), killHolder ? 128 + SIGKILL : 0);
        EXPECT_EQ(thread.finished(), 0);
        EXPECT_TRUE(outerExists(product.c_str()));
        EXPECT_TRUE(innerExists(product.c_str()));
    }
}

// ---- Watching the report information directory ------------------------------

// Trace lines of the thread written since `from` (a size of the trace log)
// that carry `message` at `level`.
size_t tracedSince(size_t from, int level, const std::string &message) {
    std::string log = readFile(kTraceLog);
    std::string tag = " PPLinkThread " + std::to_string(level) + " amirtupt:";
    size_t n = 0;
    std::istringstream lines(log.size() > from ? log.substr(from) : std::string());
    for (std::string line; std::getline(lines, line);) {
        if (line.find(tag) != std::string::npos && line.find(message) != std::string::npos) ++n;
    }
    return n;
}

size_t traceSize() {
    return readFile(kTraceLog).size();
}

const std::string kWatching = "watching /opt/orv/report/inf for changes";
const std::string kCycleDone = "sync registry over. release mutex : EVENTLOG_SEMA";

class WatchTest : public LinkThreadTest {
  protected:
    void SetUp() override {
        LinkThreadTest::SetUp();
        setDword(TBLSYNC_KEY_ALERTMAN, "WatchReportDirectory", 1);
    }
};

// With a cycle far longer than the test, a new file is registered and its
// table imported because the directory changed, and files that keep coming
// at short intervals are taken in a few cycles, not one each.
TEST_F(WatchTest, ChangesEndTheWaitAndABurstSettles) {
    struct Case {
        int files;
        std::chrono::milliseconds gap;  // between two files of the burst
        size_t maxCycles;               // after the first one
    };
    for (const Case c : {Case{1, {}, 1}, Case{40, std::chrono::milliseconds(15), 3}}) {
        SCOPED_TRACE(std::to_string(c.files) + " files");
        setCycle(kOneCycle);
        size_t from = traceSize();
        LinkThread thread;
        ASSERT_TRUE(eventually([&] { return tracedSince(from, 3, kWatching) == 1; }));
        size_t cycles = tracedSince(from, 3, kCycleDone);

        std::string prefix = "Burst" + std::to_string(c.files) + "_";
        for (int i = 0; i < c.files; ++i) {
            std::string name = prefix + std::to_string(i);
            writeInf(name + ".ri", name, "1.0", alpha1_);
            std::this_thread::sleep_for(c.gap);  // shapes the burst; no synchronisation
        }
        ASSERT_TRUE(eventually([&] {
            for (int i = 0; i < c.files; ++i) {
                if (!innerExists((prefix + std::to_string(i)).c_str())) return false;
            }
            return true;
        }));
        EXPECT_EQ(thread.stop(), 0);
        size_t woken = tracedSince(from, 3, kCycleDone) - cycles;
        EXPECT_GE(woken, 1u);
        EXPECT_LE(woken, c.maxCycles);
    }
}

// When the watch cannot be had or is lost, the thread says why at level 1,
// goes on with its cycle and watches again once the directory is there.
TEST_F(WatchTest, LostWatchFallsBackToTheCycleAndRecovers) {
    const std::string inf = QORPPLX_REPORT_INF_DIR;
    struct Case {
        const char *what;
        bool missingAtStart;
        std::function<void(size_t from)> breakWatch;
        std::string traced;
    };
    const Case cases[] = {
        {"directory missing at start", true, [](size_t) {},
         "cannot watch /opt/orv/report/inf : No such file or directory; the cycle goes on"},
        {"directory removed and made again", false,
         [&](size_t) {
             // In one step, so that the path is never missing when the
             // thread looks again.
             ASSERT_EQ(::mkdir((inf + ".new").c_str(), 0755), 0);
             ASSERT_EQ(::rename((inf + ".new").c_str(), inf.c_str()), 0);
         },
         "watch of /opt/orv/report/inf lost (the directory was removed or moved)"},
        // More events than the kernel queues while the thread waits for
        // the mutex; alternating files keeps the kernel from merging them.
        {"event queue overflow", false,
         [&](size_t from) {
             MutexHolder sema;  // the thread stops reading events mid-cycle
             ASSERT_TRUE(sema.holding());
             writeInf("a.ri", "FloodA", "1.0", alpha1_);
             ASSERT_TRUE(eventually(
                 [&] { return tracedSince(from, 3, "Wait for reg access mutex") >= 2; }));
             writeInf("b.ri", "FloodB", "1.0", alpha1_);
             std::string a = inf + "/a.ri", b = inf + "/b.ri";
             int flood = std::stoi(readFile("/proc/sys/fs/inotify/max_queued_events")) + 1024;
             for (int i = 0; i < flood; ++i) ::chmod((i % 2 ? a : b).c_str(), 0600 | (i & 044));
         },
         "watch of /opt/orv/report/inf lost (event queue overflow)"},
    };
    int round = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        // A thread that cannot watch from the start only recovers at its
        // next cycle.
        setCycle(c.missingAtStart ? 200 : kOneCycle);
        if (c.missingAtStart) {
            ASSERT_EQ(::rmdir(inf.c_str()), 0);
        }
        size_t from = traceSize();
        LinkThread thread;
        if (c.missingAtStart) {
            ASSERT_TRUE(eventually([&] { return tracedSince(from, 1, c.traced) == 1; }));
            ASSERT_EQ(::mkdir(inf.c_str(), 0755), 0);
        } else {
            ASSERT_TRUE(eventually([&] { return tracedSince(from, 3, kWatching) == 1; }));
            c.breakWatch(from);
            ASSERT_TRUE(eventually([&] { return tracedSince(from, 1, c.traced) == 1; }));
        }
        ASSERT_TRUE(eventually(
            [&] { return tracedSince(from, 3, kWatching) == (c.missingAtStart ? 1u : 2u); }));
        // Watching again, and a new file is taken.
        std::string again = "Again" + std::to_string(++round);
        writeInf(again + ".ri", again, "1.0", alpha1_);
        EXPECT_TRUE(eventually([&] { return innerExists(again.c_str()); }));
        EXPECT_EQ(thread.stop(), 0);
        EXPECT_EQ(tracedSince(from, 1, c.traced), 1u) << "said once";
        ASSERT_EQ(std::system(("rm -f " + inf + "/*").c_str()), 0);
    }
}

}  // namespace
