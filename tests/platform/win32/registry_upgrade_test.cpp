// A registry database written by an older version of the layer: opened in
// place with every key, value and last-write time it holds; one from a newer
// version is refused and left as it is.
#include <gtest/gtest.h>

#include "files.h"
#include "registry_db.h"
#include "registry_probe.h"

using namespace orv_test;
using registry_test::kDatabase;
using registry_test::runSql;
constexpr std::uint64_t kOldTime = 133000000000000000;  // a FILETIME in 2022

// The tables and marks of version 1, with SOFTWARE\Old holding "Name" and
// "Count" as version 1 wrote them, marked as of `version`.
void writeDatabase(int version) {
    mkdir("/opt/orv/var", 0755);
    ASSERT_NE(
        runSql("CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER, name BLOB"
               " NOT NULL, fold BLOB NOT NULL, mtime INTEGER NOT NULL); CREATE UNIQUE INDEX"
               " keys_by_parent ON keys(parent, fold); CREATE TABLE vals(id INTEGER PRIMARY KEY,"
               " key INTEGER NOT NULL, name BLOB NOT NULL, fold BLOB NOT NULL, type INTEGER NOT"
               " NULL, data BLOB NOT NULL); CREATE UNIQUE INDEX vals_by_key ON vals(key, fold);"
               "CREATE INDEX vals_in_order ON vals(key, id); INSERT INTO keys VALUES(1, NULL, x'',"
               " x'', 133000000000000000), (2, 1, x'534F465457415245', x'534F465457415245',"
               " 133000000000000000), (3, 2, x'4F6C64', x'4F4C44', 133000000000000000);"
               "INSERT INTO vals VALUES(1, 3, x'4E616D65', x'4E414D45', 1, x'6F6C6400'),"
               " (2, 3, x'436F756E74', x'434F554E54', 4, x'07000000');"
               "PRAGMA application_id = 1330796114; PRAGMA journal_mode = WAL;"
               "PRAGMA user_version = " +
               std::to_string(version)),
        "failed");
}

TEST(RegistryUpgrade, VersionOneDatabaseKeepsItsKeysValuesAndTimes) {
    writeDatabase(1);
    Key key("SOFTWARE\\Old"), software("SOFTWARE");
    ASSERT_TRUE(key && software);
    auto name = readValue("SOFTWARE\\Old", "NAME");
    ASSERT_TRUE(name);
    EXPECT_EQ(std::tuple(name->type, name->bytes),
              std::tuple(DWORD{REG_SZ}, std::string("old", 4)));
    EXPECT_EQ(lastWriteOf(key.get()), kOldTime);
    EXPECT_EQ(runSql("PRAGMA user_version"), "3");
    EXPECT_EQ(runSql("SELECT count(*) FROM sqlite_master WHERE type = 'trigger'"), "0");
    // Values still enumerate in the order they were first written, and a
    // write after the upgrade moves the key's time on, as seen from its
    // parent too.
    ASSERT_EQ(writeDword("SOFTWARE\\Old", "Name", 8), ERROR_SUCCESS);
    EXPECT_EQ(valueNames("SOFTWARE\\Old"), (std::vector<std::string>{"Name", "Count"}));
    const std::uint64_t after = lastWriteOf(key.get());
    EXPECT_GT(after, kOldTime);
    char sub[8];
    DWORD chars = sizeof sub;
    FILETIME seen{};
    ASSERT_EQ(RegEnumKeyEx(software.get(), 0, sub, &chars, nullptr, nullptr, nullptr, &seen),
              ERROR_SUCCESS);
    EXPECT_EQ(ticks(seen), after);
    EXPECT_EQ(lastWriteOf(software.get()), kOldTime);
    // Creating a key raises its parent's time once the trigger is gone.
    Key created("SOFTWARE\\Old\\New", /*create=*/true);
    ASSERT_TRUE(created);
    EXPECT_GT(lastWriteOf(key.get()), after);
}

TEST(RegistryUpgrade, DatabaseOfANewerVersionIsRefusedAndLeftAsItIs) {
    writeDatabase(4);
    const std::string before = readFile(kDatabase);
    EXPECT_EQ(openResult("SOFTWARE\\Old"), 1015);
    EXPECT_TRUE(readFile(kDatabase) == before);
}
