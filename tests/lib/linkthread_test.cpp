// The product link thread driven through short cycles in the isolated root:
// which products a cycle registers, updates and removes for the report
// information files that come, change and go, what it logs, start-up
// failures, stop requests and the watch of the directory.
#include "lib_helpers.h"

const std::string kInf = QORPPLX_REPORT_INF_DIR;
const std::string kWatching = "watching /opt/orv/report/inf for changes";
const std::string kCycleDone = "sync registry over. release mutex : EVENTLOG_SEMA";
// A cycle long enough that one cycle is all a test sees.
constexpr DWORD kOneCycle = 600000;

// Writes a report information file for a product; `age` moves its
// modification time, so that a rewrite within one second is still seen.
void writeInf(const std::string &file, const std::string &product, const std::string &version,
              const std::string &table, time_t age = 0) {
    std::string path = writeProduct(kInf + "/" + file, product, version, table);
    struct timespec times[2] = {{time(nullptr) + age, 0}, {time(nullptr) + age, 0}};
    if (age != 0) ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

std::string registeredVersion(const std::string &product) {
    Record p(GetProductInfo(product.c_str()));
    return p ? p->Version : "<none>";
}

// Lines of the thread's trace since `from` (a size of the trace log) that
// carry `message` at `level`.
size_t traced(size_t from, int level, const std::string &message) {
    return tracedCount(kTraceLog, from,
                       " PPLinkThread " + std::to_string(level) + " amirtupt:", message);
}

// The thread on a thread of its own, with the host's parameter block.
class LinkThread {
  public:
    LinkThread() : result_(std::async(std::launch::async, AM_Dll_ReportTableUpdate, block_)) {}
    ~LinkThread() {
        if (result_.valid()) stop();
        CloseHandle(block_[1]);
    }
    // Signals the stop event; the exit code, or -1 when the thread did not
    // end within a deadline of its own.
    int64_t stop() { return requestStop(), finished(); }
    void requestStop() { SetEvent(block_[1]); }
    int64_t finished() { return ready(kPatience) ? result_.get() : -1; }
    bool running() { return !ready(std::chrono::seconds(0)); }

  private:
    bool ready(auto wait) { return result_.wait_for(wait) == std::future_status::ready; }
    void *block_[2] = {nullptr, CreateEvent(nullptr, TRUE, FALSE, nullptr)};
    std::future<uint32_t> result_;
};

class LinkThreadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        alpha1_ = writeTable("alpha1.tbl", "AlphaSrc,1,ERROR,disk failed\n");
        alpha2_ = writeTable("alpha2.tbl", "AlphaSrc,5,INFO,ok\n");
    }
    static void setCycle(DWORD milliseconds) {
        setDword(TBLSYNC_KEY_ALERTMAN, "ReportTableTimeOut", milliseconds);
    }
    std::string alpha1_, alpha2_;
};

// Each change of the files is taken by the next cycle: with a short cycle,
// or, with a cycle far longer than the test, by one cycle for each change of
// the watched directory (a file renamed in, written, rewritten, removed).
TEST_F(LinkThreadTest, FileChangesAreFollowedCycleByCycle) {
    for (DWORD watch : {0, 1}) {
        const std::string alpha = watch ? "AlphaW" : "Alpha", beta = watch ? "BetaW" : "Beta";
        SCOPED_TRACE(alpha);
        setDword(TBLSYNC_KEY_ALERTMAN, "WatchReportDirectory", watch);
        setCycle(watch ? kOneCycle : 100);
        size_t logged = readFile(kPPLinkLog).size(), from = readFile(kTraceLog).size();
        LinkThread thread;
        ASSERT_TRUE(eventually([&] { return traced(from, 3, watch ? kWatching : kCycleDone); }));

        writeProduct("/opt/orv/report/" + beta, beta, "1.0", alpha1_);
        ASSERT_EQ(::rename(("/opt/orv/report/" + beta).c_str(), (kInf + "/" + beta).c_str()), 0);
        ASSERT_TRUE(eventually([&] { return innerExists(beta.c_str()); }));
        writeInf(alpha, alpha, "1.0", alpha1_);
        ASSERT_TRUE(eventually([&] { return innerExists(alpha.c_str()); }));
        writeInf(alpha, alpha, "2.0", alpha2_, 10);  // a higher version
        ASSERT_TRUE(eventually([&] { return registeredVersion(alpha) == "2.0"; }));
        ASSERT_EQ(::unlink((kInf + "/" + alpha).c_str()), 0);
        ASSERT_TRUE(
            eventually([&] { return !outerExists(alpha.c_str()) && !innerExists(alpha.c_str()); }));
        EXPECT_EQ(thread.stop(), 0);
        if (watch) {
            EXPECT_EQ(traced(from, 3, kCycleDone), 5u) << "one cycle per change";
        }
        EXPECT_TRUE(
            inOrder(pplinkLog(logged),
                    {"Install product: " + beta + "\n", "Install product: " + alpha + "\n",
                     "Update product: " + alpha + "\n", alpha + ": Inner registry. UPDATE over.\n",
                     "Remove product: " + alpha + "\n", alpha + ": Product REMOVE over!\n"}));
    }
}

// The first cycle compares the registered automatic products with the files:
// one without a file goes, an equal version takes the registered values and
// leaves the key alone, a higher one updates, a new file is installed; the
// file of a manual product only gets a line of its own.
TEST_F(LinkThreadTest, FirstCycleReconcilesRegistryWithFiles) {
    setCycle(kOneCycle);
    for (const char *name : {"Gone", "Same", "Newer", "Hand"})
        registered(name, "1.0", {alpha1_}, name[0] == 'H');
    uint32_t counter = 0;
    ASSERT_EQ(ProcAlertReport(&counter, nullptr, nullptr), 1);
    ASSERT_TRUE(innerExists("Gone"));
    writeInf("same.ri", "Same", "1.0", "/opt/orv/tables/other.tbl");
    writeInf("newer.ri", "Newer", "1.1", alpha2_);
    writeInf("alpha.ri", "Alpha", "1.0", alpha1_);
    writeInf("hand.ri", "Hand", "2.0", alpha2_);
    size_t logged = readFile(kPPLinkLog).size(), from = readFile(kTraceLog).size();
    LinkThread thread;
    ASSERT_TRUE(eventually([&] { return traced(from, 3, kCycleDone) == 1; }));
    EXPECT_EQ(thread.stop(), 0);
    EXPECT_FALSE(outerExists("Gone") || innerExists("Gone"));
    EXPECT_EQ(registeredVersion("Same") + registeredVersion("Newer"), "1.01.1");
    EXPECT_TRUE(GetProductType("Alpha") == 0 && innerExists("Alpha"));
    EXPECT_EQ(registeredVersion("Hand") + std::to_string(GetProductType("Hand")), "1.01");
    std::string log = pplinkLog(logged);
    EXPECT_TRUE(inOrder(log, {"Remove product: Gone\n", "Update product: Newer\n"}));
    EXPECT_TRUE(inOrder(
        log, {"Install product: Alpha\n", "Alpha: Inner registered. INSTALL over.\n", kSeparator}));
    EXPECT_EQ(countOf(log, "Same"), 0u) << log;
    EXPECT_NE(log.find("Hand: You are tring to install a product not service.\n"),
              std::string::npos);
}

// A null parameter block ends the thread at once without creating anything;
// so does each start-up failure, with its code, releasing what it created.
TEST_F(LinkThreadTest, StartUpFailuresEndTheThreadWithTheirCodes) {
    EXPECT_EQ(AM_Dll_ReportTableUpdate(nullptr), 0u);
    EXPECT_EQ(OpenEvent(EVENT_ALL_ACCESS, FALSE, kStartEvent), nullptr);
    EXPECT_FALSE(keyExists(TBLSYNC_KEY_OUTER_PRODUCTS));
    setCycle(100);
    // A name given to the other kind of object first, or no alert manager key.
    HANDLE mutex = CreateMutex(nullptr, FALSE, kStartEvent);
    EXPECT_EQ(LinkThread().finished(), 2);
    EXPECT_EQ(OpenEvent(EVENT_ALL_ACCESS, FALSE, kUpdatingEvent), nullptr);
    CloseHandle(mutex);
    HANDLE event = CreateEvent(nullptr, TRUE, FALSE, "EVENTLOG_SEMA");
    EXPECT_EQ(LinkThread().finished(), 1);
    EXPECT_EQ(OpenEvent(EVENT_ALL_ACCESS, FALSE, kStartEvent), nullptr);
    CloseHandle(event);
    RegDeleteKey(HKEY_LOCAL_MACHINE, TBLSYNC_KEY_ALERTMAN);
    ASSERT_FALSE(keyExists(TBLSYNC_KEY_ALERTMAN));
    EXPECT_EQ(LinkThread().finished(), 1);
    EXPECT_EQ(OpenEvent(EVENT_ALL_ACCESS, FALSE, kStartEvent), nullptr);
}

// A setup tool in another process holds "EVENTLOG_SEMA"; the thread does its
// cycle's work only once the tool lets go, then honours the stop.
TEST_F(LinkThreadTest, StopIsHonouredAfterASetupToolHoldingTheMutex) {
    std::optional<LinkThread> thread;  // ends after the holder, which lets go when it dies
    MutexHolder holder;
    ASSERT_TRUE(holder.holding());
    setCycle(kOneCycle);
    writeInf("held.ri", "Held", "1.0", alpha1_);
    size_t from = readFile(kTraceLog).size();
    thread.emplace();
    ASSERT_TRUE(eventually([&] { return traced(from, 3, "Wait for reg access mutex") == 1; }));
    thread->requestStop();
    EXPECT_FALSE(outerExists("Held"));
    EXPECT_TRUE(thread->running());
    EXPECT_EQ(holder.release(), 0);
    EXPECT_EQ(thread->finished(), 0);
    EXPECT_TRUE(outerExists("Held") && innerExists("Held"));
}

// ---- Watching the report information directory ------------------------------

// When the watch cannot be had or is lost, the thread says why at level 1,
// goes on with its cycle and watches again once the directory is there.
TEST_F(LinkThreadTest, LostWatchFallsBackToTheCycleAndRecovers) {
    setDword(TBLSYNC_KEY_ALERTMAN, "WatchReportDirectory", 1);
    const std::string missing =
        "cannot watch /opt/orv/report/inf : No such file or directory; the cycle goes on";
    // Missing at start, how the watch is broken, the level 1 line that says why.
    const std::tuple<bool, std::function<void(size_t from)>, std::string> cases[] = {
        {true,
         [&](size_t from) {
             ASSERT_TRUE(eventually([&] { return traced(from, 1, missing) == 1; }));
             ASSERT_EQ(::mkdir(kInf.c_str(), 0755), 0);
         },
         missing},
        // Removed and made again in one step, so that the path is never
        // missing when the thread looks again.
        {false,
         [&](size_t) {
             ASSERT_EQ(::mkdir((kInf + ".new").c_str(), 0755), 0);
             ASSERT_EQ(::rename((kInf + ".new").c_str(), kInf.c_str()), 0);
         },
         "watch of /opt/orv/report/inf lost (the directory was removed or moved)"},
        // More events than the kernel queues while the thread waits for
        // the mutex; alternating files keeps the kernel from merging them.
        {false,
         [&](size_t from) {
             // The cycle lets go within seconds; a mutex never given back fails here.
             HANDLE free = CreateMutex(nullptr, FALSE, "EVENTLOG_SEMA");
             ASSERT_EQ(WaitForSingleObject(free, 5000), WAIT_OBJECT_0) << "the cycle let go";
             ReleaseMutex(free), CloseHandle(free);
             MutexHolder sema;  // the thread stops reading events mid-cycle
             ASSERT_TRUE(sema.holding());
             writeInf("a.ri", "FloodA", "1.0", alpha1_);
             ASSERT_TRUE(
                 eventually([&] { return traced(from, 3, "Wait for reg access mutex") >= 2; }));
             writeInf("b.ri", "FloodB", "1.0", alpha1_);
             std::string a = kInf + "/a.ri", b = kInf + "/b.ri";
             int flood = std::stoi(readFile("/proc/sys/fs/inotify/max_queued_events")) + 1024;
             for (int i = 0; i < flood; ++i) ::chmod((i % 2 ? a : b).c_str(), 0600 | (i & 044));
         },
         "watch of /opt/orv/report/inf lost (event queue overflow)"},
    };
    for (const auto &[missingAtStart, breakWatch, line] : cases) {
        SCOPED_TRACE(line);
        // A thread that cannot watch from the start only recovers at its
        // next cycle; a missing directory only makes the scans fail.
        setCycle(missingAtStart ? 200 : kOneCycle);
        if (missingAtStart) {
            ASSERT_EQ(::rmdir(kInf.c_str()), 0);
        }
        size_t from = readFile(kTraceLog).size();
        LinkThread thread;
        if (!missingAtStart) {
            ASSERT_TRUE(eventually([&] { return traced(from, 3, kWatching) == 1; }));
        }
        breakWatch(from);
        ASSERT_TRUE(eventually([&] { return traced(from, 1, line) == 1; }));
        ASSERT_TRUE(
            eventually([&] { return traced(from, 3, kWatching) == (missingAtStart ? 1u : 2u); }));
        // Watching again, and a new file is taken.
        std::string again = "Again" + std::to_string(from);
        writeInf(again + ".ri", again, "1.0", alpha1_);
        EXPECT_TRUE(eventually([&] { return innerExists(again.c_str()); }));
        EXPECT_EQ(thread.stop(), 0);
        EXPECT_EQ(traced(from, 1, line), 1u) << "said once";
        ASSERT_EQ(std::system(("rm -f " + kInf + "/*").c_str()), 0);
    }
}
