// Ratio reporting for the benchmarks: every benchmark prints its engine
// figures next to a baseline measured in the same run, and ends with one
// plain "ratio <name> <value>" line per ratio, for scripts to read.
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace orvexbench {

// Compute-bound comparisons use CPU time, which a busy machine disturbs
// less; comparisons whose work is partly done by another process (or by
// several threads) use wall time.
enum class Clock { Cpu, Real };

// Console reporter that also keeps, by run name, each run's wall and CPU
// time per iteration (ns) and its items per second (with repetitions, the
// mean), and the ratios computed from them. It colours its table only when
// standard output is a terminal.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    RecordingReporter() : ConsoleReporter(TerminalOptions()) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            if (run.run_type != Run::RT_Iteration && run.aggregate_name != "mean") continue;
            const std::string name = run.run_name.str();  // without an aggregate suffix
            m_realNs[name] = run.GetAdjustedRealTime() * Multiplier(run.time_unit);
            m_cpuNs[name] = run.GetAdjustedCPUTime() * Multiplier(run.time_unit);
            auto it = run.counters.find("items_per_second");
            if (it != run.counters.end()) m_itemsPerSecond[name] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Time per iteration in ns, or 0 when the run is unknown.
    double Time(const std::string& name, Clock clock) const {
        const auto& times = clock == Clock::Cpu ? m_cpuNs : m_realNs;
        auto it = times.find(name);
        return it == times.end() ? 0.0 : it->second;
    }
    // a's time divided by b's, or -1 when either is unknown.
    double Ratio(const std::string& a, const std::string& b, Clock clock) const {
        double ta = Time(a, clock), tb = Time(b, clock);
        return ta > 0 && tb > 0 ? ta / tb : -1.0;
    }
    double ItemsPerSecond(const std::string& name) const {
        auto it = m_itemsPerSecond.find(name);
        return it == m_itemsPerSecond.end() ? 0.0 : it->second;
    }
    const std::map<std::string, double>& Times(Clock clock) const {
        return clock == Clock::Cpu ? m_cpuNs : m_realNs;
    }

    // Keeps a ratio for PrintRatioLines; unknown ones (0 or less) are left out.
    void AddRatio(const std::string& label, double value) {
        if (value > 0) m_ratios.emplace_back(Slug(label), value);
    }
    // One "ratio <name> <value>" line per ratio kept, in the order they came:
    // the name is the label with every run of other characters than letters,
    // digits and "./-" made one "_".
    void PrintRatioLines() const {
        std::printf("\n");
        for (const auto& ratio : m_ratios) std::printf("ratio %s %.3f\n", ratio.first.c_str(), ratio.second);
        std::fflush(stdout);
    }

private:
    static OutputOptions TerminalOptions() {
        const char* term = std::getenv("TERM");
        const bool colour = isatty(fileno(stdout)) && !(term && std::strcmp(term, "dumb") == 0);
        return colour ? OO_ColorTabular : OO_Tabular;
    }
    static std::string Slug(const std::string& label) {
        std::string slug;
        for (unsigned char c : label) {
            if (std::isalnum(c) || c == '.' || c == '/' || c == '-') {
                slug += static_cast<char>(c);
            } else if (!slug.empty() && slug.back() != '_') {
                slug += '_';
            }
        }
        while (!slug.empty() && slug.back() == '_') slug.pop_back();
        return slug;
    }
    static double Multiplier(benchmark::TimeUnit unit) {
        switch (unit) {
            case benchmark::kSecond: return 1e9;
            case benchmark::kMillisecond: return 1e6;
            case benchmark::kMicrosecond: return 1e3;
            default: return 1.0;
        }
    }
    std::map<std::string, double> m_realNs, m_cpuNs, m_itemsPerSecond;
    std::vector<std::pair<std::string, double>> m_ratios;
};

// Prints "label: engine vs baseline, ratio engine/baseline" (lower is better).
inline void PrintTimeRatio(RecordingReporter& r, const std::string& label, const std::string& engine,
                           const std::string& baseline, Clock clock = Clock::Real) {
    double e = r.Time(engine, clock), b = r.Time(baseline, clock);
    if (e <= 0 || b <= 0) return;
    r.AddRatio(label, e / b);
    std::printf("%-48s %12.0f ns vs %12.0f ns   ratio %.3f\n", label.c_str(), e, b, e / b);
}

// Prints a throughput ratio (higher is better).
inline void PrintThroughputRatio(RecordingReporter& r, const std::string& label, const std::string& more,
                                 const std::string& base) {
    double m = r.ItemsPerSecond(more), b = r.ItemsPerSecond(base);
    if (m <= 0 || b <= 0) return;
    r.AddRatio(label, m / b);
    std::printf("%-48s %10.0f/s vs %10.0f/s   ratio %.3f\n", label.c_str(), m, b, m / b);
}

// For benchmarks registered in pairs "<case>/engine" and "<case>/direct"
// (run settings such as "/iterations:15" may follow): prints for each case
// the direct call's time divided by the engine's (1.0: as fast as the
// direct call; above 1: faster).
inline void PrintEngineDirectPairs(RecordingReporter& r, Clock clock) {
    std::map<std::string, std::map<std::string, double>> cases;
    for (const auto& entry : r.Times(clock)) {
        std::string name = entry.first;
        size_t slash = name.rfind('/');
        while (slash != std::string::npos && name.find(':', slash) != std::string::npos) {
            name.resize(slash);
            slash = name.rfind('/');
        }
        if (slash == std::string::npos) continue;
        cases[name.substr(0, slash)][name.substr(slash + 1)] = entry.second;
    }
    std::printf("\nratio direct/engine by %s time (1.0 = as fast as the direct call):\n",
                clock == Clock::Cpu ? "CPU" : "wall");
    for (const auto& c : cases) {
        auto e = c.second.find("engine"), d = c.second.find("direct");
        if (e == c.second.end() || d == c.second.end() || e->second <= 0) continue;
        r.AddRatio(c.first, d->second / e->second);
        std::printf("  %-40s %.3f\n", c.first.c_str(), d->second / e->second);
    }
}

// main() of a benchmark made of engine/direct pairs.
inline int RunWithPairRatios(int argc, char** argv, Clock clock) {
    benchmark::Initialize(&argc, argv);
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintEngineDirectPairs(reporter, clock);
    reporter.PrintRatioLines();
    benchmark::Shutdown();
    return 0;
}

}  // namespace orvexbench
