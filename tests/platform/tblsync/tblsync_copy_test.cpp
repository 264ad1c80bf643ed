// RTCopy: product imports, updates and removals, the traditional table, the
// file format and all-or-nothing failures.
#include <gtest/gtest.h>

#include <set>

#include "files.h"
#include "process.h"
#include "registry_files.h"
#include "report_table.h"

using namespace orv_test;
using namespace std::string_literals;

// RTCopy with the vector the library builds, ended by its NULL.
int rtcopy(std::vector<void *> argv) {
    argv.push_back(nullptr);
    RTCopyRequest request{
        sizeof request, 0, 0, 0, 0, 100, 0, nullptr, 0, static_cast<DWORD>(argv.size() - 1),
        argv.data()};
    return RTCopy(&request, 0);
}
const auto arg = [](const char *text) -> void * { return const_cast<char *>(text); };
int g_callbacks = 0;
const RTCOPY_CHANGE_CALLBACK countChange = []() -> BOOL { return ++g_callbacks; };
std::string g_asked;  // the caller's list in ReportTable, which no copy writes

// One copy: 'C'reate, 'U'pdate (with the callback; 'u' without), 'R'emove
// (the list holds source names) or 'T'raditional (the list holds its path).
int copy(char mode, const char *product, const std::vector<std::string> &list) {
    if (mode == 'T') return rtcopy({arg(list.at(0).c_str())});
    g_asked = pathList(list);
    if (mode == 'R') g_asked.resize(508, '\0');  // padding is skipped
    setSaveParam("ReportTable", g_asked);
    if (mode == 'C' || mode == 'R')
        return rtcopy({arg(mode == 'C' ? "CREATE" : "REMOVE"), arg(product)});
    return rtcopy({arg("UPDATE"), mode == 'U' ? reinterpret_cast<void *>(countChange) : nullptr,
                   arg(product)});
}

// "source\id=severity,text,owner;" per entry, in key order.
std::string table() {
    std::string text;
    for (const auto &[key, row] : dumpTable())
        text +=
            key + "=" + std::get<0>(row) + "," + std::get<1>(row) + "," + std::get<2>(row) + ";";
    return text;
}

// One copy and the table after it, the change callbacks so far and the
// sources registered with the paths read (unset: not looked at).
struct Step {
    char mode;
    const char *product;
    std::vector<std::string> list;
    std::string table;
    int callbacks = 0;
    std::optional<std::string> registered{};
};

void runSteps(const std::vector<Step> &steps) {
    g_callbacks = 0;
    for (const Step &step : steps) {
        SCOPED_TRACE(step.mode + " "s + (step.product ? step.product : "") + " -> " + step.table);
        ASSERT_EQ(copy(step.mode, step.product, step.list), 0);
        EXPECT_EQ(std::tuple(table(), g_callbacks, saveParam("ReportTable")),
                  std::tuple(step.table, step.callbacks, g_asked));
        if (step.registered) {
            EXPECT_EQ(saveParam("RegisterSrc") + "|" + saveParam("RegisterPath"),
                      *step.registered + "|" + g_asked);
        }
        std::set<std::string> sources;  // a source left without entries loses its key
        for (const auto &[key, row] : dumpTable()) sources.insert(key.substr(0, key.find('\\')));
        EXPECT_EQ(subkeys(TBLSYNC_KEY_REPORTTABLE), std::vector(sources.begin(), sources.end()));
    }
    EXPECT_TRUE(keyExists(TBLSYNC_KEY_REPORTTABLE));
}

// Every entry carries the product that imported it; the last import takes an
// entry over, an update makes the product's entries exactly its files' and
// calls back only when that changed something, a removal takes only what
// the product still owns. The traditional table, its path written with
// backslashes or not, fills what no product owns, with owner "".
TEST(TblsyncCopy, ProductAndTraditionalEntriesFollowEachCopy) {
    const std::string a = writeTable(
        "a", "# A\nDisk,1,ERROR,failed, replace\r\nDisk,2,WARNING,slow\n\nFan,10,INFO,ok\n");
    const std::string b = writeTable("b", "Fan,11,ERROR,stopped\nPower,5,info,on");
    const std::string a2 =
        writeTable("a2", "Disk,1,ERROR,failed\nFan,10,INFO,ok\nTemp,3,WARNING,hot\n");
    const std::string o = writeTable("o", "Disk,1,WARNING,other\n"),
                      f = writeTable("f", "Fan,10,INFO,ok\n");
    const std::string p = writeTable("p", "Mixed,7,ERROR,product\n"), t1 = "\\opt\\orv\\tables\\t1";
    writeTable("t1", "Legacy,1,INFO,one\nLegacy,2,INFO,two\nMixed,7,INFO,trad\n");
    const std::string t2 = writeTable("t2", "Legacy,1,WARNING,new\nMixed,8,INFO,t8\n");
    const std::string t3 = writeTable("t3", "Mixed,7,INFO,trad\n");
    const std::string first =
        "Disk\\1=ERROR,failed, replace,P;Disk\\2=WARNING,slow,P;"
        "Fan\\10=INFO,ok,P;Fan\\11=ERROR,stopped,P;Power\\5=info,on,P;";
    const std::string mine = "Disk\\1=ERROR,failed,P;Fan\\10=INFO,ok,P;Temp\\3=WARNING,hot,P;";
    const std::string taken = "Disk\\1=WARNING,other,O;Fan\\10=INFO,ok,P;Temp\\3=WARNING,hot,P;";
    const std::string other = "Disk\\1=WARNING,other,O;", mixed = "Mixed\\7=ERROR,product,P;";
    const std::string legacy = "Legacy\\1=WARNING,new,;", t8 = "Mixed\\8=INFO,t8,;";
    setSaveParam("TablePath", pathList({a, b}));
    runSteps({{'C', "P", {a, b}, first, 0, "Disk\0Fan\0Power\0"s},
              {'U', "P", {a, b}, first, 0, "Disk\0Fan\0Power\0"s},
              {'U', "P", {a2}, mine, 1, "Disk\0Fan\0Temp\0"s},
              {'C', "O", {o}, taken, 1, "Disk\0"s},
              {'u', "P", {a2}, mine, 1},
              {'C', "O", {o}, taken, 1},
              {'U', "P", {f}, other + "Fan\\10=INFO,ok,P;", 2, "Fan\0"s},
              {'R', "P", {"Disk", "Fan", "Temp", "Power"}, other, 2},
              {'R', "O", {"", "Ba\\d", "Disk"}, "", 2},
              {'C', "P", {p}, mixed, 2},
              {'T', nullptr, {t1}, "Legacy\\1=INFO,one,;Legacy\\2=INFO,two,;" + mixed, 2},
              {'T', nullptr, {t2}, legacy + mixed + t8, 2},
              {'R', "P", {"Mixed"}, legacy + t8, 2},
              {'T', nullptr, {t3}, "Mixed\\7=INFO,trad,;", 2}});
    EXPECT_EQ(saveParam("TablePath"), pathList({a, b}));
}

// How the lines of a table file become entries.
TEST(TblsyncCopy, LinesBecomeEntries) {
    const std::string longText(4096 - 10, 't');  // a line of 4096 bytes with its CR fits
    const std::pair<std::string, std::string> cases[] = {
        {"  S , 42 , Warning ,text, with, commas \n", "S\\42=Warning,text, with, commas ,P;"},
        {"S,0004294967295,INFO,max\n", "S\\4294967295=INFO,max,P;"},
        {"S,1,INFO,\n", "S\\1=INFO,,P;"},
        {"S,1,INFO,first\nS,01,ERROR,second\n", "S\\1=ERROR,second,P;"},
        {"S,1,INFO,a\ns,2,INFO,b\n", "S\\1=INFO,a,P;S\\2=INFO,b,P;"},
        {"S,1,INFO," + longText + "\r\n", "S\\1=INFO," + longText + ",P;"},
        {"# only a comment\n\n  \t\n  # indented comment\r\n", ""}};
    for (const auto &[lines, expected] : cases) {
        ASSERT_EQ(copy('R', "P", {"S"}) + copy('C', "P", {writeTable("case", lines)}), 0);
        EXPECT_EQ(table(), expected) << lines.substr(0, 40);
    }
}

// A copy with any bad file changes nothing, in every mode, and says why.
TEST(TblsyncCopy, FailedCopyLeavesTableUnchanged) {
    ASSERT_EQ(copy('C', "Prod", {writeTable("good.tbl", "Keep,1,ERROR,kept\n")}), 0);
    ASSERT_EQ(mkdir("/opt/orv/tables/dir.tbl", 0755) + mkfifo("/opt/orv/tables/fifo.tbl", 0644), 0);
    std::string many;
    for (int i = 0; i <= 100000; ++i) many += "Many," + std::to_string(i) + ",INFO,x\n";
    const std::tuple<const char *, std::string, int> bad[] = {
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
        {"over 100000 entries", writeTable("b9.tbl", many), 13}};
    const std::string before = table() + saveParam("RegisterSrc");
    const std::string first = writeTable("first.tbl", "New,1,INFO,would be added\n");
    g_callbacks = 0;
    for (const auto &[why, path, code] : bad) {
        SCOPED_TRACE(why);
        for (char mode : "CUT"s)
            EXPECT_EQ(
                copy(mode, "Prod", mode == 'T' ? std::vector{path} : std::vector{first, path}),
                code)
                << mode;
        EXPECT_EQ(table() + saveParam("RegisterSrc"), before);
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
                bool refused = copy('C', "Prod", {path}) != 0 && copy('T', nullptr, {path}) != 0;
                ::unlink(link.c_str());
                return refused;
            });
        }
    }
}

TEST(TblsyncCopy, MalformedRequestsFailWithInvalidParameter) {
    void *tooLong[] = {arg("CREATE"), arg("Prod"), arg("x"), arg("y"), arg("z"), nullptr};
    void *unterminated[] = {arg("CREATE"), arg("Prod"), arg("not a terminator")};
    void *noProduct[] = {arg("CREATE"), nullptr, nullptr};  // from its second word: no mode word
    setSaveParam("ReportTable", pathList({writeTable("t.tbl", "S,1,INFO,x\n")}));
    const std::tuple<const char *, uint64_t, DWORD, void **> cases[] = {
        {"no vector", sizeof(RTCopyRequest), 2, nullptr},
        {"wrong size", 48, 2, tooLong},
        {"no arguments", sizeof(RTCopyRequest), 0, tooLong},
        {"too many", sizeof(RTCopyRequest), 5, tooLong},
        {"count mismatch", sizeof(RTCopyRequest), 2, unterminated},
        {"null product", sizeof(RTCopyRequest), 2, noProduct},
        {"null mode word", sizeof(RTCopyRequest), 1, noProduct + 1}};
    for (const auto &[why, size, argc, argv] : cases) {
        RTCopyRequest request{size, 0, 0, 0, 0, 100, 0, nullptr, 0, argc, argv};
        EXPECT_EQ(RTCopy(&request, 0), 87) << why;
    }
    EXPECT_EQ(RTCopy(nullptr, 0), 87);
    EXPECT_EQ(rtcopy({arg("DELETE"), arg("Prod")}), 87);
    EXPECT_EQ(rtcopy({arg("UPDATE"), arg("Prod")}), 87);
    EXPECT_EQ(rtcopy({arg("CREATE"), arg("")}), 87);
    EXPECT_EQ(table(), "");
}

// Four paths of 86 bytes with their NULs: two fit beside the closing NUL.
TEST(TblsyncCopy, RegisterPathKeepsWholePathsWithin254Bytes) {
    std::vector<std::string> files;
    for (char c : "abcd"s) files.push_back(writeTable(std::string(70, c), c + ",1,INFO,x\n"s));
    ASSERT_EQ(copy('C', "Prod", files), 0);
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
        // Until the pipe closes; the pause leaves the copier room, as a
        // snapshot holds the write lock.
        for (char byte; read(done[0], &byte, 1) != 0; usleep(2000)) {
            if (RegBeginTransaction() != ERROR_SUCCESS) continue;
            const size_t seen = dumpTable().size();
            RegRollbackTransaction();
            if (seen != 0 && seen != 200) return 1;
        }
        return 0;
    });
    close(done[0]);
    for (int round = 0; round < 10; ++round)
        EXPECT_EQ(copy('C', "Prod", {file}) + copy('R', "Prod", {"Src0", "Src1"}), 0);
    close(done[1]);
    EXPECT_EQ(reader.wait(), 0);
}
