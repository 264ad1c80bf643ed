// The product registry store: product keys written from records, read back,
// listed by type, and the type readers.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "lib_helpers.h"

using namespace lib_test;

namespace {

// The stored report table list as 254 bytes: the given paths, each with its
// NUL, the final NUL and zeros.
std::string storedList(const std::vector<std::string> &list) {
    std::string bytes;
    for (const auto &path : list) bytes += path + '\0';
    bytes += '\0';
    bytes.resize(254, '\0');
    return bytes;
}

class ProductRegistry : public ::testing::Test {
  protected:
    void SetUp() override { traceToFile(); }
};

TEST_F(ProductRegistry, RecordToKeyToRecord) {
    struct Case {
        std::vector<std::string> tables;
        const char *language, *productId, *expectedProductId;
        int manual;
    };
    const Case cases[] = {
        {{}, "1033", "7", "7", PPTYPE_AUTOMATIC},
        {{"/opt/orv/tables/one.tbl"}, "1041", "120", "120", PPTYPE_MANUAL},
        {{"/t/a", "/t/b"}, "1033", "no digits", "0", PPTYPE_AUTOMATIC},
        {{"/t/1", "/t/2", "/t/3", "/t/4"}, "1041", "-5", "-5", PPTYPE_MANUAL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.tables.size());
        PPInfo written = makeRecord("Round", "2.1", c.tables, c.manual, c.language, c.productId,
                                    "Round Trip Monitor");
        std::snprintf(written.FileName, sizeof written.FileName, "/opt/orv/report/inf/round");
        ASSERT_EQ(registerPP(&written), 0);

        Record read(GetProductInfo("Round"));
        ASSERT_NE(read, nullptr);
        EXPECT_STREQ(read->ProductName, "Round");
        EXPECT_STREQ(read->DisplayName, "Round Trip Monitor");
        EXPECT_STREQ(read->Version, "2.1");
        EXPECT_STREQ(read->LanguageID, c.language);
        EXPECT_STREQ(read->ProductID, c.expectedProductId);
        EXPECT_EQ(read->Manual, c.manual);
        EXPECT_EQ(tablesOf(*read), c.tables);
        // Records from the registry know no file and no operation.
        EXPECT_STREQ(read->FileName, "");
        EXPECT_EQ(read->op, PPOP_NONE);
        EXPECT_EQ(read->next, nullptr);
        EXPECT_EQ(read->modify, 0);
        ASSERT_EQ(unregisterPP(&written), 0);
    }
}

TEST_F(ProductRegistry, StoresEachValueWithItsTypeLengthAndOrder) {
    PPInfo record =
        makeRecord("Bytes", "3.0", {"a", "b"}, PPTYPE_MANUAL, "1041", "12abc", "Bytes Display");
    ASSERT_EQ(registerPP(&record), 0);
    const std::string key = productKey("Bytes");

    EXPECT_EQ(subkeys(key, /*valueNames=*/true),
              (std::vector<std::string>{"ProductName", "DisplayName", "Version", "Manual",
                                        "ReportTablePath", "LanguageID", "ProductID"}));
    struct Expected {
        const char *name;
        DWORD type;
        std::string bytes;
    };
    auto dword = [](DWORD n) { return std::string(reinterpret_cast<const char *>(&n), 4); };
    const Expected expected[] = {
        {"ProductName", REG_SZ, std::string("Bytes\0", 6)},
        {"DisplayName", REG_SZ, std::string("Bytes Display\0", 14)},
        {"Version", REG_SZ, std::string("3.0\0", 4)},
        {"Manual", REG_DWORD, dword(1)},
        {"ReportTablePath", REG_BINARY, storedList({"a", "b"})},
        {"LanguageID", REG_DWORD, dword(1041)},
        {"ProductID", REG_DWORD, dword(12)},
    };
    for (const auto &e : expected) {
        auto value = readValue(key, e.name);
        ASSERT_TRUE(value) << e.name;
        EXPECT_EQ(value->type, e.type) << e.name;
        EXPECT_EQ(value->bytes, e.bytes) << e.name;
    }
}

// Register keeps an existing key as it is; update rewrites it.
TEST_F(ProductRegistry, RegisterKeepsAndUpdateRewritesAnExistingKey) {
    PPInfo first = makeRecord("Kept", "1.0", {"/t/first"}, PPTYPE_AUTOMATIC);
    ASSERT_EQ(registerPP(&first), 0);
    PPInfo second =
        makeRecord("Kept", "9.0", {"/t/second", "/t/third"}, PPTYPE_MANUAL, "1041", "99", "Other");
    EXPECT_EQ(registerPP(&second), 0);
    Record kept(GetProductInfo("Kept"));
    ASSERT_NE(kept, nullptr);
    EXPECT_STREQ(kept->Version, "1.0");
    EXPECT_STREQ(kept->DisplayName, "Kept display");
    EXPECT_EQ(kept->Manual, PPTYPE_AUTOMATIC);
    EXPECT_EQ(tablesOf(*kept), std::vector<std::string>{"/t/first"});

    PPInfo third = makeRecord("Kept", "1.1", {"/t/z"}, PPTYPE_MANUAL, "1041", "8");
    ASSERT_EQ(updatePP(&third), 0);
    Record rewritten(GetProductInfo("Kept"));
    ASSERT_NE(rewritten, nullptr);
    EXPECT_STREQ(rewritten->Version, "1.1");
    EXPECT_STREQ(rewritten->LanguageID, "1041");
    EXPECT_EQ(tablesOf(*rewritten), std::vector<std::string>{"/t/z"});
    EXPECT_EQ(readValue(productKey("Kept"), "ReportTablePath")->bytes, storedList({"/t/z"}));
}

// Unregister deletes the key whatever the case of the name; a missing key is
// neither created nor an error. A backslash in a name addresses a deeper key.
TEST_F(ProductRegistry, UnregisterDeletesTheKeyAndMissingKeysAreNoError) {
    PPInfo absent = makeRecord("Absent", "1.0", {"/t/a"});
    EXPECT_EQ(updatePP(&absent), 0);
    EXPECT_EQ(unregisterPP(&absent), 0);
    EXPECT_FALSE(keyExists(productKey("Absent")));
    EXPECT_EQ(GetProductInfo("Absent"), nullptr);
    EXPECT_EQ(GetProductInfo(nullptr), nullptr);
    EXPECT_TRUE(tracedLine(1, "GetProductInfo", "param productName is NULL"));

    struct Case {
        const char *name, *key;
    };
    for (const Case &c : {Case{"Gone", "GONE"}, Case{"Outer\\Inner", "Outer\\Inner"}}) {
        SCOPED_TRACE(c.name);
        PPInfo record = makeRecord(c.name, "1.0", {"/t/a"});
        ASSERT_EQ(registerPP(&record), 0);
        ASSERT_TRUE(keyExists(productKey(c.key)));
        EXPECT_EQ(unregisterPP(&record), 0);
        EXPECT_FALSE(keyExists(productKey(c.key)));
    }
    EXPECT_TRUE(keyExists(productKey("Outer")));
}

// Lists that do not fit, or counts outside 0..4, keep whole leading paths and
// the final NUL and never read past the record.
TEST_F(ProductRegistry, ReportTableListKeepsWholeLeadingPathsThatFit) {
    const std::string p100(100, 'p');
    const std::string p252 = "/" + std::string(251, 'x');
    const std::string p253 = "/" + std::string(252, 'y');
    struct Case {
        const char *label;
        std::vector<std::string> tables;
        int count;
        std::vector<std::string> stored;
    };
    const Case cases[] = {
        {"two of four fit",
         {p100 + "1", p100 + "2", p100 + "3", "/s"},
         4,
         {p100 + "1", p100 + "2"}},
        {"longest single path", {p252}, 1, {p252}},
        {"path too long for the list", {p253, "/next"}, 2, {}},
        {"count above four", {"/1", "/2", "/3", "/4"}, 9, {"/1", "/2", "/3", "/4"}},
        {"negative count", {"/1"}, -2, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        PPInfo record = makeRecord("Limits", "1.0", c.tables);
        record.NumReportTablePath = c.count;
        ASSERT_EQ(registerPP(&record), 0);
        EXPECT_EQ(readValue(productKey("Limits"), "ReportTablePath")->bytes, storedList(c.stored));
        Record read(GetProductInfo("Limits"));
        ASSERT_NE(read, nullptr);
        EXPECT_EQ(tablesOf(*read), c.stored);
        ASSERT_EQ(unregisterPP(&record), 0);
    }
    EXPECT_TRUE(tracedLine(1, "RegSetPP", "report table path left out"));
    EXPECT_TRUE(tracedLine(1, "RegSetPP", "NumReportTablePath 9 out of range"));
}

// Texts that a tool left without their NUL are cut to their field.
TEST_F(ProductRegistry, UnterminatedTextsAreCutToTheirFields) {
    PPInfo record = makeRecord("Unterminated", "", {"/t/a"});
    std::memset(record.DisplayName, 'D', sizeof record.DisplayName);
    std::memset(record.Version, '9', sizeof record.Version);
    std::memset(record.ProductID, '1', sizeof record.ProductID);
    ASSERT_EQ(registerPP(&record), 0);
    const std::string key = productKey("Unterminated");
    EXPECT_EQ(readValue(key, "DisplayName")->bytes, std::string(511, 'D') + '\0');
    EXPECT_EQ(readValue(key, "Version")->bytes, std::string(19, '9') + '\0');
    EXPECT_EQ(readValue(key, "ProductName")->bytes, std::string("Unterminated\0", 13));
    EXPECT_EQ(readValue(key, "ProductID")->bytes.size(), 4u);
}

// Values written by hand with other types or lengths than the writer's.
TEST_F(ProductRegistry, HandWrittenValuesAreReadWithoutOverflow) {
    PPInfo record = makeRecord("Hand", "1.0", {"/t/a"});
    ASSERT_EQ(registerPP(&record), 0);
    const std::string key = productKey("Hand");
    ASSERT_EQ(
        writeValue(key, "ReportTablePath", REG_BINARY, std::string("/a\0/b\0/c\0/d\0/e\0\0", 16)),
        ERROR_SUCCESS);
    ASSERT_EQ(writeValue(key, "DisplayName", REG_SZ, std::string(600, 'D') + '\0'), ERROR_SUCCESS);
    ASSERT_EQ(writeValue(key, "Version", REG_SZ, std::string(25, 'v') + '\0'), ERROR_SUCCESS);

    Record read(GetProductInfo("Hand"));
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(tablesOf(*read), (std::vector<std::string>{"/a", "/b", "/c", "/d"}));
    EXPECT_EQ(std::string(read->DisplayName), std::string(511, 'D'));
    EXPECT_EQ(std::string(read->Version), std::string(19, 'v'));

    // A list without any NUL is read up to its stored length only.
    ASSERT_EQ(writeValue(key, "ReportTablePath", REG_BINARY, std::string(254, 'x')), ERROR_SUCCESS);
    Record unterminated(GetProductInfo("Hand"));
    ASSERT_NE(unterminated, nullptr);
    EXPECT_EQ(tablesOf(*unterminated), std::vector<std::string>{std::string(253, 'x')});

    // A type that cannot be read as a number counts as automatic.
    ASSERT_EQ(writeValue(key, "Manual", REG_SZ, std::string("manual!!!\0", 10)), ERROR_SUCCESS);
    EXPECT_EQ(GetProductType("Hand"), 0u);
}

TEST_F(ProductRegistry, NamesAreTakenLiterally) {
    struct Case {
        std::string name;
        bool registered;
    };
    // The registry refuses key names beyond its limit: such a product is not
    // registered, and nothing is written past a buffer on the way.
    const Case cases[] = {
        {"100%s%n%d", true}, {std::string(200, 'L'), true}, {std::string(511, 'X'), false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name.substr(0, 20));
        PPInfo record = makeRecord(c.name, "1.0", {"/t/a"}, PPTYPE_MANUAL);
        ASSERT_EQ(registerPP(&record), c.registered ? 0 : -1);
        Record read(GetProductInfo(c.name.c_str()));
        ASSERT_EQ(read != nullptr, c.registered);
        EXPECT_EQ(GetProductType(c.name.c_str()), c.registered ? 1u : 0u);
        if (read) {
            EXPECT_EQ(std::string(read->ProductName), c.name);
        }
    }
    EXPECT_TRUE(tracedLine(1, "registerPP", "ERROR Create key."));
}

// The type readers address the writer's keys in other letter case.
TEST_F(ProductRegistry, TypeReadersFindTheWritersKeysWhateverTheCase) {
    PPInfo manual = makeRecord("TypeManual", "1.0", {"/t/a"}, PPTYPE_MANUAL);
    PPInfo automatic = makeRecord("TypeAuto", "1.0", {"/t/a"}, PPTYPE_AUTOMATIC);
    ASSERT_EQ(registerPP(&manual), 0);
    ASSERT_EQ(registerPP(&automatic), 0);
    setDword(innerKey("InnerManual"), "manual", 1);
    setDword(innerKey("InnerAuto"), "MANUAL", 0);
    ASSERT_EQ(writeValue(innerKey("InnerNoType"), "Version", REG_SZ, std::string("1\0", 2)),
              ERROR_SUCCESS);

    struct Case {
        const char *name;
        uint32_t outer;
        uint32_t inner;
    };
    const Case cases[] = {
        {"TypeManual", 1, 0},  {"typemanual", 1, 0}, {"TypeAuto", 0, 0},    {"InnerManual", 0, 1},
        {"INNERMANUAL", 0, 1}, {"InnerAuto", 0, 0},  {"InnerNoType", 0, 0}, {"Nowhere", 0, 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(GetProductType(c.name), c.outer) << c.name;
        EXPECT_EQ(GetIProductType(c.name), c.inner) << c.name;
    }
}

TEST_F(ProductRegistry, ListFiltersByTypeInEnumerationOrder) {
    const std::pair<const char *, int> products[] = {{"Delta", PPTYPE_AUTOMATIC},
                                                     {"Alpha", PPTYPE_MANUAL},
                                                     {"Charlie", PPTYPE_AUTOMATIC},
                                                     {"Bravo", PPTYPE_MANUAL}};
    // The registry enumerates subkeys in name order, not in registration order.
    struct Case {
        int type;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {-1, {"Alpha", "Bravo", "Charlie", "Delta"}},
        {PPTYPE_AUTOMATIC, {"Charlie", "Delta"}},
        {PPTYPE_MANUAL, {"Alpha", "Bravo"}},
        {7, {}},
    };
    PPInfo *empty = reinterpret_cast<PPInfo *>(&empty);
    ASSERT_EQ(ReadProductsRegisteried(-1, &empty), TRUE);  // before any product
    EXPECT_EQ(empty, nullptr);
    for (const auto &product : products) {
        PPInfo record = makeRecord(product.first, "1.0", {"/t/a"}, product.second);
        ASSERT_EQ(registerPP(&record), 0);
    }
    for (const Case &c : cases) {
        PPInfo *head = reinterpret_cast<PPInfo *>(&head);  // overwritten by the call
        ASSERT_EQ(ReadProductsRegisteried(c.type, &head), TRUE);
        List list(head);
        EXPECT_EQ(namesOf(list.get()), c.expected) << "type " << c.type;
    }
    EXPECT_TRUE(tracedLine(0, "ReadProductsRegisteried", "ignore product : Alpha "));
    EXPECT_TRUE(tracedLine(3, "ReadProductsRegisteried", "add product to list : Delta "));
    EXPECT_EQ(ReadProductsRegisteried(-1, nullptr), FALSE);
    EXPECT_TRUE(tracedLine(1, "ReadProductsRegisteried", "param phead is NULL"));
}

}  // namespace
