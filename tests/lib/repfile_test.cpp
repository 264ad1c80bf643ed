// The report information file reader.
#include <clocale>
#include <filesystem>

#include "lib_helpers.h"
#include "registry_files.h"

using namespace std::string_literals;
const std::string kPath = std::string(kInfDir) + "/test.inf";

Record readBytes(const std::string &bytes, const std::string &path = kPath) {
    writeFile(path, bytes);
    return Record(QORPPLX_readRI(path.c_str()));
}

// A line of `length` characters that sets the version.
std::string versionLine(size_t length) {
    return "Version=\"" + std::string(length - std::strlen("Version=\"\""), '9') + "\"";
}

// A file of exactly the largest size allowed whose last line names the product.
std::string largestFile() {
    const std::string line = "ReportTableName=\"" + std::string(200, 'a') + "," +
                             std::string(200, 'b') + "\" # padding\n";
    const std::string last = "ProductName=\"Last\"\n";
    std::string bytes;
    while (bytes.size() + line.size() + last.size() <= QORPPLX_REPORT_INF_MAX_SIZE) bytes += line;
    return bytes + std::string(QORPPLX_REPORT_INF_MAX_SIZE - bytes.size() - last.size(), '\n') +
           last;
}

// The host may run under a UTF-8 locale; the file is still single-byte text
// and the classes are those of the C locale.
TEST(ReadRI, LinesAndTheFieldsTheyFill) {
    const std::string longTable = "/" + std::string(300, 't');
    const std::string none = "|||||";
    // What, the bytes, the fieldsOf the record (nullopt: the file is refused).
    const std::tuple<const char *, std::string, std::optional<std::string>> cases[] = {
        {"typical file",
         "ProductName=\"Alpha\"\nDisplayName=\"Alpha Monitor\"\nLanguageID=\"E\"\n"
         "ProductID=120\nVersion=\"2.1\"\nReportTableName=\"/data/table1, /data/table2\"\n",
         "Alpha|Alpha Monitor|1033|120|2.1|/data/table1,/data/table2"},
        {"empty file", "", none},
        {"blanks around =", "  ProductName   =   \"Alpha\"  ", "Alpha|||||"},
        {"lower-case key", "productname=\"Alpha\"", none},
        {"quoted key unquoted", "ProductName=Alpha", none},
        {"ProductID quoted", "ProductID=\"120\"", none},
        {"ProductID keeps trailing blanks", "ProductID =  120  ", "|||120  ||"},
        {"CR LF", "ProductID=120\r\nVersion=\"1.0\"\r\n", "|||120\r|1.0|"},
        {"inner quotes, remark dropped", "DisplayName=\"say \"hi\" now\" # x",
         "|say \"hi\" now||||"},
        {"comment-like prefix", "#ProductName=\"Alpha\"", "Alpha|||||"},
        {"no letter of a key before it", "\xc3\xa9ProductName=\"Alpha\"", "Alpha|||||"},
        {"key with a blank", "Product Name=\"Alpha\"", none},
        {"last occurrence wins", "Version=\"1\"\nVersion=\"2\"", "||||2|"},
        {"language EN", "LanguageID=\"EN\"", "||1041|||"},
        {"tables: empty pieces", "ReportTableName=\"one, two ,,three,\"", "|||||one,two,three"},
        {"tables: one-character piece", "ReportTableName=\"a,b\"", "|||||b"},
        {"tables: one blank dropped", "ReportTableName=\"one, ,two\"", "|||||one,two"},
        {"tables: two blanks kept", "ReportTableName=\"one,  ,two\"", "|||||one,,two"},
        {"tables: empty value", "ReportTableName=\"\"", none},
        {"tables: tabs stripped", "ReportTableName=\"\t/t/a\t\v,/t/b\f\"", "|||||/t/a,/t/b"},
        {"tables: no-break space is no white space",
         "ReportTableName=\"\xc2\xa0/t/a\xc2\xa0,/t/b\"", "|||||\xc2\xa0/t/a\xc2\xa0,/t/b"},
        {"tables: later line replaces", "ReportTableName=\"/a1,/b1,/c1\"\nReportTableName=\"/d1\"",
         "|||||/d1"},
        {"tables: beyond the fourth dropped", "ReportTableName=\"/1,/2,/3,/4,/5,/6\"",
         "|||||/1,/2,/3,/4"},
        {"values cut to their field",
         "Version=\"" + std::string(30, '1') + "\"\nProductID=" + std::string(100, '2') +
             "\nReportTableName=\" " + longTable + " ,/b\"\n",
         "|||" + std::string(63, '2') + "|" + std::string(19, '1') + "|" +
             longTable.substr(0, 253) + ",/b"},
        {"last line without line end", "Version=\"1\"\nProductID=7", "|||7|1|"},
        {"0xFF ends a line", "ProductID=7\xffVersion=\"1\"", "|||7|1|"},
        {"NUL ends what a line shows", "Version=\"1\"\0junk\"\nProductID=7\0x"s, "|||7|1|"},
        {"bytes from 0x80 kept", "DisplayName=\"\x83\x41\x83\x8b\xa4\xa2\"\nProductID=\xa4\xa2\n",
         "|\x83\x41\x83\x8b\xa4\xa2||\xa4\xa2||"},
        // A line of 510 characters is the longest; a longer one rejects the file.
        {"longest line", "ProductName=\"A\"\n" + versionLine(510) + "\n",
         "A||||" + std::string(19, '9') + "|"},
        {"CR as the 510th character", std::string(509, '#') + "\r\n", none},
        {"line too long", "ProductName=\"A\"\n" + versionLine(511) + "\n", std::nullopt},
        {"last line too long", versionLine(511), std::nullopt},
        // A file of the largest size is read to its end; one byte more is refused.
        {"largest file", largestFile(),
         "Last|||||" + std::string(200, 'a') + "," + std::string(200, 'b')},
        {"file too large", largestFile() + "\n", std::nullopt},
    };
    for (const char *locale : {"C", "C.UTF-8"}) {
        ASSERT_NE(std::setlocale(LC_ALL, locale), nullptr);
        for (const auto &[what, bytes, fields] : cases) {
            SCOPED_TRACE(std::string(what) + " under " + locale);
            Record p = readBytes(bytes);
            EXPECT_EQ(p ? std::optional(fieldsOf(*p)) : std::nullopt, fields);
        }
        EXPECT_STREQ(std::setlocale(LC_ALL, nullptr), locale);  // the host's locale stays
    }
}

// The record carries the file's path and times and no list state; a
// directory, a missing file and a path longer than the record holds give
// none; a pipe that nobody writes reads as an empty file, without blocking.
TEST(ReadRI, RecordCarriesThePathAndTimesOfAFileThatIsThere) {
    writeFile(kPath, "ProductName=\"Alpha\"\n");
    timespec times[2] = {{1000, 0}, {2000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, kPath.c_str(), times, 0), 0);
    struct stat status {};
    ASSERT_EQ(stat(kPath.c_str(), &status), 0);
    Record p(QORPPLX_readRI(kPath.c_str()));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->FileName, kPath);
    EXPECT_EQ(std::vector<time_t>({p->access, p->modify, p->change}),
              std::vector<time_t>({1000, 2000, status.st_ctim.tv_sec}));
    EXPECT_TRUE(p->next == nullptr && p->op == PPOP_NONE && p->Manual == PPTYPE_AUTOMATIC);

    const std::string dir = std::string(kInfDir) + "/sub", fifo = std::string(kInfDir) + "/pipe";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    EXPECT_EQ(QORPPLX_readRI(dir.c_str()), nullptr);
    EXPECT_EQ(QORPPLX_readRI("/opt/orv/report/inf/missing"), nullptr);
    EXPECT_EQ(readBytes("ProductName=\"A\"\n", std::string(kInfDir) + "/" + std::string(44, 'n')),
              nullptr);
    const std::string longest = std::string(kInfDir) + "/" + std::string(43, 'n');
    Record fits = readBytes("ProductName=\"A\"\n", longest);
    ASSERT_NE(fits, nullptr);
    EXPECT_EQ(fits->FileName, longest);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    Record pipe(QORPPLX_readRI(fifo.c_str()));
    ASSERT_NE(pipe, nullptr);
    EXPECT_STREQ(pipe->ProductName, "");
}

// Every stored fuzz input still reads without harm, the count inside 0..4 (the
// texts' cuts are the table's rows).
TEST(ReadRI, SeedCorpusReplays) {
    size_t files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(RECORDS_FUZZ_CORPUS)) {
        SCOPED_TRACE(entry.path().filename());
        ++files;
        Record p = readBytes(readFile(entry.path()));
        EXPECT_TRUE(!p || (p->NumReportTablePath >= 0 && p->op == PPOP_NONE && !p->next &&
                           p->NumReportTablePath <= PPINFO_MAX_REPORTTABLES));
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
