// Decoding a metainfo with 10 000 files, against hashing its info value once (work every decode
// must do anyway) as the reference measured in the same run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "Collector.h"
#include "metainfo/FileList.h"
#include "metainfo/KeyPathMap.h"
#include "metainfo/SHA1.h"

namespace {

std::string S(const std::string& s) {
    return std::to_string(s.size()) + ":" + s;
}

const std::string& Metainfo() {
    static const std::string bytes = [] {
        const int kFiles = 10000;
        const int64_t kFileSize = 1000003;
        const int64_t kPieceLength = 1 << 20;
        std::string files = "l";
        for (int i = 0; i < kFiles; ++i) {
            files += "d6:lengthi" + std::to_string(kFileSize) + "e4:pathl" +
                     S("folder" + std::to_string(i % 37)) +
                     S("file-" + std::to_string(i) + ".dat") + "ee";
        }
        files += "e";
        const int64_t total = kFiles * kFileSize;
        const int64_t pieces = (total + kPieceLength - 1) / kPieceLength;
        return "d8:announce" + S("http://tracker.example:6969/announce") + "4:infod5:files" +
               files + "4:name" + S("big collection") + "12:piece lengthi" +
               std::to_string(kPieceLength) + "e6:pieces" +
               S(std::string(static_cast<size_t>(pieces) * 20, 'h')) + "ee";
    }();
    return bytes;
}

void BM_DecodeMetainfo(benchmark::State& state) {
    const std::string& bytes = Metainfo();
    for (auto _ : state) {
        velbrook::KeyPathMap map;
        benchmark::DoNotOptimize(map.Decode(bytes));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_DecodeMetainfo)->Unit(benchmark::kMillisecond);

void BM_DecodeAndLayout(benchmark::State& state) {
    const std::string& bytes = Metainfo();
    for (auto _ : state) {
        velbrook::KeyPathMap map;
        (void)map.Decode(bytes);
        velbrook::FileList files;
        benchmark::DoNotOptimize(files.FromKeyPathMap(map));
    }
}
BENCHMARK(BM_DecodeAndLayout)->Unit(benchmark::kMillisecond);

void BM_ReferenceHashOnce(benchmark::State& state) {
    const std::string& bytes = Metainfo();
    for (auto _ : state) {
        benchmark::DoNotOptimize(velbrook::SHA1::Digest(bytes));
    }
}
BENCHMARK(BM_ReferenceHashOnce)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    const std::string& bytes = Metainfo();
    const double decode = velbrook::bench::BestMillis([&] {
        velbrook::KeyPathMap map;
        benchmark::DoNotOptimize(map.Decode(bytes));
    });
    const double layout = velbrook::bench::BestMillis([&] {
        velbrook::KeyPathMap map;
        (void)map.Decode(bytes);
        velbrook::FileList files;
        benchmark::DoNotOptimize(files.FromKeyPathMap(map));
    });
    const double hash = velbrook::bench::BestMillis(
        [&] { benchmark::DoNotOptimize(velbrook::SHA1::Digest(bytes)); });
    std::printf("metainfo: %zu bytes, 10000 files\n", bytes.size());
    std::printf("decode %.2f ms, decode+layout %.2f ms, reference SHA-1 once %.2f ms\n", decode,
                layout, hash);
    std::printf("ratio decode/reference: %.2f, decode+layout/reference: %.2f\n", decode / hash,
                layout / hash);
    benchmark::Shutdown();
    return 0;
}
