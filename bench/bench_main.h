#pragma once
// Runs the registered benchmarks, then prints each one beside its reference with the ratio.
// Ratios use CPU time (medians when repeated): on a busy machine a ratio taken within one
// run says more than either time alone.
#include <benchmark/benchmark.h>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace zs::bench {

struct Comparison {
    enum Kind {
        TimeAtMost,       // time / reference time must not pass the target
        ThroughputAtLeast // reference time / time must reach the target
    };
    std::string name;
    std::string reference; // empty: no reference, the target is items per second
    Kind kind = TimeAtMost;
    double target = 0; // 0: no target, the ratio is shown for information
};

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    explicit RatioReporter(std::vector<Comparison> comparisons)
        : comparisons_(std::move(comparisons)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Aggregate && !median) continue;
            std::string name = run.run_name.function_name;
            if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
            Result& r = results_[name];
            if (r.median && !median) continue;
            r.median = median;
            r.seconds = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            const auto items = run.counters.find("items_per_second");
            r.itemsPerSecond = items == run.counters.end() ? 0 : items->second.value;
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::FILE* out = stdout;
        std::fflush(out);
        std::fprintf(out, "\n%-34s %-28s %10s %14s\n", "benchmark", "beside", "ratio", "target");
        for (const Comparison& c : comparisons_) {
            const auto it = results_.find(c.name);
            const auto ref = results_.find(c.reference);
            if (it == results_.end() || (!c.reference.empty() && ref == results_.end())) {
                std::fprintf(out, "%-34s %-28s %10s\n", c.name.c_str(), c.reference.c_str(),
                             "not run");
                continue;
            }
            double value = 0;
            bool met = true;
            char target[32] = "";
            if (c.reference.empty()) {
                value = it->second.itemsPerSecond / 1e6;
                met = value >= c.target / 1e6;
                std::snprintf(target, sizeof target, ">= %.0f M/s", c.target / 1e6);
            } else if (c.kind == Comparison::TimeAtMost) {
                value = it->second.seconds / ref->second.seconds;
                met = c.target == 0 || value <= c.target;
                if (c.target > 0) std::snprintf(target, sizeof target, "time <= %.2f", c.target);
            } else {
                value = ref->second.seconds / it->second.seconds;
                met = c.target == 0 || value >= c.target;
                if (c.target > 0) std::snprintf(target, sizeof target, "speed >= %.2f", c.target);
            }
            std::fprintf(out, "%-34s %-28s %10.3f%s %14s%s\n", c.name.c_str(),
                         c.reference.empty() ? "(items/s, millions)" : c.reference.c_str(), value,
                         c.reference.empty() ? "" : (c.kind == Comparison::TimeAtMost ? "x" : " "),
                         target, met ? "" : "  NOT MET");
        }
    }

  private:
    struct Result {
        double seconds = 0;
        double itemsPerSecond = 0;
        bool median = false;
    };
    std::vector<Comparison> comparisons_;
    std::map<std::string, Result> results_;
};

inline int runBenchmarks(int argc, char** argv, std::vector<Comparison> comparisons) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter(std::move(comparisons));
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

} // namespace zs::bench
