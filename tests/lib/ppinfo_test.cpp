// Product records and lists.
#include "lib_helpers.h"

// Builds a list of records named by `names`, each with its op code.
PPInfo *buildList(const std::vector<std::pair<std::string, int>> &records) {
    PPInfo *head = nullptr;
    for (const auto &[name, op] : records)
        head = QORPPLX_PPInfoAddPP(head, newRecord(name.c_str(), op));
    return head;
}

// An empty list finds and frees nothing and takes a record as it is; append
// goes to the tail and ends the list; delete goes by identity.
TEST(PPInfoList, AppendToTheTailAndDeleteByIdentity) {
    EXPECT_EQ(QORPPLX_PPInfoFindPP(nullptr, "x"), nullptr);
    EXPECT_EQ(QORPPLX_PPInfoFindPPbyProduct(nullptr, "Alpha"), nullptr);
    EXPECT_EQ(QORPPLX_PPInfoDeleteAllRemovedPP(nullptr), nullptr);
    EXPECT_EQ(QORPPLX_PPInfoClear(nullptr), 0);
    PPInfo stray{};
    PPInfo *head = newRecord("A"), *b = newRecord("B"), *c = newRecord("C");
    EXPECT_EQ(QORPPLX_PPInfoDeletePP(nullptr, head), nullptr);
    head->next = &stray;
    EXPECT_EQ(QORPPLX_PPInfoAddPP(nullptr, head), head);
    EXPECT_EQ(head->next, &stray);
    head->next = nullptr, c->next = &stray;
    EXPECT_EQ(QORPPLX_PPInfoAddPP(QORPPLX_PPInfoAddPP(head, b), c), head);
    EXPECT_EQ(c->next, nullptr);

    // Equal contents but another record: nothing is freed or unlinked.
    PPInfo *lookalike = newRecord("B");
    EXPECT_EQ(QORPPLX_PPInfoDeletePP(head, lookalike), head);
    EXPECT_EQ(namesOf(head), (std::vector<std::string>{"A", "B", "C"}));
    std::free(lookalike);
    head = QORPPLX_PPInfoDeletePP(head, c);
    EXPECT_EQ(namesOf(head), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(head = QORPPLX_PPInfoDeletePP(head, head), b);
    EXPECT_EQ(QORPPLX_PPInfoDeletePP(head, head), nullptr);
}

TEST(PPInfoList, DeleteAllRemovedKeepsTheOthersInOrder) {
    const int N = PPOP_NONE, C = PPOP_CREATE, R = PPOP_REMOVE, U = PPOP_UPDATE;
    const std::tuple<std::vector<int>, std::vector<std::string>, int> cases[] = {
        // ops, kept, new head (-1 none)
        {{R, N, R, R, U}, {"1", "4"}, 1}, {{R, R, R}, {}, -1},
        {{N, U, C}, {"0", "1", "2"}, 0},  {{N, R}, {"0"}, 0},
        {{C, R, N, R}, {"0", "2"}, 0},
    };
    for (const auto &[ops, kept, newHead] : cases) {
        PPInfo *head = nullptr;
        std::vector<PPInfo *> original;
        for (int op : ops) {
            original.push_back(newRecord(std::to_string(original.size()).c_str(), op));
            head = QORPPLX_PPInfoAddPP(head, original.back());
        }
        PPInfo *result = QORPPLX_PPInfoDeleteAllRemovedPP(head);
        EXPECT_EQ(result, newHead < 0 ? nullptr : original[size_t(newHead)]);
        EXPECT_EQ(namesOf(result), kept);
        QORPPLX_PPInfoClear(result);  // the sanitizer reports any record freed twice or lost
    }
}

TEST(PPInfoList, SearchesAreExactAndFindTheFirst) {
    PPInfo *head = buildList({{"Alpha", 0}, {"Beta", 0}, {"Alpha", 0}});
    for (PPInfo *p = head; p != nullptr; p = p->next)
        std::strcpy(p->FileName, p == head->next ? "/inf/b.inf" : "/inf/a.inf");
    EXPECT_EQ(QORPPLX_PPInfoFindPPbyProduct(head, "Alpha"), head);
    EXPECT_EQ(QORPPLX_PPInfoFindPPbyProduct(head, "Alph"), nullptr);
    EXPECT_EQ(QORPPLX_PPInfoFindPP(head, "/inf/a.inf"), head);
    for (const char *other : {"/inf/B.inf", "a.inf"})
        EXPECT_EQ(QORPPLX_PPInfoFindPP(head, other), nullptr);
    QORPPLX_PPInfoClear(head);
}

// A version is newer by plain byte order; a file is taken over only when its
// modification time changed and its version is newer.
TEST(PPInfoCompare, VersionAndChangeRules) {
    // a, b (nullptr: no record), their modification times, version newer, file newer
    const std::tuple<const char *, const char *, time_t, time_t, int, int> cases[] = {
        {"2.1", "2.0", 200, 100, 1, 1},  {"2.0", "2.0", 200, 100, 0, 0},
        {"1.10", "1.9", 200, 100, 0, 0}, {"2.0", "10.0", 100, 200, 1, 1},
        {"1", "", 200, 100, 1, 1},       {"", "1", 200, 100, 0, 0},
        {"\xe9", "z", 200, 100, 1, 1},   {"2.0", "1.0", 100, 100, 1, 0},
        {nullptr, "1", 200, 100, 0, 0},  {"1", nullptr, 200, 100, 1, 0},
        {nullptr, nullptr, 0, 0, 0, 0},
    };
    for (const auto &[va, vb, modifyA, modifyB, versionNewer, fileNewer] : cases) {
        PPInfo a{}, b{};
        a.modify = modifyA, b.modify = modifyB;
        a.access = 1, b.change = 2;  // access and change play no part
        if (va != nullptr) std::strcpy(a.Version, va);
        if (vb != nullptr) std::strcpy(b.Version, vb);
        PPInfo *pa = va ? &a : nullptr, *pb = vb ? &b : nullptr;
        SCOPED_TRACE(std::string(va ? va : "null") + " against " + (vb ? vb : "null"));
        EXPECT_EQ(QORPPLX_PPVersionNewer(pa, pb), versionNewer);
        EXPECT_EQ(QORPPLX_PPInfoNewer(pa, pb), fileNewer);
    }
}

TEST(PPInfoCompare, ComparesOnlyTheRegistrationFields) {
    // What differs, the change, the comparison.
    const std::tuple<const char *, void (*)(PPInfo &), int> cases[] = {
        {"FileName", [](PPInfo &p) { std::strcpy(p.FileName, "/other"); }, 0},
        {"LanguageID", [](PPInfo &p) { std::strcpy(p.LanguageID, "1033"); }, 0},
        {"times", [](PPInfo &p) { p.access = p.modify = p.change = 9; }, 0},
        {"op and Manual", [](PPInfo &p) { p.op = 3, p.Manual = 1; }, 0},
        {"unused table", [](PPInfo &p) { std::strcpy(p.ReportTablePath[2], "/x"); }, 0},
        {"ProductName", [](PPInfo &p) { std::strcpy(p.ProductName, "alpha"); }, 1},
        {"DisplayName", [](PPInfo &p) { std::strcpy(p.DisplayName, "Alpha "); }, 1},
        {"ProductID", [](PPInfo &p) { std::strcpy(p.ProductID, "121"); }, 1},
        {"Version", [](PPInfo &p) { std::strcpy(p.Version, "2.0"); }, 1},
        {"table in use", [](PPInfo &p) { std::strcpy(p.ReportTablePath[1], "/t/B"); }, 1},
        {"table count", [](PPInfo &p) { p.NumReportTablePath = 3; }, 1},
    };
    char tables[PPINFO_MAX_REPORTTABLES][PPINFO_REPORTTABLEPATH_SIZE] = {"/t/a", "/t/b"};
    for (const auto &[what, change, expected] : cases) {
        PPInfo a{};
        QORPPLX_PPInfoSetPP(&a, "", "Alpha", 2, tables[0], "Alpha", "", "120", "1.0");
        PPInfo b = a;
        change(b);
        EXPECT_EQ(QORPPLX_PPInfoCompPP(&a, &b), expected) << what;
        EXPECT_EQ(QORPPLX_PPInfoCompPP(&b, &a), expected) << what;
    }
}

// Set ends the record and keeps its times, type and unused table slots;
// texts are cut to their fields and the count to the record's four.
TEST(PPInfoRecord, SetEndsTheRecordAndKeepsTimesAndType) {
    PPInfo p{}, other{};
    p.next = &other;
    p.access = 5, p.Manual = PPTYPE_MANUAL, p.op = PPOP_REMOVE;
    std::strcpy(p.ReportTablePath[1], "/t/old");
    char tables[PPINFO_MAX_REPORTTABLES][PPINFO_REPORTTABLEPATH_SIZE] = {"/t/a", "/t/b"};
    QORPPLX_PPInfoSetPP(&p, "/f", "Alpha", 1, tables[0], "Disp", "1041", "7",
                        std::string(40, '9').c_str());
    EXPECT_TRUE(p.next == nullptr && p.op == PPOP_NONE && p.access == 5 &&
                p.Manual == PPTYPE_MANUAL);
    EXPECT_EQ(std::string(p.ReportTablePath[0]) + "|" + p.ReportTablePath[1], "/t/a|/t/old");
    EXPECT_EQ(std::string(p.Version), std::string(19, '9'));
    QORPPLX_PPInfoSetPP(&p, "/f", "Alpha", 7, tables[0], "", "", "", "");
    EXPECT_EQ(p.NumReportTablePath, PPINFO_MAX_REPORTTABLES);
}
