// Receive-path framing throughput: a long run of 16 KiB PIECE messages arriving in socket-sized
// reads, cut and decoded, against a plain memcpy of the same reads as the floor.
#include "peer/Wire.h"

#include <benchmark/benchmark.h>

#include "Collector.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr size_t kStreamBytes = size_t{64} << 20;

// Framed PIECE messages of one slice each, close to kStreamBytes in all.
const std::string& Stream() {
    static const std::string stream = [] {
        const std::string slice(velbrook::kSliceSize, '\xA5');
        std::string bytes;
        bytes.reserve(kStreamBytes + velbrook::kSliceSize + 13);
        for (uint32_t i = 0; bytes.size() < kStreamBytes; ++i) {
            velbrook::AppendPieceMessage(bytes, i / 64, (i % 64) * velbrook::kSliceSize, slice);
        }
        return bytes;
    }();
    return stream;
}

void BM_CutAndDecode(benchmark::State& state) {
    const std::string& stream = Stream();
    const uint32_t maxLength = velbrook::MaxMessageLength(512);
    std::string input;
    std::vector<std::string> out;
    velbrook::WireMessage msg;
    for (auto _ : state) {
        size_t slices = 0;
        for (size_t pos = 0; pos < stream.size(); pos += velbrook::kMaxReadChunk) {
            const size_t chunk = std::min(velbrook::kMaxReadChunk, stream.size() - pos);
            input.append(stream, pos, chunk);
            size_t cut = 0;
            out.clear();
            if (velbrook::CutMessages(input, maxLength, out, cut) != velbrook::CutResult::Ok) {
                state.SkipWithError("cutter refused a valid stream");
                return;
            }
            for (const std::string& message : out) {
                if (velbrook::DecodeMessage(message, msg) == velbrook::DecodeStatus::Ok) {
                    slices += msg.data.size() == velbrook::kSliceSize;
                    benchmark::DoNotOptimize(msg.data.data());
                }
            }
        }
        if (!input.empty() || slices * (velbrook::kSliceSize + 13) != stream.size()) {
            state.SkipWithError("stream not cut into whole slices");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

void BM_MemcpyReference(benchmark::State& state) {
    const std::string& stream = Stream();
    std::vector<char> buffer(velbrook::kMaxReadChunk);
    for (auto _ : state) {
        for (size_t pos = 0; pos < stream.size(); pos += velbrook::kMaxReadChunk) {
            const size_t chunk = std::min(velbrook::kMaxReadChunk, stream.size() - pos);
            std::memcpy(buffer.data(), stream.data() + pos, chunk);
            benchmark::ClobberMemory();
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

BENCHMARK(BM_CutAndDecode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyReference)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    velbrook::bench::Collector reporter;
    if (!reporter.RunAll(argc, argv)) {
        return 1;
    }

    const double ours = reporter.Rate("BM_CutAndDecode");
    const double memcpyRate = reporter.Rate("BM_MemcpyReference");
    if (ours > 0 && memcpyRate > 0) {
        std::printf("cut+decode/memcpy: %.2f (%.0f MiB/s vs %.0f MiB/s)\n", ours / memcpyRate,
                    ours / (1 << 20), memcpyRate / (1 << 20));
    }
    return 0;
}
