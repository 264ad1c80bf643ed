// RTCopy: product imports, updates and removals, the traditional table, the
// file format and all-or-nothing failures.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "registry_files.h"
#include "tblsync_support.h"

namespace {

using namespace tblsync_test;

using Row = std::tuple<std::string, std::string, std::string>;

int g_callbacks = 0;
BOOL countChange() {
    ++g_callbacks;
    return TRUE;
}

class TblsyncCopy : public TblsyncIsolated {
  protected:
    void SetUp() override {
        TblsyncIsolated::SetUp();
        g_callbacks = 0;
    }
};

TEST_F(TblsyncCopy, ProductLifeCreateUpdateRemove) {
    std::string a = writeTable("a.tbl",
                               "# product A\n"
                               "Disk,1,ERROR,disk failed, replace it\r\n"
                               "Disk,2,WARNING,disk slow\n"
                               "\n"
                               "Fan,10,INFO,fan ok\n");
    std::string b = writeTable("b.tbl", "Fan,11,ERROR,fan stopped\nPower,5,info,power on");
    ASSERT_EQ(create("Prod", {a, b}), 0);
    EXPECT_EQ(dumpTable(), (Dump{
                               {"Disk\\1", Row{"ERROR", "disk failed, replace it", "Prod"}},
                               {"Disk\\2", Row{"WARNING", "disk slow", "Prod"}},
                               {"Fan\\10", Row{"INFO", "fan ok", "Prod"}},
                               {"Fan\\11", Row{"ERROR", "fan stopped", "Prod"}},
                               {"Power\\5", Row{"info", "power on", "Prod"}},
                           }));
    EXPECT_EQ(saveParam("RegisterPath"), pathList({a, b}));
    EXPECT_EQ(saveParam("RegisterSrc"), std::string("Disk\0Fan\0Power\0", 15));

    // The new version changes one entry, drops Disk 2 and the whole Power
    // source, and adds Temp.
    std::string a2 = writeTable("a2.tbl",
                                "Disk,1,ERROR,disk failed\n"
                                "Fan,10,INFO,fan ok\n"
                                "Temp,3,WARNING,hot\n");
    setSaveParam("TablePath", pathList({a, b}));
    ASSERT_EQ(update("Prod", {a2}, countChange), 0);
    EXPECT_EQ(g_callbacks, 1);
    EXPECT_EQ(dumpTable(), (Dump{
                               {"Disk\\1", Row{"ERROR", "disk failed", "Prod"}},
                               {"Fan\\10", Row{"INFO", "fan ok", "Prod"}},
                               {"Temp\\3", Row{"WARNING", "hot", "Prod"}},
                           }));
    EXPECT_EQ(subkeys(TBLSYNC_KEY_REPORTTABLE), (std::vector<std::string>{"Disk", "Fan", "Temp"}));
    EXPECT_EQ(saveParam("RegisterPath"), pathList({a2}));
    EXPECT_EQ(saveParam("RegisterSrc"), std::string("Disk\0Fan\0Temp\0", 14));
    // The caller's own parameters stay as the caller wrote them.
    EXPECT_EQ(saveParam("ReportTable"), pathList({a2}));
    EXPECT_EQ(saveParam("TablePath"), pathList({a, b}));

    ASSERT_EQ(remove("Prod", std::string("Disk\0Fan\0Temp\0Power\0", 20)), 0);
    EXPECT_EQ(dumpTable(), Dump{});
    EXPECT_TRUE(subkeys(TBLSYNC_KEY_REPORTTABLE).empty());
}

TEST_F(TblsyncCopy, UpdateCallsBackOnlyWhenTheTableChanges) {
    std::string t = writeTable("t.tbl", "S,1,ERROR,one\nS,2,ERROR,two\nS,3,ERROR,three\n");
    ASSERT_EQ(create("Prod", {t}), 0);

    ASSERT_EQ(update("Prod", {t}, countChange), 0);
    EXPECT_EQ(g_callbacks, 0);

    std::string changed =
        writeTable("t2.tbl", "S,1,INFO,one\nS,2,ERROR,TWO\nS,4,ERROR,four\n");  // 3 goes
    ASSERT_EQ(update("Prod", {changed}, countChange), 0);
    EXPECT_EQ(g_callbacks, 1);

    // A change without a callback is still applied.
    ASSERT_EQ(update("Prod", {t}, nullptr), 0);
    EXPECT_EQ(std::get<1>(dumpTable().at("S\\3")), "three");
    EXPECT_EQ(g_callbacks, 1);
}

TEST_F(TblsyncCopy, LaterImportTakesOverAnEntryAndKeepsIt) {
    std::string first = writeTable("first.tbl", "Shared,1,ERROR,first\nOwn,1,INFO,mine\n");
    std::string second = writeTable("second.tbl", "Shared,1,WARNING,second\n");
    ASSERT_EQ(create("First", {first}), 0);
    ASSERT_EQ(create("Second", {second}), 0);
    ASSERT_EQ(remove("First", std::string("Shared\0Own\0", 11)), 0);
    EXPECT_EQ(dumpTable(), (Dump{{"Shared\\1", Row{"WARNING", "second", "Second"}}}));

    // An update of the first product that no longer lists the shared entry
    // leaves it to its new owner, and one that lists it takes it back.
    ASSERT_EQ(create("First", {writeTable("own.tbl", "Own,1,INFO,mine\n")}), 0);
    ASSERT_EQ(update("First", {writeTable("own2.tbl", "Own,2,INFO,mine\n")}, countChange), 0);
    EXPECT_EQ(std::get<2>(dumpTable().at("Shared\\1")), "Second");
    ASSERT_EQ(update("First", {first}, countChange), 0);
    EXPECT_EQ(dumpTable().at("Shared\\1"), (Row{"ERROR", "first", "First"}));
}

TEST_F(TblsyncCopy, TraditionalImportReplacesOnlyTraditionalEntries) {
    ASSERT_EQ(create("Prod", {writeTable("p.tbl", "Mixed,7,ERROR,product text\n")}), 0);
    ASSERT_EQ(mkdir("/opt/orv/tables/PROGRAM", 0755), 0);
    writeTable("PROGRAM/AMIREPRT.TBL",
               "Legacy,1,INFO,old one\nLegacy,2,INFO,old two\nMixed,7,INFO,traditional\n");
    // The path as the alert manager builds it from its directory.
    ASSERT_EQ(copy({arg("\\opt\\orv\\tables\\PROGRAM\\AMIREPRT.TBL")}), 0);
    EXPECT_EQ(dumpTable(), (Dump{
                               {"Legacy\\1", Row{"INFO", "old one", ""}},
                               {"Legacy\\2", Row{"INFO", "old two", ""}},
                               {"Mixed\\7", Row{"ERROR", "product text", "Prod"}},
                           }));

    writeTable("PROGRAM/AMIREPRT.TBL", "Legacy,1,WARNING,new one\nMixed,8,INFO,t8\n");
    ASSERT_EQ(copy({arg("/opt/orv/tables/PROGRAM/AMIREPRT.TBL")}), 0);
    EXPECT_EQ(dumpTable(), (Dump{
                               {"Legacy\\1", Row{"WARNING", "new one", ""}},
                               {"Mixed\\7", Row{"ERROR", "product text", "Prod"}},
                               {"Mixed\\8", Row{"INFO", "t8", ""}},
                           }));

    // Once the product is gone, the traditional table fills its place again.
    ASSERT_EQ(remove("Prod", std::string("Mixed\0", 6)), 0);
    writeTable("PROGRAM/AMIREPRT.TBL", "Mixed,7,INFO,traditional\n");
    ASSERT_EQ(copy({arg("/opt/orv/tables/PROGRAM/AMIREPRT.TBL")}), 0);
    EXPECT_EQ(dumpTable(), (Dump{{"Mixed\\7", Row{"INFO", "traditional", ""}}}));
}

// How one line of a table file becomes an entry.
TEST_F(TblsyncCopy, LinesBecomeEntries) {
    struct Case {
        const char *lines;
        Dump expected;
    };
    const Case cases[] = {
        {"  S , 42 , Warning ,text, with, commas \n",
         {{"S\\42", Row{"Warning", "text, with, commas ", "P"}}}},
        {"S,0004294967295,INFO,max\n", {{"S\\4294967295", Row{"INFO", "max", "P"}}}},
        {"S,1,INFO,\n", {{"S\\1", Row{"INFO", "", "P"}}}},
        {"S,1,INFO,first\nS,01,ERROR,second\n", {{"S\\1", Row{"ERROR", "second", "P"}}}},
        {"S,1,INFO,a\ns,2,INFO,b\n",
         {{"S\\1", Row{"INFO", "a", "P"}}, {"S\\2", Row{"INFO", "b", "P"}}}},
        {"# only a comment\n\n  \t\n  # indented comment\r\n", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.lines);
        ASSERT_EQ(remove("P", std::string("S\0", 2)), 0);
        ASSERT_EQ(create("P", {writeTable("case.tbl", c.lines)}), 0);
        EXPECT_EQ(dumpTable(), c.expected);
    }
}

// A copy with any bad file changes nothing, in every mode.
TEST_F(TblsyncCopy, FailedCopyLeavesTableUnchanged) {
    std::string good = writeTable("good.tbl", "Keep,1,ERROR,kept\n");
    ASSERT_EQ(create("Prod", {good}), 0);
    ASSERT_EQ(mkdir("/opt/orv/tables/dir.tbl", 0755), 0);
    ASSERT_EQ(mkfifo("/opt/orv/tables/fifo.tbl", 0644), 0);
    const std::pair<const char *, std::string> bad[] = {
        {"missing file", "/opt/orv/tables/none.tbl"},
        {"directory", "/opt/orv/tables/dir.tbl"},
        {"fifo", "/opt/orv/tables/fifo.tbl"},
        {"too few fields", writeTable("b1.tbl", "New,1,ERROR text\n")},
        {"unknown severity", writeTable("b2.tbl", "New,1,FATAL,text\n")},
        {"id out of range", writeTable("b3.tbl", "New,4294967296,INFO,text\n")},
        {"negative id", writeTable("b4.tbl", "New,-1,INFO,text\n")},
        {"separator in source", writeTable("b5.tbl", "Ne\\w,1,INFO,text\n")},
        {"empty source", writeTable("b6.tbl", ",1,INFO,text\n")},
        {"NUL in line", writeTable("b7.tbl", std::string("New,1,INFO,te\0xt\n", 17))},
    };
    const Dump before = dumpTable();
    const std::string registered = saveParam("RegisterSrc");
    std::string first = writeTable("first.tbl", "New,1,INFO,would be added\n");
    for (const auto &[why, path] : bad) {
        SCOPED_TRACE(why);
        EXPECT_NE(create("Prod", {first, path}), 0);
        EXPECT_NE(update("Prod", {first, path}, countChange), 0);
        EXPECT_NE(copy({arg(path.c_str())}), 0);
        EXPECT_EQ(dumpTable(), before);
        EXPECT_EQ(saveParam("RegisterSrc"), registered);
    }
    EXPECT_EQ(g_callbacks, 0);
}

// A table path that names one of the registry's files, or leads to one, is
// refused without being opened: closing it would drop the registry's locks in
// this process and lose other processes' writes.
TEST_F(TblsyncCopy, NeverOpensTheRegistrysFiles) {
    const std::string link = "/opt/orv/tables/registry.tbl";
    for (const char *kind : {"named", "symbolic", "hard"}) {
        for (const std::string &target : registry_files::databaseFiles()) {
            std::string what = target + " " + kind;
            registry_files::expectNoWriteLost(what, [&] {
                std::string path = target;
                if (kind[0] != 'n') {
                    registry_files::makeLink(target, link, kind[0] == 'h');
                    path = link;
                }
                bool refused = create("Prod", {path}) != 0 && copy({arg(path.c_str())}) != 0;
                ::unlink(link.c_str());
                return refused;
            });
        }
    }
}

// A table is read line by line: a huge file costs no memory and is refused at
// its first over-long line; a file of more entry lines than allowed is
// refused too. Nothing changes either way.
TEST_F(TblsyncCopy, TableFilesAreReadWithinBounds) {
    auto peakKiB = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return usage.ru_maxrss;
    };
    const std::string huge = writeTable("huge.tbl", "Huge,1,INFO,first\n");
    ASSERT_EQ(truncate(huge.c_str(), off_t{1} << 30), 0);  // sparse: NUL bytes, no line end
    std::string many;
    for (int i = 0; i <= 100000; ++i) many += "Many," + std::to_string(i) + ",INFO,x\n";
    const std::string longLine = "Long,1,INFO," + std::string(4095 - 12, 't');
    ASSERT_EQ(create("Before", {writeTable("fits.tbl", longLine + "\r\n")}), 0)
        << "a line of 4096 bytes with its CR fits";
    const Dump before = dumpTable();
    const long peak = peakKiB();
    EXPECT_NE(create("Prod", {huge}), 0);
    EXPECT_LT(peakKiB() - peak, 64 * 1024) << "KiB more at the peak than before";
    EXPECT_NE(create("Prod", {writeTable("long.tbl", longLine + "tt\n")}), 0);
    EXPECT_NE(create("Prod", {writeTable("many.tbl", many)}), 0);
    EXPECT_EQ(dumpTable(), before);
}

TEST_F(TblsyncCopy, MalformedRequestsFail) {
    RTCopyRequest request{};
    request.qwSize = sizeof request;
    void *tooLong[] = {arg("CREATE"), arg("Prod"), arg("x"), arg("y"), arg("z"), nullptr};
    void *unterminated[] = {arg("CREATE"), arg("Prod"), arg("not a terminator")};
    void *noProduct[] = {arg("CREATE"), nullptr, nullptr};
    void *nullWord[] = {nullptr, nullptr};
    setSaveParam("ReportTable", pathList({writeTable("t.tbl", "S,1,INFO,x\n")}));
    const std::vector<std::pair<const char *, RTCopyRequest>> cases = {
        {"no vector", {sizeof request, 0, 0, 0, 0, 100, 0, nullptr, 0, 2, nullptr}},
        {"wrong size", {48, 0, 0, 0, 0, 100, 0, nullptr, 0, 2, tooLong}},
        {"no arguments", {sizeof request, 0, 0, 0, 0, 100, 0, nullptr, 0, 0, tooLong}},
        {"too many", {sizeof request, 0, 0, 0, 0, 100, 0, nullptr, 0, 5, tooLong}},
        {"count mismatch", {sizeof request, 0, 0, 0, 0, 100, 0, nullptr, 0, 2, unterminated}},
        {"null product", {sizeof request, 0, 0, 0, 0, 100, 0, nullptr, 0, 2, noProduct}},
        {"null mode word", {sizeof request, 0, 0, 0, 0, 100, 0, nullptr, 0, 1, nullWord}},
    };
    for (auto [why, r] : cases) {
        SCOPED_TRACE(why);
        EXPECT_NE(RTCopy(&r, 0), 0);
    }
    EXPECT_NE(RTCopy(nullptr, 0), 0);
    EXPECT_NE(copy({arg("DELETE"), arg("Prod")}), 0);
    EXPECT_NE(copy({arg("UPDATE"), arg("Prod")}), 0);
    EXPECT_NE(copy({arg("CREATE"), arg("")}), 0);
    EXPECT_EQ(dumpTable(), Dump{});
}

TEST_F(TblsyncCopy, RegisterPathKeepsWholePathsWithin254Bytes) {
    std::vector<std::string> files;
    for (char c : std::string("abcd")) {
        files.push_back(writeTable(std::string(70, c), std::string(1, c) + ",1,INFO,x\n"));
    }
    // Four paths of 86 bytes with their NULs: two fit beside the closing NUL.
    ASSERT_EQ(create("Prod", files), 0);
    EXPECT_EQ(dumpTable().size(), 4u);
    EXPECT_EQ(saveParam("RegisterPath"), pathList({files[0], files[1]}));
}

// A process reading the table (in a transaction of its own, so that its
// reads form one snapshot) sees a product's copy whole or not at all.
TEST_F(TblsyncCopy, AnotherProcessSeesWholeCopiesOnly) {
    constexpr size_t kEntries = 200;
    std::string lines;
    for (size_t i = 0; i < kEntries; ++i) {
        lines += "Src" + std::to_string(i % 4) + "," + std::to_string(i) + ",INFO,text\n";
    }
    const std::string file = writeTable("big.tbl", lines);
    int done[2];
    ASSERT_EQ(pipe2(done, O_CLOEXEC), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(done[1]);
        fcntl(done[0], F_SETFL, O_NONBLOCK);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        int torn = 0;
        char byte;
        while (read(done[0], &byte, 1) != 0 && std::chrono::steady_clock::now() < deadline) {
            if (RegBeginTransaction() != ERROR_SUCCESS) continue;
            size_t seen = dumpTable().size();
            RegRollbackTransaction();
            if (seen != 0 && seen != kEntries) ++torn;
            // A snapshot holds the registry's write lock: leave the copying
            // process room to take it.
            usleep(2000);  // pace, not a wait for anything
        }
        _exit(torn == 0 ? 0 : 1);
    }
    close(done[0]);
    for (int round = 0; round < 10; ++round) {
        EXPECT_EQ(create("Prod", {file}), 0);
        EXPECT_EQ(remove("Prod", std::string("Src0\0Src1\0Src2\0Src3\0", 20)), 0);
    }
    close(done[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
