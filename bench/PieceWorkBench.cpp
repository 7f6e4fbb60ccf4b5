// What one piece event costs in a big torrent: 400 000 pieces of 256 KiB, 50 connected peers
// holding 30-100 % of them (every fifth one a seed), we hold half. Timed: a HAVE from a peer
// while we download and while we seed, and one of our pieces passing its check (announced to
// all 50). The reference is one plain pass over 400 000 piece states, the walk the interest
// check used to pay per peer.
#include <malloc.h>

#include <benchmark/benchmark.h>

#include "Collector.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/PeerSet.h"
#include "peer/PeerConnection.h"
#include "peer/Wire.h"
#include "storage/PieceManager.h"
#include "support/FakeTorrent.h"

namespace {

using namespace velbrook;

constexpr uint32_t kPieces = 400000;
constexpr int64_t kPieceLength = 256 << 10;
constexpr int kPeers = 50;

size_t HeapInUse() {
    const struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
}

std::string BitString(const std::vector<bool>& has) {
    std::string bits((has.size() + 7) / 8, '\0');
    for (size_t i = 0; i < has.size(); ++i) {
        if (has[i]) {
            bits[i / 8] = static_cast<char>(static_cast<uint8_t>(bits[i / 8]) | (0x80u >> (i % 8)));
        }
    }
    return bits;
}

// A running torrent with its 50 peers connected and their bitfields in. Every peer chokes us,
// so a HAVE costs the bookkeeping alone, not a request.
class Torrent {
public:
    explicit Torrent(bool seeding)
        : m_torrent(m_host, int64_t{kPieces} * kPieceLength, kPieceLength) {
        // Nothing is requested or stored: the pieces change only as the figures below say.
        m_torrent.m_allowDownload = false;
        std::mt19937 rng(7);
        PieceManager& own = m_torrent.m_pieces;
        own.SetAll(velbrook::Missing);
        for (uint32_t i = 0; i < kPieces; ++i) {
            if (seeding || rng() % 2 == 0) {
                own.SetState(i, velbrook::Have);
            } else {
                m_ourMissing.push_back(i);
            }
        }
        std::shuffle(m_ourMissing.begin(), m_ourMissing.end(), rng);

        for (int k = 0; k < kPeers; ++k) {
            // While we seed, our peers are downloaders: nobody else is a seed.
            const bool seed = !seeding && k % 5 == 4;
            const uint32_t percent = seed ? 100 : 30 + rng() % 70;
            std::vector<bool> has(kPieces);
            std::vector<uint32_t> lacking;
            for (uint32_t i = 0; i < kPieces; ++i) {
                has[i] = rng() % 100 < percent;
                if (!has[i]) {
                    lacking.push_back(i);
                }
            }
            std::shuffle(lacking.begin(), lacking.end(), rng);
            const std::string id = "-PP0001-" + std::to_string(100000000000 + k);
            PeerConnection* peer = m_torrent.m_set.CreatePeer(id, "127.0.0.1", 6881, 6881);
            const std::string bits = BitString(has);
            // What a connected peer keeps of its pieces.
            const size_t heapBefore = HeapInUse();
            peer->OnHandshakePassed();
            std::vector<std::string> in{BuildBitfield(bits)};
            if (!peer->ProcessMessages(in)) {
                std::abort();
            }
            m_peerBytes += HeapInUse() - heapBefore;
            if (!seed) {
                m_leechers.push_back({peer, std::move(lacking)});
            }
        }
    }

    // One peer announces a piece it lacked; peers take turns.
    void Have() {
        Leecher& leecher = m_leechers[m_nextLeecher++ % m_leechers.size()];
        if (leecher.lacking.empty()) {
            std::abort();  // more iterations than the bitfields allow for
        }
        std::vector<std::string> in{BuildHave(leecher.lacking.back())};
        leecher.lacking.pop_back();
        if (!leecher.peer->ProcessMessages(in)) {
            std::abort();
        }
    }

    // One of our pieces passed its check: marked and announced, as the session does it.
    void Verified() {
        if (m_ourMissing.empty()) {
            std::abort();
        }
        const uint32_t piece = m_ourMissing.back();
        m_ourMissing.pop_back();
        m_torrent.m_pieces.SetState(piece, velbrook::Have);
        m_torrent.m_set.BroadcastHave(piece);
    }

    size_t PeerBytes() const { return m_peerBytes; }
    int32_t Seeds() const { return m_torrent.m_set.SeedCount(); }

private:
    struct Leecher {
        PeerConnection* peer;
        std::vector<uint32_t> lacking;
    };

    test::FakePeerHost m_host{"-BB0001-bbbbbbbbbbbb"};
    test::FakeTorrent m_torrent;
    std::vector<Leecher> m_leechers;
    std::vector<uint32_t> m_ourMissing;
    size_t m_nextLeecher = 0;
    size_t m_peerBytes = 0;
};

size_t g_peerBytes = 0;

void BM_HaveWhileDownloading(benchmark::State& state) {
    Torrent torrent(false);
    g_peerBytes = torrent.PeerBytes();
    for (auto _ : state) {
        torrent.Have();
    }
    state.counters["seeds"] = torrent.Seeds();
}

void BM_HaveWhileSeeding(benchmark::State& state) {
    Torrent torrent(true);
    for (auto _ : state) {
        torrent.Have();
    }
}

void BM_VerifiedPiece(benchmark::State& state) {
    Torrent torrent(false);
    for (auto _ : state) {
        torrent.Verified();
    }
}

// The reference: one pass reading 400 000 piece states stored as 32-bit values.
void BM_PlainPass(benchmark::State& state) {
    std::mt19937 rng(9);
    std::vector<uint32_t> states(kPieces);
    for (uint32_t& s : states) {
        s = rng() % 2 == 0 ? velbrook::Have : velbrook::Missing;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(states.data());
        const auto have = std::count(states.begin(), states.end(), uint32_t{velbrook::Have});
        benchmark::DoNotOptimize(have);
    }
}

// Fixed iteration counts keep the torrent's progress the same from one run to the next.
BENCHMARK(BM_HaveWhileDownloading)->Iterations(20000)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_HaveWhileSeeding)->Iterations(2000)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_VerifiedPiece)->Iterations(1000)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_PlainPass)->Unit(benchmark::kNanosecond);

}  // namespace

int main(int argc, char** argv) {
    velbrook::bench::Collector reporter;
    if (!reporter.RunAll(argc, argv)) {
        return 1;
    }
    const double pass = reporter.Nanoseconds("BM_PlainPass");
    const std::pair<const char*, const char*> figures[] = {
        {"HAVE while downloading", "BM_HaveWhileDownloading/iterations:20000"},
        {"HAVE while seeding", "BM_HaveWhileSeeding/iterations:2000"},
        {"verified piece, announced to 50 peers", "BM_VerifiedPiece/iterations:1000"},
    };
    std::printf("%u pieces, %d connected peers\n", kPieces, kPeers);
    if (pass > 0) {
        std::printf("plain pass over %u piece states: %.1f ns\n", kPieces, pass);
    }
    for (const auto& [label, name] : figures) {
        const double ns = reporter.Nanoseconds(name);
        if (ns > 0 && pass > 0) {
            std::printf("%s: %.1f ns; /plain pass: %.4f\n", label, ns, ns / pass);
        }
    }
    if (g_peerBytes > 0) {
        std::printf("heap kept by the %d connected peers: %.1f MB\n", kPeers,
                    static_cast<double>(g_peerBytes) / 1e6);
    }
    return 0;
}
