// What ExecRTCopy adds around one copy of the report table copy library: the
// save parameters it hands over, the sources an update appends, the change
// callback of slimmed updates, the modes; and the copy library held loaded by
// process attach. The table contents are the copy library's own.
#include <dlfcn.h>

#include "lib_helpers.h"

class ExecRTCopyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        alpha1_ = writeTable("alpha1.tbl", "AlphaSrc,1,ERROR,disk failed\nBetaSrc,7,WARNING,fan\n");
        ASSERT_NE(AMACRTAddInnerProduct("Alpha"), 0);
    }

    static int32_t copy(uint32_t mode, const std::string &list, const std::string &registered = "",
                        int32_t slimmed = 0) {
        return ExecRTCopy("Alpha", mode, list.data(), uint32_t(list.size()), registered.data(),
                          uint32_t(registered.size()), 1033, slimmed);
    }
    // An update of Alpha to the given table file, from the registered paths.
    static int32_t updateAlpha(const std::string &table, int32_t slimmed = 0) {
        return copy(1, pathList({table}), saveParam("RegisterPath"), slimmed);
    }

    std::string alpha1_;
};

// A create hands over the paths and leaves the sources to its caller; an
// update appends them itself; a failed copy appends nothing.
TEST_F(ExecRTCopyTest, SaveParametersAndSourcesAroundEachMode) {
    ASSERT_EQ(copy(0, pathList({alpha1_})), 1);
    EXPECT_EQ(saveParam("ReportTable") + "|" + saveParam("TablePath") + "|" + innerSource("Alpha"),
              pathList({alpha1_}) + "||");
    ASSERT_EQ(UpdateSrc("Alpha"), 1);
    const std::string created = std::string("AlphaSrc\0BetaSrc\0", 17);
    EXPECT_EQ(innerSource("Alpha"), created);

    std::string registered = saveParam("RegisterPath");
    ASSERT_EQ(updateAlpha(writeTable("alpha2.tbl", "GammaSrc,3,INFO,y\n")), 1);
    EXPECT_EQ(saveParam("TablePath"), registered);
    const std::string updated = created + std::string("GammaSrc\0", 9);
    EXPECT_EQ(innerSource("Alpha"), updated);

    EXPECT_EQ(updateAlpha("/opt/orv/tables/missing.tbl"), 0);
    EXPECT_EQ(innerSource("Alpha") + saveParam("ReportTable"),
              updated + pathList({"/opt/orv/tables/missing.tbl"}));
    EXPECT_EQ(ExecRTCopy(nullptr, 0, "", 0, "", 0, 1033, 0), 0);
    EXPECT_EQ(ExecRTCopy("Alpha", 1, nullptr, 8, "", 0, 1033, 0), 0);

    ASSERT_EQ(copy(2, updated), 1);  // a remove hands over the sources
    EXPECT_EQ(saveParam("ReportTable"), updated);
}

TEST_F(ExecRTCopyTest, ModesWithoutWordImportTheTraditionalTable) {
    std::string traditional = writeTable("AMIREPRT.TBL", "TradSrc,103,INFO,started\n");
    ASSERT_EQ(ExecRTCopy(traditional.c_str(), 3, "", 0, "", 0, 1041, 0), 1);
    EXPECT_EQ(reportTable()["TradSrc/103"], "INFO|started|");
}

// The change callback reports itself in the trace log: once for each slimmed
// update that changes the table, however often the copy calls it.
TEST_F(ExecRTCopyTest, SlimmedUpdateCallsBackOnlyWhenTheTableChanges) {
    ::setenv("ORV_TRACE_LEVELS", "all", 1);
    TraceLogReload();
    ASSERT_EQ(copy(0, pathList({alpha1_})), 1);
    ASSERT_EQ(UpdateSrc("Alpha"), 1);
    auto signals = [](const std::function<void()> &run) {
        size_t before = countOf(readFile(kTraceLog), "Event update start: ");
        run();
        return countOf(readFile(kTraceLog), "Event update start: ") - before;
    };
    // The same entries; one changed; entries added and dropped; changed, not slimmed.
    const std::tuple<std::string, int32_t, size_t> cases[] = {
        {"AlphaSrc,1,ERROR,disk failed\nBetaSrc,7,WARNING,fan\n", 1, 0},
        {"AlphaSrc,1,ERROR,disk failed\nBetaSrc,7,INFO,fan\n", 1, 1},
        {"AlphaSrc,3,INFO,new\n", 1, 1},
        {"AlphaSrc,1,ERROR,disk lost\n", 0, 0},
    };
    int n = 0;
    for (const auto &[content, slimmed, expected] : cases) {
        SCOPED_TRACE(content);
        std::string table = writeTable("slim" + std::to_string(n++) + ".tbl", content);
        EXPECT_EQ(signals([&] { ASSERT_EQ(updateAlpha(table, slimmed), 1); }), expected);
    }
    EXPECT_EQ(signals([] {
                  InitChangedReportTable();
                  CallBackChangedReportTable();
                  CallBackChangedReportTable();
              }),
              1u);
}

// Sources are appended whole, whatever their length against the 508-byte
// first reads; without either half nothing is written or created.
TEST_F(ExecRTCopyTest, UpdateSrcAppendsRegisteredSourcesBehindTheProductsOwn) {
    auto bytes = [](size_t n, char first) {
        std::string s;
        for (size_t i = 0; i < n; ++i) s.push_back(i % 9 == 8 ? '\0' : char(first + i % 20));
        return s;
    };
    ASSERT_TRUE(setInnerSource("Alpha", "Own"));
    EXPECT_EQ(UpdateSrc("Alpha"), 0);  // no registered sources yet
    EXPECT_EQ(innerSource("Alpha"), "Own");
    for (auto [existing, registered] :
         {std::pair<size_t, size_t>{0, 0}, {0, 600}, {508, 1}, {507, 1}, {509, 0}, {600, 1300}}) {
        SCOPED_TRACE(testing::Message() << existing << " + " << registered);
        std::string own = bytes(existing, 'a'), theirs = bytes(registered, 'A');
        ASSERT_TRUE(setInnerSource("Alpha", own));
        setSaveParam("RegisterSrc", theirs);
        ASSERT_EQ(UpdateSrc("Alpha"), 1);
        EXPECT_EQ(innerSource("Alpha") + "|" + saveParam("RegisterSrc"),
                  own + theirs + "|" + theirs);
    }
    EXPECT_TRUE(UpdateSrc("Nobody") == 0 && !innerExists("Nobody"));
}

// Process attach pins the copy library; without it the attach fails, and so
// does loading this library through the module loader.
TEST(DllMainTest, AttachNeedsTheCopyLibrary) {
    EXPECT_EQ(DllMain(nullptr, DLL_PROCESS_DETACH, nullptr), 1);  // nothing held
    EXPECT_EQ(DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr), 1);
    EXPECT_EQ(DllMain(nullptr, DLL_PROCESS_DETACH, nullptr), 1);

    // A module directory that holds this library but not the copy library.
    Dl_info self{};
    ASSERT_NE(dladdr(reinterpret_cast<void *>(&ExecRTCopy), &self), 0);
    ASSERT_EQ(::mkdir("/opt/orv/modules", 0755), 0);
    ASSERT_EQ(::symlink(self.dli_fname, "/opt/orv/modules/libamirtupt.so"), 0);
    ::setenv("ORV_MODULE_DIR", "/opt/orv/modules", 1);
    EXPECT_EQ(DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr), 0);
    SetLastError(0);
    EXPECT_EQ(LoadLibrary("amirtupt.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
}
