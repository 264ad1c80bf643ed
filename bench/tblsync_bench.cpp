// A CREATE copy of a product with 4 report table files of 500 entries each,
// and the REMOVE of the same product, beside their floor: the same number of
// registry value writes (3 per entry plus RegisterPath and RegisterSrc) in one
// transaction, to keys that already exist. Run inside tests/isolated.sh.
#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include "ratio_reporter.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tblsync.h"

namespace {

constexpr int kFiles = 4;
constexpr int kEntriesPerFile = 500;
constexpr int kSourcesPerFile = 5;
constexpr int kEntries = kFiles * kEntriesPerFile;
constexpr int kValueWrites = kEntries * 3 + 2;

std::string g_reportTable;  // the files as a NUL-separated list
std::string g_sources;      // every source, NUL-terminated, padded to 508

void writeTables() {
    mkdir("/opt/orv/bench", 0755);
    for (int f = 0; f < kFiles; ++f) {
        std::string path = "/opt/orv/bench/table" + std::to_string(f) + ".tbl";
        std::ofstream out(path);
        for (int i = 0; i < kEntriesPerFile; ++i) {
            int source = f * kSourcesPerFile + i % kSourcesPerFile;
            out << "BenchSource" << source << ',' << 1000 + i << ','
                << (i % 3 == 0   ? "ERROR"
                    : i % 3 == 1 ? "WARNING"
                                 : "INFO")
                << ",event " << i << " of table " << f << ", reported as it comes\n";
        }
        g_reportTable += path + '\0';
    }
    g_reportTable += '\0';
    for (int s = 0; s < kFiles * kSourcesPerFile; ++s) {
        g_sources += "BenchSource" + std::to_string(s) + '\0';
    }
    g_sources.resize(508, '\0');
}

bool runCopy(const char *mode, const std::string &param) {
    AMACRTWriteInnerSaveParam("ReportTable", static_cast<DWORD>(param.size()), REG_BINARY,
                              param.data());
    void *argv[] = {const_cast<char *>(mode), const_cast<char *>("BenchProduct"), nullptr};
    RTCopyRequest request{};
    request.qwSize = sizeof request;
    request.dwPriority = 100;
    request.dwArgc = 2;
    request.lppArgv = argv;
    return RTCopy(&request, 0) == 0;
}

void BM_Create(benchmark::State &state) {
    for (auto _ : state) {
        if (!runCopy("CREATE", g_reportTable)) state.SkipWithError("CREATE failed");
        state.PauseTiming();
        if (!runCopy("REMOVE", g_sources)) state.SkipWithError("REMOVE failed");
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kEntries);
}

void BM_Remove(benchmark::State &state) {
    for (auto _ : state) {
        state.PauseTiming();
        if (!runCopy("CREATE", g_reportTable)) state.SkipWithError("CREATE failed");
        state.ResumeTiming();
        if (!runCopy("REMOVE", g_sources)) state.SkipWithError("REMOVE failed");
    }
    state.SetItemsProcessed(state.iterations() * kEntries);
}

// The floor: the copy's value writes alone, to keys opened beforehand.
void BM_FloorValueWrites(benchmark::State &state) {
    std::vector<HKEY> keys;
    for (int i = 0; i < kEntries; ++i) {
        HKEY key = nullptr;
        std::string path =
            "SOFTWARE\\ORV\\Floor\\S" + std::to_string(i % 20) + "\\" + std::to_string(1000 + i);
        RegCreateKey(HKEY_LOCAL_MACHINE, path.c_str(), &key);
        keys.push_back(key);
    }
    const std::string text = "event 123 of table 0, reported as it comes";
    const std::string severity = "WARNING";
    const std::string owner = "BenchProduct";
    auto put = [](HKEY key, const char *name, const std::string &data) {
        return RegSetValueEx(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(data.c_str()),
                             static_cast<DWORD>(data.size() + 1));
    };
    for (auto _ : state) {
        LONG rc = RegBeginTransaction();
        for (HKEY key : keys) {
            rc |= put(key, "Severity", severity);
            rc |= put(key, "Text", text);
            rc |= put(key, "Owner", owner);
        }
        rc |= put(keys[0], "RegisterPath", text);
        rc |= put(keys[0], "RegisterSrc", text);
        rc |= RegCommitTransaction();
        if (rc != 0) state.SkipWithError("registry write failed");
    }
    for (HKEY key : keys) RegCloseKey(key);
    state.SetItemsProcessed(state.iterations() * kValueWrites);
}

BENCHMARK(BM_FloorValueWrites)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Create)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Remove)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    writeTables();
    orv_bench::RatioReporter reporter;
    reporter.setTarget("CREATE against the same value writes in one transaction", 1.5);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const std::string floor = "BM_FloorValueWrites/min_time:2.000";
    reporter.printRatio("CREATE against the same value writes in one transaction",
                        "BM_Create/min_time:2.000", floor);
    reporter.printRatio("REMOVE against the same value writes in one transaction",
                        "BM_Remove/min_time:2.000", floor);
    benchmark::Shutdown();
    return 0;
}
