// orvreg driven as a program: what it prints, as text and as --json, what it
// leaves in the registry and its exit status.
#include <gtest/gtest.h>

#include <map>

#include "registry_probe.h"
#include "tool.h"

using namespace orv_test;
using nlohmann::json;
using namespace std::string_literals;

const auto orvreg = [](const std::vector<std::string> &args) { return run(ORVREG_PATH, args); };
const auto document = [](const Output &r) { return json::parse(r.out, nullptr, false); };
bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// Each type as add stores it (the largest numbers included) and as query and
// tree show it in text and in JSON; the ones add cannot make are written
// directly. delete takes a value, or a key with all below it.
TEST(Orvreg, EachTypeIsStoredShownAndDeleted) {
    // name, type, stored bytes, add's options split at '|' ("" written directly), text, JSON
    const std::tuple<const char *, DWORD, std::string, std::string, std::string, std::string>
        forms[] = {
            {"Text", REG_SZ, "hi \x1b[2J\0"s, "--data|hi \x1b[2J", "REG_SZ    hi \\x1B[2J",
             R"("hi \u001b[2J")"},
            {"Lang", REG_DWORD, "\xff\xff\xff\xff", "--type|dword|--data|0xFFFFFFFF",
             "REG_DWORD    4294967295", "4294967295"},
            {"Big", REG_QWORD, std::string(8, '\xff'), "--type|qword|--data|18446744073709551615",
             "REG_QWORD    18446744073709551615", "18446744073709551615"},
            {"Bytes", REG_BINARY, "\x01\xab\xff", "--type|binary|--data|01 AB:ff",
             "REG_BINARY    hex: 01 ab ff", R"({"hex": "01abff"})"},
            {"Paths", REG_BINARY, "/a/t1.tbl\0/b/t2.tbl\0\0"s,
             "--type|list|--data|/a/t1.tbl|--data|/b/t2.tbl",
             "REG_BINARY    list: \"/a/t1.tbl\" \"/b/t2.tbl\"", R"(["/a/t1.tbl", "/b/t2.tbl"])"},
            {"Empty", REG_BINARY, "", "", "REG_BINARY    (no data)", R"({"hex": ""})"},
            {"Odd", 9, "\x01\x02\x03", "", "REG_TYPE_9    hex: 01 02 03", R"({"hex": "010203"})"},
        };
    const std::string key = "SOFTWARE\\ORV\\Demo",
                      shown = "HKEY_LOCAL_MACHINE\\software\\orv\\demo";
    std::string text = shown + "\n";
    json values = json::array();
    for (const auto &[name, type, bytes, add, shownAs, form] : forms) {
        SCOPED_TRACE(name);
        std::vector<std::string> args = {"add", "HKLM\\" + key, name};
        std::istringstream options(add);
        for (std::string option; std::getline(options, option, '|');) args.push_back(option);
        ASSERT_EQ(add.empty() ? writeValue(key, name, type, bytes) : orvreg(args).status, 0);
        const Value stored = readValue(key, name).value_or(Value{});
        EXPECT_EQ(std::pair(stored.bytes, stored.type), std::pair(bytes, type));
        text += std::string("    ") + name + "    " + shownAs + "\n";
        values.push_back({{"name", name},
                          {"type", shownAs.substr(0, shownAs.find(' '))},
                          {"data", json::parse(form)}});
    }
    ASSERT_EQ(orvreg({"add", key + "\\Sub\\Deeper"}).status, 0);
    EXPECT_EQ(orvreg({"query", "software\\orv\\demo"}).out, text + shown + "\\Sub\n");
    EXPECT_EQ(document(orvreg({"query", key, "LANG", "--json"})),
              json({{"key", "HKEY_LOCAL_MACHINE\\" + key}, {"value", values[1]}}));
    const json deeper = {{"name", "Deeper"}, {"values", json::array()}, {"subkeys", json::array()}};
    const json sub = {{"name", "Sub"}, {"values", json::array()}, {"subkeys", {deeper}}};
    EXPECT_EQ(document(orvreg({"tree", "--json", "software\\orv\\demo"})),
              json({{"key", shown}, {"values", values}, {"subkeys", {sub}}}));
    EXPECT_TRUE(contains(orvreg({"tree", key}).out, "Sub\\\n    Deeper\\\n"));

    ASSERT_EQ(orvreg({"delete", key, "text"}).status, 0);
    EXPECT_TRUE(!readValue(key, "Text") && keyExists(key + "\\Sub\\Deeper"));
    ASSERT_EQ(orvreg({"delete", "HKLM\\" + key}).status, 0);
    EXPECT_TRUE(keyGone(key) && keyExists("SOFTWARE\\ORV"));
}

// A failing call exits 1 and a bad command line 2, with one line on standard
// error, no document and nothing written.
TEST(Orvreg, ErrorsExitNonzeroWithOneLine) {
    ASSERT_EQ(writeText("SOFTWARE\\Keep", "V", "x"), ERROR_SUCCESS);
    const std::tuple<std::vector<std::string>, int, const char *> cases[] = {
        {{"query", "SOFTWARE\\Missing"}, 1, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Missing: not found"},
        {{"query", "SOFTWARE\\Keep", "Nope"}, 1, "value Nope: not found"},
        {{"delete", "SOFTWARE\\Keep", "Nope"}, 1, "not found"},
        {{"delete", "SOFTWARE\\Missing"}, 1, "not found"},
        {{"delete", "HKLM"}, 1, "cannot be deleted"},
        {{"add", "SOFTWARE\\\\Bad", "V"}, 1, "invalid name"},
        {{"add", "SOFTWARE\\Keep", "V", "--type", "dword", "--data", "4294967296"}, 2, "range"},
        {{"add", "SOFTWARE\\Keep", "V", "--type", "qword", "--data", "18446744073709551616"},
         2,
         "range"},
        {{"add", "SOFTWARE\\Keep", "V", "--type", "dword", "--data", "-1"}, 2, "not a number"},
        {{"add", "SOFTWARE\\Keep", "V", "--type", "binary", "--data", "abc"}, 2, "hex"},
        {{"add", "SOFTWARE\\Keep", "V", "--type", "text"}, 2, "--type"},
        {{"frobnicate"}, 2, ""},
    };
    for (const auto &[args, status, message] : cases) {
        Output r = orvreg(args);
        SCOPED_TRACE(args[0] + " " + args.back());
        EXPECT_EQ(std::pair(r.status, r.out), std::pair(status, std::string())) << r.err;
        EXPECT_TRUE(contains(r.err, message)) << r.err;
        EXPECT_TRUE(status != 1 || std::count(r.err.begin(), r.err.end(), '\n') == 1) << r.err;
    }
    EXPECT_EQ(valueNames("SOFTWARE\\Keep"), std::vector<std::string>{"V"});
    EXPECT_EQ(readText("SOFTWARE\\Keep", "V"), "x");
}

// Value names and texts with quotes, backslashes, control
// characters and bytes that are not UTF-8 come back byte for byte; exactly
// the valid UTF-8 ones are carried as plain strings.
TEST(Orvreg, JsonCarriesAwkwardNamesBackToTheirBytes) {
    const std::map<std::string, bool> names = {
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
    for (const auto &[name, utf8] : names)
        ASSERT_EQ(writeText(key, name.c_str(), name), ERROR_SUCCESS);
    const json values = document(orvreg({"tree", "--json", key}))["values"];
    ASSERT_EQ(values.size(), names.size()) << values;
    for (const json &v : values) {
        SCOPED_TRACE(v.dump());
        EXPECT_EQ(v["name"].is_string(), names.at(carried(v["name"])));
        EXPECT_EQ(carried(v["data"]), carried(v["name"]));
    }
}

// Keys created and deleted by another process while the tool walks them: each
// walk shows one consistent state and never fails on a key that went away.
// --root chooses the database.
TEST(Orvreg, TreeAndTableReadOneSnapshotUnderChurn) {
    Child writer([] {
        for (int round = 0;; ++round) {
            const std::string base =
                "SOFTWARE\\ORV\\QORAlertMan\\ReportTable\\Churn\\K" + std::to_string(round % 8);
            writeText(base + "\\Sub", "Severity", "INFO");
            RegDeleteKey(HKEY_LOCAL_MACHINE, (base + "\\Sub").c_str());
            RegDeleteKey(HKEY_LOCAL_MACHINE, base.c_str());
        }
        return 0;
    });
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(orvreg({"tree", "SOFTWARE\\ORV"}).status + orvreg({"table"}).status, 0) << i;
    ASSERT_EQ(mkdir("/opt/elsewhere", 0755), 0);
    ASSERT_EQ(orvreg({"--root", "/opt/elsewhere", "add", "SOFTWARE\\There"}).status, 0);
    EXPECT_TRUE(fileExists("/opt/elsewhere/var/registry.db"));
    EXPECT_TRUE(keyGone("SOFTWARE\\There"));
}
