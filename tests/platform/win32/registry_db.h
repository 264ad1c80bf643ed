// The registry's database file read or written beside the layer, as SQLite
// sees it.
#pragma once

#include <sqlite3.h>

#include <string>

namespace registry_test {

inline constexpr char kDatabase[] = "/opt/orv/var/registry.db";

// Runs the statements on the database; the first column of the last row they
// returned, or "failed".
inline std::string runSql(const std::string &statements) {
    sqlite3 *db = nullptr;
    std::string last;
    auto keep = [](void *out, int, char **row, char **) {
        *static_cast<std::string *>(out) = row[0] != nullptr ? row[0] : "";
        return 0;
    };
    if (sqlite3_open(kDatabase, &db) != SQLITE_OK ||
        sqlite3_exec(db, statements.c_str(), keep, &last, nullptr) != SQLITE_OK)
        last = "failed";
    sqlite3_close(db);
    return last;
}

}  // namespace registry_test
