// The registry's cost over SQLite itself. Floors: a bare prepared INSERT in
// its own IMMEDIATE transaction, and a bare prepared SELECT of one row, on a
// database of its own beside the registry's with the same journal settings
// (WAL, synchronous NORMAL). Prints each call's time as a multiple of its
// floor after the runs.
#include <benchmark/benchmark.h>

#include <sqlite3.h>
#include <sys/stat.h>
#include "ratio_reporter.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "w32compat.h"

namespace {

std::string root() {
    const char *env = std::getenv("ORV_ROOT");
    return env != nullptr && *env != '\0' ? env : "/opt/orv";
}

// The floor's database: one table of one row, as small as a value write gets.
class Floor {
  public:
    Floor() {
        std::string dir = root() + "/var";
        mkdir(dir.c_str(), 0755);
        std::string path = dir + "/bench-floor.db";
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) std::abort();
        sqlite3_busy_timeout(db_, 5000);
        exec("PRAGMA journal_mode = WAL");
        exec("PRAGMA synchronous = NORMAL");
        exec("CREATE TABLE IF NOT EXISTS t(k INTEGER PRIMARY KEY, v BLOB NOT NULL)");
        exec("INSERT OR REPLACE INTO t VALUES(1, x'00000000')");
        begin_ = prepare("BEGIN IMMEDIATE");
        insert_ = prepare("INSERT OR REPLACE INTO t VALUES(1, ?1)");
        commit_ = prepare("COMMIT");
        select_ = prepare("SELECT v FROM t WHERE k = 1");
    }
    ~Floor() {
        for (sqlite3_stmt *s : {begin_, insert_, commit_, select_}) sqlite3_finalize(s);
        sqlite3_close(db_);
    }
    void write(std::uint32_t value) {
        step(begin_);
        sqlite3_bind_blob(insert_, 1, &value, sizeof value, SQLITE_TRANSIENT);
        step(insert_);
        step(commit_);
    }
    std::uint32_t read() {
        std::uint32_t value = 0;
        if (sqlite3_step(select_) != SQLITE_ROW) std::abort();
        std::memcpy(&value, sqlite3_column_blob(select_, 0), sizeof value);
        sqlite3_reset(select_);
        return value;
    }

  private:
    void exec(const char *sql) {
        if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
    }
    sqlite3_stmt *prepare(const char *sql) {
        sqlite3_stmt *s = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) std::abort();
        return s;
    }
    static void step(sqlite3_stmt *s) {
        if (sqlite3_step(s) != SQLITE_DONE) std::abort();
        sqlite3_reset(s);
    }
    sqlite3 *db_ = nullptr;
    sqlite3_stmt *begin_ = nullptr, *insert_ = nullptr, *commit_ = nullptr, *select_ = nullptr;
};

HKEY benchKey() {
    static HKEY key = [] {
        HKEY k = nullptr;
        if (RegCreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\ORV\\Bench", &k) != ERROR_SUCCESS) {
            std::abort();
        }
        DWORD zero = 0;
        RegSetValueEx(k, "Value", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&zero), 4);
        return k;
    }();
    return key;
}

void BM_FloorInsert(benchmark::State &state) {
    Floor floor;
    std::uint32_t i = 0;
    for (auto _ : state) floor.write(++i);
}
BENCHMARK(BM_FloorInsert);

void BM_RegSetValueEx(benchmark::State &state) {
    HKEY key = benchKey();
    std::uint32_t i = 0;
    for (auto _ : state) {
        ++i;
        if (RegSetValueEx(key, "Value", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&i), 4) != 0) {
            state.SkipWithError("RegSetValueEx failed");
            break;
        }
    }
}
BENCHMARK(BM_RegSetValueEx);

void BM_FloorSelect(benchmark::State &state) {
    Floor floor;
    for (auto _ : state) benchmark::DoNotOptimize(floor.read());
}
BENCHMARK(BM_FloorSelect);

void BM_RegQueryValueEx(benchmark::State &state) {
    HKEY key = benchKey();
    for (auto _ : state) {
        DWORD value = 0, size = sizeof value;
        if (RegQueryValueEx(key, "Value", nullptr, nullptr, reinterpret_cast<BYTE *>(&value),
                            &size) != 0) {
            state.SkipWithError("RegQueryValueEx failed");
            break;
        }
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_RegQueryValueEx);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    orv_bench::RatioReporter reporter;
    reporter.setTarget("value write", 1.3);
    reporter.setTarget("value read", 1.2);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatio("value write", "BM_RegSetValueEx", "BM_FloorInsert");
    reporter.printRatio("value read", "BM_RegQueryValueEx", "BM_FloorSelect");
    return 0;
}
