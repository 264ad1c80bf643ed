// The report information scan: operation codes across successive scans.
#include "lib_helpers.h"

std::string inf(const std::string &name) {
    return std::string(kInfDir) + "/" + name;
}

std::string product(const std::string &name, const std::string &version) {
    return "ProductName=\"" + name + "\"\nVersion=\"" + version + "\"\nProductID=1\n";
}

// Writes a report information file with the given modification time.
void place(const std::string &name, const std::string &bytes, time_t modify) {
    writeFile(inf(name), bytes);
    timespec times[2] = {{modify, 0}, {modify, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, inf(name).c_str(), times, 0), 0);
}

class Scan : public testing::Test {
  protected:
    void TearDown() override { QORPPLX_PPInfoClear(list_); }

    // Scans and returns the op code of every record by file name.
    std::map<std::string, int> scan() {
        EXPECT_EQ(QORPPLX_getPPInfo(&list_), 0);
        std::map<std::string, int> ops;
        for (PPInfo *p = list_; p != nullptr; p = p->next) {
            std::string name = std::string(p->FileName).substr(std::strlen(kInfDir) + 1);
            EXPECT_TRUE(ops.emplace(name, p->op).second) << "two records for " << name;
        }
        return ops;
    }

    PPInfo *record(const std::string &name) {
        return QORPPLX_PPInfoFindPP(list_, inf(name).c_str());
    }

    PPInfo *list_ = nullptr;
};

using Ops = std::map<std::string, int>;
constexpr int NONE = PPOP_NONE, CREATE = PPOP_CREATE, REMOVE = PPOP_REMOVE, UPDATE = PPOP_UPDATE;

TEST_F(Scan, OpCodesAcrossSuccessiveScans) {
    place("a.inf", product("Alpha", "1.0"), 1000);
    place("b.inf", product("Beta", "1.0"), 1000);
    place("c.inf", product("Gamma", "1.0"), 1000);
    place("noname.inf", "Version=\"1.0\"\n", 1000);
    place("long.inf", product("Long", "1.0") + std::string(600, '#') + "\n", 1000);
    EXPECT_EQ(scan(), (Ops{{"a.inf", CREATE}, {"b.inf", CREATE}, {"c.inf", CREATE}}));
    const std::string log = readFile(kPPLinkLog);
    EXPECT_EQ(
        countOf(log, " Product name is not appointed in file \"" + inf("noname.inf") + "\"\n") +
            countOf(log, " Scan file \"" + inf("long.inf") + "\" error\n"),
        2u)
        << log;

    // Unchanged files.
    EXPECT_EQ(scan(), (Ops{{"a.inf", NONE}, {"b.inf", NONE}, {"c.inf", NONE}}));

    // a: touched, same version; b: newer version; c: edited, older version.
    place("a.inf", product("Alpha", "1.0"), 2000);
    place("b.inf", product("Beta2", "2.0"), 2000);
    place("c.inf", product("Gamma", "0.9"), 2000);
    EXPECT_EQ(scan(), (Ops{{"a.inf", NONE}, {"b.inf", UPDATE}, {"c.inf", NONE}}));
    EXPECT_EQ(record("a.inf")->modify, 1000);  // not taken over
    EXPECT_STREQ(record("c.inf")->Version, "1.0");
    EXPECT_EQ(record("b.inf")->modify, 2000);
    EXPECT_STREQ(record("b.inf")->ProductName, "Beta2");

    // a vanishes; c becomes unreadable; b moves to another name; the long
    // file becomes readable; noname gets a name.
    ASSERT_EQ(unlink(inf("a.inf").c_str()), 0);
    place("c.inf", std::string(511, 'x'), 4000);
    ASSERT_EQ(rename(inf("b.inf").c_str(), inf("b2.inf").c_str()), 0);
    place("long.inf", product("Long", "1.0"), 4000);
    place("noname.inf", product("Named", "1.0"), 4000);
    EXPECT_EQ(scan(), (Ops{{"a.inf", REMOVE},
                           {"b.inf", REMOVE},
                           {"c.inf", REMOVE},
                           {"b2.inf", CREATE},
                           {"long.inf", CREATE},
                           {"noname.inf", CREATE}}));
    list_ = QORPPLX_PPInfoDeleteAllRemovedPP(list_);  // as the link thread does

    // c readable again after its record was dropped: created anew.
    place("c.inf", product("Gamma", "1.0"), 5000);
    EXPECT_EQ(scan(),
              (Ops{{"b2.inf", NONE}, {"c.inf", CREATE}, {"long.inf", NONE}, {"noname.inf", NONE}}));
}

TEST_F(Scan, OnlyRegularFilesThatFitTheRecordAreRead) {
    // Paths of 63 and 64 characters.
    const std::string name43 = std::string(39, 'n') + ".inf",
                      name44 = std::string(40, 'n') + ".inf";
    place(name43, product("Fits", "1"), 1000);
    place(name44, product("TooLong", "1"), 1000);
    place("a b.inf", product("Blank", "1"), 1000);
    place("new\nline.inf", product("Newline", "1"), 1000);
    place("\xe9t\xe9.inf", product("Latin1", "1"), 1000);
    place(".hidden", product("Hidden", "1"), 1000);
    ASSERT_EQ(symlink(inf("a b.inf").c_str(), inf("link.inf").c_str()), 0);
    ASSERT_EQ(mkdir(inf("sub.inf").c_str(), 0755), 0);
    ASSERT_EQ(symlink(inf("sub.inf").c_str(), inf("dirlink.inf").c_str()), 0);
    ASSERT_EQ(mkfifo(inf("pipe.inf").c_str(), 0644), 0);

    EXPECT_EQ(scan(), (Ops{{name43, CREATE},
                           {"a b.inf", CREATE},
                           {"new\nline.inf", CREATE},
                           {"\xe9t\xe9.inf", CREATE},
                           {".hidden", CREATE},
                           {"link.inf", CREATE}}));
    // The long name is reported under its whole path, never stored cut.
    EXPECT_NE(readFile(kPPLinkLog).find("Scan file \"" + inf(name44) + "\" error\n"),
              std::string::npos);
}

TEST_F(Scan, DirectoryEmptyOrMissing) {
    // Records of a list built elsewhere, one path listed twice: the first wins.
    PPInfo *first = newRecord("One"), *second = newRecord("Two");
    std::strcpy(first->FileName, inf("x.inf").c_str());
    std::strcpy(second->FileName, inf("x.inf").c_str());
    first->modify = second->modify = 1;
    list_ = QORPPLX_PPInfoAddPP(QORPPLX_PPInfoAddPP(nullptr, first), second);

    EXPECT_EQ(QORPPLX_getPPInfo(&list_), 0);
    EXPECT_EQ(std::pair(first->op, second->op), std::pair(REMOVE, REMOVE));

    place("x.inf", product("One", "1"), 1);
    EXPECT_EQ(QORPPLX_getPPInfo(&list_), 0);
    EXPECT_EQ(std::pair(first->op, second->op), std::pair(NONE, REMOVE));
    EXPECT_EQ(second->next, nullptr);

    ASSERT_EQ(unlink(inf("x.inf").c_str()), 0);
    ASSERT_EQ(rmdir(kInfDir), 0);
    EXPECT_EQ(QORPPLX_getPPInfo(&list_), -1);
    EXPECT_EQ(std::pair(first->op, second->op), std::pair(REMOVE, REMOVE));
}

// Also: the records found in list order before the first file that is not
// stay kept once the scan looks records up by name.
TEST_F(Scan, ListLongerThanTheDirectory) {
    Ops created, after;
    for (int i = 0; i < 40; ++i) {
        std::string name = "p" + std::to_string(i) + ".inf";
        place(name, product("P" + std::to_string(i), "1"), 1000);
        created[name] = CREATE;
        after[name] = i == 0 || i == 7 ? NONE : REMOVE;
    }
    EXPECT_EQ(scan(), created);
    for (int i = 0; i < 40; ++i) {
        if (i != 0 && i != 7) {
            ASSERT_EQ(unlink(inf("p" + std::to_string(i) + ".inf").c_str()), 0);
        }
    }
    EXPECT_EQ(scan(), after);
}
