// Throughput of both SHA-1 compression paths against OpenSSL, whole-message hashes of
// 16 KiB (a small piece) and 4 MiB (a large piece).
#include "metainfo/SHA1.h"

#include <benchmark/benchmark.h>

#include "Collector.h"
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

}  // namespace

int main(int argc, char** argv) {
    velbrook::bench::Collector reporter;
    if (!reporter.RunAll(argc, argv)) {
        return 1;
    }

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
