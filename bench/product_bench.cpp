// Cost of the product commands beside their floor: the same registry and
// report table work done by the bare companion calls, without the checks,
// the command mutex, the tracing and the messages.
//
//   install + remove of a product with two report tables of 100 entries:
//     product_process in process       vs  bare companion calls
//     orvpp install / orvpp remove      vs  two runs of /bin/true + bare calls
//
// Run from a release build inside the isolated root:
//   tests/isolated.sh build-rel/bin/product_bench
#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include "ratio_reporter.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>

#include "amirtupt.h"
#include "tblsync.h"
#include "w32compat.h"

namespace {

const char kTableA[] = "/opt/orv/bench/a.tbl";
const char kTableB[] = "/opt/orv/bench/b.tbl";
const char kInformationFile[] = "/opt/orv/bench/bench.inf";
const char kProduct[] = "BenchProduct";

void writeTable(const char *path, const char *source) {
    std::ofstream out(path, std::ios::trunc);
    for (int id = 1; id <= 100; ++id) out << source << "," << id << ",INFO,event " << id << "\n";
}

void prepareFiles() {
    ::mkdir("/opt/orv/bench", 0755);
    writeTable(kTableA, "BenchSrcA");
    writeTable(kTableB, "BenchSrcB");
    std::ofstream inf(kInformationFile, std::ios::trunc);
    inf << "ProductName=\"" << kProduct << "\"\nDisplayName=\"Bench\"\nLanguageID=\"E\"\n"
        << "ProductID=3\nVersion=\"1.0\"\nReportTableName=\"" << kTableA << "," << kTableB
        << "\"\n";
}

PPInfo benchRecord() {
    PPInfo record;
    QORPPLX_PPInfoResetPP(&record);
    std::strcpy(record.ProductName, kProduct);
    std::strcpy(record.DisplayName, "Bench");
    std::strcpy(record.LanguageID, "1033");
    std::strcpy(record.ProductID, "3");
    std::strcpy(record.Version, "1.0");
    record.NumReportTablePath = 2;
    std::strcpy(record.ReportTablePath[0], kTableA);
    std::strcpy(record.ReportTablePath[1], kTableB);
    record.Manual = PPTYPE_MANUAL;
    return record;
}

// ---- The floor: the same outer key, copies and inner product by hand -------------

void bareInstall() {
    const std::string path = std::string("SOFTWARE\\ORV\\ALERTREPORT\\") + kProduct;
    HKEY key = nullptr;
    DWORD disposition = 0;
    RegCreateKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                   &disposition);
    auto text = [&](const char *name, const char *value) {
        RegSetValueEx(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value),
                      static_cast<DWORD>(std::strlen(value) + 1));
    };
    auto number = [&](const char *name, DWORD value) {
        RegSetValueEx(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), 4);
    };
    char list[254] = {};
    std::strcpy(list, kTableA);
    std::strcpy(list + std::strlen(kTableA) + 1, kTableB);
    text("ProductName", kProduct);
    text("DisplayName", "Bench");
    text("Version", "1.0");
    number("Manual", 1);
    RegSetValueEx(key, "ReportTablePath", 0, REG_BINARY, reinterpret_cast<const BYTE *>(list),
                  sizeof list);
    number("LanguageID", 1033);
    number("ProductID", 3);
    RegCloseKey(key);

    AMACRTWriteInnerSaveParam("ReportTable", sizeof list, REG_BINARY, list);
    AMACRTWriteInnerSaveParam("TablePath", 0, REG_BINARY, "");
    void *argv[] = {const_cast<char *>("CREATE"), const_cast<char *>(kProduct), nullptr};
    RTCopyRequest request{};
    request.qwSize = sizeof request;
    request.dwPriority = 100;
    request.dwArgc = 2;
    request.lppArgv = argv;
    RTCopy(&request, 0);
    AMACRTAddInnerProduct(kProduct);

    char registered[254] = {};
    DWORD size = sizeof registered;
    DWORD type = 0;
    AMACRTReadInnerSaveParam("RegisterPath", &size, &type, registered);
    char source[508] = {};
    DWORD sourceSize = sizeof source;
    AMACRTReadInnerSaveParam("RegisterSrc", &sourceSize, &type, source);
    FILETIME time{};
    AMACRTGetProductTime(kProduct, &time);
    DWORD language = 1033, productId = 3, productType = 1;
    InnerProductParam inner{};
    inner.dwSize = sizeof inner;
    inner.dwSourceSize = sourceSize;
    inner.lpSource = reinterpret_cast<BYTE *>(source);
    inner.lpProductTime = &time;
    inner.lpszProductName = const_cast<char *>(kProduct);
    inner.dwRegisterPathSize = size;
    inner.lpszRegisterPath = registered;
    inner.lpszDisplayName = const_cast<char *>("Bench");
    inner.lpdwLanguageID = &language;
    inner.lpdwProductID = &productId;
    inner.lpszVersion = const_cast<char *>("1.0");
    inner.lpdwProductType = &productType;
    AMACRTWriteInnerProductParam(1, kProduct, &inner);
}

void bareRemove() {
    AMACRTDeleteProduct(kProduct);
    char source[508] = {};
    InnerProductParam inner{};
    inner.dwSize = sizeof inner;
    inner.dwSourceSize = sizeof source;
    inner.lpSource = reinterpret_cast<BYTE *>(source);
    AMACRTReadInnerProductParam(0, kProduct, &inner);
    AMACRTWriteInnerSaveParam("ReportTable", sizeof source, REG_BINARY, source);
    AMACRTWriteInnerSaveParam("TablePath", 0, REG_BINARY, "");
    void *argv[] = {const_cast<char *>("REMOVE"), const_cast<char *>(kProduct), nullptr};
    RTCopyRequest request{};
    request.qwSize = sizeof request;
    request.dwPriority = 100;
    request.dwArgc = 2;
    request.lppArgv = argv;
    RTCopy(&request, 0);
    AMACRTDeleteInnerProduct(kProduct);
}

int spawn(const char *program, const std::vector<const char *> &args) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (!std::freopen("/dev/null", "w", stdout)) ::_exit(127);
        std::vector<char *> argv{const_cast<char *>(program)};
        for (const char *a : args) argv.push_back(const_cast<char *>(a));
        argv.push_back(nullptr);
        ::execv(program, argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ---- Benchmarks ---------------------------------------------------------------------

void BM_ProductProcessInstallRemove(benchmark::State &state) {
    print2 = 2;
    PPInfo record = benchRecord();
    for (auto _ : state) {
        if (product_process(PPCMD_INSTALL, &record) != 0 ||
            product_process(PPCMD_REMOVE, &record) != 0) {
            state.SkipWithError("command failed");
            break;
        }
    }
}

void BM_BareCallsInstallRemove(benchmark::State &state) {
    for (auto _ : state) {
        bareInstall();
        bareRemove();
    }
}

void BM_OrvppInstallRemove(benchmark::State &state) {
    for (auto _ : state) {
        if (spawn(ORVPP_PATH, {"install", kInformationFile}) != 0 ||
            spawn(ORVPP_PATH, {"remove", kProduct}) != 0) {
            state.SkipWithError("orvpp failed");
            break;
        }
    }
}

void BM_TrueTwiceAndBareCalls(benchmark::State &state) {
    for (auto _ : state) {
        spawn("/bin/true", {});
        bareInstall();
        spawn("/bin/true", {});
        bareRemove();
    }
}

BENCHMARK(BM_ProductProcessInstallRemove)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_BareCallsInstallRemove)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_OrvppInstallRemove)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_TrueTwiceAndBareCalls)->Unit(benchmark::kMillisecond)->Repetitions(5);

}  // namespace

int main(int argc, char **argv) {
    prepareFiles();
    benchmark::Initialize(&argc, argv);
    orv_bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatio("product_process install and remove",
                        "BM_ProductProcessInstallRemove/repeats:5",
                        "BM_BareCallsInstallRemove/repeats:5");
    reporter.printRatio("orvpp install and remove", "BM_OrvppInstallRemove/repeats:5",
                        "BM_TrueTwiceAndBareCalls/repeats:5");
    benchmark::Shutdown();
    return 0;
}
