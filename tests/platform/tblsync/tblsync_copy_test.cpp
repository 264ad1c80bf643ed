// RTCopy: product imports, updates and removals, the traditional table, the
// file format and all-or-nothing failures.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <functional>
#include <optional>
#include <set>

#include "files.h"
#include "process.h"
#include "registry_files.h"
#include "report_table.h"
#include "tblsync.h"

namespace {

using namespace orv_test;
using Row = std::tuple<std::string, std::string, std::string>;
using namespace std::string_literals;

int copy(std::vector<void *> argv) {
    RTCopyRequest request{};
    request.qwSize = sizeof request;
    request.dwPriority = 100;
    request.dwArgc = static_cast<DWORD>(argv.size());
    argv.push_back(nullptr);
    request.lppArgv = argv.data();
    return RTCopy(&request, 0);
}
void *arg(const char *text) {
    return const_cast<char *>(text);
}
std::string g_asked;  // the caller's list, which no copy writes
void ask(const std::string &list) {
    setSaveParam("ReportTable", list);
    g_asked = list;
}
int traditional(const std::string &path) {
    return copy({arg(path.c_str())});
}
int create(const char *product, const std::vector<std::string> &files) {
    ask(pathList(files));
    return copy({arg("CREATE"), arg(product)});
}
int g_callbacks = 0;
BOOL countChange() {
    ++g_callbacks;
    return TRUE;
}
int update(const char *product, const std::vector<std::string> &files, bool callback = true) {
    ask(pathList(files));
    return copy(
        {arg("UPDATE"), callback ? reinterpret_cast<void *>(countChange) : nullptr, arg(product)});
}
int remove(const char *product, std::string sources) {
    sources.resize(508, '\0');  // padding is skipped
    ask(sources);
    return copy({arg("REMOVE"), arg(product)});
}

// One copy and what the table holds after it: the entries, how many change
// callbacks so far, and the sources registered (unset: not looked at).
struct Step {
    std::function<int()> run;
    TableDump table;
    int callbacks = 0;
    std::optional<std::string> registered = std::nullopt;
};

void runSteps(const std::vector<Step> &steps) {
    g_callbacks = 0;
    for (size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE("step " + std::to_string(i + 1));
        ASSERT_EQ(steps[i].run(), 0);
        EXPECT_EQ(dumpTable(), steps[i].table);
        EXPECT_EQ(g_callbacks, steps[i].callbacks);
        if (steps[i].registered) {
            EXPECT_EQ(saveParam("RegisterSrc"), *steps[i].registered);
            EXPECT_EQ(saveParam("RegisterPath"), g_asked);
        }
        EXPECT_EQ(saveParam("ReportTable"), g_asked);
        // A source left without entries loses its key.
        std::set<std::string> sources;
        for (const auto &entry : steps[i].table)
            sources.insert(entry.first.substr(0, entry.first.find('\\')));
        EXPECT_EQ(subkeys(TBLSYNC_KEY_REPORTTABLE), std::vector(sources.begin(), sources.end()));
    }
}

// Every entry carries the product that imported it; the last import takes an
// entry over, an update makes the product's entries exactly its files' and
// calls back only when that changed something, a removal takes only what
// the product still owns.
TEST(TblsyncCopy, ProductEntriesFollowEachCopy) {
    const std::string a = writeTable("a.tbl",
                                     "# product A\nDisk,1,ERROR,disk failed, replace it\r\n"
                                     "Disk,2,WARNING,disk slow\n\nFan,10,INFO,fan ok\n");
    const std::string b = writeTable("b.tbl", "Fan,11,ERROR,fan stopped\nPower,5,info,power on");
    const std::string a2 =
        writeTable("a2.tbl", "Disk,1,ERROR,disk failed\nFan,10,INFO,fan ok\nTemp,3,WARNING,hot\n");
    const std::string other = writeTable("o.tbl", "Disk,1,WARNING,other\n");
    const std::string fan = writeTable("fan.tbl", "Fan,10,INFO,fan ok\n");
    const Row disk1{"ERROR", "disk failed", "Prod"}, disk1Other{"WARNING", "other", "Other"};
    const Row fan10{"INFO", "fan ok", "Prod"}, temp3{"WARNING", "hot", "Prod"};
    const TableDump first{{"Disk\\1", {"ERROR", "disk failed, replace it", "Prod"}},
                          {"Disk\\2", {"WARNING", "disk slow", "Prod"}},
                          {"Fan\\10", fan10},
                          {"Fan\\11", {"ERROR", "fan stopped", "Prod"}},
                          {"Power\\5", {"info", "power on", "Prod"}}};
    setSaveParam("TablePath", pathList({a, b}));
    runSteps({
        {[&] {
             return create("Prod", {a, b});
         },
         first, 0, "Disk\0Fan\0Power\0"s},
        {[&] {
             return update("Prod", {a, b});
         },
         first, 0, "Disk\0Fan\0Power\0"s},
        {[&] { return update("Prod", {a2}); },
         {{"Disk\\1", disk1}, {"Fan\\10", fan10}, {"Temp\\3", temp3}},
         1,
         "Disk\0Fan\0Temp\0"s},
        {[&] { return create("Other", {other}); },
         {{"Disk\\1", disk1Other}, {"Fan\\10", fan10}, {"Temp\\3", temp3}},
         1,
         "Disk\0"s},
        {[&] { return update("Prod", {a2}, false); },
         {{"Disk\\1", disk1}, {"Fan\\10", fan10}, {"Temp\\3", temp3}},
         1},
        {[&] { return create("Other", {other}); },
         {{"Disk\\1", disk1Other}, {"Fan\\10", fan10}, {"Temp\\3", temp3}},
         1},
        {[&] { return update("Prod", {fan}); },
         {{"Disk\\1", disk1Other}, {"Fan\\10", fan10}},
         2,
         "Fan\0"s},
        {[&] { return remove("Prod", "Disk\0Fan\0Temp\0Power\0"s); }, {{"Disk\\1", disk1Other}}, 2},
        {[&] { return remove("Other", "\0Ba\\d\0Disk\0"s); }, {}, 2},
    });
    EXPECT_TRUE(keyExists(TBLSYNC_KEY_REPORTTABLE));
    EXPECT_EQ(saveParam("TablePath"), pathList({a, b}));
}

// The traditional table fills what no product owns, with owner "".
TEST(TblsyncCopy, TraditionalEntriesYieldToProducts) {
    const std::string path = writeTable("p.tbl", "Mixed,7,ERROR,product text\n");
    const Row product{"ERROR", "product text", "Prod"};
    auto table = [](const std::string &lines) {
        ::mkdir("/opt/orv/tables/PROGRAM", 0755);
        writeTable("PROGRAM/AMIREPRT.TBL", lines);
        return "/opt/orv/tables/PROGRAM/AMIREPRT.TBL"s;
    };
    runSteps({
        {[&] { return create("Prod", {path}); }, {{"Mixed\\7", product}}},
        {[&] {
             table("Legacy,1,INFO,one\nLegacy,2,INFO,two\nMixed,7,INFO,traditional\n");
             return traditional("\\opt\\orv\\tables\\PROGRAM\\AMIREPRT.TBL");
         },
         {{"Legacy\\1", {"INFO", "one", ""}},
          {"Legacy\\2", {"INFO", "two", ""}},
          {"Mixed\\7", product}}},
        {[&] { return traditional(table("Legacy,1,WARNING,new\nMixed,8,INFO,t8\n")); },
         {{"Legacy\\1", {"WARNING", "new", ""}},
          {"Mixed\\7", product},
          {"Mixed\\8", {"INFO", "t8", ""}}}},
        {[&] { return remove("Prod", "Mixed\0"s); },
         {{"Legacy\\1", {"WARNING", "new", ""}}, {"Mixed\\8", {"INFO", "t8", ""}}}},
        {[&] { return traditional(table("Mixed,7,INFO,traditional\n")); },
         {{"Mixed\\7", {"INFO", "traditional", ""}}}},
    });
}

// How the lines of a table file become entries.
TEST(TblsyncCopy, LinesBecomeEntries) {
    const std::string longText(4096 - 10, 't');  // a line of 4096 bytes with its CR fits
    const std::pair<std::string, TableDump> cases[] = {
        {"  S , 42 , Warning ,text, with, commas \n",
         {{"S\\42", {"Warning", "text, with, commas ", "P"}}}},
        {"S,0004294967295,INFO,max\n", {{"S\\4294967295", {"INFO", "max", "P"}}}},
        {"S,1,INFO,\n", {{"S\\1", {"INFO", "", "P"}}}},
        {"S,1,INFO,first\nS,01,ERROR,second\n", {{"S\\1", {"ERROR", "second", "P"}}}},
        {"S,1,INFO,a\ns,2,INFO,b\n", {{"S\\1", {"INFO", "a", "P"}}, {"S\\2", {"INFO", "b", "P"}}}},
        {"S,1,INFO," + longText + "\r\n", {{"S\\1", {"INFO", longText, "P"}}}},
        {"# only a comment\n\n  \t\n  # indented comment\r\n", {}},
    };
    for (const auto &[lines, expected] : cases) {
        SCOPED_TRACE(lines.substr(0, 40));
        ASSERT_EQ(remove("P", "S\0"s), 0);
        ASSERT_EQ(create("P", {writeTable("case.tbl", lines)}), 0);
        EXPECT_EQ(dumpTable(), expected);
    }
}

// A copy with any bad file changes nothing, in every mode, and says why. A
// table is read line by line: a huge file costs no memory.
TEST(TblsyncCopy, FailedCopyLeavesTableUnchanged) {
    ASSERT_EQ(create("Prod", {writeTable("good.tbl", "Keep,1,ERROR,kept\n")}), 0);
    ASSERT_EQ(mkdir("/opt/orv/tables/dir.tbl", 0755), 0);
    ASSERT_EQ(mkfifo("/opt/orv/tables/fifo.tbl", 0644), 0);
    const std::string huge = writeTable("huge.tbl", "Huge,1,INFO,first\n");
    ASSERT_EQ(truncate(huge.c_str(), off_t{1} << 30), 0);  // sparse: NUL bytes, no line end
    std::string many;
    for (int i = 0; i <= 100000; ++i) many += "Many," + std::to_string(i) + ",INFO,x\n";
    const std::tuple<const char *, std::string, int> bad[] = {
        {"huge", huge, 13},  // first: the peak memory is looked at after it
        {"missing file", "/opt/orv/tables/none.tbl", 2},
        {"directory", "/opt/orv/tables/dir.tbl", 5},
        {"fifo", "/opt/orv/tables/fifo.tbl", 5},
        {"too few fields", writeTable("b1.tbl", "New,1,ERROR text\n"), 13},
        {"unknown severity", writeTable("b2.tbl", "New,1,FATAL,text\n"), 13},
        {"id out of range", writeTable("b3.tbl", "New,4294967296,INFO,text\n"), 13},
        {"negative id", writeTable("b4.tbl", "New,-1,INFO,text\n"), 13},
        {"separator in source", writeTable("b5.tbl", "Ne\\w,1,INFO,text\n"), 13},
        {"empty source", writeTable("b6.tbl", ",1,INFO,text\n"), 13},
        {"NUL in line", writeTable("b7.tbl", "New,1,INFO,te\0xt\n"s), 13},
        {"line over 4096 bytes",
         writeTable("b8.tbl", "L,1,INFO," + std::string(4097 - 9, 't') + "\n"), 13},
        {"over 100000 entries", writeTable("b9.tbl", many), 13},
    };
    const TableDump before = dumpTable();
    const std::string registered = saveParam("RegisterSrc");
    const std::string first = writeTable("first.tbl", "New,1,INFO,would be added\n");
    g_callbacks = 0;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const long peak = usage.ru_maxrss;
    for (const auto &[why, path, code] : bad) {
        SCOPED_TRACE(why);
        EXPECT_EQ(create("Prod", {first, path}), code);
        EXPECT_EQ(update("Prod", {first, path}), code);
        EXPECT_EQ(traditional(path), code);
        EXPECT_EQ(dumpTable(), before);
        EXPECT_EQ(saveParam("RegisterSrc"), registered);
        getrusage(RUSAGE_SELF, &usage);
        if (path == huge) {
            EXPECT_LT(usage.ru_maxrss - peak, 64 * 1024) << "KiB more at the peak";
        }
    }
    EXPECT_EQ(g_callbacks, 0);
}

// A table path that names one of the registry's files, or leads to one, is
// refused without being opened: closing it would drop the registry's locks in
// this process and lose other processes' writes.
TEST(TblsyncCopy, NeverOpensTheRegistrysFiles) {
    const std::string link = "/opt/orv/tables/registry.tbl";
    for (const char *kind : {"named", "symbolic", "hard"}) {
        for (const std::string &target : registry_files::databaseFiles()) {
            registry_files::expectNoWriteLost(target + " " + kind, [&] {
                if (kind[0] != 'n') registry_files::makeLink(target, link, kind[0] == 'h');
                const std::string path = kind[0] == 'n' ? target : link;
                bool refused = create("Prod", {path}) != 0 && traditional(path) != 0;
                ::unlink(link.c_str());
                return refused;
            });
        }
    }
}

TEST(TblsyncCopy, MalformedRequestsFailWithInvalidParameter) {
    void *tooLong[] = {arg("CREATE"), arg("Prod"), arg("x"), arg("y"), arg("z"), nullptr};
    void *unterminated[] = {arg("CREATE"), arg("Prod"), arg("not a terminator")};
    void *noProduct[] = {arg("CREATE"), nullptr, nullptr};
    void *nullWord[] = {nullptr, nullptr};
    setSaveParam("ReportTable", pathList({writeTable("t.tbl", "S,1,INFO,x\n")}));
    const std::tuple<const char *, uint64_t, DWORD, void **> cases[] = {
        {"no vector", sizeof(RTCopyRequest), 2, nullptr},
        {"wrong size", 48, 2, tooLong},
        {"no arguments", sizeof(RTCopyRequest), 0, tooLong},
        {"too many", sizeof(RTCopyRequest), 5, tooLong},
        {"count mismatch", sizeof(RTCopyRequest), 2, unterminated},
        {"null product", sizeof(RTCopyRequest), 2, noProduct},
        {"null mode word", sizeof(RTCopyRequest), 1, nullWord},
    };
    for (const auto &[why, size, argc, argv] : cases) {
        RTCopyRequest request{size, 0, 0, 0, 0, 100, 0, nullptr, 0, argc, argv};
        EXPECT_EQ(RTCopy(&request, 0), 87) << why;
    }
    EXPECT_EQ(RTCopy(nullptr, 0), 87);
    EXPECT_EQ(copy({arg("DELETE"), arg("Prod")}), 87);
    EXPECT_EQ(copy({arg("UPDATE"), arg("Prod")}), 87);
    EXPECT_EQ(copy({arg("CREATE"), arg("")}), 87);
    EXPECT_EQ(dumpTable(), TableDump{});
}

// Four paths of 86 bytes with their NULs: two fit beside the closing NUL.
TEST(TblsyncCopy, RegisterPathKeepsWholePathsWithin254Bytes) {
    std::vector<std::string> files;
    for (char c : "abcd"s) files.push_back(writeTable(std::string(70, c), c + ",1,INFO,x\n"s));
    ASSERT_EQ(create("Prod", files), 0);
    EXPECT_EQ(dumpTable().size(), 4u);
    EXPECT_EQ(saveParam("RegisterPath"), pathList({files[0], files[1]}));
}

// A process reading the table (in a transaction of its own, so that its
// reads form one snapshot) sees a product's copy whole or not at all.
TEST(TblsyncCopy, AnotherProcessSeesWholeCopiesOnly) {
    const std::string file =
        writeTable("big.tbl", tableRows("Src0", 0, 100) + tableRows("Src1", 100, 100));
    int done[2];
    ASSERT_EQ(pipe2(done, O_CLOEXEC | O_NONBLOCK), 0);
    Child reader([&] {
        close(done[1]);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        char byte;
        while (read(done[0], &byte, 1) != 0 && std::chrono::steady_clock::now() < deadline) {
            if (RegBeginTransaction() != ERROR_SUCCESS) continue;
            size_t seen = dumpTable().size();
            RegRollbackTransaction();
            if (seen != 0 && seen != 200) return 1;
            usleep(2000);  // a snapshot holds the write lock: leave the copier room
        }
        return 0;
    });
    close(done[0]);
    for (int round = 0; round < 10; ++round) {
        EXPECT_EQ(create("Prod", {file}), 0);
        EXPECT_EQ(remove("Prod", "Src0\0Src1\0"s), 0);
    }
    close(done[1]);
    EXPECT_EQ(reader.wait(), 0);
}

}  // namespace
