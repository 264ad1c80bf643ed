// orvreg driven as a program: what it prints, what it leaves in the registry
// and its exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "files.h"
#include "json_bytes.h"
#include "registry_probe.h"
#include "w32compat.h"

namespace {

using namespace orv_test;

struct Result {
    int status = -1;
    std::string out, err;
};

Result orvreg(std::vector<std::string> args) {
    const std::string outPath = "/opt/orvreg.out", errPath = "/opt/orvreg.err";
    args.insert(args.begin(), ORVREG_PATH);
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
        execv(argv[0], argv.data());
        _exit(127);
    }
    Result r;
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) r.status = WEXITSTATUS(status);
    r.out = readFile(outPath);
    r.err = readFile(errPath);
    return r;
}

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

TEST(Orvreg, AddQueryTreeAndDelete) {
    const std::string key = "HKLM\\SOFTWARE\\ORV\\Demo";
    struct Add {
        const char *name;
        DWORD type;
        std::string stored;
        const char *shown;  // after the name
        std::vector<std::string> args;
    };
    const Add adds[] = {
        {"Text", REG_SZ, {"hello world\0", 12}, "REG_SZ    hello world", {"--data", "hello world"}},
        {"Lang",
         REG_DWORD,
         {"\x11\x04\0\0", 4},
         "REG_DWORD    1041",
         {"--type", "dword", "--data", "0x411"}},
        {"Big",
         REG_QWORD,
         {"\0\0\0\0\1\0\0\0", 8},
         "REG_QWORD    4294967296",
         {"--type", "qword", "--data", "4294967296"}},
        {"Bytes",
         REG_BINARY,
         {"\x01\xab\xff", 3},
         "REG_BINARY    hex: 01 ab ff",
         {"--type", "binary", "--data", "01 AB:ff"}},
        {"Paths",
         REG_BINARY,
         {"/a/t1.tbl\0/b/t2.tbl\0\0", 21},
         "REG_BINARY    list: \"/a/t1.tbl\" \"/b/t2.tbl\"",
         {"--type", "list", "--data", "/a/t1.tbl", "--data", "/b/t2.tbl"}},
    };
    for (const Add &a : adds) {
        std::vector<std::string> args = {"add", key, a.name};
        args.insert(args.end(), a.args.begin(), a.args.end());
        Result r = orvreg(args);
        ASSERT_EQ(r.status, 0) << a.name << ": " << r.err;
        auto stored = readValue("SOFTWARE\\ORV\\Demo", a.name);
        ASSERT_TRUE(stored) << a.name;
        EXPECT_EQ(stored->bytes, a.stored) << a.name;
        EXPECT_EQ(stored->type, a.type) << a.name;
    }
    ASSERT_EQ(orvreg({"add", "SOFTWARE\\ORV\\Demo\\Sub\\Deeper"}).status, 0);

    Result query = orvreg({"query", "software\\orv\\demo"});
    ASSERT_EQ(query.status, 0) << query.err;
    std::string expected = "HKEY_LOCAL_MACHINE\\software\\orv\\demo\n";
    for (const Add &a : adds) expected += std::string("    ") + a.name + "    " + a.shown + "\n";
    expected += "HKEY_LOCAL_MACHINE\\software\\orv\\demo\\Sub\n";
    EXPECT_EQ(query.out, expected);

    Result one = orvreg({"query", key, "LANG"});
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(one.out, "HKEY_LOCAL_MACHINE\\SOFTWARE\\ORV\\Demo\n    Lang    REG_DWORD    1041\n");

    Result tree = orvreg({"tree", "SOFTWARE\\ORV"});
    ASSERT_EQ(tree.status, 0) << tree.err;
    EXPECT_TRUE(
        contains(tree.out, "HKEY_LOCAL_MACHINE\\SOFTWARE\\ORV\n  Demo\\\n    Text    REG_SZ"))
        << tree.out;
    EXPECT_TRUE(contains(tree.out, "\n    Sub\\\n      Deeper\\\n")) << tree.out;

    ASSERT_EQ(orvreg({"delete", key, "text"}).status, 0);
    EXPECT_TRUE(keyExists("SOFTWARE\\ORV\\Demo"));
    EXPECT_FALSE(readValue("SOFTWARE\\ORV\\Demo", "Text"));
    Result del = orvreg({"delete", key});
    ASSERT_EQ(del.status, 0) << del.err;
    EXPECT_TRUE(keyGone("SOFTWARE\\ORV\\Demo"));
    HKEY orv = nullptr;
    EXPECT_EQ(RegOpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\ORV", &orv), ERROR_SUCCESS);
    RegCloseKey(orv);
}

// Bad input and failing calls: a nonzero status, one line on standard
// error, nothing written.
TEST(Orvreg, ErrorsExitNonzeroWithOneLine) {
    ASSERT_EQ(orvreg({"add", "SOFTWARE\\Keep", "V", "--data", "x"}).status, 0);
    struct Case {
        std::vector<std::string> args;
        int status;
        const char *message;
    };
    const Case cases[] = {
        {{"query", "SOFTWARE\\Missing"}, 1, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Missing: not found"},
        {{"query", "SOFTWARE\\Keep", "Nope"}, 1, "value Nope: not found"},
        {{"delete", "SOFTWARE\\Keep", "Nope"}, 1, "not found"},
        {{"delete", "SOFTWARE\\Missing"}, 1, "not found"},
        {{"delete", "HKLM"}, 1, "cannot be deleted"},
        {{"add", "SOFTWARE\\Keep", "V", "--type", "dword", "--data", "4294967296"}, 2, "range"},
        {{"add", "SOFTWARE\\Keep", "V", "--type", "dword", "--data", "-1"}, 2, "not a number"},
        {{"add", "SOFTWARE\\Keep", "V", "--type", "binary", "--data", "abc"}, 2, "hex"},
        {{"add", "SOFTWARE\\Keep", "V", "--type", "text"}, 2, "--type"},
        {{"add", "SOFTWARE\\\\Bad", "V"}, 1, "invalid name"},
        {{"frobnicate"}, 2, ""},
    };
    for (const Case &c : cases) {
        Result r = orvreg(c.args);
        SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_TRUE(contains(r.err, c.message)) << r.err;
        if (c.status == 1) {
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
    }
    EXPECT_EQ(readValue("SOFTWARE\\Keep", "V").value_or(Value{}).bytes, std::string("x\0", 2));
}

TEST(Orvreg, ReportTableRows) {
    auto entry = [](const char *source, const char *event, const char *severity, const char *owner,
                    const char *text) {
        std::string path =
            std::string("SOFTWARE\\ORV\\QORAlertMan\\ReportTable\\") + source + "\\" + event;
        HKEY h = nullptr;
        ASSERT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, path.c_str(), &h), ERROR_SUCCESS);
        for (auto [name, value] : {std::pair{"Severity", severity}, std::pair{"Text", text},
                                   std::pair{"Owner", owner}}) {
            ASSERT_EQ(RegSetValueEx(h, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value),
                                    static_cast<DWORD>(std::strlen(value) + 1)),
                      ERROR_SUCCESS);
        }
        RegCloseKey(h);
    };
    Result empty = orvreg({"table"});
    ASSERT_EQ(empty.status, 0) << empty.err;
    EXPECT_EQ(empty.out, "SOURCE  EVENT ID  SEVERITY  OWNER  TEXT\n");

    entry("Disk", "100", "ERROR", "", "Disk failed");
    entry("Disk", "20", "INFO", "Prod", "Disk ok");
    entry("App", "7", "WARNING", "Other", "Low memory");
    Result r = orvreg({"table"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "SOURCE  EVENT ID  SEVERITY  OWNER          TEXT\n"
              "App     7         WARNING   Other          Low memory\n"
              "Disk    20        INFO      Prod           Disk ok\n"
              "Disk    100       ERROR     (traditional)  Disk failed\n");
    Result disk = orvreg({"table", "--source", "disk"});
    ASSERT_EQ(disk.status, 0);
    EXPECT_FALSE(contains(disk.out, "App")) << disk.out;
    EXPECT_TRUE(contains(disk.out, "Disk    100")) << disk.out;
}

// Keys created and deleted by another process while the tool walks them: each
// walk shows one consistent state and never fails on a key that went away.
TEST(Orvreg, TreeAndTableReadOneSnapshotUnderChurn) {
    auto churn = [](const std::string &base, int round) {
        std::string key = base + "\\K" + std::to_string(round % 8);
        std::string sub = key + "\\Sub";
        HKEY h = nullptr;
        if (RegCreateKey(HKEY_LOCAL_MACHINE, sub.c_str(), &h) == ERROR_SUCCESS) {
            RegSetValueEx(h, "Severity", 0, REG_SZ, reinterpret_cast<const BYTE *>("INFO"), 5);
            RegCloseKey(h);
        }
        RegDeleteKey(HKEY_LOCAL_MACHINE, sub.c_str());
        RegDeleteKey(HKEY_LOCAL_MACHINE, key.c_str());
    };
    pid_t writer = fork();
    if (writer == 0) {
        for (int round = 0;; ++round) {
            churn("SOFTWARE\\ORV\\Churn", round);
            churn("SOFTWARE\\ORV\\QORAlertMan\\ReportTable\\Churn", round);
        }
    }
    ASSERT_GT(writer, 0);
    int failures = 0;
    for (int i = 0; i < 40; ++i) {
        Result tree = orvreg({"tree", "SOFTWARE\\ORV"});
        Result table = orvreg({"table"});
        if (tree.status != 0 || table.status != 0) ++failures;
        EXPECT_EQ(tree.status, 0) << tree.err;
        EXPECT_EQ(table.status, 0) << table.err;
    }
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
    EXPECT_EQ(failures, 0);
}

// ---- --json ------------------------------------------------------------------

using json_bytes::carried;
using nlohmann::json;

// The document a --json command printed; is_discarded() when not valid JSON.
json document(const Result &r) {
    return json::parse(r.out, nullptr, /*allow_exceptions=*/false);
}

TEST(Orvreg, JsonShowsEachTypeInItsForm) {
    const char *key = "SOFTWARE\\ORV\\Demo";
    ASSERT_EQ(writeValue(key, "Text", REG_SZ, {"hello world\0", 12}), ERROR_SUCCESS);
    ASSERT_EQ(writeValue(key, "Lang", REG_DWORD, {"\x11\x04\0\0", 4}), ERROR_SUCCESS);
    ASSERT_EQ(writeValue(key, "Big", REG_QWORD, {"\0\0\0\0\1\0\0\0", 8}), ERROR_SUCCESS);
    ASSERT_EQ(writeValue(key, "Bytes", REG_BINARY, {"\x01\xab\xff", 3}), ERROR_SUCCESS);
    ASSERT_EQ(writeValue(key, "Paths", REG_BINARY, {"/a/t1.tbl\0/b/\xe9.tbl\0\0", 19}),
              ERROR_SUCCESS);
    ASSERT_EQ(writeValue(key, "Empty", REG_BINARY, ""), ERROR_SUCCESS);
    ASSERT_EQ(writeValue(key, "Odd", 9, {"\x01\x02\x03", 3}), ERROR_SUCCESS);
    ASSERT_EQ(orvreg({"add", "SOFTWARE\\ORV\\Demo\\Sub"}).status, 0);

    Result all = orvreg({"query", "--json", "software\\orv\\demo"});
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(document(all), json::parse(R"({
        "key": "HKEY_LOCAL_MACHINE\\software\\orv\\demo",
        "values": [
            {"name": "Text", "type": "REG_SZ", "data": "hello world"},
            {"name": "Lang", "type": "REG_DWORD", "data": 1041},
            {"name": "Big", "type": "REG_QWORD", "data": 4294967296},
            {"name": "Bytes", "type": "REG_BINARY", "data": {"hex": "01abff"}},
            {"name": "Paths", "type": "REG_BINARY", "data": ["/a/t1.tbl", {"hex": "2f622fe92e74626c"}]},
            {"name": "Empty", "type": "REG_BINARY", "data": {"hex": ""}},
            {"name": "Odd", "type": "REG_TYPE_9", "data": {"hex": "010203"}}
        ],
        "subkeys": ["Sub"]})"));
    Result one = orvreg({"query", key, "LANG", "--json"});
    EXPECT_EQ(document(one), json::parse(R"({"key": "HKEY_LOCAL_MACHINE\\SOFTWARE\\ORV\\Demo",
        "value": {"name": "Lang", "type": "REG_DWORD", "data": 1041}})"));

    json tree = document(orvreg({"tree", "--json", "SOFTWARE\\ORV"}));
    ASSERT_FALSE(tree.is_discarded());
    EXPECT_EQ(tree["key"], "HKEY_LOCAL_MACHINE\\SOFTWARE\\ORV");
    EXPECT_EQ(tree["subkeys"][0]["name"], "Demo");
    EXPECT_EQ(tree["subkeys"][0]["values"], document(all)["values"]);
    EXPECT_EQ(tree["subkeys"][0]["subkeys"], json::parse(R"([{"name": "Sub", "values": [],
        "subkeys": []}])"));

    // A failure prints no document, only its line on standard error.
    Result missing = orvreg({"query", "--json", "SOFTWARE\\Missing"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
}

// Key names, value names and texts with quotes, backslashes, control
// characters and bytes that are not UTF-8 come back byte for byte; exactly
// the valid UTF-8 ones are carried as plain strings.
TEST(Orvreg, JsonCarriesAwkwardNamesBackToTheirBytes) {
    const std::pair<std::string, bool> names[] = {
        {"say \"hi\"", true},
        {"back\\slash", true},
        {"ctl\x01\x1b[31m\r\n\t\x7f", true},
        {"caf\xc3\xa9 \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf", true},
        {"lone\xff", false},
        {"overlong\xc0\xaf", false},
        {"surrogate\xed\xa0\x80", false},
        {"above\xf4\x90\x80\x80", false},
        {"cut\xe2\x82", false},
    };
    const std::string key = "SOFTWARE\\Awkward";
    for (const auto &[name, utf8] : names) {
        ASSERT_EQ(writeValue(key, name.c_str(), REG_SZ, name + '\0'), ERROR_SUCCESS);
        // A backslash would make a key path of two names.
        HKEY sub = nullptr;
        if (name.find('\\') == std::string::npos) {
            ASSERT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, (key + "\\" + name).c_str(), &sub), 0);
            RegCloseKey(sub);
        }
    }
    Result r = orvreg({"tree", "--json", key});
    ASSERT_EQ(r.status, 0) << r.err;
    json top = document(r);
    ASSERT_FALSE(top.is_discarded()) << r.out;
    std::map<std::string, json> values;
    std::set<std::string> subkeys;
    for (const json &v : top["values"]) values[carried(v["name"])] = v;
    for (const json &k : top["subkeys"]) subkeys.insert(carried(k["name"]));
    for (const auto &[name, utf8] : names) {
        SCOPED_TRACE(name);
        ASSERT_EQ(values.count(name), 1u);
        EXPECT_EQ(values[name]["name"].is_string(), utf8);
        EXPECT_EQ(carried(values[name]["data"]), name);
        EXPECT_EQ(subkeys.count(name), name.find('\\') == std::string::npos ? 1u : 0u);
    }
}

TEST(Orvreg, JsonReportTableRows) {
    const std::string text = "Disk \"C:\\\" \x1b[2J\xfe gone";
    ASSERT_EQ(
        writeValue("SOFTWARE\\ORV\\QORAlertMan\\ReportTable\\Disk\\100", "Text", REG_SZ, text),
        ERROR_SUCCESS);
    ASSERT_EQ(
        writeValue("SOFTWARE\\ORV\\QORAlertMan\\ReportTable\\Disk\\20", "Owner", REG_SZ, "Prod"),
        ERROR_SUCCESS);
    json rows = document(orvreg({"table", "--json"}))["rows"];
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], json::parse(R"({"source": "Disk", "event": "20", "severity": "",
        "owner": "Prod", "text": ""})"));
    EXPECT_EQ(rows[1]["event"], "100");
    EXPECT_EQ(carried(rows[1]["text"]), text);
}

TEST(Orvreg, RootOptionAndEnvironmentChooseTheDatabase) {
    ASSERT_EQ(mkdir("/opt/elsewhere", 0755), 0);
    ASSERT_EQ(orvreg({"--root", "/opt/elsewhere", "add", "SOFTWARE\\There"}).status, 0);
    struct stat st {};
    EXPECT_EQ(stat("/opt/elsewhere/var/registry.db", &st), 0);
    HKEY h = nullptr;
    EXPECT_EQ(RegOpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\There", &h), ERROR_FILE_NOT_FOUND);
    setenv("ORV_ROOT", "/opt/elsewhere", 1);
    Result r = orvreg({"query", "SOFTWARE"});
    unsetenv("ORV_ROOT");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "HKEY_LOCAL_MACHINE\\SOFTWARE\\There")) << r.out;
}

}  // namespace
