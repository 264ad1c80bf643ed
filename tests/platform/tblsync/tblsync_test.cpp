// The AMACRT* calls of the report-table copy library: parameter blocks, save
// parameters, products as keys, enumerations and settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>

#include "report_table.h"

// A parameter block is zero beyond the fields a case sets, as callers make it.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace orv_test;
using namespace std::string_literals;

const std::string kOuter = std::string(TBLSYNC_KEY_OUTER_PRODUCTS) + "\\Prod";
const std::string kInner = std::string(TBLSYNC_KEY_INNER_PRODUCTS) + "\\Prod";

void registerOuter(const std::string &path = kOuter) {
    std::string tables = pathList({"/a/t1", "/b/t2"});
    tables.resize(254, '\0');
    const std::tuple<const char *, DWORD, std::string> values[] = {
        {"ProductName", REG_SZ, "Prod\0"s},     {"DisplayName", REG_SZ, "Product display\0"s},
        {"Version", REG_SZ, "V1.2\0"s},         {"ReportTablePath", REG_BINARY, tables},
        {"Manual", REG_DWORD, "\1\0\0\0"s},     {"LanguageID", REG_DWORD, "\x11\4\0\0"s},
        {"ProductID", REG_DWORD, "\x4d\0\0\0"s}};
    for (const auto &[name, type, bytes] : values)
        ASSERT_EQ(writeValue(path, name, type, bytes), 0);
}

// A text buffer or the report tables' buffer given one byte too little (the
// other texts are read by the same code): the call fails with 234 and the
// size needed, and writes nothing, not even into the bytes it was given. With room
// enough every value arrives, the names ignoring case.
TEST(TblsyncProducts, OuterBlockReceivesEveryValueOrFailsWithSizeNeeded) {
    registerOuter();
    char name[64], tables[300], display[64], version[32];
    DWORD language = 0, id = 0, type = 0;
    OuterProductParam full{sizeof full,    sizeof name, name,      sizeof tables, tables,
                           sizeof display, display,     &language, &id,           sizeof version,
                           version,        &type,       {}};
    ASSERT_TRUE(AMACRTReadProductParam(0, "prod", &full));
    EXPECT_EQ(std::string(name) + "|" + display + "|" + version, "Prod|Product display|V1.2");
    EXPECT_EQ(std::tuple(full.dwReportTableSize, std::string(tables, 13), language, id, type),
              std::tuple(254u, "/a/t1\0/b/t2\0\0"s, 1041u, 77u, 1u));

    OuterProductParam block{};
    const std::tuple<DWORD *, LPSTR *, DWORD> fields[] = {
        {&block.dwProductNameSize, &block.lpszProductName, 5},
        {&block.dwReportTableSize, &block.lpszReportTable, 254}};
    for (const auto &[size, buffer, needed] : fields) {
        SCOPED_TRACE(needed);
        std::vector<char> bytes(400, 'Z');
        block = {.dwSize = sizeof block};
        *buffer = bytes.data();
        *size = needed - 1;
        EXPECT_FALSE(AMACRTReadProductParam(0, "Prod", &block));
        EXPECT_EQ(std::pair(GetLastError(), *size), std::pair(234u, needed));
        EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 'Z'), 400);
        ASSERT_TRUE(AMACRTReadProductParam(0, "Prod", &block));
        EXPECT_EQ(std::count(bytes.begin() + needed, bytes.end(), 'Z'), 400 - long{needed});
    }
}

// A write stores every field given, texts with their NUL, and leaves the
// fields whose pointer is NULL as they were; a source longer than one block
// reads back whole (a too small buffer is read like the outer block's).
TEST(TblsyncProducts, InnerBlockRoundTripsAndNullFieldsStayUnchanged) {
    ASSERT_TRUE(AMACRTAddInnerProduct("Prod"));
    FILETIME time{0x11223344, 0x55667788}, later{1, 2};
    std::string source = "SrcA\0SrcB"s + std::string(591, 'S');  // longer than one 508-byte block
    char path[] = "/x/t\0", name[] = "Prod", display[] = "Display";
    char version[] = "2.0", newVersion[] = "3.0";
    DWORD language = 1033, id = 5, type = 1;
    auto *bytes = reinterpret_cast<LPBYTE>(source.data());
    InnerProductParam block{sizeof block, 600,       bytes, &time, 0,       name, 6, path, 0,
                            display,      &language, &id,   0,     version, &type};
    ASSERT_TRUE(AMACRTWriteInnerProductParam(1, "Prod", &block));
    InnerProductParam partial{
        .dwSize = sizeof partial, .lpProductTime = &later, .lpszVersion = newVersion};
    ASSERT_TRUE(AMACRTWriteInnerProductParam(1, "Prod", &partial));
    std::string stored;
    for (const char *name : {"Source", "ProductTime", "ProductName", "RegisterPath", "DisplayName",
                             "LanguageID", "ProductID", "Version", "Manual"})
        stored += readValue(kInner, name).value_or(Value{}).bytes + "|";
    EXPECT_EQ(
        stored,
        source +
            "|\1\0\0\0\2\0\0\0|Prod\0|/x/t\0\0|Display\0|\x09\x04\0\0|\5\0\0\0|3.0\0|\1\0\0\0|"s);

    std::vector<BYTE> buffer(700, 0xEE);
    InnerProductParam out{.dwSize = sizeof out, .dwSourceSize = 700, .lpSource = buffer.data()};
    out.lpdwProductType = &type;
    type = 0;
    ASSERT_TRUE(AMACRTReadInnerProductParam(0, "Prod", &out));
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 601), source + "\xEE");
    EXPECT_EQ(std::pair(out.dwSourceSize, type), std::pair(600u, 1u));
}

// Every call that needs an existing product fails with 2, a bad argument
// with 87, and nothing is created; whether a product exists is answered 0.
TEST(TblsyncProducts, CallsFailWithTheirErrorAndCreateNothing) {
    registerOuter();
    char buffer[64];
    DWORD number = 0;
    FILETIME time{};
    OuterProductParam outer{
        .dwSize = sizeof outer, .dwProductNameSize = sizeof buffer, .lpszProductName = buffer},
        wrongSize{.dwSize = 100};
    InnerProductParam inner{.dwSize = sizeof inner, .lpdwProductID = &number};
    const std::tuple<const char *, std::function<BOOL()>, DWORD> calls[] = {
        {"read", [&] { return AMACRTReadProductParam(0, "Ghost", &outer); }, 2},
        {"write inner", [&] { return AMACRTWriteInnerProductParam(1, "Ghost", &inner); }, 2},
        {"time", [&] { return AMACRTGetProductTime("Ghost", &time); }, 2},
        {"delete", [&] { return AMACRTDeleteProduct("Ghost"); }, 2},
        {"null block", [&] { return AMACRTReadProductParam(0, "Prod", nullptr); }, 87},
        {"block size", [&] { return AMACRTReadProductParam(0, "Prod", &wrongSize); }, 87},
        {"empty name", [&] { return AMACRTCheckProduct("", &number); }, 87},
        {"null name", [&] { return AMACRTDeleteProduct(nullptr); }, 87},
        {"separator in name", [&] { return AMACRTAddInnerProduct("a\\b"); }, 87},
        {"null flag", [&] { return AMACRTCheckProduct("Prod", nullptr); }, 87},
        {"null count", [&] { return AMACRTEnumProduct(nullptr, &number, nullptr); }, 87}};
    for (const auto &[name, call, error] : calls) {
        SetLastError(0);
        EXPECT_FALSE(call()) << name;
        EXPECT_EQ(GetLastError(), error) << name;
    }
    DWORD exists = 7;  // the inner products are looked up by the same code
    EXPECT_TRUE(AMACRTCheckProduct("Ghost", &exists) && exists == 0) << exists;
    EXPECT_EQ(subkeys(TBLSYNC_KEY_OUTER_PRODUCTS), std::vector<std::string>{"Prod"});
    EXPECT_TRUE(keyGone(TBLSYNC_KEY_INNER_PRODUCTS));
}

// The product time is the key's last write, whatever the write changed; a
// delete takes the product's key with everything below it, and nothing else.
TEST(TblsyncProducts, ProductTimeFollowsWritesAndDeleteTakesTheWholeKey) {
    registerOuter();
    FILETIME before{}, after{};
    ASSERT_TRUE(AMACRTGetProductTime("Prod", &before));
    ASSERT_EQ(writeValue(kOuter, "Version", REG_SZ, "V1.2\0"s), 0);  // same data
    ASSERT_TRUE(AMACRTGetProductTime("Prod", &after));
    EXPECT_TRUE(ticks(after) > ticks(before) && ticks(before) > 0) << ticks(before);

    ASSERT_EQ(writeDword(kOuter + "\\Nested\\Deeper", "X", 1), 0);
    registerOuter(std::string(TBLSYNC_KEY_OUTER_PRODUCTS) + "\\Other");
    ASSERT_TRUE(AMACRTAddInnerProduct("Prod"));
    ASSERT_TRUE(AMACRTDeleteProduct("PROD"));
    EXPECT_TRUE(keyGone(kOuter) && keyExists(kInner));
    EXPECT_TRUE(keyExists(std::string(TBLSYNC_KEY_OUTER_PRODUCTS) + "\\Other"));
    ASSERT_TRUE(AMACRTDeleteInnerProduct("Prod"));
    EXPECT_TRUE(keyGone(kInner));
}

// A missing parent is an empty list; names lie in slots of the longest name
// (the inner products' list is made by the same code).
TEST(TblsyncProducts, EnumerationsPutNamesInSlotsOfTheLongestName) {
    DWORD count = 9, longest = 9;
    LPSTR names = nullptr;
    ASSERT_TRUE(AMACRTEnumProduct(&count, &longest, &names));
    EXPECT_EQ(count, 0u);
    free(names);
    for (const char *name : {"mid", "Longer", "a"})
        ASSERT_EQ(writeDword(TBLSYNC_KEY_OUTER_PRODUCTS + "\\"s + name, "Manual", 0), 0);
    ASSERT_TRUE(AMACRTEnumProduct(&count, &longest, &names));
    ASSERT_EQ(std::pair(count, longest), std::pair(3u, 6u));
    std::set<std::string> got;
    for (DWORD i = 0; i < count; ++i) got.emplace(names + size_t{i} * (longest + 1));
    free(names);
    EXPECT_EQ(got, (std::set<std::string>{"Longer", "a", "mid"}));
}

// Save parameters read like a registry value: size only, too small (234,
// untouched), whole; written with their type. Settings count only as numbers.
TEST(TblsyncSettings, SaveParametersAndSettings) {
    const std::string data(300, 'p');
    setSaveParam("RegisterSrc", data);
    DWORD size = 0, type = 0, flag = 1;
    ASSERT_TRUE(AMACRTReadInnerSaveParam("registersrc", &size, &type, nullptr));
    EXPECT_EQ(std::pair(size, type), std::pair(300u, DWORD{REG_BINARY}));
    std::vector<char> buffer(400, 'z');
    size = 299;
    EXPECT_FALSE(AMACRTReadInnerSaveParam("RegisterSrc", &size, &type, buffer.data()));
    EXPECT_EQ(std::pair(GetLastError(), size), std::pair(234u, 300u));
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 'z'), 400);
    ASSERT_TRUE(AMACRTReadInnerSaveParam("RegisterSrc", &size, &type, buffer.data()));
    EXPECT_EQ(std::string(buffer.data(), size), data);
    ASSERT_TRUE(AMACRTWriteInnerSaveParam("Traditional", 4, REG_DWORD, &flag));
    EXPECT_EQ(readValue(TBLSYNC_KEY_SAVEPARAM, "Traditional").value_or(Value{}).bytes, "\1\0\0\0"s);
    EXPECT_FALSE(AMACRTReadInnerSaveParam("Missing", &size, &type, &flag));
    EXPECT_EQ(GetLastError(), 2u);

    // DispersedReportTable is read by the same code.
    DWORD value = 5;
    EXPECT_FALSE(AMACRTReadLanguageID(&value));
    EXPECT_EQ(std::pair(GetLastError(), value), std::pair(2u, 5u));
    ASSERT_EQ(writeValue(TBLSYNC_KEY_ALERTMAN, "LanguageID", REG_SZ, "103\0"s), 0);  // 4 bytes
    EXPECT_FALSE(AMACRTReadLanguageID(&value));
    EXPECT_EQ(std::pair(GetLastError(), value), std::pair(13u, 5u));
    ASSERT_EQ(writeDword(TBLSYNC_KEY_ALERTMAN, "LanguageID", 1041), 0);
    EXPECT_TRUE(AMACRTReadLanguageID(&value) && value == 1041u) << value;
}
