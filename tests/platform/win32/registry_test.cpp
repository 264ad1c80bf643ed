// The registry of the Win32-compatibility layer within one process: names,
// sizes, times, enumeration, deletion, handles, transactions and a damaged
// or full database. Cross-process behaviour is in registry_process_test.cpp.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <thread>

#include "files.h"
#include "registry_db.h"
#include "registry_probe.h"

using namespace orv_test;
using Names = std::vector<std::string>;

// The result of asking for a value's size only.
LONG probe(HKEY key, const char *name) {
    DWORD size = 0;
    return RegQueryValueEx(key, name, nullptr, nullptr, nullptr, &size);
}

LONG setNumber(HKEY key, const char *name, DWORD value) {
    return RegSetValueEx(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), 4);
}

TEST(Registry, NamesIgnoreAsciiCaseAndKeepTheirFirstSpelling) {
    ASSERT_EQ(writeDword("SOFTWARE\\ORV\\Prod", "Manual", 1), ERROR_SUCCESS);
    ASSERT_EQ(writeDword("software\\orv\\PROD", "mAnUaL", 0), ERROR_SUCCESS);  // replaces it
    EXPECT_EQ(readDword("SOFTWARE\\ORV\\Prod", "MANUAL"), 0u);
    EXPECT_EQ(subkeys("SOFTWARE\\ORV\\Prod", true), Names{"Manual"});
    EXPECT_EQ(subkeys("Software\\Orv"), Names{"Prod"});
    // Bytes from 0x80 up compare exactly: these are two keys.
    Key upper("SOFTWARE\\\xC9t\xC9", true), lower("SOFTWARE\\\xE9t\xE9", true);
    EXPECT_EQ(subkeys("SOFTWARE").size(), 3u);
}

TEST(Registry, CreateOpenAndMalformedPaths) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    for (auto [path, expected] : {std::pair{"A\\B\\C\\", REG_CREATED_NEW_KEY},
                                  std::pair{"a\\b\\c", REG_OPENED_EXISTING_KEY}}) {
        ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                 &key, &disposition),
                  ERROR_SUCCESS);
        EXPECT_EQ(disposition, DWORD(expected)) << path;
        RegCloseKey(key);
    }
    key = reinterpret_cast<HKEY>(0x1234);
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "A\\B\\X", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    // A relative path from an open key, and the key itself by an empty path.
    Key b("a\\b");
    for (const char *relative : {"c", ""}) {
        char name[8] = "";
        DWORD chars = sizeof name;
        ASSERT_EQ(RegOpenKeyEx(b.get(), relative, 0, KEY_READ, &key), ERROR_SUCCESS);
        RegEnumKeyEx(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr);
        EXPECT_STREQ(name, *relative ? "" : "C") << "the first subkey of " << relative;
        RegCloseKey(key);
    }
    // Malformed paths and names longer than 255 characters are refused.
    const std::string longName(256, 'k');
    for (const char *path : {"\\A", "A\\\\B", "A\\\\", longName.c_str()}) {
        EXPECT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, path, &key), ERROR_INVALID_PARAMETER) << path;
        EXPECT_EQ(key, nullptr);
    }
    EXPECT_TRUE(Key(std::string(255, 'k'), true));
}

// The size rules of RegQueryValueEx and RegEnumValue.
TEST(Registry, BufferSizeRules) {
    ASSERT_EQ(writeText("SOFTWARE\\Sizes", "Text", "abcdef"), ERROR_SUCCESS);
    Key key("SOFTWARE\\Sizes");
    char buffer[16];
    // Asking for the size only, a buffer one byte short of the data, one that fits exactly.
    const std::tuple<bool, DWORD, LONG> cases[] = {
        {false, 3, ERROR_SUCCESS}, {true, 6, ERROR_MORE_DATA}, {true, 7, ERROR_SUCCESS}};
    for (auto [withBuffer, capacity, result] : cases) {
        SCOPED_TRACE(testing::Message() << "buffer " << withBuffer << " capacity " << capacity);
        std::memset(buffer, 'x', sizeof buffer);
        DWORD size = capacity, type = 0;
        EXPECT_EQ(RegQueryValueEx(key.get(), "text", nullptr, &type,
                                  withBuffer ? reinterpret_cast<BYTE *>(buffer) : nullptr, &size),
                  result);
        EXPECT_EQ(std::tuple(size, type), std::tuple(7u, DWORD{REG_SZ}));
        EXPECT_EQ(std::string(buffer, 8),
                  withBuffer && result == ERROR_SUCCESS ? std::string("abcdef\0x", 8) : "xxxxxxxx");
    }
    EXPECT_EQ(RegQueryValueEx(key.get(), "Text", nullptr, nullptr, reinterpret_cast<BYTE *>(buffer),
                              nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(probe(key.get(), "Missing"), ERROR_FILE_NOT_FOUND);
    // Enumeration: a too short name or data buffer leaves both untouched and
    // reports both lengths.
    for (auto [nameCap, dataCap] : {std::pair{3u, 8u}, {5u, 3u}, {5u, 8u}}) {
        SCOPED_TRACE(testing::Message() << "name " << nameCap << " data " << dataCap);
        char name[5] = {'x', 'x', 'x', 'x', 'x'};
        std::memset(buffer, 'x', sizeof buffer);
        DWORD nameChars = nameCap, dataSize = dataCap;
        const bool fits = nameCap == 5 && dataCap == 8;
        EXPECT_EQ(RegEnumValue(key.get(), 0, name, &nameChars, nullptr, nullptr,
                               reinterpret_cast<BYTE *>(buffer), &dataSize),
                  fits ? ERROR_SUCCESS : ERROR_MORE_DATA);
        EXPECT_EQ(dataSize, 7u);
        EXPECT_EQ(nameChars, fits ? 4u : nameCap < 5 ? 5u : nameCap);
        EXPECT_EQ(std::string(name, 4) + buffer[0], fits ? "Texta" : "xxxxx");
    }
}

TEST(Registry, ValuesKeepTheirBytesAndTypesAndNumbersTheirWidth) {
    const std::string q("\x88\x77\x66\x55\x44\x33\x22\x11", 8);
    for (auto [name, type, bytes, result] :
         {std::tuple{"Bin", REG_BINARY, std::string("a\0b\0\0\xff", 6), ERROR_SUCCESS},
          {"Empty", REG_BINARY, std::string(), ERROR_SUCCESS},
          {"", REG_SZ, std::string("default", 8), ERROR_SUCCESS},
          {"Q", REG_QWORD, q, ERROR_SUCCESS},
          {"D", REG_DWORD, q, ERROR_INVALID_PARAMETER},
          {"D", REG_QWORD, q.substr(0, 4), ERROR_INVALID_PARAMETER}}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(writeValue("SOFTWARE\\Bytes", name, type, bytes), result);
        auto value = readValue("SOFTWARE\\Bytes", name);
        ASSERT_EQ(value.has_value(), result == ERROR_SUCCESS);
        EXPECT_TRUE(!value ||
                    std::tuple(value->type, value->bytes) == std::tuple(DWORD(type), bytes));
    }
    EXPECT_EQ(RegSetValueEx(Key("SOFTWARE\\Bytes").get(), "D", 0, REG_BINARY, nullptr, 4),
              ERROR_INVALID_PARAMETER);
}

TEST(Registry, LastWriteTimeRisesWithEveryWrite) {
    Key key("SOFTWARE\\Times\\Child", true), times("SOFTWARE\\Times");
    std::uint64_t before = lastWriteOf(key.get());
    // The same data again still counts; a burst of writes outruns the clock's
    // resolution, and the time must still rise each time.
    for (int i = 0; i <= 50; ++i) {
        ASSERT_EQ(i < 50 ? setNumber(key.get(), "V", 7) : RegDeleteValue(key.get(), "v"), 0);
        ASSERT_GT(lastWriteOf(key.get()), before) << "write " << i;
        before = lastWriteOf(key.get());
    }
    EXPECT_EQ(RegDeleteValue(key.get(), "v"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(lastWriteOf(key.get()), before) << "a failed delete is no write";
    // The parent moves when a subkey comes or goes, not when a subkey's value changes.
    std::uint64_t parent = lastWriteOf(times.get());
    ASSERT_EQ(setNumber(key.get(), "V", 8), ERROR_SUCCESS);
    EXPECT_EQ(lastWriteOf(times.get()), parent);
    { Key second("SOFTWARE\\Times\\Second", true); }
    EXPECT_GT(lastWriteOf(times.get()), parent);
    parent = lastWriteOf(times.get());
    ASSERT_EQ(RegDeleteKey(times.get(), "second"), ERROR_SUCCESS);
    EXPECT_GT(lastWriteOf(times.get()), parent);
    // The time is the real-time clock's as a FILETIME.
    const auto ahead =
        std::int64_t((lastWriteOf(times.get()) - 116444736000000000ull) / 10000000) - time(nullptr);
    EXPECT_TRUE(ahead > -60 && ahead <= 5) << ahead;
}

TEST(Registry, EnumerationOrder) {
    // Name order is the byte order with ASCII letters upper-cased, so "_x"
    // (0x5F) follows every letter.
    for (const char *name : {"b", "_x", "C", "a10", "A2", "\xC0"})
        Key child(std::string("SOFTWARE\\Order\\") + name, true);
    EXPECT_EQ(subkeys("SOFTWARE\\Order"), (Names{"a10", "A2", "b", "C", "_x", "\xC0"}));
    // Values keep the order they were first written in; the default one has an empty name.
    Key key("SOFTWARE\\Order");
    for (const char *name : {"zeta", "Alpha", "", "mid", "ALPHA"}) setNumber(key.get(), name, 1);
    EXPECT_EQ(subkeys("SOFTWARE\\Order", true), (Names{"zeta", "Alpha", "", "mid"}));
    ASSERT_EQ(RegDeleteValue(key.get(), "zeta"), ERROR_SUCCESS);
    ASSERT_EQ(setNumber(key.get(), "Zeta", 3), ERROR_SUCCESS);  // written anew: last
    EXPECT_EQ(subkeys("SOFTWARE\\Order", true), (Names{"Alpha", "", "mid", "Zeta"}));
    char name[2];
    DWORD chars = sizeof name;
    EXPECT_EQ(RegEnumKeyEx(key.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    EXPECT_EQ(chars, 4u);
    // The counts and the longest names and data; no class; the same
    // last-write time as asked for alone.
    DWORD subs = 0, maxSub = 0, maxClass = 9, values = 0, maxName = 0, maxData = 0, sd = 9;
    char cls[4] = "abc";
    chars = sizeof cls;
    FILETIME written{};
    ASSERT_EQ(orv_test::writeText("SOFTWARE\\Order", "mid", std::string(40, 'd')), ERROR_SUCCESS);
    ASSERT_EQ(RegQueryInfoKey(key.get(), cls, &chars, nullptr, &subs, &maxSub, &maxClass, &values,
                              &maxName, &maxData, &sd, &written),
              ERROR_SUCCESS);
    EXPECT_EQ(std::vector<DWORD>({subs, maxSub, values, maxName, maxData, maxClass, chars}),
              std::vector<DWORD>({6, 3, 4, 5, 41, 0, 0}));
    EXPECT_STREQ(cls, "");
    EXPECT_NE(ticks(written), 0u);
    EXPECT_EQ(ticks(written), lastWriteOf(key.get()));
}

// Every call that works on the key behind a handle fails alike on a handle
// that is no key or whose key was deleted.
void expectEveryCallFails(HKEY key, LONG expected) {
    HKEY out = nullptr;
    char name[8];
    DWORD chars = sizeof name;
    for (LONG rc : {RegOpenKey(key, "x", &out), RegOpenKey(key, "", &out),
                    RegCreateKey(key, "x", &out), setNumber(key, "V", 1), probe(key, "V"),
                    RegDeleteValue(key, "V"), RegDeleteKey(key, "x"), RegDeleteKey(key, ""),
                    RegEnumKeyEx(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
                    RegEnumValue(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
                    RegQueryInfoKey(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                    nullptr, nullptr, nullptr, nullptr, nullptr)})
        EXPECT_EQ(rc, expected);
    EXPECT_EQ(out, nullptr);
}

TEST(Registry, DeletedKeysAndInvalidHandles) {
    Key parent("SOFTWARE\\Del\\Parent", true), child("SOFTWARE\\Del\\Parent\\Child", true);
    ASSERT_EQ(setNumber(child.get(), "V", 1), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Del\\Parent"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Del\\Nothing"), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegDeleteKey(parent.get(), "CHILD"), ERROR_SUCCESS);
    expectEveryCallFails(child.get(), ERROR_KEY_DELETED);  // closing still works
    // A key made again under the name is a new key; the old handle stays dead.
    Key again("SOFTWARE\\Del\\Parent\\Child", true);
    EXPECT_EQ(probe(again.get(), "V"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(setNumber(child.get(), "V", 2), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteKey(again.get(), ""), ERROR_SUCCESS);  // the key behind the handle
    EXPECT_TRUE(keyGone("SOFTWARE\\Del\\Parent\\Child"));
    // Handles that are no keys, or closed ones.
    HKEY closed = nullptr;
    ASSERT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\H", &closed), ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
    HANDLE event = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    for (HKEY key : {HKEY{}, closed, reinterpret_cast<HKEY>(0x12345678),
                     reinterpret_cast<HKEY>(uintptr_t{0x80000001}), static_cast<HKEY>(event)}) {
        SCOPED_TRACE(testing::Message() << "handle " << key);
        expectEveryCallFails(key, ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    }
    EXPECT_TRUE(CloseHandle(event)) << "closing a key does not close other kinds";
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    // Failing registry calls leave the last error alone.
    SetLastError(4242);
    EXPECT_EQ(RegOpenKey(HKEY_LOCAL_MACHINE, "Missing", &closed), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetLastError(), 4242u);
}

TEST(RegistryTransaction, CommitLandsEverythingRollbackNothing) {
    Key key("SOFTWARE\\Txn", true);
    for (bool commit : {true, false}) {
        SCOPED_TRACE(commit ? "commit" : "rollback");
        const std::string name = commit ? "Kept" : "Dropped";
        ASSERT_EQ(RegBeginTransaction(), ERROR_SUCCESS);
        EXPECT_EQ(RegBeginTransaction(), ERROR_ALREADY_EXISTS);  // no nesting
        ASSERT_EQ(writeDword("SOFTWARE\\Txn\\" + name, "A", 1), ERROR_SUCCESS);
        ASSERT_EQ(setNumber(key.get(), (name + "Value").c_str(), 2), ERROR_SUCCESS);
        // A failing call inside the transaction undoes only itself.
        EXPECT_EQ(RegDeleteValue(key.get(), "nothing"), ERROR_FILE_NOT_FOUND);
        HKEY gone = nullptr, below = nullptr;
        ASSERT_EQ(RegCreateKey(key.get(), "Gone", &gone), ERROR_SUCCESS);
        ASSERT_EQ(RegDeleteKey(key.get(), "Gone"), ERROR_SUCCESS);
        EXPECT_EQ(RegCreateKey(gone, "Below", &below), ERROR_KEY_DELETED);
        RegCloseKey(gone);
        EXPECT_EQ(probe(key.get(), (name + "Value").c_str()), ERROR_SUCCESS);
        EXPECT_EQ(commit ? RegCommitTransaction() : RegRollbackTransaction(), ERROR_SUCCESS);
    }
    EXPECT_EQ(subkeys("SOFTWARE\\Txn"), Names{"Kept"});
    EXPECT_EQ(subkeys("SOFTWARE\\Txn", true), Names{"KeptValue"});
    EXPECT_EQ(registry_test::runSql("SELECT count(*) FROM keys WHERE parent IS NOT NULL AND "
                                    "parent NOT IN (SELECT id FROM keys)"),
              "0");  // no key left without its parent
    EXPECT_EQ(RegCommitTransaction(), ERROR_NOT_OWNER);
    EXPECT_EQ(RegRollbackTransaction(), ERROR_NOT_OWNER);
}

// A key made without its parent's new time (here a trigger of the test's
// refuses the update) leaves nothing of the transaction it was made in.
TEST(RegistryTransaction, KeyMadeHalfWayDoomsTheTransaction) {
    Key parent("SOFTWARE\\Half", true);
    ASSERT_EQ(setNumber(parent.get(), "Before", 1), ERROR_SUCCESS);
    ASSERT_EQ(registry_test::runSql("CREATE TRIGGER refuse BEFORE UPDATE ON keys BEGIN "
                                    "SELECT RAISE(ABORT, 'refused'); END; SELECT 'made'"),
              "made");
    ASSERT_EQ(RegBeginTransaction(), ERROR_SUCCESS);
    ASSERT_EQ(setNumber(parent.get(), "During", 2), ERROR_SUCCESS);
    HKEY child = nullptr;
    EXPECT_EQ(RegCreateKey(parent.get(), "Child", &child), 1016);
    EXPECT_EQ(setNumber(parent.get(), "After", 3), 1016);
    EXPECT_EQ(RegCommitTransaction(), 1016);
    ASSERT_EQ(registry_test::runSql("DROP TRIGGER refuse; SELECT 'gone'"), "gone");
    EXPECT_EQ(openResult("SOFTWARE\\Half\\Child"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(subkeys("SOFTWARE\\Half", true), Names{"Before"});
}

// Another thread's calls do not join this thread's transaction; they wait
// for it and see its changes only after the commit.
TEST(RegistryTransaction, IsBoundToItsThread) {
    Key key("SOFTWARE\\TxnThread", true);
    ASSERT_EQ(RegBeginTransaction(), ERROR_SUCCESS);
    ASSERT_EQ(setNumber(key.get(), "Inside", 1), ERROR_SUCCESS);
    LONG seen = -1, written = -1;
    std::thread([&] { seen = probe(key.get(), "Inside"); }).join();
    EXPECT_EQ(seen, ERROR_FILE_NOT_FOUND);
    std::thread writer([&] { written = setNumber(key.get(), "Outside", 1); });
    ASSERT_EQ(RegCommitTransaction(), ERROR_SUCCESS);
    writer.join();
    EXPECT_EQ(written, ERROR_SUCCESS);
    EXPECT_EQ(subkeys("SOFTWARE\\TxnThread", true), (Names{"Inside", "Outside"}));
}

// Inside a transaction a key is found by its path again after the
// transaction itself deleted it, made it anew or made a missing one; in the
// next transaction, a key made anew in between, by another connection or by
// this one outside a transaction, is the one found.
TEST(RegistryTransaction, PathsFollowChangesWithinAndBetweenTransactions) {
    const std::string path = "SOFTWARE\\TxnPath\\K", anew = "SOFTWARE\\Anew\\K";
    ASSERT_EQ(writeDword(path, "V", 1), ERROR_SUCCESS);
    ASSERT_EQ(RegBeginTransaction(), ERROR_SUCCESS);
    EXPECT_EQ(openResult(path + "\\Sub"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(readDword(path, "V"), 1u);
    ASSERT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, path.c_str()), ERROR_SUCCESS);
    EXPECT_EQ(openResult(path), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(writeDword(path + "\\Sub", "V", 2), ERROR_SUCCESS);
    EXPECT_EQ(readDword(path + "\\Sub", "V"), 2u);
    EXPECT_EQ(probe(Key(path).get(), "V"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCommitTransaction(), ERROR_SUCCESS);
    ASSERT_EQ(writeText(anew, "A", "old"), ERROR_SUCCESS);
    auto remake = [&](const std::string &text, bool elsewhere) {
        LONG rc = -1;
        auto work = [&] {
            rc = RegDeleteKey(HKEY_LOCAL_MACHINE, anew.c_str()) | writeText(anew, "A", text);
        };
        elsewhere ? std::thread(work).join() : work();
        return rc;
    };
    std::string last = "old";
    for (bool snapshot : {false, true}) {
        for (bool elsewhere : {true, false}) {
            ASSERT_EQ(snapshot ? RegBeginSnapshot() : RegBeginTransaction(), ERROR_SUCCESS);
            EXPECT_EQ(readText(anew, "A"), last);
            ASSERT_EQ(RegCommitTransaction(), ERROR_SUCCESS);
            last = "new" + std::to_string(snapshot) + std::to_string(elsewhere);
            ASSERT_EQ(remake(last, elsewhere), ERROR_SUCCESS);
            ASSERT_EQ(snapshot ? RegBeginSnapshot() : RegBeginTransaction(), ERROR_SUCCESS);
            EXPECT_EQ(readText(anew, "A"), last);
            ASSERT_EQ(RegCommitTransaction(), ERROR_SUCCESS);
        }
    }
}

class RegistryDatabase : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(mkdir(root_.c_str(), 0755), 0);
        setenv("ORV_ROOT", root_.c_str(), 1);
        setenv("ORV_TRACE_FILE", (root_ + "/trace.log").c_str(), 1);
    }
    // Whether the trace holds a level-1 line of `function` that names `text`.
    bool traced(const char *function, const std::string &text = "") const {
        std::string trace = readFile(root_ + "/trace.log");
        return trace.find(std::string(" 1 w32compat:") + function + ":") != std::string::npos &&
               trace.find(text) != std::string::npos;
    }
    const std::string root_ = "/opt/relocated", db_ = root_ + "/var/registry.db";
};

// The call that finds the database cannot be made fails, and the next one
// tries again; a damaged database is reported, never replaced.
TEST_F(RegistryDatabase, UnopenableOrDamagedDatabaseIsReportedNotReplaced) {
    writeFile(root_ + "/var", "");  // var/ is a file: the database cannot be created
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKey(HKEY_LOCAL_MACHINE, "", &key), 1016);
    EXPECT_TRUE(traced("RegOpenKey"));
    ASSERT_TRUE(unlink((root_ + "/var").c_str()) == 0 &&
                mkdir((root_ + "/var").c_str(), 0755) == 0);
    const std::string garbage(8192, 'G');
    writeFile(db_, garbage);
    EXPECT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE", &key), 1015);
    EXPECT_EQ(probe(HKEY_LOCAL_MACHINE, "V"), 1015);
    EXPECT_EQ(RegBeginTransaction(), 1015);
    EXPECT_EQ(readFile(db_), garbage);
    EXPECT_TRUE(traced("RegCreateKey", db_));
}

// A full disk: the failing write is reported, nothing of a transaction it
// was part of lands, and what was committed before stays readable.
TEST_F(RegistryDatabase, FullDiskFailsCleanly) {
    ASSERT_EQ(mount("small", root_.c_str(), "tmpfs", 0, "size=256k"), 0);
    ASSERT_EQ(writeDword("SOFTWARE\\Full", "Before", 1), ERROR_SUCCESS);
    Key key("SOFTWARE\\Full");
    // Writes values named prefix0, prefix1, ...: the number of the first that fails, and why.
    auto fill = [&](const std::string &prefix) {
        const std::string big(8000, 'x');
        for (int i = 0; i < 2000; ++i) {
            if (LONG rc =
                    RegSetValueEx(key.get(), (prefix + std::to_string(i)).c_str(), 0, REG_BINARY,
                                  reinterpret_cast<const BYTE *>(big.data()), big.size()))
                return std::pair(i, rc);
        }
        return std::pair(-1, LONG{ERROR_SUCCESS});
    };
    ASSERT_EQ(RegBeginTransaction(), ERROR_SUCCESS);
    auto [failedAt, rc] = fill("T");
    ASSERT_GT(failedAt, 0);
    EXPECT_EQ(rc, 1016);
    LONG later = setNumber(key.get(), "Small", 1);
    // Whether SQLite kept the transaction after the failed write or not, it
    // ends with all of it or none of it.
    const bool kept = RegCommitTransaction() == ERROR_SUCCESS;
    EXPECT_EQ(probe(key.get(), "T0"), kept ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(probe(key.get(), "Small"), kept ? later : ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCommitTransaction(), ERROR_NOT_OWNER);  // over either way
    EXPECT_EQ(probe(key.get(), "Before"), ERROR_SUCCESS);
    // Outside a transaction every write up to the failing one is kept.
    auto [failedAlone, rcAlone] = fill("W");
    EXPECT_EQ(rcAlone, 1016);
    for (int i = 0; i < failedAlone; ++i)
        ASSERT_EQ(probe(key.get(), ("W" + std::to_string(i)).c_str()), ERROR_SUCCESS) << i;
}

// A path swapped between the caller's check and the open is refused, whatever
// it leads to now; the checked file itself opens.
TEST(OpenFileForReading, OpensOnlyTheFileThatWasChecked) {
    writeFile("/opt/checked.txt", "checked");
    writeFile("/opt/other.txt", "other");
    struct stat status {};
    ASSERT_EQ(::stat("/opt/checked.txt", &status), 0);
    const int fd = OpenFileForReadingAs("/opt/checked.txt", &status);
    EXPECT_TRUE(fd >= 0 && ::close(fd) == 0);
    ASSERT_EQ(::rename("/opt/other.txt", "/opt/checked.txt"), 0);
    errno = 0;
    EXPECT_EQ(OpenFileForReadingAs("/opt/checked.txt", &status), -1);
    EXPECT_EQ(errno, EAGAIN);
}
