// The setup tool as a whole program: its commands, console text and exit
// status.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "amirtupt.h"
#include "files.h"
#include "json_bytes.h"
#include "w32compat.h"

using namespace orv_test;

namespace {

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs orvpp with the arguments and collects its output and exit status.
Result orvpp(const std::vector<std::string> &args) {
    const std::string outPath = "/opt/orv/orvpp.out";
    const std::string errPath = "/opt/orv/orvpp.err";
    pid_t pid = ::fork();
    if (pid == 0) {
        if (!std::freopen(outPath.c_str(), "w", stdout) ||
            !std::freopen(errPath.c_str(), "w", stderr)) {
            ::_exit(127);
        }
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(ORVPP_PATH));
        for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(ORVPP_PATH, argv.data());
        ::_exit(127);
    }
    Result result;
    int status = 0;
    if (::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    }
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

std::string informationFile(const std::string &product, const std::string &version,
                            const std::string &table) {
    std::filesystem::create_directories(kTablesDir);
    return writeProduct(std::string(kTablesDir) + "/" + product + "-" + version + ".inf", product,
                        version, table, /*language=*/"J", /*productId=*/"31");
}

TEST(Orvpp, CommandsReportTheProductResultCode) {
    const std::string table = writeTable("tool.tbl", tableRows("SrcTool", 1, 4));
    const std::string v1 = informationFile("Tool", "1.0", table);
    const std::string v2 = informationFile("Tool", "2.0", table);
    const std::string autoFile = informationFile("AutoTool", "1.0", table);
    const std::string missing = "/opt/orv/no-such.inf";

    // A refused file gives 0x10 and one "orvpp: " line on standard error.
    struct Step {
        std::vector<std::string> args;
        int status;
        std::string out;  // exact standard output
    };
    const Step steps[] = {
        {{"install", v1}, 0, "Product \"Tool\" INSTALLED successfully\n"},
        {{"install", v1}, 0x01, "Product \"Tool\" exist\n"},
        {{"update", v1}, 0x03, "Your information file is not a HIGHER VERSION one\n"},
        {{"update", v2}, 0, "Product \"Tool\" has been UPDATED successfully\n"},
        {{"update-registry", v1}, 0, ""},
        {{"update", "--automatic", v2}, 0x04, "You can't update the product not owned\n"},
        {{"install", "--automatic", autoFile}, 0, "Product \"AutoTool\" INSTALLED successfully\n"},
        {{"remove", "AutoTool"}, 0x02, "You can't remove the product not owned\n"},
        {{"remove", "AutoTool", "--type", "0"}, 0, "Product \"AutoTool\" is REMOVED sucessfully\n"},
        {{"remove", "Tool", "--type", "any"}, 0, "Product \"Tool\" is REMOVED sucessfully\n"},
        {{"remove", "Tool"}, 0x01, "Product \"Tool\" is not exist\n"},
        {{"install", missing}, 0x10, ""},
        {{"show", missing}, 0x10, ""},
        {{"install", kTablesDir}, 0x10, ""},
    };
    for (const Step &step : steps) {
        std::string command;
        for (const auto &a : step.args) command += a + " ";
        SCOPED_TRACE(command);
        Result r = orvpp(step.args);
        EXPECT_EQ(r.status, step.status);
        EXPECT_EQ(r.out, step.out);
        if (step.status == 0x10) {
            EXPECT_EQ(r.err.rfind("orvpp: ", 0), 0u) << r.err;
            EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        } else {
            EXPECT_EQ(r.err, "");
        }
    }
}

TEST(Orvpp, ShowListAndScanPrintRecords) {
    const std::string table = writeTable("show.tbl", tableRows("SrcShow", 1, 2));
    const std::string file = informationFile("Shown", "4.2", table);
    Result shown = orvpp({"show", file});
    EXPECT_EQ(shown.status, 0);
    EXPECT_NE(shown.out.find("*** No.1 ***\nFileName: " + file +
                             "\nProductName: Shown\n"
                             "ReportTablePath[0]: " +
                             table +
                             "\nDisplayName: Shown Monitor\n"
                             "LanguageID: 1041\nProductID: 31\nVersion: 4.2\n"),
              std::string::npos)
        << shown.out;

    ASSERT_EQ(orvpp({"install", file}).status, 0);
    Result listed = orvpp({"list"});
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(listed.out,
              "ProductName: Shown\nType: 1 (manual)\nVersion: 4.2\n"
              "DisplayName: Shown Monitor\nReportTablePath[0]: " +
                  table + "\n");

    writeFile(std::string(QORPPLX_REPORT_INF_DIR) + "/scanned.inf",
              "ProductName=\"Scanned\"\nVersion=\"1.0\"\n");
    Result scanned = orvpp({"scan"});
    EXPECT_EQ(scanned.status, 0);
    EXPECT_NE(scanned.out.find("ProductName: Scanned\n"), std::string::npos) << scanned.out;
    EXPECT_NE(scanned.out.find("op: CREATE\n"), std::string::npos) << scanned.out;
}

// Names and texts from product files never reach the terminal raw.
TEST(Orvpp, ListEscapesControlCharacters) {
    const std::string table = writeTable("esc.tbl", tableRows("SrcEsc", 1, 1));
    const std::string name = "Evil\x1b[31m\x1b]0;t\x07\rX";
    ASSERT_EQ(orvpp({"install", informationFile(name, "1.0", table)}).status, 0);
    Result listed = orvpp({"list"});
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(listed.out.find_first_of("\x1b\x07\r"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("ProductName: Evil\\x1B[31m\\x1B]0;t\\x07\\x0DX\n"),
              std::string::npos)
        << listed.out;
}

// Every stored value of every product, with its type; product names with
// quotes, control characters or bytes that are not UTF-8 come back byte for
// byte.
TEST(Orvpp, ListJsonShowsEveryStoredValue) {
    using json_bytes::carried;
    using nlohmann::json;
    EXPECT_EQ(orvpp({"list", "--json"}).out, "{\n  \"products\": []\n}\n");

    const std::string table = writeTable("json.tbl", tableRows("SrcJson", 1, 1));
    const std::string names[] = {"Say \"hi\"\x1b[31m\r", "Caf\xc3\xa9", "Latin1 caf\xe9\xfe"};
    for (const std::string &name : names) {
        ASSERT_EQ(orvpp({"install", informationFile(name, "2.5", table)}).status, 0) << name;
    }
    Result listed = orvpp({"list", "--json"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    std::map<std::string, std::map<std::string, json>> products;
    const json document = json::parse(listed.out, nullptr, false);
    for (const json &p : document["products"]) {
        for (const json &v : p["values"]) products[carried(p["name"])][v["name"]] = v;
    }
    ASSERT_EQ(products.size(), std::size(names)) << listed.out;
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(carried(products[name]["ProductName"]["data"]), name);
        EXPECT_EQ(products[name]["Manual"], json::parse(R"({"name": "Manual",
            "type": "REG_DWORD", "data": 1})"));
        EXPECT_EQ(products[name]["ReportTablePath"]["data"], json::array({table}));
    }
}

TEST(Orvpp, RootOptionRelocatesTheRegistry) {
    const std::string table = writeTable("root.tbl", tableRows("SrcRoot", 1, 2));
    const std::string file = informationFile("Rooted", "1.0", table);
    ::mkdir("/opt/elsewhere", 0755);
    ASSERT_EQ(orvpp({"--root", "/opt/elsewhere", "install", file}).status, 0);
    EXPECT_EQ(orvpp({"list"}).out, "");
    EXPECT_NE(orvpp({"list", "--root", "/opt/elsewhere"}).out.find("ProductName: Rooted\n"),
              std::string::npos);
}

TEST(Orvpp, UsageErrorsAndHelp) {
    Result help = orvpp({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("update-registry"), std::string::npos);
    Result removeHelp = orvpp({"remove", "--help"});
    EXPECT_EQ(removeHelp.status, 0);
    EXPECT_NE(removeHelp.out.find("--type"), std::string::npos);
    EXPECT_GE(orvpp({"remove", "X", "--type", "5"}).status, 100);
    EXPECT_GE(orvpp({}).status, 100);
    EXPECT_GE(orvpp({"install"}).status, 100);
}

}  // namespace
