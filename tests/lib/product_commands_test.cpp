// The product commands through product_process: result codes, console
// messages, what each command leaves in the registry and the report table,
// the message writer and the command mutex.
#include <sys/syscall.h>

#include <random>

#include "lib_helpers.h"

const std::string kTable = std::string(kTablesDir) + "/p.tbl";
const std::string kOtherTable = std::string(kTablesDir) + "/q.tbl";
const std::string kBadTable = std::string(kTablesDir) + "/bad.tbl";
const std::string kLinkTable = std::string(kTablesDir) + "/link.tbl";

// Runs a command with its messages discarded; for preparing a state.
uint32_t quietly(uint32_t command, PPInfo record) {
    print2 = 2;
    return product_process(command, &record);
}

void installed(const char *name, const char *version, int manual = PPTYPE_MANUAL) {
    ASSERT_EQ(quietly(PPCMD_INSTALL, makeRecord(name, version, {kTable}, manual)), 0u);
}

class ProductCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        traceToFile();
        writeTable("p.tbl", tableRows("SrcP", 1, 3));
        writeTable("q.tbl", tableRows("SrcP", 10, 2));
        writeFile(kBadTable, "SrcBad,1,INFO,fine\nthis line is not an entry\n");
        ::symlink(kTable.c_str(), kLinkTable.c_str());
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
};

class ProductCommandCodes : public ProductCommand,
                            public ::testing::WithParamInterface<CommandCase> {};

TEST_P(ProductCommandCodes, ResultAndConsoleText) {
    const CommandCase &c = GetParam();
    if (c.prepare) c.prepare();
    PPInfo record = c.record();
    print2 = 1;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(product_process(c.command, &record), c.result);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.output);
}

// A record; `count` other than -9 overrides the number of tables.
auto rec(const char *name, const char *version, int manual = PPTYPE_MANUAL,
         std::vector<std::string> tables = {kTable}, int count = -9) {
    return [=] {
        PPInfo record = makeRecord(name, version, tables, manual);
        if (count != -9) record.NumReportTablePath = count;
        return record;
    };
}
const std::vector<std::string> kFour = {kTable, kTable, kTable, kTable};

// Product "P" installed beforehand, and the texts the commands print for it.
auto have(const char *version, int manual = PPTYPE_MANUAL) {
    return [=] { installed("P", version, manual); };
}
const auto kOuterOnly = [] { registered("P", "1.0", {kTable}); };
const std::string kInstalled = "Product \"P\" INSTALLED successfully\n";
const std::string kUpdated = "Product \"P\" has been UPDATED successfully\n";
const std::string kRemoved = "Product \"P\" is REMOVED sucessfully\n";
const std::string kNotExist = "Product \"P\" is not exist\n";
const std::string kNotOwned = "You can't update the product not owned\n";

constexpr uint32_t INSTALL = PPCMD_INSTALL, UPDATE = PPCMD_UPDATE, REMOVE = PPCMD_REMOVE,
                   REGISTRY = PPCMD_UPDATE_REGISTRY;
const CommandCase kCommandCases[] = {
    // install
    {"InstallNew", nullptr, INSTALL, rec("P", "1.0"), 0x00, kInstalled},
    {"InstallExisting", have("1.0"), INSTALL, rec("P", "2.0"), 0x01, "Product \"P\" exist\n"},
    {"InstallFailingImport", nullptr, INSTALL, rec("P", "1.0", 1, {kBadTable}), 0x13,
     "Install product \"P\" error\n"},
    {"InstallPercentName", nullptr, INSTALL, rec("50%d%s", "1.0"), 0x00,
     "Product \"50%d%s\" INSTALLED successfully\n"},
    {"InstallBackslashName", nullptr, INSTALL, rec("A\\B", "1.0"), 0x11,
     "Install product \"A\\B\" error\n"},
    // update
    {"UpdateMissing", nullptr, UPDATE, rec("P", "2.0"), 0x01, kNotExist},
    {"UpdateSameVersion", have("1.0"), UPDATE, rec("P", "1.0"), 0x03,
     "Your information file is not a HIGHER VERSION one\n"},
    {"UpdateHigher", have("1.0"), UPDATE, rec("P", "1.1"), 0x00, kUpdated},
    {"UpdateNotOwned", have("1.0", PPTYPE_AUTOMATIC), UPDATE, rec("P", "2.0"), 0x04, kNotOwned},
    {"UpdateFailingImport", have("1.0"), UPDATE, rec("P", "2.0", 1, {kBadTable}), 0x10,
     "Update product \"P\" error\n"},
    // registry update
    {"UpdateRegistryLowerVersion", have("2.0"), REGISTRY, rec("P", "1.0"), 0x00, ""},
    {"UpdateRegistryMissing", nullptr, REGISTRY, rec("P", "1.0"), 0x01, kNotExist},
    {"UpdateRegistryNotOwned", have("1.0"), REGISTRY, rec("P", "2.0", PPTYPE_AUTOMATIC), 0x04,
     kNotOwned},
    {"UpdateRegistryWithoutTables", have("1.0"), REGISTRY, rec("P", "2.0", PPTYPE_MANUAL, {}), 0x00,
     ""},
    // remove
    {"RemoveMissing", nullptr, REMOVE, rec("P", ""), 0x01, kNotExist},
    {"RemoveOwned", have("1.0"), REMOVE, rec("P", "", PPTYPE_MANUAL, {}), 0x00, kRemoved},
    {"RemoveNotOwned", have("1.0", PPTYPE_AUTOMATIC), REMOVE, rec("P", ""), 0x02,
     "You can't remove the product not owned\n"},
    {"RemoveAnyType", have("1.0", PPTYPE_AUTOMATIC), REMOVE, rec("P", "", -1), 0x00, kRemoved},
    {"RemoveWithoutInner", kOuterOnly, REMOVE, rec("P", ""), 0x00, kRemoved},
    // a code that names no command; checks before the lock
    {"CommandThree", have("1.0"), 3, rec("P", "2.0"), 0x00, ""},
    {"EmptyNameRemove", nullptr, REMOVE, rec("", "1.0"), 0x10, ""},
    {"InstallWithoutTables", nullptr, INSTALL, rec("P", "1.0", 1, {}), 0x14, ""},
    {"InstallMissingTable", nullptr, INSTALL,
     rec("P", "1.0", 1, {kTable, std::string(kTablesDir) + "/missing.tbl"}), 0x14, ""},
    {"InstallDirectoryTable", nullptr, INSTALL, rec("P", "1.0", 1, {kTablesDir}), 0x14, ""},
    {"InstallLinkedTable", nullptr, INSTALL, rec("P", "1.0", 1, {kLinkTable}), 0x00, kInstalled},
    {"InstallFourTables", nullptr, INSTALL, rec("P", "1.0", 1, kFour, 4), 0x00, kInstalled},
    {"InstallTooManyTables", nullptr, INSTALL, rec("P", "1.0", 1, kFour, 5), 0x14, ""},
    {"UpdateNegativeTables", nullptr, UPDATE, rec("P", "1.0", 1, kFour, -1), 0x14, ""},
};

INSTANTIATE_TEST_SUITE_P(Codes, ProductCommandCodes, ::testing::ValuesIn(kCommandCases),
                         [](const auto &info) { return std::string(info.param.label); });

// ---- What the commands leave behind ----------------------------------------------

// The inner product takes the system language (English when it cannot be
// read), the rest from the record; a null record is refused.
TEST_F(ProductCommand, InstallWritesOuterAndInnerProductAndImportsTables) {
    EXPECT_EQ(product_process(PPCMD_INSTALL, nullptr), 0x10u);
    for (std::optional<DWORD> language : {std::optional<DWORD>(1041), std::optional<DWORD>()}) {
        SCOPED_TRACE(language.value_or(0));
        if (language) setDword(TBLSYNC_KEY_ALERTMAN, "LanguageID", *language);
        ASSERT_EQ(quietly(PPCMD_INSTALL, makeRecord("L", "1.0", {kTable}, 1, "1033", "77")), 0u);
        const std::string inner = innerKey("L");
        EXPECT_EQ(std::vector({readDword(inner, "LanguageID"), readDword(inner, "ProductID"),
                               readDword(inner, "Manual")}),
                  (std::vector<std::optional<DWORD>>{language.value_or(1033), 77, 1}));
        EXPECT_EQ(readValue(inner, "Version")->bytes.c_str(), std::string("1.0"));
        // The sources the copy registered, and the product time of the key.
        EXPECT_EQ(readValue(innerKey("L"), "Source")->bytes, std::string("SrcP\0", 5));
        FILETIME outerTime{};
        ASSERT_TRUE(AMACRTGetProductTime("L", &outerTime));
        EXPECT_EQ(readValue(innerKey("L"), "ProductTime")->bytes,
                  std::string(reinterpret_cast<const char *>(&outerTime), 8));
        EXPECT_EQ(ownedEntries("SrcP", "L"), (std::vector<std::string>{"1", "2", "3"}));
        ASSERT_EQ(quietly(PPCMD_REMOVE, makeRecord("L", "", {})), 0u);
        RegDeleteValue(Key(TBLSYNC_KEY_ALERTMAN).get(), "LanguageID");
    }
}

// A failed import keeps the outer half's change (the product key registered
// or rewritten) and nothing else: neither report table entries, even of a
// copy that failed part way, nor saved parameters, nor an inner product. An
// update replaces the report tables (importing them as an install does when
// the inner product is missing); a registry update leaves them and the inner
// product alone.
TEST_F(ProductCommand, FailedImportsAndUpdatesAndTheReportTables) {
    const std::string longSource = writeTable(
        "long.tbl", "SrcLong,1,INFO,a\nSrcLong,2,INFO,b\n" + std::string(300, 'S') + ",3,INFO,c\n");
    enum Before { kNothing, kOuter, kBoth };
    struct Case {
        const char *name;
        Before before;
        uint32_t command;
        const std::string &table;
        uint32_t result;
        const char *innerVersion = nullptr;  // the import failed
        std::vector<std::string> owned{};
    };
    const Case cases[] = {
        {"Malformed", kNothing, PPCMD_INSTALL, kBadTable, 0x13},
        {"PartWay", kNothing, PPCMD_INSTALL, longSource, 0x13},
        {"UpdatePartWay", kBoth, PPCMD_UPDATE, longSource, 0x10},
        {"Up", kBoth, PPCMD_UPDATE, kOtherTable, 0, "2.0", {"10", "11"}},
        {"Outer", kOuter, PPCMD_UPDATE, kTable, 0, "2.0", {"1", "2", "3"}},
        {"Pi", kBoth, PPCMD_UPDATE_REGISTRY, kOtherTable, 0, "1.5", {"1", "2", "3"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.before == kBoth) installed(c.name, "1.5");
        if (c.before == kOuter) registered(c.name, "1.5", {kTable});
        const std::string before = registryTree(TBLSYNC_KEY_ALERTMAN);
        ASSERT_EQ(quietly(c.command, makeRecord(c.name, "2.0", {c.table})), c.result);
        EXPECT_EQ(readValue(productKey(c.name), "Version")->bytes, std::string("2.0\0", 4));
        if (c.innerVersion == nullptr) {
            EXPECT_EQ(registryTree(TBLSYNC_KEY_ALERTMAN), before);
            continue;
        }
        EXPECT_EQ(readValue(innerKey(c.name), "Version")->bytes.c_str(),
                  std::string(c.innerVersion));
        EXPECT_EQ(ownedEntries("SrcP", c.name), c.owned);
        if (c.before == kOuter) {
            EXPECT_EQ(readValue(innerKey(c.name), "Source")->bytes, std::string("SrcP\0", 5));
        }
    }
    // A second install finds the outer product.
    EXPECT_EQ(quietly(PPCMD_INSTALL, makeRecord("Malformed", "1.0", {kTable})), 0x01u);
}

// Remove deletes the outer and the inner product and the product's report
// table entries; when the inner half fails, the outer product stays deleted.
TEST_F(ProductCommand, RemoveDeletesEverythingOfTheProduct) {
    installed("Rm", "1.0", PPTYPE_AUTOMATIC);
    installed("Stay", "1.0");
    ASSERT_EQ(quietly(PPCMD_REMOVE, makeRecord("Rm", "", {}, -1)), 0u);
    EXPECT_FALSE(keyExists(productKey("Rm")) || keyExists(innerKey("Rm")));
    EXPECT_EQ(ownedEntries("SrcP", "Rm"), std::vector<std::string>{});
    EXPECT_EQ(ownedEntries("SrcP", "Stay"), (std::vector<std::string>{"1", "2", "3"}));

    // A source list longer than remove reads cannot be read back.
    ASSERT_TRUE(setInnerSource("Stay", std::string(600, 'S')));
    EXPECT_EQ(quietly(PPCMD_REMOVE, makeRecord("Stay", "", {})), 0x10u);
    EXPECT_FALSE(outerExists("Stay"));
    EXPECT_TRUE(innerExists("Stay"));
}

// ---- A command killed at any moment -----------------------------------------------

// Runs a command in a child process; once the child is about to call
// product_process, SIGKILLs it after `delay` (never when negative). Returns
// the time from the call to the child's end.
std::chrono::microseconds runChild(uint32_t command, PPInfo record,
                                   std::chrono::microseconds delay) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    Child child([&] {
        print2 = 2;
        return ::write(fds[1], "r", 1) == 1 ? static_cast<int>(product_process(command, &record))
                                            : 2;
    });
    ::close(fds[1]);
    char ready = 0;
    bool started = ::read(fds[0], &ready, 1) == 1;
    ::close(fds[0]);
    auto begin = std::chrono::steady_clock::now();
    if (started && delay.count() >= 0) {
        ::usleep(static_cast<useconds_t>(delay.count()));
        child.kill9();
    }
    child.wait();
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
    const PPInfo anyType = makeRecord("K", "", {}, -1);
    auto absent = [&] { quietly(PPCMD_REMOVE, anyType); };
    auto present = [&] { absent(), quietly(PPCMD_INSTALL, version1); };
    // The state to start from, the command, its record, and the result of the command
    // run again once it has landed.
    const std::tuple<std::function<void()>, uint32_t, PPInfo, uint32_t> cases[] = {
        {absent, PPCMD_INSTALL, version1, 0x01},
        {present, PPCMD_UPDATE, makeRecord("K", "2.0", {second, third}), 0x03},
        {present, PPCMD_REMOVE, anyType, 0x01},
    };
    present();  // every round starts from a registry that has seen the product once
    std::mt19937 random(std::random_device{}());
    for (const auto &[from, command, record, whenDone] : cases) {
        SCOPED_TRACE(command);
        from();
        auto span = runChild(command, record, std::chrono::microseconds(-1));
        const std::string after = registryTree("SOFTWARE\\ORV");
        for (int round = 0, rounds = killRounds(12); round < rounds; ++round) {
            SCOPED_TRACE("round " + std::to_string(round));
            from();
            const std::string before = registryTree("SOFTWARE\\ORV");
            runChild(command, record, std::chrono::microseconds(random() % (span.count() + 1)));
            const std::string killed = registryTree("SOFTWARE\\ORV");
            ASSERT_TRUE(killed == after || killed == before) << killed;
            EXPECT_EQ(quietly(command, record), killed == after ? whenDone : 0u);
            ASSERT_EQ(registryTree("SOFTWARE\\ORV"), after);
        }
    }
}

// ---- Message writer ------------------------------------------------------------------

// Messages go to the trace log (print2 0), the console (1) or nowhere; they
// are cut at 1022 characters.
TEST_F(ProductCommand, MessagesGoWherePrint2SaysCutAt1022Characters) {
    const std::string longText(2000, 'm');
    for (int where : {0, 1, 2, -1}) {
        SCOPED_TRACE(where);
        traceToFile();
        print2 = where;
        ::testing::internal::CaptureStdout();
        msgout("Product \"%s\" exist #%d%s\n", "7%s%d", where, where == 1 ? longText.c_str() : "");
        const std::string text = "Product \"7%s%d\" exist #" + std::to_string(where);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(),
                  where == 1 ? (text + longText).substr(0, 1022) : "");
        EXPECT_EQ(tracedCount(kTraceFile, 0, " 3 product:msgout:", text), where == 0 ? 1u : 0u);
    }
}

// ---- The command mutex ---------------------------------------------------------------

// A command waits for a live holder of the mutex, and one killed holding it
// blocks no command.
TEST_F(ProductCommand, CommandWaitsForALiveHolderAndNotForADeadOne) {
    ::alarm(30);  // a command that never returns fails the test instead of hanging it
    for (bool dieHolding : {false, true}) {
        SCOPED_TRACE(dieHolding ? "killed holder" : "live holder");
        MutexHolder holder;
        ASSERT_TRUE(holder.holding());
        if (dieHolding) {
            ASSERT_EQ(holder.kill(), 128 + SIGKILL);
        }
        std::atomic<pid_t> tid{0};
        auto install = std::async(std::launch::async, [&] {
            tid = static_cast<pid_t>(::syscall(SYS_gettid));
            return quietly(PPCMD_INSTALL, makeRecord("Waiting", "1.0", {kTable}));
        });
        if (!dieHolding) {
            // The install sleeps on the mutex (a futex) before it touches the registry.
            auto asleep = [&] {
                return tid != 0 &&
                       readFile("/proc/" + std::to_string(tid) + "/syscall").rfind("202 ", 0) == 0;
            };
            EXPECT_TRUE(eventually(asleep, std::chrono::seconds(10), std::chrono::milliseconds(1)));
            EXPECT_FALSE(outerExists("Waiting"));
            EXPECT_EQ(holder.release(), 0);
        }
        EXPECT_EQ(install.get(), 0u);
        EXPECT_EQ(quietly(PPCMD_REMOVE, makeRecord("Waiting", "", {})), 0u);
    }
    ::alarm(0);
    // A command gives the mutex back: another thread takes it at once.
    HANDLE kept = CreateMutex(nullptr, FALSE, "EVENTLOG_SEMA");
    EXPECT_EQ(quietly(PPCMD_REMOVE, makeRecord("Nothing", "", {})), 0x01u);
    EXPECT_EQ(std::async(std::launch::async, [&] { return WaitForSingleObject(kept, 0); }).get(),
              WAIT_OBJECT_0);
    CloseHandle(kept);
}
