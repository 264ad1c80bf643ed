// ProcAlertReport over 200 automatic products whose inner products are all
// up to date (the steady state of every cycle of the product link thread),
// beside its floor: listing the outer and the inner products and reading
// each product's time and inner product record, which any pass must do to
// find out that nothing changed. Run inside tests/isolated.sh.
#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include "ratio_reporter.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "amirtupt.h"
#include "tblsync.h"

namespace {

constexpr int kProducts = 200;

void setUpProducts() {
    ::mkdir("/opt/orv/bench", 0755);
    for (int i = 0; i < kProducts; ++i) {
        std::string name = "BenchProduct" + std::to_string(i);
        std::string table = "/opt/orv/bench/" + name + ".tbl";
        std::ofstream(table) << name << "Src," << 1000 + i << ",INFO,event of " << name << "\n";
        PPInfo record;
        QORPPLX_PPInfoResetPP(&record);
        std::snprintf(record.ProductName, sizeof record.ProductName, "%s", name.c_str());
        std::snprintf(record.DisplayName, sizeof record.DisplayName, "%s Monitor", name.c_str());
        std::snprintf(record.LanguageID, sizeof record.LanguageID, "1033");
        std::snprintf(record.ProductID, sizeof record.ProductID, "%d", 100 + i);
        std::snprintf(record.Version, sizeof record.Version, "1.0");
        record.NumReportTablePath = 1;
        std::snprintf(record.ReportTablePath[0], sizeof record.ReportTablePath[0], "%s",
                      table.c_str());
        registerPP(&record);
    }
    uint32_t counter = 0;
    ProcAlertReport(&counter, nullptr, nullptr);  // imports every product
}

void BM_ProcAlertReportSteadyState(benchmark::State &state) {
    uint32_t counter = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ProcAlertReport(&counter, nullptr, nullptr));
    }
    if (counter != 0) state.SkipWithError("a steady-state pass changed something");
}

// The reads a pass cannot do without.
bool floorReads() {
    DWORD count = 0, maxLength = 0;
    LPSTR names = nullptr;
    AMACRTEnumProduct(&count, &maxLength, &names);
    for (DWORD i = 0; i < count; ++i) {
        const char *name = names + size_t{i} * (maxLength + 1);
        FILETIME time{}, stored{};
        AMACRTGetProductTime(name, &time);
        BYTE source[508];
        InnerProductParam block{};
        block.dwSize = sizeof block;
        block.dwSourceSize = sizeof source;
        block.lpSource = source;
        block.lpProductTime = &stored;
        AMACRTReadInnerProductParam(0, name, &block);
        benchmark::DoNotOptimize(CompareFileTime(&time, &stored));
    }
    std::free(names);
    DWORD innerCount = 0;
    names = nullptr;
    AMACRTEnumInnerProduct(&innerCount, &maxLength, &names);
    std::free(names);
    return count == kProducts && innerCount == kProducts;
}

// The floor as plain calls, each locking the registry on its own.
void BM_Floor(benchmark::State &state) {
    for (auto _ : state) {
        if (!floorReads()) state.SkipWithError("products missing");
    }
}

// The same reads under one registry transaction, as the pass makes them.
void BM_FloorOneTransaction(benchmark::State &state) {
    for (auto _ : state) {
        RegBeginTransaction();
        bool complete = floorReads();
        RegCommitTransaction();
        if (!complete) state.SkipWithError("products missing");
    }
}

BENCHMARK(BM_ProcAlertReportSteadyState)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Floor)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FloorOneTransaction)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    setUpProducts();
    orv_bench::RatioReporter reporter;
    reporter.setTarget("ProcAlertReport against its reads in one transaction", 1.5);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // The floor whose reads share one transaction is the strict one: the
    // pass batches its own reads the same way.
    reporter.printRatio("ProcAlertReport against its reads in one transaction",
                        "BM_ProcAlertReportSteadyState", "BM_FloorOneTransaction");
    reporter.printRatio("ProcAlertReport against its reads as plain calls",
                        "BM_ProcAlertReportSteadyState", "BM_Floor");
    benchmark::Shutdown();
    return 0;
}
