// The ratio of each benchmark to its floor, printed after the runs: one
// reporter for every benchmark program. A benchmark repeated
// (--benchmark_repetitions) stands for the median of its runs. With
// ORV_BENCH_ROWS set, each ratio also gives a tab-separated row for
// bench/run.sh: "row", label, ours and floor (ms, medians), the ratio of the
// medians, the ratio of the best runs, the target ("-" when none).
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <string>
#include <vector>

namespace orv_bench {

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    struct Times {
        double real = 0, cpu = 0;                                   // seconds per iteration
        double bestReal = std::numeric_limits<double>::infinity();  // of the repetitions
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
                if (median) {
                    t.repetitions = run.repetitions;
                } else {
                    t.bestReal = std::min(t.bestReal, t.real);
                }
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // The times of a run by its name ("BM_Scan/1000"), or nullptr.
    const Times *find(const std::string &name) const {
        auto it = times_.find(name);
        return it != times_.end() ? &it->second : nullptr;
    }

    // The ratio the label's benchmark should stay within.
    void setTarget(const std::string &label, double ratio) { targets_[label] = ratio; }

    // Prints "label: ours / floor = real, CPU", each side divided by the work
    // it stands for (oursPer, floorPer); nothing when either did not run.
    void printRatio(const char *label, const std::string &ours, const std::string &floor,
                    double oursPer = 1, double floorPer = 1) const {
        const Times *a = find(ours), *b = find(floor);
        if (a == nullptr || b == nullptr || b->real <= 0 || b->cpu <= 0) return;
        if (std::getenv("ORV_BENCH_ROWS") != nullptr) {
            auto target = targets_.find(label);
            char targetText[32] = "-";
            if (target != targets_.end()) {
                std::snprintf(targetText, sizeof targetText, "%.2f", target->second);
            }
            std::printf("row\t%s\t%.4g\t%.4g\t%.2f\t%.2f\t%s\n", label, a->real / oursPer * 1e3,
                        b->real / floorPer * 1e3, (a->real / oursPer) / (b->real / floorPer),
                        (a->bestReal / oursPer) / (b->bestReal / floorPer), targetText);
        }
        std::printf("%s: %s / %s = %.2f real, %.2f CPU (%.4g ms / %.4g ms real, %s)\n", label,
                    ours.c_str(), floor.c_str(), (a->real / oursPer) / (b->real / floorPer),
                    (a->cpu / oursPer) / (b->cpu / floorPer), a->real / oursPer * 1e3,
                    b->real / floorPer * 1e3,
                    a->repetitions > 1 ? "medians of repeated runs" : "one run each");
    }

  private:
    std::map<std::string, Times> times_;
    std::map<std::string, double> targets_;
};

}  // namespace orv_bench
