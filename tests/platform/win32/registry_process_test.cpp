// The registry shared between processes: writers killed at any moment,
// writers at once, keys deleted by another process, snapshots, and
// connections that a child inherits through fork().
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "process.h"
#include "registry_db.h"
#include "registry_probe.h"

using namespace orv_test;
using registry_test::runSql;

// Value number i: its data, long enough to span pages now and then, and its name.
std::string payload(std::uint32_t i) {
    return "value-" + std::to_string(i) + std::string(40 + i % 300, char('a' + i % 26));
}
std::string valueName(std::uint32_t i) {
    return "V" + std::to_string(i);
}
std::string keyName(const char *base, std::uint32_t i) {
    return std::string(base) + "\\K" + std::to_string(i % 7);
}
LONG write(const std::string &key, const char *name, const std::string &bytes) {
    return writeValue(key, name, REG_BINARY, bytes);
}

// Starts a child writing values numbered from `next` under `base` (inside
// one transaction if asked), reporting each success through a pipe, and
// kills it at a random moment after `least` to `least + spread - 1` reports.
// Returns the number after the last one whose write the child saw succeed.
std::uint32_t killWriter(std::mt19937 &random, const char *base, std::uint32_t next,
                         bool transaction, std::uint32_t least, std::uint32_t spread) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    pid_t child = spawn([&] {
        if (transaction && RegBeginTransaction() != ERROR_SUCCESS) return 1;
        for (std::uint32_t i = next;; ++i)
            if (write(keyName(base, i), valueName(i).c_str(), payload(i)) != 0 ||
                ::write(fds[1], "+", 1) != 1)
                return 2;
    });
    close(fds[1]);
    char report = 0;
    const std::uint32_t until = next + least + random() % spread;
    while (next < until && read(fds[0], &report, 1) == 1) ++next;
    usleep(random() % 400);
    kill(child, SIGKILL);
    EXPECT_EQ(exitStatus(child), 128 + SIGKILL);
    while (read(fds[0], &report, 1) == 1) ++next;
    close(fds[0]);
    return next;
}

// A writer killed at a random moment of a stream of writes, or inside a
// transaction: the database stays sound, every write it saw succeed outside
// a transaction is there, nothing of the transaction is, and the registry
// takes writes at once afterwards.
TEST(RegistryProcesses, KilledWriterLosesNothingCommittedAndLeavesNoTransaction) {
    std::mt19937 random(std::random_device{}());
    ASSERT_EQ(write("SOFTWARE\\Txn", "Before", "kept"), ERROR_SUCCESS);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> committed;  // [first, next) per round
    for (int round = 0, rounds = killRounds(25); round < rounds; ++round) {
        // The next round's numbers never meet a half-written one.
        const std::uint32_t first = committed.empty() ? 0 : committed.back().second + 1;
        committed.emplace_back(first, killWriter(random, "SOFTWARE\\Stream", first, false, 5, 60));
        ASSERT_GT(killWriter(random, "SOFTWARE\\Txn\\Open", 0, true, 1, 80), 0u);
        ASSERT_TRUE(keyGone("SOFTWARE\\Txn\\Open")) << "round " << round;
    }
    ASSERT_EQ(runSql("PRAGMA integrity_check"), "ok");
    for (auto [first, next] : committed)
        for (std::uint32_t i = first; i < next; ++i)
            ASSERT_EQ(readText(keyName("SOFTWARE\\Stream", i), valueName(i).c_str()), payload(i))
                << i;
    EXPECT_EQ(readText("SOFTWARE\\Txn", "Before"), "kept");
    EXPECT_EQ(write("SOFTWARE\\Stream", "After", "x"), ERROR_SUCCESS);
}

// Processes writing at once all succeed: a busy database is waited for,
// never reported. One of them writes in transactions, and all of them also
// write one shared value, whose key's last-write time each writer must see
// rise with each of its writes.
TEST(RegistryProcesses, SimultaneousWritersAllSucceed) {
    constexpr std::uint32_t kWrites = 150;
    std::vector<pid_t> children;
    for (int w = 0; w < 3; ++w) {
        children.push_back(spawn([w] {
            Key shared("SOFTWARE\\Writers\\Shared", true);
            for (std::uint32_t i = 0, last = 0; i < kWrites; ++i) {
                const bool batch = w == 0;  // writes ten at a time in a transaction
                if (batch && i % 10 == 0 && RegBeginTransaction() != 0) return 11;
                if (write(keyName(("SOFTWARE\\Writers\\W" + std::to_string(w)).c_str(), i),
                          valueName(i).c_str(), payload(i)) != 0)
                    return 12;
                if (RegSetValueEx(shared.get(), "Counter", 0, REG_DWORD,
                                  reinterpret_cast<const BYTE *>(&i), 4) != 0)
                    return 13;
                if (lastWriteOf(shared.get()) <= last) return 14;
                last = lastWriteOf(shared.get());
                if (batch && i % 10 == 9 && RegCommitTransaction() != 0) return 15;
            }
            return 0;
        }));
    }
    for (int w = 0; w < 3; ++w) {  // K0 holds the numbers that are multiples of 7
        EXPECT_EQ(exitStatus(children[w]), 0);
        EXPECT_EQ(valueNames("SOFTWARE\\Writers\\W" + std::to_string(w) + "\\K0").size(),
                  (kWrites + 6) / 7);
    }
}

// A transaction held by another process for longer than SQLite's own busy
// timeout (5 s) still only delays a write or a transaction here, and reads
// go on meanwhile.
TEST(RegistryProcesses, LongTransactionElsewhereDelaysButDoesNotFail) {
    ASSERT_EQ(write("SOFTWARE\\Long", "Before", "b"), ERROR_SUCCESS);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t holder = spawn([&] {
        if (RegBeginTransaction() != 0 || write("SOFTWARE\\Long", "Holder", "h") != 0) return 1;
        if (::write(fds[1], "r", 1) != 1) return 2;
        sleep(7);  // deliberately longer than SQLite's busy timeout
        return RegCommitTransaction() == ERROR_SUCCESS ? 0 : 3;
    });
    char ready = 0;
    ASSERT_EQ(read(fds[0], &ready, 1), 1);
    EXPECT_EQ(readText("SOFTWARE\\Long", "Before"), "b");
    EXPECT_EQ(readText("SOFTWARE\\Long", "Holder"), "");
    pid_t transactional = spawn([] {
        if (RegBeginTransaction() != 0 || write("SOFTWARE\\Long", "Second", "s") != 0) return 1;
        return RegCommitTransaction() == ERROR_SUCCESS ? 0 : 2;
    });
    EXPECT_EQ(write("SOFTWARE\\Long", "Waiter", "w"), ERROR_SUCCESS);
    EXPECT_EQ(readText("SOFTWARE\\Long", "Holder"), "h") << "landed only after the commit";
    EXPECT_EQ(exitStatus(holder) + exitStatus(transactional), 0);
    EXPECT_EQ(readText("SOFTWARE\\Long", "Second"), "s");
}

// A forked child uses a connection of its own. Forked while another thread
// of the parent had the registry open, it keeps working after every
// connection of the parent has gone and a third process has opened and
// closed the registry. Forked while the parent holds a connection and a
// transaction, it does not see the parent's uncommitted writes, holds no
// transaction, and its exit leaves the parent's connection working. A key it
// deletes is deleted for the parent's open handle.
TEST(RegistryProcesses, ForkedChildUsesAConnectionOfItsOwn) {
    int toChild[2], fromChild[2];
    ASSERT_EQ(pipe(toChild) | pipe(fromChild), 0);
    pid_t child = -1;
    std::thread([&] {
        ASSERT_EQ(write("SOFTWARE\\Outlive", "Parent", "p"), ERROR_SUCCESS);
        child = spawn([&] {
            char go = 0;
            if (write("SOFTWARE\\Outlive", "Early", "e") != 0) return 1;
            if (::write(fromChild[1], &go, 1) != 1 || read(toChild[0], &go, 1) != 1) return 2;
            if (readText("SOFTWARE\\Outlive", "Third") != "t") return 3;
            return write("SOFTWARE\\Outlive", "Late", "l") == 0 ? 0 : 4;
        });
    }).join();  // the thread's end closes the parent's only connection
    char ready = 0;
    ASSERT_EQ(read(fromChild[0], &ready, 1), 1);
    ASSERT_EQ(exitStatus(spawn([] { return write("SOFTWARE\\Outlive", "Third", "t"); })), 0);
    ASSERT_EQ(::write(toChild[1], &ready, 1), 1);
    EXPECT_EQ(exitStatus(child), 0);
    EXPECT_EQ(readText("SOFTWARE\\Outlive", "Late"), "l");
    Key gone("SOFTWARE\\Fork\\Gone", true);
    ASSERT_EQ(write("SOFTWARE\\Fork", "Parent", "p"), ERROR_SUCCESS);
    ASSERT_EQ(RegBeginTransaction(), ERROR_SUCCESS);
    ASSERT_EQ(write("SOFTWARE\\Fork", "Uncommitted", "u"), ERROR_SUCCESS);
    EXPECT_EQ(exitStatus(spawn([] {
                  if (readText("SOFTWARE\\Fork", "Parent") != "p") return 1;
                  if (readText("SOFTWARE\\Fork", "Uncommitted") != "") return 2;
                  if (RegCommitTransaction() != ERROR_NOT_OWNER) return 3;
                  std::exit(0);  // runs the thread's cleanup, which must leave the parent's be
              })),
              0);
    ASSERT_EQ(RegCommitTransaction(), ERROR_SUCCESS);
    EXPECT_EQ(exitStatus(spawn([] {
                  if (write("SOFTWARE\\Fork", "Child", "c") != 0) return 1;
                  if (RegDeleteKey(Key("software\\fork").get(), "GONE") != 0) return 2;
                  std::exit(0);
              })),
              0);
    EXPECT_EQ(RegDeleteValue(gone.get(), "V"), ERROR_KEY_DELETED);
    HKEY sub = nullptr;
    EXPECT_EQ(RegCreateKey(gone.get(), "Sub", &sub), ERROR_KEY_DELETED);
    EXPECT_EQ(readText("SOFTWARE\\Fork", "Uncommitted") + readText("SOFTWARE\\Fork", "Child"),
              "uc");
    EXPECT_EQ(runSql("PRAGMA integrity_check"), "ok");
}

// A snapshot sees the registry as at its first read while another process
// writes, and refuses writes of its own.
TEST(RegistryProcesses, SnapshotSeesOneStateAndRefusesWrites) {
    ASSERT_EQ(write("SOFTWARE\\Snap", "A", "old"), ERROR_SUCCESS);
    ASSERT_EQ(RegBeginSnapshot(), ERROR_SUCCESS);
    EXPECT_EQ(readText("SOFTWARE\\Snap", "A"), "old");
    EXPECT_EQ(exitStatus(spawn([] { return write("SOFTWARE\\Snap", "A", "new"); })), 0)
        << "a writer is not held up by the snapshot";
    EXPECT_EQ(readText("SOFTWARE\\Snap", "A"), "old");
    EXPECT_EQ(write("SOFTWARE\\Snap", "B", "x"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegBeginTransaction(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(RegRollbackTransaction(), ERROR_SUCCESS);
    EXPECT_EQ(readText("SOFTWARE\\Snap", "A"), "new");
}
