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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "w32compat.h"

namespace {

std::uint64_t ticks(const FILETIME &ft) {
    return (std::uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
}

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

std::uint64_t lastWrite(HKEY key) {
    FILETIME ft{};
    EXPECT_EQ(RegQueryInfoKey(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr, nullptr, &ft),
              ERROR_SUCCESS);
    return ticks(ft);
}

LONG setString(HKEY key, const char *name, const std::string &text) {
    return RegSetValueEx(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                         static_cast<DWORD>(text.size() + 1));
}

LONG setNumber(HKEY key, const char *name, DWORD value) {
    return RegSetValueEx(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value),
                         sizeof value);
}

std::vector<std::string> subkeys(HKEY key) {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD chars = sizeof name;
        LONG rc = RegEnumKeyEx(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        EXPECT_EQ(rc, ERROR_SUCCESS);
        if (rc != ERROR_SUCCESS) break;
        EXPECT_EQ(chars, std::strlen(name));
        names.emplace_back(name);
    }
    return names;
}

std::vector<std::string> valueNames(HKEY key) {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD chars = sizeof name;
        LONG rc = RegEnumValue(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        EXPECT_EQ(rc, ERROR_SUCCESS);
        if (rc != ERROR_SUCCESS) break;
        names.emplace_back(name);
    }
    return names;
}

TEST(Registry, NamesIgnoreAsciiCaseAndKeepTheirFirstSpelling) {
    Key product("SOFTWARE\\ORV\\ALERTREPORT\\Prod");
    ASSERT_EQ(setNumber(product.get(), "Manual", 1), ERROR_SUCCESS);

    Key other;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "software\\orv\\AlertReport\\PROD", 0, nullptr, 0,
                             KEY_ALL_ACCESS, nullptr, other.out(), &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD{REG_OPENED_EXISTING_KEY});
    DWORD value = 0, size = sizeof value, type = 0;
    ASSERT_EQ(RegQueryValueEx(other.get(), "MANUAL", nullptr, &type,
                              reinterpret_cast<BYTE *>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(type, DWORD{REG_DWORD});

    // Rewriting under another spelling replaces the value, keeps the name.
    ASSERT_EQ(setNumber(other.get(), "mAnUaL", 0), ERROR_SUCCESS);
    EXPECT_EQ(valueNames(product.get()), std::vector<std::string>{"Manual"});
    Key orv("Software\\Orv\\AlertReport");
    EXPECT_EQ(subkeys(orv.get()), std::vector<std::string>{"Prod"});

    // Bytes from 0x80 up compare exactly: these are two keys.
    Key upper("SOFTWARE\\\xC9t\xC9"), lower("SOFTWARE\\\xE9t\xE9");
    Key software("SOFTWARE");
    EXPECT_EQ(subkeys(software.get()).size(), 3u);
}

TEST(Registry, CreateReportsWhetherTheKeyIsNewAndOpenOfAMissingKeyFails) {
    DWORD disposition = 0;
    Key a;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "A\\B\\C\\", 0, nullptr, 0, KEY_ALL_ACCESS,
                             nullptr, a.out(), &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD{REG_CREATED_NEW_KEY});
    Key again;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "A\\B\\C", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                             again.out(), &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD{REG_OPENED_EXISTING_KEY});

    HKEY missing = reinterpret_cast<HKEY>(0x1234);
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "A\\B\\X", 0, KEY_READ, &missing),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(missing, nullptr);

    // A relative path from an open key, and the key itself by an empty path.
    Key b;
    ASSERT_EQ(RegOpenKey(HKEY_LOCAL_MACHINE, "a\\b", b.out()), ERROR_SUCCESS);
    Key c, self;
    EXPECT_EQ(RegOpenKeyEx(b.get(), "c", 0, KEY_READ, c.out()), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyEx(b.get(), "", 0, KEY_READ, self.out()), ERROR_SUCCESS);
    EXPECT_EQ(subkeys(self.get()), std::vector<std::string>{"C"});
}

TEST(Registry, MalformedPathsAreRefused) {
    const std::string longName(256, 'k');
    const char *paths[] = {"\\A", "A\\\\B", "A\\\\", longName.c_str()};
    for (const char *path : paths) {
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
        DWORD sizeAfter;
        bool copied;
    };
    const Case cases[] = {
        {false, 0, ERROR_SUCCESS, 7, false},  {false, 3, ERROR_SUCCESS, 7, false},
        {true, 0, ERROR_MORE_DATA, 7, false}, {true, 6, ERROR_MORE_DATA, 7, false},
        {true, 7, ERROR_SUCCESS, 7, true},    {true, 100, ERROR_SUCCESS, 7, true},
    };
    for (const Case &c : cases) {
        char buffer[128];
        std::memset(buffer, 'x', sizeof buffer);
        DWORD size = c.capacity, type = 0;
        LONG rc = RegQueryValueEx(key.get(), "text", nullptr, &type,
                                  c.withBuffer ? reinterpret_cast<BYTE *>(buffer) : nullptr, &size);
        SCOPED_TRACE(testing::Message() << "buffer " << c.withBuffer << " capacity " << c.capacity);
        EXPECT_EQ(rc, c.result);
        EXPECT_EQ(size, c.sizeAfter);
        EXPECT_EQ(type, DWORD{REG_SZ});
        if (c.copied) {
            EXPECT_STREQ(buffer, "abcdef");
            EXPECT_EQ(buffer[7], 'x');
        } else {
            EXPECT_EQ(buffer[0], 'x');
        }
    }
    DWORD size = 0;
    char buffer[8];
    EXPECT_EQ(RegQueryValueEx(key.get(), "Text", nullptr, nullptr, reinterpret_cast<BYTE *>(buffer),
                              nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueEx(key.get(), "Missing", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);

    // Enumeration: a too short name or data buffer leaves both untouched.
    char name[3] = {'x', 'x', 'x'};
    DWORD nameChars = sizeof name, dataSize = sizeof buffer;
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(RegEnumValue(key.get(), 0, name, &nameChars, nullptr, nullptr,
                           reinterpret_cast<BYTE *>(buffer), &dataSize),
              ERROR_MORE_DATA);
    EXPECT_EQ(nameChars, 5u);
    EXPECT_EQ(dataSize, 7u);
    EXPECT_EQ(name[0], 'x');
    EXPECT_EQ(buffer[0], 'x');
    char bigName[5];
    nameChars = sizeof bigName;
    dataSize = 3;
    EXPECT_EQ(RegEnumValue(key.get(), 0, bigName, &nameChars, nullptr, nullptr,
                           reinterpret_cast<BYTE *>(buffer), &dataSize),
              ERROR_MORE_DATA);
    EXPECT_EQ(dataSize, 7u);
    EXPECT_EQ(buffer[0], 'x');
    nameChars = sizeof bigName;
    dataSize = sizeof buffer;
    ASSERT_EQ(RegEnumValue(key.get(), 0, bigName, &nameChars, nullptr, nullptr,
                           reinterpret_cast<BYTE *>(buffer), &dataSize),
              ERROR_SUCCESS);
    EXPECT_STREQ(bigName, "Text");
    EXPECT_EQ(nameChars, 4u);
    EXPECT_STREQ(buffer, "abcdef");
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

    char buffer[16];
    DWORD size = sizeof buffer, type = 0;
    ASSERT_EQ(
        RegQueryValueEx(key.get(), "bin", nullptr, &type, reinterpret_cast<BYTE *>(buffer), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(std::string(buffer, size), binary);
    size = sizeof buffer;
    ASSERT_EQ(RegQueryValueEx(key.get(), "Empty", nullptr, &type, reinterpret_cast<BYTE *>(buffer),
                              &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
    size = sizeof buffer;
    ASSERT_EQ(
        RegQueryValueEx(key.get(), "", nullptr, &type, reinterpret_cast<BYTE *>(buffer), &size),
        ERROR_SUCCESS);
    EXPECT_STREQ(buffer, "default");

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

    // The time is the real-time clock's, as a FILETIME.
    FILETIME ft{};
    char name[16];
    DWORD chars = sizeof name;
    ASSERT_EQ(RegEnumKeyEx(parent.get(), 0, name, &chars, nullptr, nullptr, nullptr, &ft),
              ERROR_SUCCESS);
    std::uint64_t unixSeconds = (ticks(ft) - 116444736000000000ull) / 10000000ull;
    EXPECT_LE(static_cast<std::int64_t>(unixSeconds) - time(nullptr), 5);
    EXPECT_GE(static_cast<std::int64_t>(unixSeconds) - time(nullptr), -60);
}

TEST(Registry, EnumerationOrder) {
    Key key("SOFTWARE\\Order");
    // Name order is the byte order with ASCII letters upper-cased, so "_x"
    // (0x5F) follows every letter.
    for (const char *name : {"b", "_x", "C", "a10", "A2", "\xC0"}) {
        Key child(name, key.get());
    }
    EXPECT_EQ(subkeys(key.get()), (std::vector<std::string>{"a10", "A2", "b", "C", "_x", "\xC0"}));

    for (const char *name : {"zeta", "Alpha", "mid"}) {
        ASSERT_EQ(setNumber(key.get(), name, 1), ERROR_SUCCESS);
    }
    ASSERT_EQ(setNumber(key.get(), "ALPHA", 2), ERROR_SUCCESS);  // rewriting keeps the place
    EXPECT_EQ(valueNames(key.get()), (std::vector<std::string>{"zeta", "Alpha", "mid"}));
    ASSERT_EQ(RegDeleteValue(key.get(), "zeta"), ERROR_SUCCESS);
    ASSERT_EQ(setNumber(key.get(), "Zeta", 3), ERROR_SUCCESS);  // written anew: last
    EXPECT_EQ(valueNames(key.get()), (std::vector<std::string>{"Alpha", "mid", "Zeta"}));

    char name[2];
    DWORD chars = sizeof name;
    EXPECT_EQ(RegEnumKeyEx(key.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    EXPECT_EQ(chars, 4u);
    chars = sizeof name;
    EXPECT_EQ(RegEnumKeyEx(key.get(), 6, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
}

// Enumerating continues where the last index stopped, but an index always
// means the position in the key as it is now: a change between two calls,
// by this thread or another one, is taken into account.
TEST(Registry, EnumerationIndexFollowsChanges) {
    Key key("SOFTWARE\\Moving");
    for (const char *name : {"b", "d", "f"}) Key child(name, key.get());
    ASSERT_EQ(setNumber(key.get(), "v1", 1), ERROR_SUCCESS);
    ASSERT_EQ(setNumber(key.get(), "v2", 1), ERROR_SUCCESS);
    ASSERT_EQ(setNumber(key.get(), "v3", 1), ERROR_SUCCESS);
    auto subkeyAt = [&](DWORD index) {
        char name[16];
        DWORD chars = sizeof name;
        LONG rc = RegEnumKeyEx(key.get(), index, name, &chars, nullptr, nullptr, nullptr, nullptr);
        return rc == ERROR_SUCCESS ? std::string(name) : "error " + std::to_string(rc);
    };
    auto valueAt = [&](DWORD index) {
        char name[16];
        DWORD chars = sizeof name;
        LONG rc = RegEnumValue(key.get(), index, name, &chars, nullptr, nullptr, nullptr, nullptr);
        return rc == ERROR_SUCCESS ? std::string(name) : "error " + std::to_string(rc);
    };
    EXPECT_EQ(subkeyAt(0), "b");
    EXPECT_EQ(subkeyAt(1), "d");
    { Key first("a", key.get()); }  // by this thread
    EXPECT_EQ(subkeyAt(2), "d");
    EXPECT_EQ(subkeyAt(3), "f");
    std::thread([&] { ASSERT_EQ(RegDeleteKey(key.get(), "b"), ERROR_SUCCESS); }).join();
    EXPECT_EQ(subkeyAt(3), "error 259");
    EXPECT_EQ(subkeyAt(2), "f");

    EXPECT_EQ(valueAt(0), "v1");
    EXPECT_EQ(valueAt(1), "v2");
    std::thread([&] { ASSERT_EQ(RegDeleteValue(key.get(), "v1"), ERROR_SUCCESS); }).join();
    EXPECT_EQ(valueAt(2), "error 259");
    EXPECT_EQ(valueAt(1), "v3");
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
    EXPECT_EQ(subs, 2u);
    EXPECT_EQ(maxSub, 8u);
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(maxName, 13u);
    EXPECT_EQ(maxData, 41u);
    EXPECT_EQ(maxClass, 0u);
    EXPECT_EQ(clsChars, 0u);
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
    HKEY sub = nullptr;
    DWORD size = 0, index = 0;
    char name[8];
    DWORD chars = sizeof name;
    EXPECT_EQ(setNumber(child.get(), "V", 2), ERROR_KEY_DELETED);
    EXPECT_EQ(RegQueryValueEx(child.get(), "V", nullptr, nullptr, nullptr, &size),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteValue(child.get(), "V"), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCreateKey(child.get(), "Sub", &sub), ERROR_KEY_DELETED);
    EXPECT_EQ(RegOpenKey(child.get(), "Sub", &sub), ERROR_KEY_DELETED);
    EXPECT_EQ(RegOpenKey(child.get(), "", &sub), ERROR_KEY_DELETED);
    EXPECT_EQ(RegEnumKeyEx(child.get(), index, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegEnumValue(child.get(), index, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegQueryInfoKey(child.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr, nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteKey(child.get(), ""), ERROR_KEY_DELETED);
    EXPECT_EQ(sub, nullptr);

    // A key made again under the same name is a new key; the old handle stays dead.
    Key again("SOFTWARE\\Del\\Parent\\Child");
    EXPECT_EQ(RegQueryValueEx(again.get(), "V", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(setNumber(child.get(), "V", 2), ERROR_KEY_DELETED);
    // An empty path deletes the key behind the handle.
    EXPECT_EQ(RegDeleteKey(again.get(), ""), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKey(parent.get(), "Child", &sub), ERROR_FILE_NOT_FOUND);
}

TEST(Registry, InvalidHandlesAndMissingArguments) {
    HKEY closed = nullptr;
    ASSERT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\H", &closed), ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
    HANDLE event = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    const HKEY bad[] = {nullptr, closed, reinterpret_cast<HKEY>(0x12345678),
                        reinterpret_cast<HKEY>(uintptr_t{0x80000001}), static_cast<HKEY>(event)};
    for (HKEY key : bad) {
        SCOPED_TRACE(testing::Message() << "handle " << key);
        HKEY out = nullptr;
        DWORD size = 0, chars = 4;
        char name[4];
        EXPECT_EQ(RegOpenKey(key, "x", &out), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegCreateKey(key, "x", &out), ERROR_INVALID_HANDLE);
        EXPECT_EQ(setNumber(key, "V", 1), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegQueryValueEx(key, "V", nullptr, nullptr, nullptr, &size),
                  ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegDeleteValue(key, "V"), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegDeleteKey(key, "x"), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegEnumKeyEx(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
                  ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegQueryInfoKey(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr),
                  ERROR_INVALID_HANDLE);
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
    EXPECT_EQ(RegCloseKey(viaCloseHandle), ERROR_INVALID_HANDLE);
}

TEST(Registry, CallsLeaveTheLastErrorAlone) {
    SetLastError(4242);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKey(HKEY_LOCAL_MACHINE, "Missing", &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(0x99)), ERROR_INVALID_HANDLE);
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
        DWORD size = 0;
        EXPECT_EQ(RegQueryValueEx(sub.get(), "A", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
        EXPECT_EQ(commit ? RegCommitTransaction() : RegRollbackTransaction(), ERROR_SUCCESS);
    }
    EXPECT_EQ(subkeys(key.get()), std::vector<std::string>{"Kept"});
    EXPECT_EQ(valueNames(key.get()), std::vector<std::string>{"KeptValue"});
    EXPECT_EQ(RegCommitTransaction(), ERROR_NOT_OWNER);
    EXPECT_EQ(RegRollbackTransaction(), ERROR_NOT_OWNER);
}

// Another thread's calls do not join this thread's transaction; they wait
// for it and see its changes only after the commit.
TEST(RegistryTransaction, IsBoundToItsThread) {
    Key key("SOFTWARE\\TxnThread");
    ASSERT_EQ(RegBeginTransaction(), ERROR_SUCCESS);
    ASSERT_EQ(setNumber(key.get(), "Inside", 1), ERROR_SUCCESS);
    LONG seen = -1;
    std::thread reader([&] {
        DWORD size = 0;
        seen = RegQueryValueEx(key.get(), "Inside", nullptr, nullptr, nullptr, &size);
    });
    reader.join();
    EXPECT_EQ(seen, ERROR_FILE_NOT_FOUND);
    LONG written = -1;
    std::thread writer([&] { written = setNumber(key.get(), "Outside", 1); });
    ASSERT_EQ(RegCommitTransaction(), ERROR_SUCCESS);
    writer.join();
    EXPECT_EQ(written, ERROR_SUCCESS);
    EXPECT_EQ(valueNames(key.get()), (std::vector<std::string>{"Inside", "Outside"}));
}

class RegistryDatabase : public testing::Test {
  protected:
    void SetUp() override {
        root_ = "/opt/relocated";
        ASSERT_EQ(mkdir(root_.c_str(), 0755), 0);
        setenv("ORV_ROOT", root_.c_str(), 1);
        setenv("ORV_TRACE_FILE", (root_ + "/trace.log").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("ORV_ROOT");
        unsetenv("ORV_TRACE_FILE");
    }
    std::string read(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string root_;
};

TEST_F(RegistryDatabase, LivesUnderTheRootItIsGiven) {
    Key key("SOFTWARE\\Relocated");
    struct stat st {};
    EXPECT_EQ(stat((root_ + "/var/registry.db").c_str(), &st), 0);
    EXPECT_NE(stat("/opt/orv/var/registry.db", &st), 0);
}

TEST_F(RegistryDatabase, DamagedDatabaseIsReportedNotReplaced) {
    ASSERT_EQ(mkdir((root_ + "/var").c_str(), 0755), 0);
    const std::string garbage(8192, 'G');
    {
        std::ofstream out(root_ + "/var/registry.db", std::ios::binary);
        out << garbage;
    }
    HKEY key = nullptr;
    DWORD size = 0;
    EXPECT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE", &key), 1015);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegQueryValueEx(HKEY_LOCAL_MACHINE, "V", nullptr, nullptr, nullptr, &size), 1015);
    EXPECT_EQ(RegBeginTransaction(), 1015);
    EXPECT_EQ(read(root_ + "/var/registry.db"), garbage);
    std::string trace = read(root_ + "/trace.log");
    EXPECT_NE(trace.find(" 1 w32compat:RegCreateKey:"), std::string::npos) << trace;
    EXPECT_NE(trace.find(root_ + "/var/registry.db"), std::string::npos) << trace;
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
    DWORD size = 0;
    LONG first = RegQueryValueEx(key.get(), "T0", nullptr, nullptr, nullptr, &size);
    if (commit == ERROR_SUCCESS) {
        EXPECT_EQ(later, ERROR_SUCCESS);
        EXPECT_EQ(first, ERROR_SUCCESS);
    } else {
        EXPECT_EQ(first, ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(RegQueryValueEx(key.get(), "Small", nullptr, nullptr, nullptr, &size),
                  ERROR_FILE_NOT_FOUND);
    }
    EXPECT_EQ(RegCommitTransaction(), ERROR_NOT_OWNER);  // the transaction is over either way
    EXPECT_EQ(RegQueryValueEx(key.get(), "Before", nullptr, nullptr, nullptr, &size),
              ERROR_SUCCESS);

    // Outside a transaction every write up to the failing one is kept.
    auto [failedAlone, rcAlone] = fill("W");
    EXPECT_EQ(rcAlone, 1016);
    for (int i = 0; i < failedAlone; ++i) {
        std::string name = "W" + std::to_string(i);
        ASSERT_EQ(RegQueryValueEx(key.get(), name.c_str(), nullptr, nullptr, nullptr, &size),
                  ERROR_SUCCESS)
            << name;
    }
}

TEST_F(RegistryDatabase, UnopenableDatabaseFailsEveryCall) {
    // var/ is a file: the database cannot be created.
    { std::ofstream out(root_ + "/var"); }
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKey(HKEY_LOCAL_MACHINE, "", &key), 1016);
    std::string trace = read(root_ + "/trace.log");
    EXPECT_NE(trace.find(" 1 w32compat:RegOpenKey:"), std::string::npos) << trace;
    // Once the obstacle is gone, the next call opens the database.
    ASSERT_EQ(unlink((root_ + "/var").c_str()), 0);
    ASSERT_EQ(RegOpenKey(HKEY_LOCAL_MACHINE, "", &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

}  // namespace
