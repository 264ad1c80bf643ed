// The setup tool as a whole program: its commands, console text, --json
// document and exit status.
#include <gtest/gtest.h>

#include <algorithm>

#include "amirtupt.h"
#include "tool.h"

using namespace orv_test;
using nlohmann::json;

const auto orvpp = [](const std::vector<std::string> &args) { return run(ORVPP_PATH, args); };

// A product file under /opt/orv/tables; every product has the same table.
std::string informationFile(const std::string &product, const std::string &version) {
    return writeProduct(std::string(kTablesDir) + "/" + product + "-" + version + ".inf", product,
                        version, writeTable("t.tbl", tableRows("Src", 1, 2)));
}

// The exit status is the product result code, with the library's text on
// standard output; a file the tool cannot use gives 0x10 with one "orvpp: "
// line, a wrong command line 100 or more. A remove without --type takes only
// a product installed by hand.
TEST(Orvpp, CommandsExitWithTheProductResultCode) {
    const std::string v1 = informationFile("Tool", "1.0"), v2 = informationFile("Tool", "2.0");
    const std::string autoFile = informationFile("AutoTool", "1.0");
    EXPECT_EQ(orvpp({"install", v1}).out, "Product \"Tool\" INSTALLED successfully\n");
    constexpr int kUsage = 100;
    const std::pair<std::vector<std::string>, int> steps[] = {
        {{"update", v1}, 0x03},
        {{"update", v2}, 0},
        {{"update-registry", v1}, 0},
        {{"update", "--automatic", v2}, 0x04},
        {{"install", "--automatic", autoFile}, 0},
        {{"remove", "AutoTool"}, 0x02},
        {{"remove", "AutoTool", "--type", "0"}, 0},
        {{"remove", "Tool", "--type", "any"}, 0},
        {{"install", "/opt/orv/no-such.inf"}, 0x10},
        {{"install", kTablesDir}, 0x10},
        {{"show", v1}, 0},
        {{"scan"}, 0},
        {{"remove", "X", "--type", "5"}, kUsage},
        {{}, kUsage}};
    for (const auto &[args, status] : steps) {
        Output r = orvpp(args);
        SCOPED_TRACE((args.empty() ? "" : args[0]) + " " + std::to_string(status));
        EXPECT_EQ(std::min(r.status, kUsage), status);  // any code from 100 on is a usage error
        if (status == kUsage) continue;
        EXPECT_EQ(r.err.rfind("orvpp: ", 0), status == 0x10 ? 0u : std::string::npos);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), status == 0x10 ? 1 : 0) << r.err;
    }
}

// --root chooses the registry. list never shows a name from a product file
// raw on the terminal; --json gives each product's name back byte for byte
// beside its stored values (whose forms are orvreg's, from the same code).
TEST(Orvpp, ListUnderARootEscapesNamesAndJsonCarriesTheirBytes) {
    ASSERT_EQ(::mkdir("/opt/elsewhere", 0755), 0);
    const std::string name = "Say \"hi\"\x1b[31m\x07\r\xe9";
    ASSERT_EQ(orvpp({"--root", "/opt/elsewhere", "install", informationFile(name, "2.5")}).status,
              0);
    EXPECT_EQ(orvpp({"list", "--json"}).out, "{\n  \"products\": []\n}\n");
    const std::string listed = orvpp({"list", "--root", "/opt/elsewhere"}).out;
    EXPECT_NE(listed.find("ProductName: Say \"hi\"\\x1B[31m\\x07\\x0D\xe9\n"), std::string::npos)
        << listed;
    const json products =
        json::parse(orvpp({"list", "--json", "--root", "/opt/elsewhere"}).out)["products"];
    ASSERT_EQ(products.size(), 1u) << products;
    EXPECT_EQ(carried(products[0]["name"]), name);
    EXPECT_FALSE(products[0]["values"].empty()) << products;
}
