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

std::string RandomBytes(std::mt19937& rng, size_t size) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::string out(size, '\0');
    for (auto& c : out) {
        c = static_cast<char>(byte(rng));
    }
    return out;
}

class SHA1Engine : public ::testing::TestWithParam<SHA1::Engine> {};

TEST_P(SHA1Engine, MatchesPublishedVectors) {
    const auto engine = GetParam();
    EXPECT_EQ(HexDigest(engine, {"abc"}), "a9993e364706816aba3e25717850c26c9cd0d89d");
    // 56 bytes: the length no longer fits after the 0x80, so padding spills into a second block.
    EXPECT_EQ(HexDigest(engine, {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"}),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(HexDigest(engine, {}), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(HexDigest(engine, {"The quick brown fox jumps over the lazy dog"}),
              "2fd4e1c67a2d28fced849ee1bb76e7391b93eb12");
    const std::string million(1000000, 'a');
    EXPECT_EQ(HexDigest(engine, {million}), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST_P(SHA1Engine, PadsCorrectlyAroundBlockBoundaries) {
    // Lengths where the 0x80 marker, the 8-byte length or both land at the edge of a block.
    const std::pair<size_t, const char*> cases[] = {
        {55, "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
        {63, "03f09f5b158a7a8cdad920bddc29b81c18a551f5"},
        {64, "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
        {65, "11655326c708d70319be2610e8a57d9a5b959d3b"},
        {119, "ee971065aaa017e0632a8ca6c77bb3bf8b1dfc56"},
        {120, "f34c1488385346a55709ba056ddd08280dd4c6d6"},
    };
    for (const auto& [length, expected] : cases) {
        EXPECT_EQ(HexDigest(GetParam(), {std::string(length, 'a')}), expected) << length;
    }
}

TEST_P(SHA1Engine, RandomSplitsHashLikeOneUpdate) {
    std::mt19937 rng(1234);
    for (int trial = 0; trial < 50; ++trial) {
        const std::string data = RandomBytes(rng, rng() % 5000);
        std::vector<std::string_view> pieces;
        for (size_t at = 0; at < data.size();) {
            const size_t take = std::min<size_t>(data.size() - at, rng() % 200);
            pieces.emplace_back(data.data() + at, take);
            at += take;
        }
        EXPECT_EQ(HexDigest(GetParam(), pieces), HexDigest(GetParam(), {data}))
            << "length " << data.size() << ", " << pieces.size() << " pieces";
    }
}

TEST_P(SHA1Engine, ResetAfterFinalStartsANewMessage) {
    SHA1 hasher(GetParam());
    hasher.Update("partial junk", 12);
    hasher.Final();
    hasher.Reset();
    hasher.Update("abc", 3);
    hasher.Final();
    EXPECT_EQ(hasher.ReportHash(SHA1::kReportHex), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

INSTANTIATE_TEST_SUITE_P(SHA1, SHA1Engine,
                         ::testing::Values(SHA1::Engine::Portable, SHA1::Engine::Hardware),
                         [](const auto& param) {
                             return param.param == SHA1::Engine::Portable ? "Portable" : "Hardware";
                         });

TEST(SHA1, HardwareAgreesWithPortableOnRandomLengths) {
    if (!SHA1::HardwareAvailable()) {
        GTEST_SKIP() << "CPU lacks the SHA extensions; only the portable path can run";
    }
    EXPECT_EQ(SHA1().ActiveEngine(), SHA1::Engine::Hardware);
    EXPECT_EQ(SHA1(SHA1::Engine::Hardware).ActiveEngine(), SHA1::Engine::Hardware);
    EXPECT_EQ(SHA1(SHA1::Engine::Portable).ActiveEngine(), SHA1::Engine::Portable);

    std::mt19937 rng(99);
    for (int trial = 0; trial < 300; ++trial) {
        const std::string data = RandomBytes(rng, rng() % 10241);
        EXPECT_EQ(HexDigest(SHA1::Engine::Hardware, {data}),
                  HexDigest(SHA1::Engine::Portable, {data}))
            << "length " << data.size();
    }
}

TEST(SHA1, ReportsHexDecimalOrAnError) {
    SHA1 hasher;
    hasher.Update("abc", 3);
    hasher.Final();
    EXPECT_EQ(hasher.ReportHash(0), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(hasher.ReportHash(1),
              "169 153 62 54 71 6 129 106 186 62 37 113 120 80 194 108 156 208 216 157");
    EXPECT_EQ(hasher.ReportHash(2), "Error: Unknown report type!");
    EXPECT_EQ(hasher.ReportHash(-1), "Error: Unknown report type!");

    uint8_t raw[20];
    hasher.GetHash(raw);
    EXPECT_EQ(SHA1::Digest("abc"), std::string(reinterpret_cast<const char*>(raw), 20));
}

TEST(SHA1, HexHelpersRoundTripEveryByte) {
    EXPECT_EQ(BytesToHex(std::string("\x00\xab\xff", 3)), "00abff");
    EXPECT_EQ(HexToBytes("00abff"), std::string("\x00\xab\xff", 3));

    // Bytes with the top bit set are negative chars; each must still give exactly two digits.
    for (int value = 0x80; value <= 0xFF; ++value) {
        const std::string byte(1, static_cast<char>(value));
        const std::string hex = BytesToHex(byte);
        ASSERT_EQ(hex.size(), 2u) << value;
        EXPECT_EQ(std::stoi(hex, nullptr, 16), value);
        EXPECT_EQ(HexToBytes(hex), byte);
    }

    EXPECT_EQ(HexToBytes("abc"), "\xab");
    EXPECT_EQ(HexToBytes("7"), "");
}

}  // namespace
}  // namespace velbrook
