// Pairs of benchmarks named "<case>/engine" and "<case>/direct": after the
// run, prints for each case the time of the direct call divided by the time
// of the engine's call (1.0: as fast as the direct call; above 1: faster).
// Compute-bound pairs compare CPU time, which a busy machine disturbs less;
// pairs whose work is partly done by another process compare wall time.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

namespace orvexbench {

enum class Clock { Cpu, Real };

class RatioReporter : public benchmark::ConsoleReporter {
public:
    explicit RatioReporter(Clock clock) : m_clock(clock) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration || r.iterations == 0) continue;
            std::string name = r.benchmark_name();
            // Drop the run settings benchmark appends ("/iterations:15").
            size_t slash = name.rfind('/');
            while (slash != std::string::npos && name.find(':', slash) != std::string::npos) {
                name.resize(slash);
                slash = name.rfind('/');
            }
            if (slash == std::string::npos) continue;
            m_times[name.substr(0, slash)][name.substr(slash + 1)] =
                (m_clock == Clock::Cpu ? r.cpu_accumulated_time : r.real_accumulated_time) /
                static_cast<double>(r.iterations);
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nratio direct/engine by %s time (1.0 = as fast as the direct call):\n",
                    m_clock == Clock::Cpu ? "CPU" : "wall");
        for (const auto& c : m_times) {
            auto e = c.second.find("engine"), d = c.second.find("direct");
            if (e == c.second.end() || d == c.second.end() || e->second <= 0) continue;
            std::printf("  %-40s %.3f\n", c.first.c_str(), d->second / e->second);
        }
    }

private:
    Clock m_clock;
    std::map<std::string, std::map<std::string, double>> m_times;
};

inline int RunWithRatios(int argc, char** argv, Clock clock) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter(clock);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

}  // namespace orvexbench
