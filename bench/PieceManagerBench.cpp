// Cost of choosing the next request in a large torrent: 100 000 pieces of 256 KiB with 50 peers
// that each hold ~70 % of them, against one plain pass over 100 000 availability counts.
#include "storage/PieceManager.h"

#include <benchmark/benchmark.h>

#include "Collector.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using velbrook::BitField;
using velbrook::PieceManager;

constexpr uint32_t kPieces = 100000;
constexpr int64_t kPieceLength = 256 << 10;
constexpr int kPeers = 50;
constexpr size_t kPipeline = 4;  // requests each connection keeps outstanding

const std::vector<BitField>& Peers() {
    static const std::vector<BitField> peers = [] {
        std::mt19937 rng(3);
        std::vector<BitField> made(kPeers, BitField(kPieces, 1));
        for (auto& peer : made) {
            for (uint32_t i = 0; i < kPieces; ++i) {
                peer.SetState(i, rng() % 10 < 7 ? velbrook::Have : velbrook::Missing);
            }
        }
        return made;
    }();
    return peers;
}

std::unique_ptr<PieceManager> FreshTorrent() {
    auto pm = std::make_unique<PieceManager>(int64_t{kPieces} * kPieceLength, kPieceLength);
    pm->SetAll(velbrook::Missing);
    for (const auto& peer : Peers()) {
        pm->AddPeerAvailability(peer);
    }
    return pm;
}

struct Request {
    uint32_t piece;
    uint32_t offset;
    uint32_t length;
};

// A session's request loop: a random connection asks for its next slice, keeping to its piece
// through the hint, and the oldest of its outstanding slices arrives, so pieces complete (and
// pass their check) as they would in a download. One iteration is one GetNextRequest plus at
// most one SliceReceived.
void BM_GetNextRequest(benchmark::State& state) {
    const auto pm = FreshTorrent();
    const auto& peers = Peers();
    std::vector<std::deque<Request>> outstanding(kPeers);
    std::vector<int64_t> hints(kPeers, -1);
    std::mt19937 rng(5);
    int64_t failed = 0;
    for (auto _ : state) {
        const size_t p = rng() % kPeers;
        Request r{};
        bool duplicate = false;
        if (pm->GetNextRequest(peers[p], hints[p], r.piece, r.offset, r.length, duplicate)) {
            hints[p] = r.piece;
            outstanding[p].push_back(r);
        } else {
            ++failed;
        }
        if (outstanding[p].size() > kPipeline) {
            const Request done = outstanding[p].front();
            outstanding[p].pop_front();
            if (pm->SliceReceived(done.piece, done.offset, done.length) &&
                pm->GetState(done.piece) == velbrook::Received) {
                pm->SetState(done.piece, velbrook::Have);
            }
        }
    }
    state.counters["in_progress"] = static_cast<double>(pm->InProgressCount());
    state.counters["failed"] = static_cast<double>(failed);
}

// The reference: one pass that reads every availability count, what a picker walking the whole
// torrent would pay at least once per request.
void BM_PlainPassMinElement(benchmark::State& state) {
    const auto pm = FreshTorrent();
    std::vector<uint32_t> counts(kPieces);
    for (uint32_t i = 0; i < kPieces; ++i) {
        counts[i] = static_cast<uint32_t>(pm->AvailabilityOf(i));
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(counts.data());
        const auto it = std::min_element(counts.begin(), counts.end());
        benchmark::DoNotOptimize(it);
    }
}

// What keeping the rarity order costs instead: a connection arriving with its bitfield and
// leaving again.
void BM_AddRemovePeer(benchmark::State& state) {
    const auto pm = FreshTorrent();
    const BitField& peer = Peers().front();
    for (auto _ : state) {
        pm->AddPeerAvailability(peer);
        pm->RemovePeerAvailability(peer);
    }
}

// Fixed iteration counts keep the torrent's progress, and so the picker's state, the same from
// one run to the next: 400 000 requests complete roughly a quarter of the pieces.
BENCHMARK(BM_GetNextRequest)->Iterations(400000)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_PlainPassMinElement)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_AddRemovePeer)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    velbrook::bench::Collector reporter;
    if (!reporter.RunAll(argc, argv)) {
        return 1;
    }

    const double request = reporter.Nanoseconds("BM_GetNextRequest/iterations:400000");
    const double pass = reporter.Nanoseconds("BM_PlainPassMinElement");
    if (request > 0) {
        std::printf("GetNextRequest: %.1f ns per call\n", request);
    }
    if (request > 0 && pass > 0) {
        std::printf("plain pass over %u counts: %.1f ns; GetNextRequest/plain pass: %.4f\n",
                    kPieces, pass, request / pass);
    }
    return 0;
}
