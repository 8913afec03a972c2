// Ratio reporting for the benchmarks: every benchmark prints its engine
// figures next to a baseline measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace orvexbench {

// Console reporter that also keeps each run's real time per iteration (ns)
// and items per second, by benchmark name.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration && run.aggregate_name != "mean") continue;
            std::string name = run.run_name.str();  // without an aggregate suffix
            realNs[name] = run.GetAdjustedRealTime() * Multiplier(run.time_unit);
            auto it = run.counters.find("items_per_second");
            if (it != run.counters.end()) itemsPerSecond[name] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> realNs;
    std::map<std::string, double> itemsPerSecond;

private:
    static double Multiplier(benchmark::TimeUnit unit) {
        switch (unit) {
            case benchmark::kSecond: return 1e9;
            case benchmark::kMillisecond: return 1e6;
            case benchmark::kMicrosecond: return 1e3;
            default: return 1.0;
        }
    }
};

// Prints "label: engine/baseline = ratio" for a time ratio (lower is better).
inline void PrintTimeRatio(const RecordingReporter& r, const std::string& label, const std::string& engine,
                           const std::string& baseline) {
    auto e = r.realNs.find(engine), b = r.realNs.find(baseline);
    if (e == r.realNs.end() || b == r.realNs.end() || b->second <= 0) return;
    printf("%-48s %10.0f ns vs %10.0f ns   ratio %.3f\n", label.c_str(), e->second, b->second, e->second / b->second);
}

// Prints a throughput ratio (higher is better).
inline void PrintThroughputRatio(const RecordingReporter& r, const std::string& label, const std::string& more,
                                 const std::string& base) {
    auto m = r.itemsPerSecond.find(more), b = r.itemsPerSecond.find(base);
    if (m == r.itemsPerSecond.end() || b == r.itemsPerSecond.end() || b->second <= 0) return;
    printf("%-48s %10.0f/s vs %10.0f/s   ratio %.3f\n", label.c_str(), m->second, b->second, m->second / b->second);
}

}  // namespace orvexbench
