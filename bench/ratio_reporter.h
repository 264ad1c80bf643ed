// The ratio of each benchmark to its floor, printed after the runs: one
// reporter for every benchmark program. A benchmark repeated
// (--benchmark_repetitions) stands for the median of its runs.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace orv_bench {

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    struct Times {
        double real = 0, cpu = 0;  // seconds per iteration
        long long repetitions = 1;
    };

    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if ((run.run_type == Run::RT_Iteration || median) && !run.error_occurred) {
                double unit = benchmark::GetTimeUnitMultiplier(run.time_unit);
                Times &t = times_[run.run_name.str()];
                t.real = run.GetAdjustedRealTime() / unit;
                t.cpu = run.GetAdjustedCPUTime() / unit;
                if (median) t.repetitions = run.repetitions;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // The times of a run by its name ("BM_Scan/1000"), or nullptr.
    const Times *find(const std::string &name) const {
        auto it = times_.find(name);
        return it != times_.end() ? &it->second : nullptr;
    }

    // Prints "label: ours / floor = real, CPU", each side divided by the work
    // it stands for (oursPer, floorPer); nothing when either did not run.
    void printRatio(const char *label, const std::string &ours, const std::string &floor,
                    double oursPer = 1, double floorPer = 1) const {
        const Times *a = find(ours), *b = find(floor);
        if (a == nullptr || b == nullptr || b->real <= 0 || b->cpu <= 0) return;
        std::printf("%s: %s / %s = %.2f real, %.2f CPU (%.4g ms / %.4g ms real, %s)\n", label,
                    ours.c_str(), floor.c_str(), (a->real / oursPer) / (b->real / floorPer),
                    (a->cpu / oursPer) / (b->cpu / floorPer), a->real / oursPer * 1e3,
                    b->real / floorPer * 1e3,
                    a->repetitions > 1 ? "medians of repeated runs" : "one run each");
    }

  private:
    std::map<std::string, Times> times_;
};

}  // namespace orv_bench
