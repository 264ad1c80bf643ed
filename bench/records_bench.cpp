// The report information reader and the scan beside their floors: what the
// file system costs alone (list the directory, stat, open, read every byte,
// close). Run inside tests/isolated.sh: the scan works on the real
// /opt/orv/report/inf. Prints each ratio after the runs.
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include "ratio_reporter.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "amirtupt.h"
#include "w32compat.h"

namespace {

constexpr const char kSingleFile[] = "/opt/orv/report/bench.inf";
constexpr const char kInfDir[] = QORPPLX_REPORT_INF_DIR;

std::string typicalFile(int n) {
    return "ProductName=\"Product" + std::to_string(n) +
           "\"\nDisplayName=\"Product Monitor\"\nLanguageID=\"E\"\nProductID=" +
           std::to_string(100 + n) +
           "\nVersion=\"2.1\"\nReportTableName=\"/opt/orv/report/tables/a.tbl, "
           "/opt/orv/report/tables/b.tbl\"\n";
}

void writeFile(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// stat, open, read everything, close: what reading one file costs at least.
size_t readWhole(const char *path) {
    struct stat status {};
    if (::stat(path, &status) != 0) return 0;
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char buffer[4096];
    size_t total = 0;
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) total += static_cast<size_t>(n);
    ::close(fd);
    return total;
}

void BM_ReadRI(benchmark::State &state) {
    writeFile(kSingleFile, typicalFile(1));
    for (auto _ : state) {
        PPInfo *p = QORPPLX_readRI(kSingleFile);
        if (p == nullptr) state.SkipWithError("no record");
        benchmark::DoNotOptimize(p);
        std::free(p);
    }
}

void BM_ReadFloor(benchmark::State &state) {
    writeFile(kSingleFile, typicalFile(1));
    for (auto _ : state) benchmark::DoNotOptimize(readWhole(kSingleFile));
}

// Leaves exactly `count` typical files in the report information directory.
void fillDirectory(int count) {
    std::filesystem::remove_all(kInfDir);
    std::filesystem::create_directories(kInfDir);
    for (int i = 0; i < count; ++i) {
        writeFile(std::string(kInfDir) + "/product" + std::to_string(i) + ".inf", typicalFile(i));
    }
}

void BM_Scan(benchmark::State &state) {
    fillDirectory(static_cast<int>(state.range(0)));
    PPInfo *list = nullptr;
    QORPPLX_getPPInfo(&list);  // every file known: the scans below find them unchanged
    for (auto _ : state) {
        if (QORPPLX_getPPInfo(&list) != 0) state.SkipWithError("scan failed");
    }
    int unchanged = 0;
    for (PPInfo *p = list; p != nullptr; p = p->next) unchanged += p->op == PPOP_NONE;
    if (unchanged != state.range(0)) state.SkipWithError("files not found unchanged");
    QORPPLX_PPInfoClear(list);
}

void BM_ScanFloor(benchmark::State &state) {
    fillDirectory(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        dirent **entries = nullptr;
        int count = scandir(kInfDir, &entries, nullptr, nullptr);
        size_t total = 0;
        for (int i = count - 1; i >= 0; --i) {
            std::string path = std::string(kInfDir) + "/" + entries[i]->d_name;
            std::free(entries[i]);
            total += readWhole(path.c_str());
        }
        std::free(entries);
        benchmark::DoNotOptimize(total);
    }
}

BENCHMARK(BM_ReadRI)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadFloor)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Scan)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanFloor)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    // The link thread that reads these files has the registry open, and a
    // process with a connection tells the registry's files from others
    // without a status query. So does this one.
    HKEY key = nullptr;
    if (RegCreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE", &key) != ERROR_SUCCESS) return 1;
    RegCloseKey(key);
    orv_bench::RatioReporter reporter;
    reporter.setTarget("readRI, one typical file", 2.0);
    reporter.setTarget("scan of 1000 unchanged files", 2.0);
    reporter.setTarget("scan of 10000 unchanged files", 2.0);
    reporter.setTarget("scan cost a file, 10000 against 1000", 1.1);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nratios (ours / floor):\n");
    reporter.printRatio("readRI, one typical file", "BM_ReadRI", "BM_ReadFloor");
    reporter.printRatio("scan of 1000 unchanged files", "BM_Scan/1000", "BM_ScanFloor/1000");
    reporter.printRatio("scan of 10000 unchanged files", "BM_Scan/10000", "BM_ScanFloor/10000");
    reporter.printRatio("scan cost a file, 10000 against 1000", "BM_Scan/10000", "BM_Scan/1000",
                        10000, 1000);
    // No target: what the file system's own cost a file grows by, for reading
    // the row above.
    reporter.printRatio("floor's scan cost a file, 10000 against 1000", "BM_ScanFloor/10000",
                        "BM_ScanFloor/1000", 10000, 1000);
    benchmark::Shutdown();
    return 0;
}
