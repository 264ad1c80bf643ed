// The registry of the Win32-compatibility layer within one process: names,
// sizes, times, enumeration, deletion, handles, transactions and a damaged
// database. Cross-process behaviour is in registry_process_test.cpp.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "registry_probe.h"
#include "w32compat.h"

namespace {

using orv_test::ticks;

// A key handle closed at scope exit.
class Key {
  public:
    Key() = default;
    explicit Key(const char *path, HKEY base = HKEY_LOCAL_MACHINE) {
        EXPECT_EQ(RegCreateKey(base, path, &h_), ERROR_SUCCESS) << path;
    }
    ~Key() {
        if (h_ != nullptr) RegCloseKey(h_);
    }
    Key(const Key &) = delete;
    Key &operator=(const Key &) = delete;
    HKEY get() const { return h_; }
    HKEY *out() { return &h_; }

  private:
    HKEY h_ = nullptr;
};

LONG queryInfo(HKEY key, FILETIME *ft = nullptr) {
    return RegQueryInfoKey(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                           nullptr, nullptr, nullptr, ft);
}

std::uint64_t lastWrite(HKEY key) {
    FILETIME ft{};
    EXPECT_EQ(queryInfo(key, &ft), ERROR_SUCCESS);
    return ticks(ft);
}

// The result of asking for a value's size only.
LONG probe(HKEY key, const char *name) {
    DWORD size = 0;
    return RegQueryValueEx(key, name, nullptr, nullptr, nullptr, &size);
}

// The value's data, or the error code as text.
std::string get(HKEY key, const char *name, DWORD *type = nullptr) {
    char buffer[64];
    DWORD size = sizeof buffer;
    LONG rc = RegQueryValueEx(key, name, nullptr, type, reinterpret_cast<BYTE *>(buffer), &size);
    return rc == ERROR_SUCCESS ? std::string(buffer, size) : "error " + std::to_string(rc);
}

LONG setString(HKEY key, const char *name, const std::string &text) {
    return RegSetValueEx(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                         static_cast<DWORD>(text.size() + 1));
}

LONG setNumber(HKEY key, const char *name, DWORD value) {
    return RegSetValueEx(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value),
                         sizeof value);
}

// Every call that works on the key behind a handle fails alike on a handle
// that is no key or whose key was deleted.
void expectEveryCallFails(HKEY key, LONG expected) {
    HKEY out = nullptr;
    char name[8];
    DWORD chars = sizeof name;
    const std::pair<const char *, LONG> results[] = {
        {"open", RegOpenKey(key, "x", &out)},
        {"open self", RegOpenKey(key, "", &out)},
        {"create", RegCreateKey(key, "x", &out)},
        {"set", setNumber(key, "V", 1)},
        {"query", probe(key, "V")},
        {"delete value", RegDeleteValue(key, "V")},
        {"delete key", RegDeleteKey(key, "x")},
        {"delete self", RegDeleteKey(key, "")},
        {"enum keys", RegEnumKeyEx(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr)},
        {"enum values", RegEnumValue(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr)},
        {"query info", queryInfo(key)},
    };
    for (const auto &[call, rc] : results) EXPECT_EQ(rc, expected) << call;
    EXPECT_EQ(out, nullptr);
}

// The name at an index of the subkeys (or the values), or the error code as text.
std::string nameAt(HKEY key, DWORD index, bool values = false) {
    char name[256];
    DWORD chars = sizeof name;
    LONG rc = values ? RegEnumValue(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr)
                     : RegEnumKeyEx(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) return "error " + std::to_string(rc);
    EXPECT_EQ(chars, std::strlen(name));
    return name;
}

// Every name by index until ERROR_NO_MORE_ITEMS, checking each reported length.
std::vector<std::string> names(HKEY key, bool values = false) {
    std::vector<std::string> all;
    for (std::string name;
         (name = nameAt(key, static_cast<DWORD>(all.size()), values)).rfind("error ", 0) != 0;) {
        all.push_back(name);
    }
    EXPECT_EQ(nameAt(key, static_cast<DWORD>(all.size()), values), "error 259");
    return all;
}
std::vector<std::string> checkedSubkeys(HKEY key) {
    return names(key);
}
std::vector<std::string> checkedValueNames(HKEY key) {
    return names(key, true);
}

TEST(Registry, NamesIgnoreAsciiCaseAndKeepTheirFirstSpelling) {
    Key product("SOFTWARE\\ORV\\ALERTREPORT\\Prod");
    ASSERT_EQ(setNumber(product.get(), "Manual", 1), ERROR_SUCCESS);

    Key other;
    DWORD disposition = 0, type = 0;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "software\\orv\\AlertReport\\PROD", 0, nullptr, 0,
                             KEY_ALL_ACCESS, nullptr, other.out(), &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD{REG_OPENED_EXISTING_KEY});
    EXPECT_EQ(get(other.get(), "MANUAL", &type), std::string("\1\0\0\0", 4));
    EXPECT_EQ(type, DWORD{REG_DWORD});

    // Rewriting under another spelling replaces the value, keeps the name.
    ASSERT_EQ(setNumber(other.get(), "mAnUaL", 0), ERROR_SUCCESS);
    EXPECT_EQ(checkedValueNames(product.get()), std::vector<std::string>{"Manual"});
    Key orv("Software\\Orv\\AlertReport");
    EXPECT_EQ(checkedSubkeys(orv.get()), std::vector<std::string>{"Prod"});

    // Bytes from 0x80 up compare exactly: these are two keys.
    Key upper("SOFTWARE\\\xC9t\xC9"), lower("SOFTWARE\\\xE9t\xE9");
    Key software("SOFTWARE");
    EXPECT_EQ(checkedSubkeys(software.get()).size(), 3u);
}

TEST(Registry, CreateOpenAndMalformedPaths) {
    for (auto [path, expected] : {std::pair{"A\\B\\C\\", REG_CREATED_NEW_KEY},
                                  std::pair{"A\\B\\C", REG_OPENED_EXISTING_KEY}}) {
        Key key;
        DWORD disposition = 0;
        ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                 key.out(), &disposition),
                  ERROR_SUCCESS);
        EXPECT_EQ(disposition, static_cast<DWORD>(expected)) << path;
    }
    HKEY missing = reinterpret_cast<HKEY>(0x1234);
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "A\\B\\X", 0, KEY_READ, &missing),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(missing, nullptr);

    // A relative path from an open key, and the key itself by an empty path.
    Key b, c, self;
    ASSERT_EQ(RegOpenKey(HKEY_LOCAL_MACHINE, "a\\b", b.out()), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyEx(b.get(), "c", 0, KEY_READ, c.out()), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyEx(b.get(), "", 0, KEY_READ, self.out()), ERROR_SUCCESS);
    EXPECT_EQ(checkedSubkeys(self.get()), std::vector<std::string>{"C"});

    // Malformed paths and names longer than 255 characters are refused.
    const std::string longName(256, 'k');
    for (const char *path : {"\\A", "A\\\\B", "A\\\\", longName.c_str()}) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, path, &key), ERROR_INVALID_PARAMETER) << path;
        EXPECT_EQ(key, nullptr);
    }
    Key ok(std::string(255, 'k').c_str());
    EXPECT_NE(ok.get(), nullptr);
}

// The size rules of RegQueryValueEx and RegEnumValue.
TEST(Registry, BufferSizeRules) {
    Key key("SOFTWARE\\Sizes");
    ASSERT_EQ(setString(key.get(), "Text", "abcdef"), ERROR_SUCCESS);  // 7 bytes with the NUL
    struct Case {
        bool withBuffer;
        DWORD capacity;
        LONG result;
        bool copied;
    };
    const Case cases[] = {
        {false, 0, ERROR_SUCCESS, false},  {false, 3, ERROR_SUCCESS, false},
        {true, 0, ERROR_MORE_DATA, false}, {true, 6, ERROR_MORE_DATA, false},
        {true, 7, ERROR_SUCCESS, true},    {true, 100, ERROR_SUCCESS, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "buffer " << c.withBuffer << " capacity " << c.capacity);
        char buffer[128];
        std::memset(buffer, 'x', sizeof buffer);
        DWORD size = c.capacity, type = 0;
        EXPECT_EQ(RegQueryValueEx(key.get(), "text", nullptr, &type,
                                  c.withBuffer ? reinterpret_cast<BYTE *>(buffer) : nullptr, &size),
                  c.result);
        EXPECT_EQ(size, 7u);
        EXPECT_EQ(type, DWORD{REG_SZ});
        EXPECT_EQ(std::string(buffer, 8), c.copied ? std::string("abcdef\0x", 8) : "xxxxxxxx");
    }
    char buffer[8];
    EXPECT_EQ(RegQueryValueEx(key.get(), "Text", nullptr, nullptr, reinterpret_cast<BYTE *>(buffer),
                              nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(probe(key.get(), "Missing"), ERROR_FILE_NOT_FOUND);

    // Enumeration: a too short name or data buffer leaves both untouched and
    // reports both lengths.
    struct EnumCase {
        DWORD nameChars, dataSize;
        LONG result;
    };
    for (const EnumCase &c : {EnumCase{3, 8, ERROR_MORE_DATA}, EnumCase{5, 3, ERROR_MORE_DATA},
                              EnumCase{5, 8, ERROR_SUCCESS}}) {
        SCOPED_TRACE(testing::Message() << "name " << c.nameChars << " data " << c.dataSize);
        char name[5] = {'x', 'x', 'x', 'x', 'x'};
        std::memset(buffer, 'x', sizeof buffer);
        DWORD nameChars = c.nameChars, dataSize = c.dataSize;
        EXPECT_EQ(RegEnumValue(key.get(), 0, name, &nameChars, nullptr, nullptr,
                               reinterpret_cast<BYTE *>(buffer), &dataSize),
                  c.result);
        EXPECT_EQ(dataSize, 7u);
        if (c.result == ERROR_SUCCESS) {
            EXPECT_EQ(nameChars, 4u);
            EXPECT_STREQ(name, "Text");
            EXPECT_STREQ(buffer, "abcdef");
        } else {
            if (c.nameChars < 5) {
                EXPECT_EQ(nameChars, 5u);
            }
            EXPECT_EQ(name[0], 'x');
            EXPECT_EQ(buffer[0], 'x');
        }
    }
}

TEST(Registry, ValuesKeepTheirBytesAndTypes) {
    Key key("SOFTWARE\\Bytes");
    const std::string binary("a\0b\0\0\xff", 6);
    ASSERT_EQ(RegSetValueEx(key.get(), "Bin", 0, REG_BINARY,
                            reinterpret_cast<const BYTE *>(binary.data()), 6),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueEx(key.get(), "Empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    ASSERT_EQ(setString(key.get(), nullptr, "default"), ERROR_SUCCESS);
    std::uint64_t q = 0x1122334455667788ull;
    ASSERT_EQ(RegSetValueEx(key.get(), "Q", 0, REG_QWORD, reinterpret_cast<const BYTE *>(&q), 8),
              ERROR_SUCCESS);
    DWORD type = 0;
    EXPECT_EQ(get(key.get(), "bin", &type), binary);
    EXPECT_EQ(type, DWORD{REG_BINARY});
    EXPECT_EQ(get(key.get(), "Empty"), "");
    EXPECT_EQ(get(key.get(), ""), std::string("default", 8));
    EXPECT_EQ(get(key.get(), "q", &type), std::string(reinterpret_cast<const char *>(&q), 8));
    EXPECT_EQ(type, DWORD{REG_QWORD});

    // Numbers must have their width.
    EXPECT_EQ(RegSetValueEx(key.get(), "D", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&q), 8),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueEx(key.get(), "D", 0, REG_QWORD, reinterpret_cast<const BYTE *>(&q), 4),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueEx(key.get(), "D", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
}

TEST(Registry, LastWriteTimeRisesWithEveryWrite) {
    Key parent("SOFTWARE\\Times");
    Key key("SOFTWARE\\Times\\Child");
    std::uint64_t before = lastWrite(key.get());
    // The same data written again still counts as a write; a burst of writes
    // outruns the clock's resolution, and the time must still rise each time.
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(setNumber(key.get(), "V", 7), ERROR_SUCCESS);
        std::uint64_t now = lastWrite(key.get());
        ASSERT_GT(now, before) << "write " << i;
        before = now;
    }
    ASSERT_EQ(RegDeleteValue(key.get(), "v"), ERROR_SUCCESS);
    EXPECT_GT(lastWrite(key.get()), before);
    before = lastWrite(key.get());
    // A failed delete is no write.
    EXPECT_EQ(RegDeleteValue(key.get(), "v"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(lastWrite(key.get()), before);

    // The parent moves when a subkey comes or goes, not when a subkey's value changes.
    std::uint64_t parentBefore = lastWrite(parent.get());
    ASSERT_EQ(setNumber(key.get(), "V", 8), ERROR_SUCCESS);
    EXPECT_EQ(lastWrite(parent.get()), parentBefore);
    Key second("SOFTWARE\\Times\\Second");
    std::uint64_t afterCreate = lastWrite(parent.get());
    EXPECT_GT(afterCreate, parentBefore);
    ASSERT_EQ(RegDeleteKey(parent.get(), "second"), ERROR_SUCCESS);
    EXPECT_GT(lastWrite(parent.get()), afterCreate);

    // The time is the real-time clock's, as a FILETIME, also as enumeration reports it.
    FILETIME ft{};
    char name[16];
    DWORD chars = sizeof name;
    ASSERT_EQ(RegEnumKeyEx(parent.get(), 0, name, &chars, nullptr, nullptr, nullptr, &ft),
              ERROR_SUCCESS);
    auto unixSeconds = static_cast<std::int64_t>((ticks(ft) - 116444736000000000ull) / 10000000ull);
    EXPECT_LE(unixSeconds - time(nullptr), 5);
    EXPECT_GE(unixSeconds - time(nullptr), -60);
}

TEST(Registry, EnumerationOrder) {
    Key key("SOFTWARE\\Order");
    // Name order is the byte order with ASCII letters upper-cased, so "_x"
    // (0x5F) follows every letter.
    for (const char *name : {"b", "_x", "C", "a10", "A2", "\xC0"}) Key child(name, key.get());
    EXPECT_EQ(checkedSubkeys(key.get()),
              (std::vector<std::string>{"a10", "A2", "b", "C", "_x", "\xC0"}));

    for (const char *name : {"zeta", "Alpha", "mid"}) {
        ASSERT_EQ(setNumber(key.get(), name, 1), ERROR_SUCCESS);
    }
    ASSERT_EQ(setNumber(key.get(), "ALPHA", 2), ERROR_SUCCESS);  // rewriting keeps the place
    EXPECT_EQ(checkedValueNames(key.get()), (std::vector<std::string>{"zeta", "Alpha", "mid"}));
    ASSERT_EQ(RegDeleteValue(key.get(), "zeta"), ERROR_SUCCESS);
    ASSERT_EQ(setNumber(key.get(), "Zeta", 3), ERROR_SUCCESS);  // written anew: last
    EXPECT_EQ(checkedValueNames(key.get()), (std::vector<std::string>{"Alpha", "mid", "Zeta"}));

    char name[2];
    DWORD chars = sizeof name;
    EXPECT_EQ(RegEnumKeyEx(key.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    EXPECT_EQ(chars, 4u);
}

// The default value ("") enumerates like any other, with an empty name.
TEST(Registry, DefaultValueEnumeratesWithAnEmptyName) {
    Key key("SOFTWARE\\Default");
    ASSERT_EQ(setNumber(key.get(), "", 7), ERROR_SUCCESS);
    EXPECT_EQ(checkedValueNames(key.get()), std::vector<std::string>{""});
}

// Enumerating continues where the last index stopped, but an index always
// means the position in the key as it is now: a change between two calls,
// by this thread or another one, is taken into account.
TEST(Registry, EnumerationIndexFollowsChanges) {
    Key key("SOFTWARE\\Moving");
    for (const char *name : {"b", "d", "f"}) Key child(name, key.get());
    for (const char *name : {"v1", "v2", "v3"}) ASSERT_EQ(setNumber(key.get(), name, 1), 0);
    EXPECT_EQ(nameAt(key.get(), 0), "b");
    EXPECT_EQ(nameAt(key.get(), 1), "d");
    { Key first("a", key.get()); }  // by this thread
    EXPECT_EQ(nameAt(key.get(), 2), "d");
    EXPECT_EQ(nameAt(key.get(), 3), "f");
    std::thread([&] { ASSERT_EQ(RegDeleteKey(key.get(), "b"), ERROR_SUCCESS); }).join();
    EXPECT_EQ(nameAt(key.get(), 3), "error 259");
    EXPECT_EQ(nameAt(key.get(), 2), "f");

    EXPECT_EQ(nameAt(key.get(), 0, true), "v1");
    EXPECT_EQ(nameAt(key.get(), 1, true), "v2");
    std::thread([&] { ASSERT_EQ(RegDeleteValue(key.get(), "v1"), ERROR_SUCCESS); }).join();
    EXPECT_EQ(nameAt(key.get(), 2, true), "error 259");
    EXPECT_EQ(nameAt(key.get(), 1, true), "v3");
}

TEST(Registry, QueryInfoCountsAndLongestNames) {
    Key key("SOFTWARE\\Info");
    Key one("S1", key.get()), longer("Subkey22", key.get());
    ASSERT_EQ(setString(key.get(), "LongValueName", "x"), ERROR_SUCCESS);
    ASSERT_EQ(setString(key.get(), "V", std::string(40, 'd')), ERROR_SUCCESS);
    DWORD subs = 0, maxSub = 0, maxClass = 9, values = 0, maxName = 0, maxData = 0, sd = 9;
    char cls[4] = "abc";
    DWORD clsChars = sizeof cls;
    ASSERT_EQ(RegQueryInfoKey(key.get(), cls, &clsChars, nullptr, &subs, &maxSub, &maxClass,
                              &values, &maxName, &maxData, &sd, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(std::vector<DWORD>({subs, maxSub, values, maxName, maxData, maxClass, clsChars}),
              std::vector<DWORD>({2, 8, 2, 13, 41, 0, 0}));
    EXPECT_STREQ(cls, "");
}

TEST(Registry, DeletingKeys) {
    Key parent("SOFTWARE\\Del\\Parent");
    Key child("SOFTWARE\\Del\\Parent\\Child");
    ASSERT_EQ(setNumber(child.get(), "V", 1), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Del\\Parent"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Del\\Nothing"), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegDeleteKey(parent.get(), "CHILD"), ERROR_SUCCESS);
    // Every call on the handle of the deleted key says so; closing still works.
    expectEveryCallFails(child.get(), ERROR_KEY_DELETED);

    // A key made again under the same name is a new key; the old handle stays dead.
    Key again("SOFTWARE\\Del\\Parent\\Child");
    EXPECT_EQ(probe(again.get(), "V"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(setNumber(child.get(), "V", 2), ERROR_KEY_DELETED);
    // An empty path deletes the key behind the handle.
    EXPECT_EQ(RegDeleteKey(again.get(), ""), ERROR_SUCCESS);
    HKEY sub = nullptr;
    EXPECT_EQ(RegOpenKey(parent.get(), "Child", &sub), ERROR_FILE_NOT_FOUND);
}

TEST(Registry, InvalidHandlesAndMissingArguments) {
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
    // The event handle is still open: closing a key does not close other kinds.
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);

    Key key("SOFTWARE\\H");
    char name[4];
    DWORD chars = sizeof name;
    EXPECT_EQ(RegOpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE", nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "X", 0, nullptr, 0, 0, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKey(key.get(), nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegEnumKeyEx(key.get(), 0, nullptr, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegEnumValue(key.get(), 0, name, nullptr, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);

    // CloseHandle closes keys as well.
    HKEY viaCloseHandle = nullptr;
    ASSERT_EQ(RegOpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE", &viaCloseHandle), ERROR_SUCCESS);
    EXPECT_TRUE(CloseHandle(viaCloseHandle));
    // Failing registry calls leave the last error alone.
    SetLastError(4242);
    EXPECT_EQ(RegCloseKey(viaCloseHandle), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKey(HKEY_LOCAL_MACHINE, "Missing", &viaCloseHandle), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetLastError(), 4242u);
}

TEST(RegistryTransaction, CommitLandsEverythingRollbackNothing) {
    Key key("SOFTWARE\\Txn");
    for (bool commit : {true, false}) {
        SCOPED_TRACE(commit ? "commit" : "rollback");
        ASSERT_EQ(RegBeginTransaction(), ERROR_SUCCESS);
        EXPECT_EQ(RegBeginTransaction(), ERROR_ALREADY_EXISTS);  // no nesting
        Key sub(commit ? "Kept" : "Dropped", key.get());
        ASSERT_EQ(setNumber(sub.get(), "A", 1), ERROR_SUCCESS);
        ASSERT_EQ(setNumber(key.get(), commit ? "KeptValue" : "DroppedValue", 2), ERROR_SUCCESS);
        // A failing call inside the transaction undoes only itself.
        EXPECT_EQ(RegDeleteValue(key.get(), "nothing"), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(probe(sub.get(), "A"), ERROR_SUCCESS);
        EXPECT_EQ(commit ? RegCommitTransaction() : RegRollbackTransaction(), ERROR_SUCCESS);
    }
    EXPECT_EQ(checkedSubkeys(key.get()), std::vector<std::string>{"Kept"});
    EXPECT_EQ(checkedValueNames(key.get()), std::vector<std::string>{"KeptValue"});
    EXPECT_EQ(RegCommitTransaction(), ERROR_NOT_OWNER);
    EXPECT_EQ(RegRollbackTransaction(), ERROR_NOT_OWNER);
}

// Another thread's calls do not join this thread's transaction; they wait
// for it and see its changes only after the commit.
TEST(RegistryTransaction, IsBoundToItsThread) {
    Key key("SOFTWARE\\TxnThread");
    ASSERT_EQ(RegBeginTransaction(), ERROR_SUCCESS);
    ASSERT_EQ(setNumber(key.get(), "Inside", 1), ERROR_SUCCESS);
    LONG seen = -1, written = -1;
    std::thread([&] { seen = probe(key.get(), "Inside"); }).join();
    EXPECT_EQ(seen, ERROR_FILE_NOT_FOUND);
    std::thread writer([&] { written = setNumber(key.get(), "Outside", 1); });
    ASSERT_EQ(RegCommitTransaction(), ERROR_SUCCESS);
    writer.join();
    EXPECT_EQ(written, ERROR_SUCCESS);
    EXPECT_EQ(checkedValueNames(key.get()), (std::vector<std::string>{"Inside", "Outside"}));
}

class RegistryDatabase : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(mkdir(root_.c_str(), 0755), 0);
        setenv("ORV_ROOT", root_.c_str(), 1);
        setenv("ORV_TRACE_FILE", (root_ + "/trace.log").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("ORV_ROOT");
        unsetenv("ORV_TRACE_FILE");
    }
    static std::string read(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    const std::string root_ = "/opt/relocated", db_ = root_ + "/var/registry.db";
};

TEST_F(RegistryDatabase, DamagedDatabaseIsReportedNotReplaced) {
    ASSERT_EQ(mkdir((root_ + "/var").c_str(), 0755), 0);
    const std::string garbage(8192, 'G');
    std::ofstream(db_, std::ios::binary) << garbage;
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE", &key), 1015);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(probe(HKEY_LOCAL_MACHINE, "V"), 1015);
    EXPECT_EQ(RegBeginTransaction(), 1015);
    EXPECT_EQ(read(db_), garbage);
    std::string trace = read(root_ + "/trace.log");
    EXPECT_NE(trace.find(" 1 w32compat:RegCreateKey:"), std::string::npos) << trace;
    EXPECT_NE(trace.find(db_), std::string::npos) << trace;
}

// A full disk: the failing write is reported, nothing of a transaction it
// was part of lands (the later calls of the transaction and its commit fail
// too), and what was committed before stays readable.
TEST_F(RegistryDatabase, FullDiskFailsCleanly) {
    if (mount("small", root_.c_str(), "tmpfs", 0, "size=256k") != 0) {
        GTEST_SKIP() << "cannot mount a small file system here";
    }
    Key key("SOFTWARE\\Full");
    ASSERT_EQ(setNumber(key.get(), "Before", 1), ERROR_SUCCESS);
    const std::string big(8000, 'x');
    auto fill = [&](const char *prefix) {
        for (int i = 0; i < 2000; ++i) {
            std::string name = prefix + std::to_string(i);
            LONG rc = RegSetValueEx(key.get(), name.c_str(), 0, REG_BINARY,
                                    reinterpret_cast<const BYTE *>(big.data()),
                                    static_cast<DWORD>(big.size()));
            if (rc != ERROR_SUCCESS) return std::make_pair(i, rc);
        }
        return std::make_pair(-1, LONG{ERROR_SUCCESS});
    };

    ASSERT_EQ(RegBeginTransaction(), ERROR_SUCCESS);
    auto [failedAt, rc] = fill("T");
    ASSERT_GT(failedAt, 0);
    EXPECT_EQ(rc, 1016);
    LONG later = setNumber(key.get(), "Small", 1);
    LONG commit = RegCommitTransaction();
    // Whether SQLite kept the transaction after the failed write or not,
    // the transaction ends with all of it or none of it.
    if (commit == ERROR_SUCCESS) {
        EXPECT_EQ(later, ERROR_SUCCESS);
        EXPECT_EQ(probe(key.get(), "T0"), ERROR_SUCCESS);
    } else {
        EXPECT_EQ(probe(key.get(), "T0"), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(probe(key.get(), "Small"), ERROR_FILE_NOT_FOUND);
    }
    EXPECT_EQ(RegCommitTransaction(), ERROR_NOT_OWNER);  // the transaction is over either way
    EXPECT_EQ(probe(key.get(), "Before"), ERROR_SUCCESS);

    // Outside a transaction every write up to the failing one is kept.
    auto [failedAlone, rcAlone] = fill("W");
    EXPECT_EQ(rcAlone, 1016);
    for (int i = 0; i < failedAlone; ++i) {
        ASSERT_EQ(probe(key.get(), ("W" + std::to_string(i)).c_str()), ERROR_SUCCESS) << i;
    }
}

TEST_F(RegistryDatabase, UnopenableUntilTheObstacleGoesThenUnderTheRoot) {
    std::ofstream(root_ + "/var") << "";  // var/ is a file: the database cannot be created
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKey(HKEY_LOCAL_MACHINE, "", &key), 1016);
    std::string trace = read(root_ + "/trace.log");
    EXPECT_NE(trace.find(" 1 w32compat:RegOpenKey:"), std::string::npos) << trace;
    // Once the obstacle is gone, the next call opens the database, under the
    // root it is given.
    ASSERT_EQ(unlink((root_ + "/var").c_str()), 0);
    ASSERT_EQ(RegOpenKey(HKEY_LOCAL_MACHINE, "", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    struct stat st {};
    EXPECT_EQ(stat(db_.c_str(), &st), 0);
    EXPECT_NE(stat("/opt/orv/var/registry.db", &st), 0);
}

// A path swapped between the caller's check and the open is refused, whatever
// it leads to now; the checked file itself opens.
TEST(OpenFileForReading, OpensOnlyTheFileThatWasChecked) {
    const std::string checked = "/opt/orv/checked.txt";
    const std::string other = "/opt/orv/other.txt";
    ::mkdir("/opt/orv", 0755);
    std::ofstream(checked) << "checked";
    std::ofstream(other) << "other";
    struct stat status {};
    ASSERT_EQ(::stat(checked.c_str(), &status), 0);

    int fd = OpenFileForReadingAs(checked.c_str(), &status);
    ASSERT_GE(fd, 0);
    ::close(fd);

    ASSERT_EQ(::rename(other.c_str(), checked.c_str()), 0);
    errno = 0;
    EXPECT_EQ(OpenFileForReadingAs(checked.c_str(), &status), -1);
    EXPECT_EQ(errno, EAGAIN);
    ::unlink(checked.c_str());
}

}  // namespace
