// One report table copy per product and mode, the sources a copy registers,
// the change callback of slimmed updates, and the copy library held loaded
// by process attach.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "lib_helpers.h"
#include "qortrace.h"

namespace {

using namespace lib_test;

class ExecRTCopyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        alpha1_ = writeTable("alpha1.tbl",
                             "# alpha events\n"
                             "AlphaSrc,1,ERROR,disk failed\n"
                             "\n"
                             "AlphaSrc,2,INFO,disk ok\n"
                             "BetaSrc,7,WARNING,fan slow\n");
        ASSERT_NE(AMACRTAddInnerProduct("Alpha"), 0);
    }

    // Imports alpha1.tbl for Alpha and, as an install does, appends its sources.
    void createAlpha(bool appendSources = true) {
        std::string list = pathList({alpha1_});
        ASSERT_EQ(
            ExecRTCopy("Alpha", 0, list.data(), static_cast<uint32_t>(list.size()), "", 0, 1033, 0),
            1);
        if (appendSources) {
            ASSERT_EQ(UpdateSrc("Alpha"), 1);
        }
    }

    // An update of Alpha to the given table file.
    int32_t updateAlpha(const std::string &table, int32_t slimmed) {
        std::string list = pathList({table});
        std::string registered = saveParam("RegisterPath");
        return ExecRTCopy("Alpha", 1, list.data(), static_cast<uint32_t>(list.size()),
                          registered.data(), static_cast<uint32_t>(registered.size()), 1033,
                          slimmed);
    }

    std::string alpha1_;
};

// What ExecRTCopy adds around the copy: the save parameters it hands over,
// the sources an update appends itself, and a failed copy that touches no
// source list. The table contents are the copy library's.
TEST_F(ExecRTCopyTest, SaveParametersAndSourcesAroundEachMode) {
    createAlpha(false);
    EXPECT_EQ(saveParam("ReportTable"), pathList({alpha1_}));
    EXPECT_EQ(saveParam("TablePath"), "");
    EXPECT_EQ(innerSource("Alpha"), "");  // a create leaves the sources to the caller
    ASSERT_EQ(UpdateSrc("Alpha"), 1);
    const std::string created = std::string("AlphaSrc\0BetaSrc\0", 17);
    EXPECT_EQ(innerSource("Alpha"), created);

    std::string alpha2 = writeTable("alpha2.tbl", "AlphaSrc,1,ERROR,x\nGammaSrc,3,INFO,y\n");
    std::string registered = saveParam("RegisterPath");
    ASSERT_EQ(updateAlpha(alpha2, 0), 1);
    EXPECT_EQ(saveParam("TablePath"), registered);
    const std::string updated = created + std::string("AlphaSrc\0GammaSrc\0", 18);
    EXPECT_EQ(innerSource("Alpha"), updated);

    std::string broken = writeTable("broken.tbl", "AlphaSrc,1,ERROR,fine\nnot an entry\n");
    for (const std::string &table : {std::string("/opt/orv/tables/missing.tbl"), broken}) {
        std::string list = pathList({table});
        EXPECT_EQ(ExecRTCopy("Alpha", 1, list.data(), uint32_t(list.size()), "", 0, 1033, 0), 0);
        EXPECT_EQ(innerSource("Alpha"), updated) << table;
        EXPECT_EQ(saveParam("ReportTable"), list) << table;
    }
    EXPECT_EQ(ExecRTCopy(nullptr, 0, "", 0, "", 0, 1033, 0), 0);
    EXPECT_EQ(ExecRTCopy("Alpha", 1, nullptr, 8, "", 0, 1033, 0), 0);

    ASSERT_EQ(ExecRTCopy("Alpha", 2, updated.data(), uint32_t(updated.size()), "", 0, 0, 0), 1);
    EXPECT_EQ(reportTable(), Table{});
    EXPECT_EQ(saveParam("ReportTable"), updated);
}

TEST_F(ExecRTCopyTest, ModesWithoutWordImportTheTraditionalTable) {
    createAlpha();
    std::string traditional = writeTable("AMIREPRT.TBL", "TradSrc,100,INFO,agent started\n");
    for (uint32_t mode : {3u, 9u}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(ExecRTCopy(traditional.c_str(), mode, "", 0, "", 0, 1041, 0), 1);
        EXPECT_EQ(reportTable()["TradSrc/100"], "INFO|agent started|");
    }
}

// The change callback reports itself in the trace log; each update that
// changes the table signals the alert manager once.
TEST_F(ExecRTCopyTest, SlimmedUpdateCallsBackOnlyWhenTheTableChanges) {
    setenv("ORV_TRACE_LEVELS", "all", 1);
    TraceLogReload();
    createAlpha();
    struct Case {
        const char *what;
        const char *content;
        int32_t slimmed;
        size_t signals;
    };
    const Case cases[] = {
        {"same entries",
         "AlphaSrc,1,ERROR,disk failed\nAlphaSrc,2,INFO,disk ok\n"
         "BetaSrc,7,WARNING,fan slow\n",
         1, 0},
        {"one entry changed",
         "AlphaSrc,1,ERROR,disk failed\nAlphaSrc,2,WARNING,disk ok\n"
         "BetaSrc,7,WARNING,fan slow\n",
         1, 1},
        {"entries added and dropped", "AlphaSrc,1,ERROR,disk failed\nAlphaSrc,3,INFO,new\n", 1, 1},
        {"changed but not slimmed", "AlphaSrc,1,ERROR,disk lost\n", 0, 0},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::string table = writeTable("slim" + std::to_string(n++) + ".tbl", c.content);
        size_t before = countOf(readFile(kTraceLog), "Event update start: ");
        ASSERT_EQ(updateAlpha(table, c.slimmed), 1);
        size_t after = countOf(readFile(kTraceLog), "Event update start: ");
        EXPECT_EQ(after - before, c.signals);
    }
}

// Sources are appended whole, whatever their length against the 508-byte
// first reads.
TEST_F(ExecRTCopyTest, UpdateSrcAppendsRegisteredSourcesBehindTheProductsOwn) {
    auto bytes = [](size_t n, char first) {
        std::string s;
        for (size_t i = 0; i < n; ++i) s.push_back(i % 9 == 8 ? '\0' : char(first + i % 20));
        return s;
    };
    struct Case {
        size_t existing;
        size_t registered;
    };
    const Case cases[] = {{0, 0}, {17, 9}, {0, 600}, {508, 1}, {507, 1}, {509, 0}, {600, 1300}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.existing << " + " << c.registered);
        std::string existing = bytes(c.existing, 'a'), registered = bytes(c.registered, 'A');
        ASSERT_TRUE(setInnerSource("Alpha", existing));
        setSaveParam("RegisterSrc", registered);
        ASSERT_EQ(UpdateSrc("Alpha"), 1);
        EXPECT_EQ(innerSource("Alpha"), existing + registered);
        EXPECT_EQ(saveParam("RegisterSrc"), registered);
    }
}

TEST_F(ExecRTCopyTest, UpdateSrcFailsWithoutEitherHalf) {
    ASSERT_TRUE(setInnerSource("Alpha", "Own"));
    EXPECT_EQ(UpdateSrc("Alpha"), 0);  // no registered sources yet
    EXPECT_EQ(innerSource("Alpha"), "Own");
    setSaveParam("RegisterSrc", std::string("AlphaSrc\0", 9));
    EXPECT_EQ(UpdateSrc("Nobody"), 0);  // no inner product: nothing is created
    EXPECT_FALSE(innerExists("Nobody"));
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
    setenv("ORV_MODULE_DIR", "/opt/orv/modules", 1);
    EXPECT_EQ(DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr), 0);
    SetLastError(0);
    EXPECT_EQ(LoadLibrary("amirtupt.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
}

}  // namespace
