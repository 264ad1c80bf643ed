// The AMACRT* calls of the report-table copy library: parameter blocks, save
// parameters, products as keys, enumerations and settings.
#include <cstdlib>
#include <cstring>
#include <functional>

#include "tblsync_support.h"

namespace {

using namespace tblsync_test;

const std::string kOuter = std::string(TBLSYNC_KEY_OUTER_PRODUCTS) + "\\Prod";
const std::string kInner = std::string(TBLSYNC_KEY_INNER_PRODUCTS) + "\\Prod";

class TblsyncProducts : public TblsyncIsolated {
  protected:
    void registerOuter(const std::string &path = kOuter) {
        setValue(path, "ProductName", REG_SZ, std::string("Prod\0", 5));
        setValue(path, "DisplayName", REG_SZ, std::string("Product display\0", 16));
        setValue(path, "Version", REG_SZ, std::string("V1.2\0", 5));
        setNumber(path, "Manual", 1);
        std::string tables = pathList({"/a/t1", "/b/t2"});
        tables.resize(254, '\0');
        setValue(path, "ReportTablePath", REG_BINARY, tables);
        setNumber(path, "LanguageID", 1041);
        setNumber(path, "ProductID", 77);
    }
};

// Each buffer given one byte too little: the call fails with 234 and the size
// needed, and writes nothing, not even into the bytes it was given. With room
// enough the block receives every value.
TEST_F(TblsyncProducts, OuterBlockReceivesEveryValueOrFailsWithSizeNeeded) {
    registerOuter();
    struct Case {
        const char *field;
        DWORD OuterProductParam::*size;
        LPSTR OuterProductParam::*buffer;
        DWORD needed;
    };
    const Case cases[] = {
        {"ProductName", &OuterProductParam::dwProductNameSize, &OuterProductParam::lpszProductName,
         5},
        {"DisplayName", &OuterProductParam::dwDisplayNameSize, &OuterProductParam::lpszDisplayName,
         16},
        {"Version", &OuterProductParam::dwVersionSize, &OuterProductParam::lpszVersion, 5},
        {"ReportTablePath", &OuterProductParam::dwReportTableSize,
         &OuterProductParam::lpszReportTable, 254},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.field);
        std::vector<char> buffer(400, '\x5a');
        OuterProductParam block{};
        block.dwSize = sizeof block;
        block.*c.buffer = buffer.data();
        block.*c.size = c.needed - 1;
        SetLastError(0);
        EXPECT_FALSE(AMACRTReadProductParam(0, "Prod", &block));
        EXPECT_EQ(GetLastError(), 234u);
        EXPECT_EQ(block.*c.size, c.needed);
        EXPECT_EQ(std::count(buffer.begin(), buffer.end(), '\x5a'), 400);

        block.*c.size = c.needed;
        EXPECT_TRUE(AMACRTReadProductParam(0, "Prod", &block));
        EXPECT_EQ(std::count(buffer.begin() + c.needed, buffer.end(), '\x5a'),
                  400 - static_cast<long>(c.needed));
    }

    // Every buffer large enough: the block receives every value.
    char name[64], tables[300], display[64], version[32];
    DWORD language = 0, id = 0, type = 0;
    OuterProductParam block{};
    block.dwSize = sizeof block;
    block.dwProductNameSize = sizeof name;
    block.lpszProductName = name;
    block.dwReportTableSize = sizeof tables;
    block.lpszReportTable = tables;
    block.dwDisplayNameSize = sizeof display;
    block.lpszDisplayName = display;
    block.lpdwLanguageID = &language;
    block.lpdwProductID = &id;
    block.dwVersionSize = sizeof version;
    block.lpszVersion = version;
    block.lpdwProductType = &type;
    ASSERT_TRUE(AMACRTReadProductParam(0, "prod", &block));  // names ignore case
    EXPECT_STREQ(name, "Prod");
    EXPECT_STREQ(display, "Product display");
    EXPECT_STREQ(version, "V1.2");
    EXPECT_EQ(block.dwReportTableSize, 254u);
    EXPECT_EQ(std::string(tables, 13), std::string("/a/t1\0/b/t2\0\0", 13));
    EXPECT_EQ(language, 1041u);
    EXPECT_EQ(id, 77u);
    EXPECT_EQ(type, 1u);
}

TEST_F(TblsyncProducts, InnerBlockRoundTripsAndNullFieldsStayUnchanged) {
    ASSERT_TRUE(AMACRTAddInnerProduct("Prod"));
    FILETIME time{0x11223344, 0x55667788};
    char source[] = "SrcA\0SrcB", path[] = "/x/t\0";
    DWORD language = 1033, id = 5, type = 1;
    char name[] = "Prod", display[] = "Display", version[] = "2.0";
    InnerProductParam block{sizeof block,
                            10,
                            reinterpret_cast<LPBYTE>(source),
                            &time,
                            0,
                            name,
                            6,
                            path,
                            0,
                            display,
                            &language,
                            &id,
                            0,
                            version,
                            &type};
    ASSERT_TRUE(AMACRTWriteInnerProductParam(1, "Prod", &block));
    // A second write of the time and the version only.
    FILETIME later{1, 2};
    char newVersion[] = "3.0";
    InnerProductParam partial{};
    partial.dwSize = sizeof partial;
    partial.lpProductTime = &later;
    partial.lpszVersion = newVersion;
    ASSERT_TRUE(AMACRTWriteInnerProductParam(1, "Prod", &partial));

    const std::pair<const char *, std::string> stored[] = {
        {"Source", std::string(source, 10)},
        {"ProductTime", std::string("\1\0\0\0\2\0\0\0", 8)},
        {"ProductName", std::string("Prod\0", 5)},  // texts keep their NUL
        {"RegisterPath", std::string(path, 6)},
        {"DisplayName", std::string("Display\0", 8)},
        {"LanguageID", std::string("\x09\x04\0\0", 4)},
        {"ProductID", std::string("\5\0\0\0", 4)},
        {"Version", std::string("3.0\0", 4)},
        {"Manual", std::string("\1\0\0\0", 4)},
    };
    for (const auto &[valueName, bytes] : stored)
        EXPECT_EQ(readValue(kInner, valueName).value_or(Value{}).bytes, bytes);

    FILETIME readTime{};
    char readVersion[32];
    DWORD readType = 0;
    InnerProductParam out{};
    out.dwSize = sizeof out;
    out.lpProductTime = &readTime;
    out.dwVersionSize = sizeof readVersion;
    out.lpszVersion = readVersion;
    out.lpdwProductType = &readType;
    ASSERT_TRUE(AMACRTReadInnerProductParam(0, "Prod", &out));
    EXPECT_EQ(readTime.dwHighDateTime, 2u);
    EXPECT_STREQ(readVersion, "3.0");
    EXPECT_EQ(readType, 1u);
}

TEST_F(TblsyncProducts, InnerSourceTooSmallFailsWithLengthNeeded) {
    ASSERT_TRUE(AMACRTAddInnerProduct("Prod"));
    std::string sources(600, 'S');
    InnerProductParam block{};
    block.dwSize = sizeof block;
    block.dwSourceSize = static_cast<DWORD>(sources.size());
    block.lpSource = reinterpret_cast<LPBYTE>(sources.data());
    ASSERT_TRUE(AMACRTWriteInnerProductParam(1, "Prod", &block));

    std::vector<BYTE> buffer(700, 0xEE);
    block.dwSourceSize = 508;
    block.lpSource = buffer.data();
    EXPECT_FALSE(AMACRTReadInnerProductParam(0, "Prod", &block));
    EXPECT_EQ(GetLastError(), 234u);
    EXPECT_EQ(block.dwSourceSize, 600u);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xEE), 700);
    ASSERT_TRUE(AMACRTReadInnerProductParam(0, "Prod", &block));
    EXPECT_EQ(block.dwSourceSize, 600u);
    EXPECT_EQ(buffer[600], 0xEE);
}

// Every call that needs an existing product fails with 2 and leaves the
// registry as it was; asking whether it exists succeeds with 0.
TEST_F(TblsyncProducts, MissingProductFailsWithNotFoundAndCreatesNothing) {
    char buffer[64];
    DWORD number = 0;
    FILETIME time{};
    const std::vector<std::pair<const char *, std::function<BOOL()>>> calls = {
        {"ReadProductParam",
         [&] {
             OuterProductParam b{};
             b.dwSize = sizeof b;
             b.dwProductNameSize = sizeof buffer;
             b.lpszProductName = buffer;
             return AMACRTReadProductParam(0, "Ghost", &b);
         }},
        {"ReadInnerProductParam",
         [&] {
             InnerProductParam b{};
             b.dwSize = sizeof b;
             b.lpdwProductID = &number;
             return AMACRTReadInnerProductParam(0, "Ghost", &b);
         }},
        {"WriteInnerProductParam",
         [&] {
             InnerProductParam b{};
             b.dwSize = sizeof b;
             b.lpdwProductID = &number;
             return AMACRTWriteInnerProductParam(1, "Ghost", &b);
         }},
        {"GetProductTime", [&] { return AMACRTGetProductTime("Ghost", &time); }},
        {"DeleteProduct", [&] { return AMACRTDeleteProduct("Ghost"); }},
        {"DeleteInnerProduct", [&] { return AMACRTDeleteInnerProduct("Ghost"); }},
    };
    for (const auto &[name, call] : calls) {
        SCOPED_TRACE(name);
        SetLastError(0);
        EXPECT_FALSE(call());
        EXPECT_EQ(GetLastError(), 2u);
    }
    DWORD exists = 7;
    EXPECT_TRUE(AMACRTCheckProduct("Ghost", &exists));
    EXPECT_EQ(exists, 0u);
    exists = 7;
    EXPECT_TRUE(AMACRTCheckInnerProduct("Ghost", &exists));
    EXPECT_EQ(exists, 0u);
    EXPECT_TRUE(subkeys("SOFTWARE").empty());
}

TEST_F(TblsyncProducts, BadArgumentsFailWithInvalidParameter) {
    registerOuter();
    DWORD number = 0;
    OuterProductParam wrongSize{};
    wrongSize.dwSize = 100;
    const std::vector<std::pair<const char *, std::function<BOOL()>>> calls = {
        {"null block", [&] { return AMACRTReadProductParam(0, "Prod", nullptr); }},
        {"block size", [&] { return AMACRTReadProductParam(0, "Prod", &wrongSize); }},
        {"empty name", [&] { return AMACRTCheckProduct("", &number); }},
        {"separator in name", [&] { return AMACRTAddInnerProduct("a\\b"); }},
        {"null flag", [&] { return AMACRTCheckProduct("Prod", nullptr); }},
        {"null count", [&] { return AMACRTEnumProduct(nullptr, &number, nullptr); }},
    };
    for (const auto &[name, call] : calls) {
        EXPECT_FALSE(call()) << name;
        EXPECT_EQ(GetLastError(), 87u) << name;
    }
    EXPECT_FALSE(keyExists(std::string(TBLSYNC_KEY_INNER_PRODUCTS) + "\\a"));
}

TEST_F(TblsyncProducts, ProductTimeFollowsEveryRewriteOfTheKey) {
    registerOuter();
    FILETIME before{}, after{};
    ASSERT_TRUE(AMACRTGetProductTime("Prod", &before));
    EXPECT_NE(before.dwHighDateTime, 0u);
    setValue(kOuter, "Version", REG_SZ, std::string("V1.2\0", 5));  // same data
    ASSERT_TRUE(AMACRTGetProductTime("Prod", &after));
    EXPECT_EQ(CompareFileTime(&after, &before), 1);
}

TEST_F(TblsyncProducts, DeleteRemovesProductWithSubkeys) {
    registerOuter();
    setNumber(kOuter + "\\Nested\\Deeper", "X", 1);
    registerOuter(std::string(TBLSYNC_KEY_OUTER_PRODUCTS) + "\\Other");
    ASSERT_TRUE(AMACRTDeleteProduct("PROD"));
    DWORD exists = 1;
    ASSERT_TRUE(AMACRTCheckProduct("Prod", &exists));
    EXPECT_EQ(exists, 0u);
    ASSERT_TRUE(AMACRTCheckProduct("Other", &exists));
    EXPECT_EQ(exists, 1u);

    ASSERT_TRUE(AMACRTAddInnerProduct("Prod"));
    ASSERT_TRUE(AMACRTCheckInnerProduct("Prod", &exists));
    EXPECT_EQ(exists, 1u);
    ASSERT_TRUE(AMACRTDeleteInnerProduct("Prod"));
    ASSERT_TRUE(AMACRTCheckInnerProduct("Prod", &exists));
    EXPECT_EQ(exists, 0u);
}

using EnumCall = BOOL (*)(LPDWORD, LPDWORD, LPSTR *);

class TblsyncEnumeration : public TblsyncIsolated,
                           public ::testing::WithParamInterface<std::pair<EnumCall, const char *>> {
};

// A missing parent is an empty list; names lie in slots of the longest name.
TEST_P(TblsyncEnumeration, NamesLieInSlotsOfTheLongestName) {
    DWORD count = 9, longest = 9;
    LPSTR names = nullptr;
    ASSERT_TRUE(GetParam().first(&count, &longest, &names));
    EXPECT_EQ(count, 0u);
    free(names);

    const std::string parent = GetParam().second;
    for (const char *name : {"mid", "Longer", "a"}) setNumber(parent + "\\" + name, "Manual", 0);
    names = nullptr;
    ASSERT_TRUE(GetParam().first(&count, &longest, &names));
    ASSERT_EQ(count, 3u);
    ASSERT_EQ(longest, 6u);
    std::vector<std::string> got;
    for (DWORD i = 0; i < count; ++i) got.emplace_back(names + size_t{i} * (longest + 1));
    free(names);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"Longer", "a", "mid"}));
}

INSTANTIATE_TEST_SUITE_P(
    OuterAndInner, TblsyncEnumeration,
    ::testing::Values(
        std::pair<EnumCall, const char *>{AMACRTEnumProduct, TBLSYNC_KEY_OUTER_PRODUCTS},
        std::pair<EnumCall, const char *>{AMACRTEnumInnerProduct, TBLSYNC_KEY_INNER_PRODUCTS}),
    [](const auto &info) { return info.index == 0 ? "Outer" : "Inner"; });

TEST_F(TblsyncIsolated, SaveParameterReadsLikeARegistryValue) {
    const std::string data(300, 'p');
    setSaveParam("RegisterSrc", data);
    DWORD size = 0, type = 0;
    ASSERT_TRUE(AMACRTReadInnerSaveParam("registersrc", &size, &type, nullptr));
    EXPECT_EQ(size, 300u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));

    std::vector<char> buffer(400, 'z');
    size = 299;
    EXPECT_FALSE(AMACRTReadInnerSaveParam("RegisterSrc", &size, &type, buffer.data()));
    EXPECT_EQ(GetLastError(), 234u);
    EXPECT_EQ(size, 300u);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 'z'), 400);
    ASSERT_TRUE(AMACRTReadInnerSaveParam("RegisterSrc", &size, &type, buffer.data()));
    EXPECT_EQ(std::string(buffer.data(), size), data);

    DWORD flag = 1;
    ASSERT_TRUE(AMACRTWriteInnerSaveParam("Traditional", 4, REG_DWORD, &flag));
    flag = 0;
    size = 4;
    ASSERT_TRUE(AMACRTReadInnerSaveParam("Traditional", &size, &type, &flag));
    EXPECT_EQ(flag, 1u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    size = 4;
    EXPECT_FALSE(AMACRTReadInnerSaveParam("Missing", &size, &type, &flag));
    EXPECT_EQ(GetLastError(), 2u);
}

TEST_F(TblsyncIsolated, SettingsReadOnlyWhenStoredAsNumbers) {
    DWORD language = 0, dispersed = 5;
    EXPECT_FALSE(AMACRTReadLanguageID(&language));
    EXPECT_EQ(GetLastError(), 2u);
    EXPECT_FALSE(AMACRTReadDispersedReportTable(&dispersed));
    EXPECT_EQ(dispersed, 5u);

    setNumber(TBLSYNC_KEY_ALERTMAN, "LanguageID", 1041);
    setNumber(TBLSYNC_KEY_ALERTMAN, "DispersedReportTable", 0);
    ASSERT_TRUE(AMACRTReadLanguageID(&language));
    EXPECT_EQ(language, 1041u);
    ASSERT_TRUE(AMACRTReadDispersedReportTable(&dispersed));
    EXPECT_EQ(dispersed, 0u);

    setValue(TBLSYNC_KEY_ALERTMAN, "LanguageID", REG_SZ, std::string("1033\0", 5));
    language = 0;
    EXPECT_FALSE(AMACRTReadLanguageID(&language));
    EXPECT_EQ(language, 0u);
}

}  // namespace
