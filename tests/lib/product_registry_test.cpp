// The product registry store: product keys written from records, read back,
// listed by type, and the type readers.
#include "lib_helpers.h"

// The stored report table list as 254 bytes: the given paths, each with its
// NUL, the final NUL and zeros.
std::string storedList(const std::vector<std::string> &list) {
    std::string bytes;
    for (const auto &path : list) bytes += path + '\0';
    bytes += '\0';
    bytes.resize(254, '\0');
    return bytes;
}

// A value of a product key as "<type>:<bytes>".
std::string stored(const std::string &product, const char *name) {
    auto value = readValue(productKey(product), name);
    return value ? std::to_string(value->type) + ":" + value->bytes : "<none>";
}
std::string typed(DWORD type, const std::string &bytes) {
    return std::to_string(type) + ":" + bytes;
}
std::string dword(DWORD n) {
    return typed(REG_DWORD, std::string(reinterpret_cast<const char *>(&n), 4));
}
std::string sz(const std::string &text) {
    return typed(REG_SZ, text + '\0');
}

// The registered product's record as its fieldsOf and "|manual|file|op|modify",
// or "<none>".
std::string readBack(const std::string &product) {
    Record p(GetProductInfo(product.c_str()));
    if (!p) return "<none>";
    return fieldsOf(*p) + "|" + std::to_string(p->Manual) + "|" + p->FileName + "|" +
           std::to_string(p->op) + "|" + std::to_string(p->modify) + (p->next ? "|linked" : "");
}

std::vector<std::string> readTables(const std::string &product) {
    Record p(GetProductInfo(product.c_str()));
    return p ? tablesOf(*p) : std::vector<std::string>{"<none>"};
}

// What a record leaves in its product key, and the record read back from it:
// records from the registry know no file, no operation and no times.
TEST(ProductRegistry, RecordToKeyToRecord) {
    // Tables, language, product id, the id read back, product type.
    const std::tuple<std::vector<std::string>, const char *, const char *, const char *, int>
        cases[] = {
            {{}, "1033", "7", "7", PPTYPE_AUTOMATIC},
            {{"/opt/orv/tables/one.tbl"}, "1041", "12abc", "12", PPTYPE_MANUAL},
            {{"/t/a", "/t/b"}, "1033", "no digits", "0", PPTYPE_AUTOMATIC},
            {{"/t/1", "/t/2", "/t/3", "/t/4"}, "1041", "-5", "-5", PPTYPE_MANUAL},
        };
    for (const auto &[tables, language, productId, readId, manual] : cases) {
        SCOPED_TRACE(tables.size());
        PPInfo written =
            makeRecord("Round", "2.1", tables, manual, language, productId, "Round Trip Monitor");
        std::string expected = fieldsOf(written);
        std::snprintf(written.FileName, sizeof written.FileName, "/opt/orv/report/inf/round");
        written.op = PPOP_UPDATE, written.modify = 5;
        ASSERT_EQ(registerPP(&written), 0);
        EXPECT_EQ(stored("Round", "ProductName") + stored("Round", "DisplayName") +
                      stored("Round", "Version"),
                  sz("Round") + sz("Round Trip Monitor") + sz("2.1"));
        EXPECT_EQ(stored("Round", "Manual") + stored("Round", "LanguageID"),
                  dword(static_cast<DWORD>(manual)) + dword(std::stoul(language)));
        EXPECT_EQ(stored("Round", "ReportTablePath"), typed(REG_BINARY, storedList(tables)));
        EXPECT_EQ(stored("Round", "ProductID").substr(0, 2), "4:");
        expected.replace(expected.find(productId), std::strlen(productId), readId);
        EXPECT_EQ(readBack("Round"), expected + "|" + std::to_string(manual) + "||0|0");
        ASSERT_EQ(unregisterPP(&written), 0);
    }
}

// Register keeps an existing key as it is; update rewrites it; unregister
// deletes it whatever the case of the name. A missing key is neither created
// nor an error. A backslash in a name addresses a deeper key.
TEST(ProductRegistry, RegisterKeepsUpdateRewritesUnregisterDeletes) {
    PPInfo first = makeRecord("Kept", "1.0", {"/t/first"}, PPTYPE_AUTOMATIC);
    ASSERT_EQ(registerPP(&first), 0);
    PPInfo second =
        makeRecord("Kept", "9.0", {"/t/second", "/t/third"}, PPTYPE_MANUAL, "1041", "99", "Other");
    EXPECT_EQ(registerPP(&second), 0);
    EXPECT_EQ(readBack("Kept"), "Kept|Kept display|1033|7|1.0|/t/first|0||0|0");
    ASSERT_EQ(updatePP(&second), 0);
    EXPECT_EQ(readBack("Kept"), "Kept|Other|1041|99|9.0|/t/second,/t/third|1||0|0");

    PPInfo absent = makeRecord("Absent", "1.0", {"/t/a"});
    EXPECT_EQ(updatePP(&absent), 0);
    EXPECT_EQ(unregisterPP(&absent), 0);
    EXPECT_EQ(readBack("Absent"), "<none>");
    EXPECT_EQ(GetProductInfo(nullptr), nullptr);
    for (const auto &[name, key] : {std::pair{"Gone", "GONE"}, {"Outer\\Inner", "Outer\\Inner"}}) {
        SCOPED_TRACE(name);
        PPInfo record = makeRecord(name, "1.0", {"/t/a"});
        ASSERT_EQ(registerPP(&record), 0);
        ASSERT_TRUE(keyExists(productKey(key)));
        EXPECT_EQ(unregisterPP(&record), 0);
        EXPECT_FALSE(keyExists(productKey(key)));
    }
    EXPECT_TRUE(keyExists(productKey("Outer")));
}

// Lists that do not fit, or counts outside 0..4, keep whole leading paths and
// the final NUL and never read past the record.
TEST(ProductRegistry, ReportTableListKeepsWholeLeadingPathsThatFit) {
    const std::string p(100, 'p'), p252 = "/" + std::string(251, 'x');
    // What, tables, their count, the tables kept.
    const std::tuple<const char *, std::vector<std::string>, int, std::vector<std::string>>
        cases[] = {
            {"two of four fit", {p + "1", p + "2", p + "3", "/s"}, 4, {p + "1", p + "2"}},
            {"longest single path", {p252}, 1, {p252}},
            {"path too long for the list", {p252 + "y", "/next"}, 2, {}},
            {"count above four", {"/1", "/2", "/3", "/4"}, 9, {"/1", "/2", "/3", "/4"}},
            {"negative count", {"/1"}, -2, {}},
        };
    for (const auto &[label, tables, count, kept] : cases) {
        SCOPED_TRACE(label);
        PPInfo record = makeRecord("Limits", "1.0", tables);
        record.NumReportTablePath = count;
        ASSERT_EQ(registerPP(&record), 0);
        EXPECT_EQ(stored("Limits", "ReportTablePath"), typed(REG_BINARY, storedList(kept)));
        EXPECT_EQ(readTables("Limits"), kept);
        ASSERT_EQ(unregisterPP(&record), 0);
    }
}

// Texts that a tool left without their NUL are cut to their field; values
// written by hand with other types or lengths than the writer's are read
// without overflow.
TEST(ProductRegistry, TextsAreCutToTheirFields) {
    PPInfo record = makeRecord("Hand", "", {"/t/a"});
    std::memset(record.DisplayName, 'D', sizeof record.DisplayName);
    std::memset(record.Version, '9', sizeof record.Version);
    std::memset(record.ProductID, '1', sizeof record.ProductID);
    ASSERT_EQ(registerPP(&record), 0);
    EXPECT_EQ(
        stored("Hand", "DisplayName") + stored("Hand", "Version") + stored("Hand", "ProductName"),
        sz(std::string(511, 'D')) + sz(std::string(19, '9')) + sz("Hand"));
    EXPECT_EQ(stored("Hand", "ProductID").size(), 6u);

    const std::string key = productKey("Hand");
    ASSERT_EQ(
        writeValue(key, "ReportTablePath", REG_BINARY, std::string("/a\0/b\0/c\0/d\0/e\0\0", 16)),
        ERROR_SUCCESS);
    ASSERT_EQ(writeText(key, "DisplayName", std::string(600, 'D')), ERROR_SUCCESS);
    ASSERT_EQ(writeText(key, "Version", std::string(25, 'v')), ERROR_SUCCESS);
    const std::string back = readBack("Hand");
    EXPECT_EQ(back.substr(0, 517), "Hand|" + std::string(511, 'D') + "|") << back;
    EXPECT_NE(back.find("|" + std::string(19, 'v') + "|/a,/b,/c,/d|"), std::string::npos) << back;

    // A list without any NUL is read up to its stored length only.
    ASSERT_EQ(writeValue(key, "ReportTablePath", REG_BINARY, std::string(254, 'x')), ERROR_SUCCESS);
    EXPECT_EQ(readTables("Hand"), std::vector<std::string>{std::string(253, 'x')});

    // A type that cannot be read as a number counts as automatic.
    ASSERT_EQ(writeValue(key, "Manual", REG_SZ, std::string("manual!!!\0", 10)), ERROR_SUCCESS);
    EXPECT_EQ(GetProductType("Hand"), 0u);
}

// The type readers address the writer's keys in other letter case.
TEST(ProductRegistry, TypeReadersFindTheWritersKeysWhateverTheCase) {
    for (const auto &[name, type] :
         {std::pair{"TypeManual", PPTYPE_MANUAL}, {"TypeAuto", PPTYPE_AUTOMATIC}}) {
        registered(name, "1.0", {"/t/a"}, type);
    }
    setDword(innerKey("InnerManual"), "manual", 1);
    setDword(innerKey("InnerAuto"), "MANUAL", 0);
    ASSERT_EQ(writeText(innerKey("InnerNoType"), "Version", "1"), ERROR_SUCCESS);
    // Name, outer type, inner type.
    const std::tuple<const char *, uint32_t, uint32_t> cases[] = {
        {"TypeManual", 1, 0},  {"typemanual", 1, 0}, {"TypeAuto", 0, 0},    {"InnerManual", 0, 1},
        {"INNERMANUAL", 0, 1}, {"InnerAuto", 0, 0},  {"InnerNoType", 0, 0}, {"Nowhere", 0, 0},
    };
    for (const auto &[name, outer, inner] : cases) {
        EXPECT_EQ(GetProductType(name), outer) << name;
        EXPECT_EQ(GetIProductType(name), inner) << name;
    }
}

// The registry enumerates subkeys in name order, not in registration order.
TEST(ProductRegistry, ListFiltersByTypeInEnumerationOrder) {
    PPInfo *empty = reinterpret_cast<PPInfo *>(&empty);
    ASSERT_EQ(ReadProductsRegisteried(-1, &empty), TRUE);  // before any product
    EXPECT_EQ(empty, nullptr);
    for (const auto &[name, type] : {std::pair{"Delta", PPTYPE_AUTOMATIC},
                                     {"Alpha", PPTYPE_MANUAL},
                                     {"Charlie", PPTYPE_AUTOMATIC},
                                     {"Bravo", PPTYPE_MANUAL}}) {
        registered(name, "1.0", {"/t/a"}, type);
    }
    const std::pair<int, std::vector<std::string>> cases[] = {
        {-1, {"Alpha", "Bravo", "Charlie", "Delta"}},
        {PPTYPE_AUTOMATIC, {"Charlie", "Delta"}},
        {PPTYPE_MANUAL, {"Alpha", "Bravo"}},
        {7, {}},
    };
    for (const auto &[type, expected] : cases) {
        PPInfo *head = reinterpret_cast<PPInfo *>(&head);  // overwritten by the call
        ASSERT_EQ(ReadProductsRegisteried(type, &head), TRUE);
        EXPECT_EQ(namesOf(head), expected) << "type " << type;
        QORPPLX_PPInfoClear(head);
    }
    EXPECT_EQ(ReadProductsRegisteried(-1, nullptr), FALSE);
}
