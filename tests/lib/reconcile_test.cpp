// Reconciliation passes of the inner products against the product registry,
// through the real registry and copy library, with the alert manager's and
// the event log module's events observed by name.
#include "lib_helpers.h"

// Waits on an event by name on a thread of its own and tells whether it was
// released; the pass runs only once the watcher sleeps in its wait.
class EventWatcher {
  public:
    explicit EventWatcher(const char *name) : event_(OpenEvent(EVENT_ALL_ACCESS, FALSE, name)) {
        released_ = std::async(std::launch::async, [this] {
            tid_ = ::gettid();
            return WaitForSingleObject(event_, 10000) == WAIT_OBJECT_0;
        });
        EXPECT_TRUE(eventually([&] { return tid_ != 0; }) && awaitEventWait(tid_)) << name;
    }
    ~EventWatcher() {
        if (released_.valid()) released_.wait();
        CloseHandle(event_);
    }
    bool released() { return released_.get(); }

  private:
    HANDLE event_;
    std::atomic<pid_t> tid_{0};
    std::future<bool> released_;
};

class ProcAlertReportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        start_ = CreateEvent(nullptr, FALSE, FALSE, kStartEvent);
        updating_ = CreateEvent(nullptr, TRUE, FALSE, kUpdatingEvent);
        eventlog_ = CreateEvent(nullptr, FALSE, FALSE, "Eventlog_Mod_Event");
        ASSERT_TRUE(start_ && updating_ && eventlog_);
        alphaTable_ = writeTable("alpha.tbl", "AlphaSrc,1,ERROR,disk failed\nAlphaSrc,2,INFO,ok\n");
    }
    void TearDown() override {
        for (HANDLE event : {start_, updating_, eventlog_}) CloseHandle(event);
    }

    int32_t pass() { return ProcAlertReport(&counter_, start_, updating_); }

    // True when the (auto-reset) event was signalled since it was last seen.
    static bool signalled(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }
    void drainEvents() {
        signalled(start_);
        signalled(eventlog_);
    }

    // A pass that changes something: the alert manager hears of the copy
    // (the updating event released, then reset), the event log module of
    // the change, and the counter counts it; the next pass is silent.
    void expectChangingPass(const std::string &text) {
        uint32_t before = counter_;
        EventWatcher updating(kUpdatingEvent);
        size_t logged = readFile(kPPLinkLog).size();
        EXPECT_EQ(pass(), 1);
        EXPECT_EQ(counter_, before + 1);
        EXPECT_TRUE(signalled(start_));
        EXPECT_TRUE(updating.released());
        EXPECT_EQ(WaitForSingleObject(updating_, 0), WAIT_TIMEOUT);
        EXPECT_TRUE(signalled(eventlog_));
        EXPECT_TRUE(inOrder(pplinkLog(logged), {text, kSeparator})) << pplinkLog(logged);
        EXPECT_EQ(pass(), 1);
        EXPECT_EQ(counter_, before + 1) << "the stored product time follows the product";
    }

    HANDLE start_ = nullptr, updating_ = nullptr, eventlog_ = nullptr;
    uint32_t counter_ = 0;
    std::string alphaTable_;
};

// A new automatic product is imported; a product time that differs from the
// stored one in either direction is an update; the stored time follows the
// product time.
TEST_F(ProcAlertReportTest, DifferentProductTimeUpdatesTheReportTable) {
    std::string alpha2 = writeTable("alpha2.tbl", "Gamma,4,INFO,x\n");
    for (int64_t storedOffset : {0, 10'000'000, -10'000'000}) {  // 100 ns ticks; 0: rewritten
        SCOPED_TRACE(storedOffset);
        registered("Alpha", "1.0", {alphaTable_}, PPTYPE_AUTOMATIC);
        expectChangingPass("Alpha: Inner registered. INSTALL over.\n");
        EXPECT_EQ(innerSource("Alpha"), std::string("AlphaSrc\0", 9));
        EXPECT_EQ(GetIProductType("Alpha"), 0u);
        EXPECT_TRUE(inOrder(pplinkLog(), {"Alpha: Import report table start!\n",
                                          "Alpha: Import report table end!\n"}));
        if (storedOffset == 0) {
            PPInfo record = makeRecord("Alpha", "2.0", {alpha2}, PPTYPE_AUTOMATIC);
            ASSERT_EQ(updatePP(&record), 0);
        } else {
            FILETIME stored{};
            AMACRTGetProductTime("Alpha", &stored);
            stored = fromTicks(ticks(stored) + uint64_t(storedOffset));
            InnerProductParam block = innerBlock();
            block.lpProductTime = &stored;
            ASSERT_NE(AMACRTWriteInnerProductParam(1, "Alpha", &block), 0);
        }
        size_t logged = readFile(kPPLinkLog).size();
        expectChangingPass("Alpha: Inner registry. UPDATE over.\n");
        EXPECT_TRUE(inOrder(pplinkLog(logged), {"Alpha: Find newer version product.\n",
                                                "Alpha: Begin update report table.\n",
                                                "Alpha: End update report table.\n"}));
        EXPECT_EQ(reportTable().count("Gamma/4"), storedOffset == 0 ? 1u : 0u);

        PPInfo record = makeRecord("Alpha", "1.0", {}, PPTYPE_AUTOMATIC);  // the next case anew
        unregisterPP(&record);
        ASSERT_EQ(pass(), 1);
        ASSERT_FALSE(innerExists("Alpha"));
        drainEvents();
        if (HasFailure()) break;  // a watcher waits out its deadline in every failing case
    }
}

TEST_F(ProcAlertReportTest, RemovedOuterProductLosesItsInnerProductThenTraditionalIsImported) {
    ASSERT_EQ(::mkdir("/opt/orv/am", 0755), 0);
    ASSERT_EQ(::mkdir("/opt/orv/am/PROGRAM", 0755), 0);
    writeFile("/opt/orv/am/PROGRAM/AMIREPRT.TBL", "TradSrc,100,INFO,agent started\n");
    ASSERT_EQ(writeText(TBLSYNC_KEY_ALERTMAN, "PathName", "/opt/orv/am"), ERROR_SUCCESS);
    registered("Alpha", "1.0", {alphaTable_}, PPTYPE_AUTOMATIC);
    registered("Beta", "1.0", {writeTable("beta.tbl", "BetaSrc,9,WARNING,fan\n")}, 0);
    ASSERT_EQ(pass(), 1);
    ASSERT_TRUE(innerExists("Alpha"));
    drainEvents();

    PPInfo alpha = makeRecord("Alpha", "1.0", {}, PPTYPE_AUTOMATIC);
    ASSERT_EQ(unregisterPP(&alpha), 0);
    expectChangingPass("Alpha: Product REMOVE over!\n");

    EXPECT_FALSE(innerExists("Alpha"));
    EXPECT_TRUE(innerExists("Beta"));
    EXPECT_EQ(reportTable(),
              (Table{{"BetaSrc/9", "WARNING|fan|Beta"}, {"TradSrc/100", "INFO|agent started|"}}));
    EXPECT_EQ(saveParam("Traditional"), std::string(4, '\0'));
    std::string log = pplinkLog();
    EXPECT_TRUE(
        inOrder(log, {kSeparator, "Alpha: Remove report table start!\n",
                      "Alpha: Remove report table end!\n", "Alpha: Product REMOVE over!\n"}));
    EXPECT_EQ(countOf(log, kSeparator), 2u);  // one closing step per pass
}

// A pass with nothing to do writes no log, changes nothing and signals
// nobody: no products at all, and manual products only (a manual outer
// product without an inner one is not imported, a manual inner product
// without an outer one is not removed).
TEST_F(ProcAlertReportTest, PassesWithNothingToDoAreSilent) {
    auto expectSilentPass = [&](const char *what) {
        SCOPED_TRACE(what);
        const Table table = reportTable();
        EXPECT_EQ(pass(), 1);
        EXPECT_EQ(counter_, 0u);
        EXPECT_FALSE(fileExists(kPPLinkLog));
        EXPECT_EQ(reportTable(), table);
        EXPECT_FALSE(signalled(start_));
        EXPECT_FALSE(signalled(eventlog_));
    };
    expectSilentPass("no products");

    registered("Hand", "1.0", {alphaTable_});
    ASSERT_NE(AMACRTAddInnerProduct("Kept"), 0);
    DWORD manual = PPTYPE_MANUAL;
    InnerProductParam block = innerBlock();
    block.lpdwProductType = &manual;
    ASSERT_NE(AMACRTWriteInnerProductParam(1, "Kept", &block), 0);
    ASSERT_TRUE(setInnerSource("Kept", std::string("KeptSrc\0", 8)));
    expectSilentPass("manual products only");
    EXPECT_FALSE(innerExists("Hand"));
    EXPECT_EQ(innerSource("Kept"), std::string("KeptSrc\0", 8));
}

// A pending traditional import runs at the start of the next pass, from the
// agent's root directory when "PathName" cannot be read.
TEST_F(ProcAlertReportTest, PendingTraditionalImportRunsFirst) {
    ::mkdir("/opt/orv/PROGRAM", 0755);
    writeFile("/opt/orv/PROGRAM/AMIREPRT.TBL", "TradSrc,100,INFO,traditional\n");
    setDword(TBLSYNC_KEY_ALERTMAN, "LanguageID", 1033);  // the key exists, "PathName" not
    DWORD one = 1;
    ASSERT_NE(AMACRTWriteInnerSaveParam("Traditional", sizeof one, REG_DWORD, &one), 0);
    EventWatcher updating(kUpdatingEvent);
    EXPECT_EQ(pass(), 1);
    EXPECT_EQ(reportTable(), (Table{{"TradSrc/100", "INFO|traditional|"}}));
    EXPECT_EQ(saveParam("Traditional"), std::string(4, '\0'));
    EXPECT_TRUE(signalled(start_));
    EXPECT_TRUE(updating.released());
    EXPECT_EQ(counter_, 0u);  // a traditional import alone changes no product
}
