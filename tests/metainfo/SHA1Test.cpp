#include "metainfo/SHA1.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace velbrook {
namespace {

std::string HexDigest(SHA1::Engine engine, const std::vector<std::string_view>& pieces) {
    SHA1 hasher(engine);
    for (const auto piece : pieces) {
        hasher.Update(piece.data(), piece.size());
    }
    hasher.Final();
    return hasher.ReportHash(SHA1::kReportHex);
}

class SHA1Engine : public ::testing::TestWithParam<SHA1::Engine> {};

TEST_P(SHA1Engine, MatchesPublishedVectorsAroundBlockBoundaries) {
    const std::pair<std::string, const char*> cases[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        // Lengths where the 0x80 marker, the 8-byte length or both land at the edge of a block.
        {std::string(55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
        {std::string(63, 'a'), "03f09f5b158a7a8cdad920bddc29b81c18a551f5"},
        {std::string(64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
        {std::string(65, 'a'), "11655326c708d70319be2610e8a57d9a5b959d3b"},
        {std::string(119, 'a'), "ee971065aaa017e0632a8ca6c77bb3bf8b1dfc56"},
        {std::string(120, 'a'), "f34c1488385346a55709ba056ddd08280dd4c6d6"},
    };
    for (const auto& [data, expected] : cases) {
        EXPECT_EQ(HexDigest(GetParam(), {data}), expected) << data.size();
    }
}

// Random data in random splits must hash like one update, and like the other engine.
TEST_P(SHA1Engine, RandomSplitsHashLikeOneUpdateOfThePortableEngine) {
    std::mt19937 rng(1234);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int trial = 0; trial < 100; ++trial) {
        std::string data(rng() % 10241, '\0');
        for (auto& c : data) {
            c = static_cast<char>(byte(rng));
        }
        std::vector<std::string_view> pieces;
        for (size_t at = 0; at < data.size();) {
            const size_t take = std::min<size_t>(data.size() - at, rng() % 200);
            pieces.emplace_back(data.data() + at, take);
            at += take;
        }
        EXPECT_EQ(HexDigest(GetParam(), pieces), HexDigest(SHA1::Engine::Portable, {data}))
            << "length " << data.size() << ", " << pieces.size() << " pieces";
    }
}

// Hardware falls back to Portable on a CPU without the SHA extensions.
INSTANTIATE_TEST_SUITE_P(SHA1, SHA1Engine,
                         ::testing::Values(SHA1::Engine::Portable, SHA1::Engine::Hardware),
                         [](const auto& p) { return p.index == 0 ? "Portable" : "Hardware"; });

}  // namespace
}  // namespace velbrook
