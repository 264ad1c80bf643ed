// The report information file reader.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "lib_helpers.h"
#include "registry_files.h"

namespace {

using namespace std::string_literals;
using namespace lib_test;

const std::string kPath = std::string(kInfDir) + "/test.inf";

Record readBytes(const std::string &bytes, const std::string &path = kPath) {
    writeFile(path, bytes);
    return Record(QORPPLX_readRI(path.c_str()));
}

// What a file yields; fields not named stay empty.
struct Fields {
    std::string productName{}, displayName{}, languageId{}, productId{}, version{};
    std::vector<std::string> tables{};
};

void expectFields(const PPInfo &p, const Fields &f, const std::string &what) {
    EXPECT_EQ(p.ProductName, f.productName) << what;
    EXPECT_EQ(p.DisplayName, f.displayName) << what;
    EXPECT_EQ(p.LanguageID, f.languageId) << what;
    EXPECT_EQ(p.ProductID, f.productId) << what;
    EXPECT_EQ(p.Version, f.version) << what;
    EXPECT_EQ(tablesOf(p), f.tables) << what;
}

TEST(ReadRI, LinesAndTheFieldsTheyFill) {
    struct Case {
        const char *what;
        std::string bytes;
        Fields expected;
    } cases[] = {
        {"typical file",
         "ProductName=\"Alpha\"\nDisplayName=\"Alpha Monitor\"\nLanguageID=\"E\"\n"
         "ProductID=120\nVersion=\"2.1\"\nReportTableName=\"/data/table1, /data/table2\"\n",
         {"Alpha", "Alpha Monitor", "1033", "120", "2.1", {"/data/table1", "/data/table2"}}},
        {"empty file", "", {}},
        {"blanks around =", "  ProductName   =   \"Alpha\"  ", {"Alpha"}},
        {"lower-case key", "productname=\"Alpha\"", {}},
        {"quoted key unquoted", "ProductName=Alpha", {}},
        {"ProductID quoted", "ProductID=\"120\"", {}},
        {"ProductID keeps trailing blanks", "ProductID =  120  ", {.productId = "120  "}},
        {"CR LF", "ProductID=120\r\nVersion=\"1.0\"\r\n", {.productId = "120\r", .version = "1.0"}},
        {"inner quotes, remark dropped",
         "DisplayName=\"say \"hi\" now\" # remark",
         {.displayName = "say \"hi\" now"}},
        {"comment-like prefix", "#ProductName=\"Alpha\"", {"Alpha"}},
        {"key with a blank", "Product Name=\"Alpha\"", {}},
        {"last occurrence wins", "Version=\"1\"\nVersion=\"2\"", {.version = "2"}},
        {"language J", "LanguageID=\"J\"", {.languageId = "1041"}},
        {"language EN", "LanguageID=\"EN\"", {.languageId = "1041"}},
        {"tables: empty pieces",
         "ReportTableName=\"one, two ,,three,\"",
         {.tables = {"one", "two", "three"}}},
        {"tables: one-character piece", "ReportTableName=\"a,b\"", {.tables = {"b"}}},
        {"tables: one blank dropped", "ReportTableName=\"one, ,two\"", {.tables = {"one", "two"}}},
        {"tables: two blanks kept",
         "ReportTableName=\"one,  ,two\"",
         {.tables = {"one", "", "two"}}},
        {"tables: empty value", "ReportTableName=\"\"", {}},
        {"tables: tabs stripped",
         "ReportTableName=\"\t/t/a\t\v,/t/b\f\"",
         {.tables = {"/t/a", "/t/b"}}},
        {"tables: later line replaces",
         "ReportTableName=\"/a1,/b1,/c1\"\nReportTableName=\"/d1\"",
         {.tables = {"/d1"}}},
        {"tables: beyond the fourth dropped",
         "ReportTableName=\"/1,/2,/3,/4,/5,/6\"",
         {.tables = {"/1", "/2", "/3", "/4"}}},
        {"last line without line end",
         "Version=\"1\"\nProductID=7",
         {.productId = "7", .version = "1"}},
        {"0xFF ends a line", "ProductID=7\xffVersion=\"1\"", {.productId = "7", .version = "1"}},
        {"NUL ends what a line shows",
         "Version=\"1\"\0junk\"\nProductID=7\0x"s,
         {.productId = "7", .version = "1"}},
        {"bytes from 0x80 kept",
         "DisplayName=\"\x83\x41\x83\x8b\x83\x74\x83\x40\xa4\xa2\"",
         {.displayName = "\x83\x41\x83\x8b\x83\x74\x83\x40\xa4\xa2"}},
    };
    for (const Case &c : cases) {
        Record p = readBytes(c.bytes);
        ASSERT_NE(p, nullptr) << c.what;
        expectFields(*p, c.expected, c.what);
    }
}

TEST(ReadRI, ValuesLongerThanTheirFieldAreCut) {
    std::string longTable = "/" + std::string(300, 't');
    std::string bytes = "Version=\"" + std::string(30, '1') +
                        "\"\nProductID=" + std::string(100, '2') + "\nReportTableName=\" " +
                        longTable + " ,/b\"\n";
    Record p = readBytes(bytes);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(p->Version), std::string(19, '1'));
    EXPECT_EQ(std::string(p->ProductID), std::string(63, '2'));
    EXPECT_EQ(tablesOf(*p), (std::vector<std::string>{longTable.substr(0, 253), "/b"}));
}

TEST(ReadRI, RecordCarriesPathTimesAndNoListState) {
    writeFile(kPath, "ProductName=\"Alpha\"\n");
    timespec times[2] = {{1000, 0}, {2000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, kPath.c_str(), times, 0), 0);
    struct stat status {};
    ASSERT_EQ(stat(kPath.c_str(), &status), 0);

    Record p(QORPPLX_readRI(kPath.c_str()));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->FileName, kPath);
    EXPECT_EQ(p->access, 1000);
    EXPECT_EQ(p->modify, 2000);
    EXPECT_EQ(p->change, status.st_ctim.tv_sec);
    EXPECT_EQ(p->next, nullptr);
    EXPECT_EQ(p->op, PPOP_NONE);
    EXPECT_EQ(p->Manual, PPTYPE_AUTOMATIC);
}

TEST(ReadRI, LineLengthLimit) {
    auto line = [](size_t length) {
        std::string value(length - std::strlen("Version=\"\""), '9');
        return "Version=\"" + value + "\"";
    };
    Record fits = readBytes("ProductName=\"A\"\n" + line(510) + "\n");
    ASSERT_NE(fits, nullptr);
    EXPECT_STREQ(fits->ProductName, "A");
    EXPECT_EQ(readBytes("ProductName=\"A\"\n" + line(511) + "\n"), nullptr);
    EXPECT_EQ(readBytes(line(511)), nullptr);  // no line end needed
    EXPECT_EQ(readBytes(std::string(100000, 'x') + "\nProductName=\"A\"\n"), nullptr);
    Record crlf = readBytes(std::string(509, '#') + "\r\n");  // the CR is the 510th character
    EXPECT_NE(crlf, nullptr);
}

TEST(ReadRI, PathsThatGiveNullAndPathsThatDoNot) {
    std::string dir = std::string(kInfDir) + "/sub";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    std::string tooLong = std::string(kInfDir) + "/" + std::string(44, 'n');
    writeFile(tooLong, "ProductName=\"A\"\n");
    std::string longest = std::string(kInfDir) + "/" + std::string(43, 'n');
    writeFile(longest, "ProductName=\"A\"\n");

    EXPECT_EQ(QORPPLX_readRI(dir.c_str()), nullptr);
    EXPECT_EQ(QORPPLX_readRI("/opt/orv/report/inf/missing"), nullptr);
    EXPECT_EQ(QORPPLX_readRI(tooLong.c_str()), nullptr);
    Record fits(QORPPLX_readRI(longest.c_str()));
    ASSERT_NE(fits, nullptr);
    EXPECT_EQ(fits->FileName, longest);

    // A pipe that nobody writes reads as an empty file, without blocking.
    std::string fifo = std::string(kInfDir) + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    Record pipe(QORPPLX_readRI(fifo.c_str()));
    ASSERT_NE(pipe, nullptr);
    EXPECT_STREQ(pipe->ProductName, "");
}

// The host may run under a UTF-8 locale; the file is still single-byte text
// and the classes are those of the C locale.
TEST(ReadRI, SameResultUnderAUtf8Locale) {
    ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
    Record p = readBytes(
        "\xc3\xa9ProductName=\"Alpha\"\n"                  // é is no letter of a key
        "DisplayName=\"\x83\x41\x83\x8b\x83\x74\"\n"       // Shift_JIS, invalid UTF-8
        "ProductID=\xa4\xa2\xa4\xa4\n"                     // EUC-JP
        "ReportTableName=\"\xc2\xa0/t/a\xc2\xa0,/t/b\"\n"  // no-break space is no white space
    );
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p->ProductName, "Alpha");
    EXPECT_STREQ(p->DisplayName, "\x83\x41\x83\x8b\x83\x74");
    EXPECT_STREQ(p->ProductID, "\xa4\xa2\xa4\xa4");
    EXPECT_EQ(tablesOf(*p), (std::vector<std::string>{"\xc2\xa0/t/a\xc2\xa0", "/t/b"}));
    EXPECT_STREQ(std::setlocale(LC_ALL, nullptr), "C.UTF-8");  // the host's locale stays
}

// Every text field stays terminated inside its array and the count inside 0..4.
void expectInvariants(const PPInfo &p, const std::string &what) {
    const std::pair<const char *, size_t> texts[] = {
        {p.FileName, sizeof p.FileName},
        {p.ProductName, sizeof p.ProductName},
        {p.DisplayName, sizeof p.DisplayName},
        {p.LanguageID, sizeof p.LanguageID},
        {p.ProductID, sizeof p.ProductID},
        {p.Version, sizeof p.Version},
        {p.ReportTablePath[0], PPINFO_REPORTTABLEPATH_SIZE},
        {p.ReportTablePath[1], PPINFO_REPORTTABLEPATH_SIZE},
        {p.ReportTablePath[2], PPINFO_REPORTTABLEPATH_SIZE},
        {p.ReportTablePath[3], PPINFO_REPORTTABLEPATH_SIZE}};
    for (const auto &[text, size] : texts) EXPECT_LT(strnlen(text, size), size) << what;
    EXPECT_GE(p.NumReportTablePath, 0) << what;
    EXPECT_LE(p.NumReportTablePath, PPINFO_MAX_REPORTTABLES) << what;
    EXPECT_EQ(p.op, PPOP_NONE) << what;
    EXPECT_EQ(p.next, nullptr) << what;
}

// A file of the largest size allowed is read to its end; one byte more and
// it is refused before it is read.
TEST(ReadRI, FilesUpToTheSizeLimitAreReadToTheEnd) {
    std::string line = "ReportTableName=\"" + std::string(200, 'a') + "," + std::string(200, 'b') +
                       "\" # padding\n";
    const std::string last = "ProductName=\"Last\"\n";
    std::string bytes;
    while (bytes.size() + line.size() + last.size() <= QORPPLX_REPORT_INF_MAX_SIZE) bytes += line;
    bytes += std::string(QORPPLX_REPORT_INF_MAX_SIZE - bytes.size() - last.size(), '\n') + last;
    ASSERT_EQ(bytes.size(), size_t{QORPPLX_REPORT_INF_MAX_SIZE});
    Record p = readBytes(bytes);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p->ProductName, "Last");
    EXPECT_EQ(p->NumReportTablePath, 2);
    EXPECT_EQ(readBytes(bytes + "\n"), nullptr);
}

// Every stored fuzz input still reads without harm.
TEST(ReadRI, SeedCorpusReplays) {
    size_t files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(RECORDS_FUZZ_CORPUS)) {
        Record p = readBytes(readFile(entry.path()));
        if (p != nullptr) expectInvariants(*p, entry.path().filename());
        ++files;
    }
    EXPECT_GT(files, 0u);
}

// A report information file that leads to one of the registry's files is never
// opened, by the reader or the scan: closing it would drop the registry's
// locks in this process and lose other processes' writes.
TEST(ReadRI, NeverOpensTheRegistrysFiles) {
    const std::string link = std::string(kInfDir) + "/x.inf";
    for (bool hard : {false, true}) {
        for (const std::string &target : registry_files::databaseFiles()) {
            std::string what = target + (hard ? " hard" : " symbolic");
            registry_files::expectNoWriteLost(what, [&] {
                registry_files::makeLink(target, link, hard);
                Record read(QORPPLX_readRI(link.c_str()));
                PPInfo *list = nullptr;
                bool scanned = QORPPLX_getPPInfo(&list) == 0 || list == nullptr;
                QORPPLX_PPInfoClear(list);
                ::unlink(link.c_str());
                return !read && scanned;
            });
        }
    }
}

}  // namespace
