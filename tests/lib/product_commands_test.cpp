// The product commands through product_process: result codes, console
// messages, what each command leaves in the registry and the report table,
// the message writer and the command mutex.
#include <chrono>
#include <functional>
#include <future>
#include <random>
#include <string>
#include <vector>

#include "lib_helpers.h"

using namespace lib_test;

namespace {

const std::string kTable = std::string(kTablesDir) + "/p.tbl";
const std::string kOtherTable = std::string(kTablesDir) + "/q.tbl";
const std::string kBadTable = std::string(kTablesDir) + "/bad.tbl";
const std::string kMissingTable = std::string(kTablesDir) + "/missing.tbl";
const std::string kLinkTable = std::string(kTablesDir) + "/link.tbl";
const std::string kDirectoryTable = kTablesDir;

void writeTables() {
    writeTable("p.tbl", tableRows("SrcP", 1, 3));
    writeTable("q.tbl", tableRows("SrcP", 10, 2));
    writeFile(kBadTable, "SrcBad,1,INFO,fine\nthis line is not an entry\n");
    ::symlink(kTable.c_str(), kLinkTable.c_str());
}

// Runs a command with its messages discarded; for preparing a state.
uint32_t quietly(uint32_t command, PPInfo record) {
    int saved = print2;
    print2 = 2;
    uint32_t result = product_process(command, &record);
    print2 = saved;
    return result;
}

void installed(const char *name, const char *version, int manual) {
    ASSERT_EQ(quietly(PPCMD_INSTALL, makeRecord(name, version, {kTable}, manual)), 0u);
}

void outerOnly(const char *name, const char *version, int manual) {
    PPInfo record = makeRecord(name, version, {kTable}, manual);
    ASSERT_EQ(registerPP(&record), 0);
}

struct Outcome {
    uint32_t result;
    std::string output;
};

Outcome capture(uint32_t command, PPInfo *record) {
    print2 = 1;
    ::testing::internal::CaptureStdout();
    uint32_t result = product_process(command, record);
    return {result, ::testing::internal::GetCapturedStdout()};
}

class ProductCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        traceToFile();
        writeTables();
        print2 = 1;
    }
};

// ---- Result codes and messages -------------------------------------------------

struct CommandCase {
    const char *label;
    std::function<void()> prepare;
    uint32_t command;
    std::function<PPInfo()> record;
    uint32_t result;
    std::string output;
    const char *trace = nullptr;  // a level-1 line of product_process
};

void PrintTo(const CommandCase &c, std::ostream *os) {
    *os << c.label;
}

class ProductCommandCodes : public ProductCommand,
                            public ::testing::WithParamInterface<CommandCase> {};

TEST_P(ProductCommandCodes, ResultAndConsoleText) {
    const CommandCase &c = GetParam();
    if (c.prepare) c.prepare();
    PPInfo record = c.record();
    Outcome run = capture(c.command, &record);
    EXPECT_EQ(run.result, c.result);
    EXPECT_EQ(run.output, c.output);
    if (c.trace != nullptr) {
        EXPECT_TRUE(tracedLine(1, "product_process", c.trace)) << readFile(kTraceFile);
    }
}

auto rec(const char *name, const char *version, int manual = PPTYPE_MANUAL,
         std::vector<std::string> tables = {kTable}) {
    return [=] { return makeRecord(name, version, tables, manual); };
}

auto withCount(const char *name, int count) {
    return [=] {
        PPInfo record = makeRecord(name, "1.0", {kTable, kTable, kTable, kTable});
        record.NumReportTablePath = count;
        return record;
    };
}

// Product "P" installed beforehand, and the texts the commands print for it.
auto have(const char *version, int manual = PPTYPE_MANUAL) {
    return [=] { installed("P", version, manual); };
}
const std::string kInstalled = "Product \"P\" INSTALLED successfully\n";
const std::string kUpdated = "Product \"P\" has been UPDATED successfully\n";
const std::string kRemoved = "Product \"P\" is REMOVED sucessfully\n";
const std::string kNotExist = "Product \"P\" is not exist\n";
const std::string kNotHigher = "Your information file is not a HIGHER VERSION one\n";
const std::string kNotOwned = "You can't update the product not owned\n";

const CommandCase kCommandCases[] = {
    // install
    {"InstallNew", nullptr, PPCMD_INSTALL, rec("P", "1.0"), 0x00, kInstalled},
    {"InstallExisting", have("1.0"), PPCMD_INSTALL, rec("P", "2.0"), 0x01, "Product \"P\" exist\n"},
    {"InstallFailingImport", nullptr, PPCMD_INSTALL, rec("P", "1.0", 1, {kBadTable}), 0x13,
     "Install product \"P\" error\n"},
    {"InstallPercentName", nullptr, PPCMD_INSTALL, rec("50%d%s", "1.0"), 0x00,
     "Product \"50%d%s\" INSTALLED successfully\n"},
    {"InstallBackslashName", nullptr, PPCMD_INSTALL, rec("A\\B", "1.0"), 0x11,
     "Install product \"A\\B\" error\n"},
    // update
    {"UpdateMissing", nullptr, PPCMD_UPDATE, rec("P", "2.0"), 0x01, kNotExist},
    {"UpdateSameVersion", have("1.0"), PPCMD_UPDATE, rec("P", "1.0"), 0x03, kNotHigher},
    {"UpdateNumericallyHigher", have("1.9"), PPCMD_UPDATE, rec("P", "1.10"), 0x03, kNotHigher},
    {"UpdateHigher", have("1.0"), PPCMD_UPDATE, rec("P", "1.1"), 0x00, kUpdated},
    {"UpdateNotOwned", have("1.0", PPTYPE_AUTOMATIC), PPCMD_UPDATE, rec("P", "2.0"), 0x04,
     kNotOwned},
    {"UpdateWithoutInner", [] { outerOnly("P", "1.0", PPTYPE_MANUAL); }, PPCMD_UPDATE,
     rec("P", "2.0"), 0x00, kUpdated},
    {"UpdateFailingImport", have("1.0"), PPCMD_UPDATE, rec("P", "2.0", 1, {kBadTable}), 0x10,
     "Update product \"P\" error\n"},
    // registry update
    {"UpdateRegistryLowerVersion", have("2.0"), PPCMD_UPDATE_REGISTRY, rec("P", "1.0"), 0x00, ""},
    {"UpdateRegistryMissing", nullptr, PPCMD_UPDATE_REGISTRY, rec("P", "1.0"), 0x01, kNotExist},
    {"UpdateRegistryNotOwned", have("1.0"), PPCMD_UPDATE_REGISTRY,
     rec("P", "2.0", PPTYPE_AUTOMATIC), 0x04, kNotOwned},
    {"UpdateRegistryWithoutTables", have("1.0"), PPCMD_UPDATE_REGISTRY,
     rec("P", "2.0", PPTYPE_MANUAL, {}), 0x00, ""},
    // remove
    {"RemoveMissing", nullptr, PPCMD_REMOVE, rec("P", ""), 0x01, kNotExist},
    {"RemoveOwned", have("1.0"), PPCMD_REMOVE, rec("P", "", PPTYPE_MANUAL, {}), 0x00, kRemoved},
    {"RemoveNotOwned", have("1.0", PPTYPE_AUTOMATIC), PPCMD_REMOVE, rec("P", ""), 0x02,
     "You can't remove the product not owned\n"},
    {"RemoveAnyType", have("1.0", PPTYPE_AUTOMATIC), PPCMD_REMOVE, rec("P", "", -1), 0x00,
     kRemoved},
    {"RemoveWithoutInner", [] { outerOnly("P", "1.0", PPTYPE_MANUAL); }, PPCMD_REMOVE, rec("P", ""),
     0x00, kRemoved},
    // codes that name no command
    {"CommandThree", have("1.0"), 3, rec("P", "2.0"), 0x00, ""},
    {"CommandUnknown", nullptr, 0xFFFFFFFF, rec("P", "2.0"), 0x00, ""},
    // validation before the lock
    {"EmptyNameInstall", nullptr, PPCMD_INSTALL, rec("", "1.0"), 0x10, "", "Product name is null"},
    {"EmptyNameRemove", nullptr, PPCMD_REMOVE, rec("", "1.0"), 0x10, "", "Product name is null"},
    {"EmptyNameUnknown", nullptr, 3, rec("", "1.0"), 0x10, "", "Product name is null"},
    {"InstallWithoutTables", nullptr, PPCMD_INSTALL, rec("P", "1.0", 1, {}), 0x14, "",
     "not report table defined"},
    {"UpdateWithoutTables", have("1.0"), PPCMD_UPDATE, rec("P", "2.0", 1, {}), 0x14, "",
     "not report table defined"},
    {"InstallMissingTable", nullptr, PPCMD_INSTALL, rec("P", "1.0", 1, {kTable, kMissingTable}),
     0x14, "", "<can't get file's status : /opt/orv/tables/missing.tbl"},
    {"InstallDirectoryTable", nullptr, PPCMD_INSTALL, rec("P", "1.0", 1, {kDirectoryTable}), 0x14,
     "", "<not valid file : /opt/orv/tables"},
    {"InstallLinkedTable", nullptr, PPCMD_INSTALL, rec("P", "1.0", 1, {kLinkTable}), 0x00,
     kInstalled},
    {"InstallTooManyTables", nullptr, PPCMD_INSTALL, withCount("P", 5), 0x14, ""},
    {"UpdateNegativeTables", nullptr, PPCMD_UPDATE, withCount("P", -1), 0x14, ""},
};

INSTANTIATE_TEST_SUITE_P(Codes, ProductCommandCodes, ::testing::ValuesIn(kCommandCases),
                         [](const auto &info) { return std::string(info.param.label); });

TEST_F(ProductCommand, NullRecordIsRefused) {
    Outcome run = capture(PPCMD_INSTALL, nullptr);
    EXPECT_EQ(run.result, 0x10u);
    EXPECT_EQ(run.output, "");
    EXPECT_TRUE(tracedLine(1, "product_process", "param proInfo is NULL"));
}

// ---- What the commands leave behind ----------------------------------------------

// The inner product takes the system language; the product key the record's.
TEST_F(ProductCommand, InstallWritesOuterAndInnerProductAndImportsTables) {
    struct Case {
        const char *label;
        std::optional<DWORD> systemLanguage;
        DWORD innerLanguage;
    };
    const Case cases[] = {{"configured", 1041, 1041}, {"unreadable", std::nullopt, 1033}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        if (c.systemLanguage) setDword(kAlertManKey, "LanguageID", *c.systemLanguage);
        PPInfo record = makeRecord("Lang", "1.0", {kTable}, PPTYPE_MANUAL, "1033", "77");
        ASSERT_EQ(quietly(PPCMD_INSTALL, record), 0u);

        EXPECT_EQ(readDword(productKey("Lang"), "LanguageID"), 1033u);
        EXPECT_EQ(readDword(productKey("Lang"), "Manual"), 1u);
        EXPECT_EQ(readDword(innerKey("Lang"), "LanguageID"), c.innerLanguage);
        EXPECT_EQ(readDword(innerKey("Lang"), "ProductID"), 77u);
        EXPECT_EQ(readDword(innerKey("Lang"), "Manual"), 1u);
        EXPECT_EQ(readValue(innerKey("Lang"), "Version")->bytes.c_str(), std::string("1.0"));
        EXPECT_EQ(GetIProductType("Lang"), 1u);
        // The sources the copy registered, and the product time of the key.
        EXPECT_EQ(readValue(innerKey("Lang"), "Source")->bytes, std::string("SrcP\0", 5));
        FILETIME outerTime{};
        ASSERT_TRUE(AMACRTGetProductTime("Lang", &outerTime));
        EXPECT_EQ(readValue(innerKey("Lang"), "ProductTime")->bytes,
                  std::string(reinterpret_cast<const char *>(&outerTime), 8));
        EXPECT_EQ(ownedEntries("SrcP", "Lang"), (std::vector<std::string>{"1", "2", "3"}));

        ASSERT_EQ(quietly(PPCMD_REMOVE, makeRecord("Lang", "", {}, PPTYPE_MANUAL)), 0u);
        RegDeleteValue(Key(kAlertManKey).get(), "LanguageID");
    }
}

// A failed import keeps the outer half's change (the product key registered
// or rewritten) and nothing else: neither report table entries, even of a
// copy that failed part way, nor saved parameters, nor an inner product.
TEST_F(ProductCommand, FailedImportKeepsOnlyTheOuterHalf) {
    const std::string longSource = std::string(kTablesDir) + "/long.tbl";
    writeFile(longSource,
              "SrcLong,1,INFO,a\nSrcLong,2,INFO,b\n" + std::string(300, 'S') + ",3,INFO,c\n");
    struct Case {
        const char *name;
        bool installedBefore;
        uint32_t command;
        const std::string &table;
        uint32_t result;
    };
    const Case cases[] = {
        {"Malformed", false, PPCMD_INSTALL, kBadTable, 0x13},
        {"PartWay", false, PPCMD_INSTALL, longSource, 0x13},
        {"UpdatePartWay", true, PPCMD_UPDATE, longSource, 0x10},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.installedBefore) installed(c.name, "1.0", PPTYPE_MANUAL);
        const std::string before = registryTree(kAlertManKey);
        ASSERT_EQ(quietly(c.command, makeRecord(c.name, "2.0", {c.table})), c.result);
        EXPECT_EQ(readValue(productKey(c.name), "Version")->bytes, std::string("2.0\0", 4));
        EXPECT_EQ(registryTree(kAlertManKey), before);
    }
    // A second install finds the outer product.
    EXPECT_EQ(quietly(PPCMD_INSTALL, makeRecord("Malformed", "1.0", {kTable})), 0x01u);
}

// An update replaces the report tables (importing them as an install does when
// the inner product is missing); a registry update leaves them and the inner
// product alone.
TEST_F(ProductCommand, UpdatesAndTheReportTables) {
    struct Case {
        const char *name;
        bool innerBefore;
        uint32_t command;
        const std::string &table;
        const char *innerVersion;
        std::vector<std::string> owned;
    };
    const Case cases[] = {
        {"Up", true, PPCMD_UPDATE, kOtherTable, "2.0", {"10", "11"}},
        {"Outer", false, PPCMD_UPDATE, kTable, "2.0", {"1", "2", "3"}},
        {"Pi", true, PPCMD_UPDATE_REGISTRY, kOtherTable, "1.5", {"1", "2", "3"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.innerBefore) {
            installed(c.name, "1.5", PPTYPE_MANUAL);
        } else {
            outerOnly(c.name, "1.5", PPTYPE_MANUAL);
        }
        ASSERT_EQ(quietly(c.command, makeRecord(c.name, "2.0", {c.table})), 0u);
        EXPECT_EQ(readValue(productKey(c.name), "Version")->bytes, std::string("2.0\0", 4));
        EXPECT_EQ(readValue(innerKey(c.name), "Version")->bytes.c_str(),
                  std::string(c.innerVersion));
        EXPECT_EQ(ownedEntries("SrcP", c.name), c.owned);
        if (!c.innerBefore) {
            EXPECT_EQ(readValue(innerKey(c.name), "Source")->bytes, std::string("SrcP\0", 5));
        }
    }
}

TEST_F(ProductCommand, RemoveDeletesEverythingOfTheProduct) {
    installed("Rm", "1.0", PPTYPE_AUTOMATIC);
    installed("Stay", "1.0", PPTYPE_MANUAL);
    ASSERT_EQ(quietly(PPCMD_REMOVE, makeRecord("Rm", "", {}, -1)), 0u);
    EXPECT_FALSE(keyExists(productKey("Rm")));
    EXPECT_FALSE(keyExists(innerKey("Rm")));
    EXPECT_EQ(ownedEntries("SrcP", "Rm"), std::vector<std::string>{});
    EXPECT_EQ(ownedEntries("SrcP", "Stay"), (std::vector<std::string>{"1", "2", "3"}));
}

// ---- A command killed at any moment -----------------------------------------------

// Runs a command in a child process; waits until the child is about to call
// product_process, then SIGKILLs it after `delay` unless it ended first.
// Returns the time from the call to the child's end when it was not killed.
std::chrono::microseconds runChild(uint32_t command, PPInfo record,
                                   std::chrono::microseconds delay) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::close(fds[0]);
        print2 = 2;
        if (::write(fds[1], "r", 1) != 1) ::_exit(2);
        ::_exit(static_cast<int>(product_process(command, &record)));
    }
    ::close(fds[1]);
    char ready = 0;
    bool started = ::read(fds[0], &ready, 1) == 1;
    ::close(fds[0]);
    auto begin = std::chrono::steady_clock::now();
    if (started && delay.count() >= 0) {
        ::usleep(static_cast<useconds_t>(delay.count()));
        ::kill(pid, SIGKILL);
    }
    ::waitpid(pid, nullptr, 0);
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                 begin);
}

// Killed at any point, install, update and remove leave the registry entirely
// as it was or entirely as the command leaves it: the outer and the inner
// product, the product's report table entries and the saved parameters. The
// same command afterwards then does its work, or finds it done.
TEST_F(ProductCommand, KilledCommandLeavesTheOldStateOrTheNewOne) {
    const std::string first = writeTable("k1.tbl", tableRows("SrcK", 1, 20));
    const std::string second = writeTable("k2.tbl", tableRows("SrcL", 1, 20));
    const std::string third = writeTable("k3.tbl", tableRows("SrcL", 15, 20));
    const PPInfo version1 = makeRecord("K", "1.0", {first, second});
    const PPInfo version2 = makeRecord("K", "2.0", {second, third});
    const PPInfo anyType = makeRecord("K", "", {}, -1);
    auto absent = [&] { quietly(PPCMD_REMOVE, anyType); };
    auto present = [&] {
        absent();
        ASSERT_EQ(quietly(PPCMD_INSTALL, version1), 0u);
    };
    struct Case {
        const char *label;
        std::function<void()> from;
        uint32_t command;
        const PPInfo &record;
        uint32_t whenDone;  // the result of the command run again once it has landed
    };
    const Case cases[] = {
        {"install", absent, PPCMD_INSTALL, version1, 0x01},
        {"update", present, PPCMD_UPDATE, version2, 0x03},
        {"remove", present, PPCMD_REMOVE, anyType, 0x01},
    };
    present();  // every round starts from a registry that has seen the product once
    std::mt19937 random(std::random_device{}());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        c.from();
        auto span = runChild(c.command, c.record, std::chrono::microseconds(-1));
        const std::string after = registryTree("SOFTWARE\\ORV");
        for (int round = 0, rounds = killRounds(20); round < rounds; ++round) {
            SCOPED_TRACE("round " + std::to_string(round));
            c.from();
            const std::string before = registryTree("SOFTWARE\\ORV");
            runChild(c.command, c.record, std::chrono::microseconds(random() % (span.count() + 1)));
            const std::string killed = registryTree("SOFTWARE\\ORV");
            bool landed = killed == after;
            ASSERT_TRUE(landed || killed == before) << killed;
            EXPECT_EQ(quietly(c.command, c.record), landed ? c.whenDone : 0u);
            ASSERT_EQ(registryTree("SOFTWARE\\ORV"), after);
        }
    }
}

// ---- Message writer ------------------------------------------------------------------

TEST_F(ProductCommand, MessagesGoWherePrint2SaysCutAt1022Characters) {
    struct Case {
        int print2;
        bool onConsole;
        bool inTrace;
    };
    const Case cases[] = {
        {0, false, true}, {1, true, false}, {2, false, false}, {-1, false, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.print2);
        traceToFile();
        const std::string text = "Product \"7%s%d\" exist #" + std::to_string(c.print2) + "\n";
        print2 = c.print2;
        ::testing::internal::CaptureStdout();
        msgout("Product \"%s\" exist #%d\n", "7%s%d", c.print2);
        std::string output = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(output, c.onConsole ? text : "");
        EXPECT_EQ(tracedLine(3, "msgout", text.substr(0, text.size() - 1)), c.inTrace);
    }
    // A long message is cut at 1022 characters.
    const std::string longText(2000, 'm');
    print2 = 1;
    ::testing::internal::CaptureStdout();
    msgout("%s", longText.c_str());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), longText.substr(0, 1022));
}

// ---- The command mutex ---------------------------------------------------------------

// A command waits for a live holder of the mutex, and one killed holding it
// blocks no command.
TEST_F(ProductCommand, CommandWaitsForALiveHolderAndNotForADeadOne) {
    for (bool dieHolding : {false, true}) {
        SCOPED_TRACE(dieHolding ? "killed holder" : "live holder");
        MutexHolder holder;
        ASSERT_TRUE(holder.holding());
        if (dieHolding) {
            ASSERT_EQ(holder.kill(), 128 + SIGKILL);
        }
        ::alarm(30);  // a command that never returns fails the test instead of hanging it
        auto install = std::async(std::launch::async, [] {
            return quietly(PPCMD_INSTALL, makeRecord("Waiting", "1.0", {kTable}));
        });
        if (!dieHolding) {
            // Deliberate, bounded pause: the install must not get past a live holder.
            EXPECT_EQ(install.wait_for(std::chrono::milliseconds(300)),
                      std::future_status::timeout);
            EXPECT_EQ(holder.release(), 0);
        }
        EXPECT_EQ(install.get(), 0u);
        EXPECT_EQ(quietly(PPCMD_REMOVE, makeRecord("Waiting", "", {})), 0u);
        ::alarm(0);
    }
}

}  // namespace
