// A benchmark reporter that prints as usual and keeps each benchmark's median figures, so a
// benchmark's main can print its ratio against the reference measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace velbrook::bench {

class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.error_occurred || run.iterations == 0) {
                continue;
            }
            const std::string name = run.run_name.str();
            const auto rate = run.counters.find("bytes_per_second");
            // With --benchmark_report_aggregates_only the single runs never arrive here, so the
            // library's own median stands in for them.
            if (run.run_type == Run::RT_Iteration) {
                if (rate != run.counters.end()) {
                    m_rates[name].push_back(rate->second.value);
                }
                m_times[name].push_back(run.real_accumulated_time * 1e9 /
                                        static_cast<double>(run.iterations));
            } else if (run.aggregate_name == "median") {
                if (rate != run.counters.end()) {
                    m_medianRates[name] = rate->second.value;
                }
                m_medianTimes[name] = run.GetAdjustedRealTime();
            }
        }
    }

    // Median bytes per second over repetitions; 0 when the benchmark did not run.
    double Rate(const std::string& name) { return Median(m_medianRates, m_rates, name); }
    // Median wall nanoseconds per iteration (the benchmark's own time unit for medians).
    double Nanoseconds(const std::string& name) { return Median(m_medianTimes, m_times, name); }

    // Initialises the library, runs every selected benchmark through this reporter. False on
    // unrecognised arguments.
    bool RunAll(int argc, char** argv) {
        benchmark::Initialize(&argc, argv);
        if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
            return false;
        }
        benchmark::RunSpecifiedBenchmarks(this);
        benchmark::Shutdown();
        return true;
    }

private:
    static double Median(const std::map<std::string, double>& medians,
                         std::map<std::string, std::vector<double>>& all, const std::string& name) {
        if (const auto it = medians.find(name); it != medians.end()) {
            return it->second;
        }
        const auto it = all.find(name);
        if (it == all.end() || it->second.empty()) {
            return 0.0;
        }
        auto& values = it->second;
        const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
        std::nth_element(values.begin(), middle, values.end());
        return *middle;
    }

    std::map<std::string, std::vector<double>> m_rates;
    std::map<std::string, std::vector<double>> m_times;
    std::map<std::string, double> m_medianRates;
    std::map<std::string, double> m_medianTimes;
};

// The best of 15 runs of `f`, in milliseconds: for figures measured outside the library's loop.
template <typename F>
double BestMillis(F&& f) {
    double best = 1e30;
    for (int i = 0; i < 15; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        const auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    return best;
}

}  // namespace velbrook::bench
