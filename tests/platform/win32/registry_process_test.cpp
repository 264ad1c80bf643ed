// The registry shared between processes: writers killed at any moment,
// writers at once, keys deleted by another process, and connections that a
// child inherits through fork().
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "registry_probe.h"
#include "w32compat.h"

namespace {

using namespace orv_test;

constexpr const char kDatabase[] = "/opt/orv/var/registry.db";

// The data written as value number i: long enough to span pages now and then.
std::string payload(std::uint32_t i) {
    return "value-" + std::to_string(i) +
           std::string(40 + i % 300, static_cast<char>('a' + i % 26));
}

std::string valueName(std::uint32_t i) {
    return "V" + std::to_string(i);
}
std::string keyName(const char *base, std::uint32_t i) {
    return std::string(base) + "\\K" + std::to_string(i % 7);
}

// The number of values and the last-write time of a key.
LONG queryInfo(HKEY key, DWORD *values, std::uint64_t *lastWrite = nullptr) {
    FILETIME ft{};
    LONG rc = RegQueryInfoKey(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, values,
                              nullptr, nullptr, nullptr, &ft);
    if (lastWrite != nullptr)
        *lastWrite = (std::uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
    return rc;
}

std::string integrityCheck() {
    sqlite3 *db = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2(kDatabase, &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW) {
            result = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0));
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return result;
}

// Reads the numbers a child reported through a pipe until it has reported
// `until` of them (or closed the pipe); returns false at end of file.
bool readReports(int fd, std::vector<std::uint32_t> &seen, std::size_t until) {
    for (std::uint32_t i = 0; seen.size() < until; seen.push_back(i)) {
        if (read(fd, &i, sizeof i) != static_cast<ssize_t>(sizeof i)) return false;
    }
    return true;
}

// Starts a child writing values numbered from `first` under `base` (inside
// one transaction if asked) and reporting each success, and kills it at a
// random moment after at least `least` and at most `least + spread - 1`
// reports. Returns the numbers whose write the child saw succeed.
std::vector<std::uint32_t> killWriter(std::mt19937 &random, const char *base, std::uint32_t first,
                                      bool transaction, std::uint32_t least, std::uint32_t spread) {
    int fds[2];
    std::vector<std::uint32_t> seen;
    EXPECT_EQ(pipe(fds), 0);
    pid_t child = spawn([&] {
        close(fds[0]);
        if (transaction && RegBeginTransaction() != ERROR_SUCCESS) return 1;
        for (std::uint32_t i = first;; ++i) {
            if (writeValue(keyName(base, i), valueName(i).c_str(), REG_BINARY, payload(i)) != 0)
                return 2;
            if (write(fds[1], &i, sizeof i) != sizeof i) return 3;
        }
    });
    close(fds[1]);
    EXPECT_TRUE(readReports(fds[0], seen, least + random() % spread));
    usleep(random() % 400);
    kill(child, SIGKILL);
    EXPECT_EQ(exitStatus(child), 128 + SIGKILL);
    readReports(fds[0], seen, SIZE_MAX);
    close(fds[0]);
    return seen;
}

// A writer killed at a random moment of a stream of writes: the database
// stays sound, every write the writer saw succeed is there, and the
// registry takes writes at once afterwards.
TEST(RegistryProcesses, KilledWriterLosesNothingCommitted) {
    std::mt19937 random(std::random_device{}());
    std::vector<std::uint32_t> committed;
    for (int round = 0, rounds = killRounds(25); round < rounds; ++round) {
        // The next round's numbers never meet a half-written one.
        std::uint32_t first = committed.empty() ? 0 : committed.back() + 2;
        auto seen = killWriter(random, "SOFTWARE\\Stream", first, false, 5, 60);
        ASSERT_FALSE(seen.empty()) << "round " << round;
        committed.insert(committed.end(), seen.begin(), seen.end());
    }
    ASSERT_EQ(integrityCheck(), "ok");
    for (std::uint32_t i : committed) {
        ASSERT_EQ(readText(keyName("SOFTWARE\\Stream", i), valueName(i).c_str(), "<missing>"),
                  payload(i))
            << i;
    }
    EXPECT_EQ(writeValue("SOFTWARE\\Stream", "After", REG_BINARY, "x"), ERROR_SUCCESS);
}

// A writer killed inside a transaction leaves nothing of it, whatever it had
// written, and does not keep the registry locked.
TEST(RegistryProcesses, KilledTransactionLeavesNothing) {
    std::mt19937 random(std::random_device{}());
    ASSERT_EQ(writeValue("SOFTWARE\\Txn", "Before", REG_BINARY, "kept"), ERROR_SUCCESS);
    for (int round = 0, rounds = killRounds(25); round < rounds; ++round) {
        ASSERT_FALSE(killWriter(random, "SOFTWARE\\Txn\\Open", 0, true, 1, 80).empty());
        HKEY open = nullptr;
        ASSERT_EQ(RegOpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Txn\\Open", &open),
                  ERROR_FILE_NOT_FOUND)
            << "round " << round;
    }
    EXPECT_EQ(readText("SOFTWARE\\Txn", "Before", "<missing>"), "kept");
    EXPECT_EQ(integrityCheck(), "ok");
    EXPECT_EQ(writeValue("SOFTWARE\\Txn", "After", REG_BINARY, "x"), ERROR_SUCCESS);
}

// Processes writing at once all succeed: a busy database is waited for,
// never reported. One of them writes in transactions, and all of them also
// write one shared value, whose key's last-write time each writer must see
// rise with each of its writes.
TEST(RegistryProcesses, SimultaneousWritersAllSucceed) {
    constexpr int kWriters = 3;
    constexpr std::uint32_t kWrites = 150;
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        children.push_back(spawn([w] {
            std::string own = "SOFTWARE\\Writers\\W" + std::to_string(w);
            HKEY shared = nullptr;
            if (RegCreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Writers\\Shared", &shared) != 0) {
                return 10;
            }
            std::uint64_t last = 0;
            for (std::uint32_t i = 0; i < kWrites; ++i) {
                bool batch = w == 0 && i % 10 == 0;
                if (batch && RegBeginTransaction() != 0) return 11;
                if (writeValue(keyName(own.c_str(), i), valueName(i).c_str(), REG_BINARY,
                               payload(i)) != 0)
                    return 12;
                DWORD value = i;
                if (RegSetValueEx(shared, "Counter", 0, REG_DWORD,
                                  reinterpret_cast<const BYTE *>(&value), 4) != 0) {
                    return 13;
                }
                std::uint64_t now = 0;
                if (queryInfo(shared, nullptr, &now) != 0) return 14;
                if (now <= last) return 15;
                last = now;
                if (w == 0 && i % 10 == 9 && RegCommitTransaction() != 0) return 16;
            }
            RegCloseKey(shared);
            return 0;
        }));
    }
    for (pid_t child : children) EXPECT_EQ(exitStatus(child), 0);
    for (int w = 0; w < kWriters; ++w) {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKey(HKEY_LOCAL_MACHINE,
                             ("SOFTWARE\\Writers\\W" + std::to_string(w) + "\\K0").c_str(), &key),
                  ERROR_SUCCESS);
        DWORD values = 0;
        ASSERT_EQ(queryInfo(key, &values), ERROR_SUCCESS);
        EXPECT_EQ(values, (kWrites + 6) / 7);  // K0 holds the numbers that are multiples of 7
        RegCloseKey(key);
    }
}

// A transaction held by another process for longer than SQLite's own busy
// timeout (5 s) still only delays a write or a transaction here, and reads
// go on meanwhile.
TEST(RegistryProcesses, LongTransactionElsewhereDelaysButDoesNotFail) {
    ASSERT_EQ(writeValue("SOFTWARE\\Long", "Before", REG_BINARY, "b"), ERROR_SUCCESS);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t holder = spawn([&] {
        close(fds[0]);
        if (RegBeginTransaction() != 0) return 1;
        if (writeValue("SOFTWARE\\Long", "Holder", REG_BINARY, "h") != 0) return 2;
        char ready = 1;
        if (write(fds[1], &ready, 1) != 1) return 3;
        sleep(7);  // deliberately longer than SQLite's busy timeout
        return RegCommitTransaction() == ERROR_SUCCESS ? 0 : 4;
    });
    close(fds[1]);
    char ready = 0;
    ASSERT_EQ(read(fds[0], &ready, 1), 1);
    close(fds[0]);
    EXPECT_EQ(readText("SOFTWARE\\Long", "Before", "<missing>"), "b");
    EXPECT_EQ(readText("SOFTWARE\\Long", "Holder", "<missing>"), "<missing>");
    pid_t transactional = spawn([] {
        if (RegBeginTransaction() != 0) return 1;
        if (writeValue("SOFTWARE\\Long", "Second", REG_BINARY, "s") != 0) return 2;
        return RegCommitTransaction() == ERROR_SUCCESS ? 0 : 3;
    });
    EXPECT_EQ(writeValue("SOFTWARE\\Long", "Waiter", REG_BINARY, "w"), ERROR_SUCCESS);
    // The write could only land after the holder's commit.
    EXPECT_EQ(readText("SOFTWARE\\Long", "Holder", "<missing>"), "h");
    EXPECT_EQ(exitStatus(holder), 0);
    EXPECT_EQ(exitStatus(transactional), 0);
    EXPECT_EQ(readText("SOFTWARE\\Long", "Second", "<missing>"), "s");
}

TEST(RegistryProcesses, KeyDeletedByAnotherProcessReportsDeleted) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Gone", &key), ERROR_SUCCESS);
    ASSERT_EQ(writeValue("SOFTWARE\\Gone", "V", REG_BINARY, "x"), ERROR_SUCCESS);
    pid_t child = spawn([] {
        HKEY parent = nullptr;
        if (RegOpenKey(HKEY_LOCAL_MACHINE, "software", &parent) != 0) return 1;
        return RegDeleteKey(parent, "GONE") == ERROR_SUCCESS ? 0 : 2;
    });
    ASSERT_EQ(exitStatus(child), 0);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueEx(key, "V", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    const BYTE byte = 1;
    EXPECT_EQ(RegSetValueEx(key, "V", 0, REG_BINARY, &byte, 1), ERROR_KEY_DELETED);
    HKEY sub = nullptr;
    EXPECT_EQ(RegCreateKey(key, "Sub", &sub), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

// A child forked while the parent holds a connection, and even a
// transaction, uses a connection of its own: it does not see the parent's
// uncommitted writes, its exit leaves the parent's connection working, and
// the parent's transaction still commits.
TEST(RegistryProcesses, ForkedChildUsesAConnectionOfItsOwn) {
    ASSERT_EQ(writeValue("SOFTWARE\\Fork", "Parent", REG_BINARY, "p"), ERROR_SUCCESS);
    ASSERT_EQ(RegBeginTransaction(), ERROR_SUCCESS);
    ASSERT_EQ(writeValue("SOFTWARE\\Fork", "Uncommitted", REG_BINARY, "u"), ERROR_SUCCESS);
    pid_t reader = spawn([] {
        if (readText("SOFTWARE\\Fork", "Parent", "<missing>") != "p") return 1;
        if (readText("SOFTWARE\\Fork", "Uncommitted", "<missing>") != "<missing>") return 2;
        // Not the parent's transaction: the child holds none.
        if (RegCommitTransaction() != ERROR_NOT_OWNER) return 3;
        std::exit(0);  // runs the thread's cleanup, which must leave the parent's connection be
    });
    EXPECT_EQ(exitStatus(reader), 0);
    ASSERT_EQ(RegCommitTransaction(), ERROR_SUCCESS);

    pid_t writer = spawn([] {
        if (writeValue("SOFTWARE\\Fork", "Child", REG_BINARY, "c") != 0) return 1;
        std::exit(0);
    });
    EXPECT_EQ(exitStatus(writer), 0);
    EXPECT_EQ(readText("SOFTWARE\\Fork", "Uncommitted", "<missing>"), "u");
    EXPECT_EQ(readText("SOFTWARE\\Fork", "Child", "<missing>"), "c");
    EXPECT_EQ(writeValue("SOFTWARE\\Fork", "Later", REG_BINARY, "l"), ERROR_SUCCESS);
    EXPECT_EQ(integrityCheck(), "ok");
}

// A child forked while another thread of the parent had the registry open
// keeps working after every connection of the parent has gone and a third
// process has opened and closed the registry: its later writes land in the
// database everyone sees.
TEST(RegistryProcesses, ForkedChildOutlivesTheParentsConnections) {
    int toChild[2], fromChild[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(fromChild), 0);
    pid_t child = -1;
    std::thread opener([&] {
        ASSERT_EQ(writeValue("SOFTWARE\\Outlive", "Parent", REG_BINARY, "p"), ERROR_SUCCESS);
        child = spawn([&] {
            char go = 0;
            if (writeValue("SOFTWARE\\Outlive", "Early", REG_BINARY, "e") != 0) return 1;
            if (write(fromChild[1], &go, 1) != 1) return 2;
            if (read(toChild[0], &go, 1) != 1) return 3;
            if (readText("SOFTWARE\\Outlive", "Third", "<missing>") != "t") return 4;
            if (writeValue("SOFTWARE\\Outlive", "Late", REG_BINARY, "l") != 0) return 5;
            return 0;
        });
    });  // the thread's end closes the parent's only connection
    opener.join();
    char ready = 0;
    ASSERT_EQ(read(fromChild[0], &ready, 1), 1);
    pid_t third = spawn([] { return writeValue("SOFTWARE\\Outlive", "Third", REG_BINARY, "t"); });
    ASSERT_EQ(exitStatus(third), 0);
    ASSERT_EQ(write(toChild[1], &ready, 1), 1);
    EXPECT_EQ(exitStatus(child), 0);
    EXPECT_EQ(readText("SOFTWARE\\Outlive", "Late", "<missing>"), "l");
    EXPECT_EQ(integrityCheck(), "ok");
}

}  // namespace

namespace {

// A snapshot sees the registry as at its first read while another process
// writes, and refuses writes of its own.
TEST(RegistryProcesses, SnapshotSeesOneStateAndRefusesWrites) {
    ASSERT_EQ(writeValue("SOFTWARE\\Snap", "A", REG_BINARY, "old"), ERROR_SUCCESS);
    ASSERT_EQ(RegBeginSnapshot(), ERROR_SUCCESS);
    EXPECT_EQ(readText("SOFTWARE\\Snap", "A", "<missing>"), "old");
    pid_t writer =
        spawn([] { return writeValue("SOFTWARE\\Snap", "A", REG_BINARY, "new") == 0 ? 0 : 1; });
    EXPECT_EQ(exitStatus(writer), 0) << "a writer is not held up by the snapshot";
    EXPECT_EQ(readText("SOFTWARE\\Snap", "A", "<missing>"), "old");
    EXPECT_EQ(writeValue("SOFTWARE\\Snap", "B", REG_BINARY, "x"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegBeginTransaction(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(RegRollbackTransaction(), ERROR_SUCCESS);
    EXPECT_EQ(readText("SOFTWARE\\Snap", "A", "<missing>"), "new");
}

}  // namespace
