// Throughput of both SHA-1 compression paths against OpenSSL, whole-message hashes of
// 16 KiB (a small piece) and 4 MiB (a large piece).
#include "metainfo/SHA1.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int64_t kSmall = 16 << 10;
constexpr int64_t kLarge = 4 << 20;  // 4194304, as in the names looked up in main

const std::vector<uint8_t>& Input() {
    static const std::vector<uint8_t> data = [] {
        std::vector<uint8_t> bytes(kLarge);
        std::mt19937 rng(7);
        for (auto& b : bytes) {
            b = static_cast<uint8_t>(rng());
        }
        return bytes;
    }();
    return data;
}

void HashWith(benchmark::State& state, velbrook::SHA1::Engine engine) {
    velbrook::SHA1 hasher(engine);
    if (hasher.ActiveEngine() != engine) {
        state.SkipWithError("this CPU lacks the SHA extensions");
        return;
    }
    const auto size = static_cast<size_t>(state.range(0));
    const uint8_t* data = Input().data();
    uint8_t digest[20];
    for (auto _ : state) {
        hasher.Reset();
        hasher.Update(data, size);
        hasher.Final();
        hasher.GetHash(digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Sha1Portable(benchmark::State& state) {
    HashWith(state, velbrook::SHA1::Engine::Portable);
}

void BM_Sha1Hardware(benchmark::State& state) {
    HashWith(state, velbrook::SHA1::Engine::Hardware);
}

void BM_Sha1OpenSSL(benchmark::State& state) {
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(),
                                                                      EVP_MD_CTX_free);
    const auto size = static_cast<size_t>(state.range(0));
    const uint8_t* data = Input().data();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    for (auto _ : state) {
        EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr);
        EVP_DigestUpdate(ctx.get(), data, size);
        EVP_DigestFinal_ex(ctx.get(), digest, &digestLength);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_Sha1Portable)->Arg(kSmall)->Arg(kLarge);
BENCHMARK(BM_Sha1Hardware)->Arg(kSmall)->Arg(kLarge);
BENCHMARK(BM_Sha1OpenSSL)->Arg(kSmall)->Arg(kLarge);

// Prints as usual and keeps each run's rate so the ratios can be shown at the end.
class RateCollector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            const auto rate = run.counters.find("bytes_per_second");
            if (run.error_occurred || rate == run.counters.end()) {
                continue;
            }
            // With --benchmark_report_aggregates_only the single runs never arrive here, so the
            // library's own median stands in for them.
            if (run.run_type == Run::RT_Iteration) {
                m_rates[run.run_name.str()].push_back(rate->second.value);
            } else if (run.aggregate_name == "median") {
                m_medians[run.run_name.str()] = rate->second.value;
            }
        }
    }

    // Median bytes per second over repetitions, which shrugs off a run disturbed by other
    // load; 0 when the benchmark was filtered out or skipped.
    double Rate(const std::string& name) {
        if (const auto median = m_medians.find(name); median != m_medians.end()) {
            return median->second;
        }
        const auto it = m_rates.find(name);
        if (it == m_rates.end()) {
            return 0.0;
        }
        auto& rates = it->second;
        const auto middle = rates.begin() + static_cast<std::ptrdiff_t>(rates.size() / 2);
        std::nth_element(rates.begin(), middle, rates.end());
        return *middle;
    }

private:
    std::map<std::string, std::vector<double>> m_rates;
    std::map<std::string, double> m_medians;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RateCollector reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    // Names as the library prints them: function name, then the byte count argument.
    const double openssl = reporter.Rate("BM_Sha1OpenSSL/4194304");
    if (openssl <= 0) {
        return 0;
    }
    for (const auto& [label, name] : {std::pair{"portable", "BM_Sha1Portable/4194304"},
                                      std::pair{"hardware", "BM_Sha1Hardware/4194304"}}) {
        const double ours = reporter.Rate(name);
        if (ours > 0) {
            std::printf("%s/openssl 4MiB: %.2f\n", label, ours / openssl);
        }
    }
    return 0;
}
