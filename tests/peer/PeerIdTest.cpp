#include "peer/PeerId.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>

namespace velbrook {
namespace {

TEST(PeerId, OwnIdHasFixedHeadAndRandomTailWithoutFF) {
    const std::string id = BuildPeerId();
    ASSERT_EQ(id.size(), 20u);
    EXPECT_EQ(id.substr(0, 12), std::string("\0\0\0\0korvex\0\x21", 12));
    EXPECT_EQ(IdentifyClient(id), "korvex 0.33");
    // 8 random bytes: two builds share a tail with probability 2^-63.
    EXPECT_NE(BuildPeerId().substr(12), BuildPeerId().substr(12));

    std::mt19937 rng(1);
    bool sawHigh = false;
    for (int i = 0; i < 2000; ++i) {
        for (const char c : BuildPeerId(rng).substr(12)) {
            ASSERT_NE(static_cast<uint8_t>(c), 0xFF);
            sawHigh = sawHigh || static_cast<uint8_t>(c) == 0xFE;
        }
    }
    EXPECT_TRUE(sawHigh);  // the range reaches 254, not just "below 0xFF"

    // Each thread seeds its own generator, as a second process would: a fixed or clock-based
    // seed shows up as two threads starting with the same tail.
    std::string first;
    std::string second;
    std::thread([&first] { first = BuildPeerId(); }).join();
    std::thread([&second] { second = BuildPeerId(); }).join();
    EXPECT_NE(first, second);

    std::mt19937 a(42);
    std::mt19937 b(42);
    EXPECT_EQ(BuildPeerId(a), BuildPeerId(b));
}

TEST(PeerId, IdentifyAppliesRulesInOrder) {
    const std::string zeros12(12, '\0');
    EXPECT_EQ(IdentifyClient(std::string(5, '\0') + "Azureus" + "12345678"), "Azureus");
    EXPECT_EQ(IdentifyClient(zeros12 + "aa" + "xxxxxx"), "Experi");
    EXPECT_EQ(IdentifyClient(zeros12 + "ab" + "xxxxxx"), "Official");
    EXPECT_EQ(IdentifyClient(std::string("\0\0\0\0korvex\x01\x07", 12)), "korvex 1.07");
    EXPECT_EQ(IdentifyClient("S\x05\x08rest"), "ShadowExp 5.8");
    EXPECT_EQ(IdentifyClient("-XX1234-abcdefghijkl"), "n/a");
}

TEST(PeerId, IdentifyNeverMatchesPastTheEndOfAShortId) {
    EXPECT_EQ(IdentifyClient(""), "n/a");
    EXPECT_EQ(IdentifyClient(std::string(11, '\0')), "n/a");
    EXPECT_EQ(IdentifyClient(std::string(13, '\0')), "Official");  // "aa" would be past the end
    EXPECT_EQ(IdentifyClient(std::string(5, '\0') + "Azure"), "n/a");
    EXPECT_EQ(IdentifyClient(std::string("\0\0\0\0korvex", 10)), "korvex ?.??");
    EXPECT_EQ(IdentifyClient("S"), "ShadowExp ?.?");
}

TEST(PeerId, IdentifyShowsOnlyPrintableAscii) {
    // 0xD0 + '0' wraps to NUL; 0x50 + '0' is 0x80, a stray UTF-8 continuation byte; 255 / 10
    // gives 'I', which is printable and stays.
    EXPECT_EQ(IdentifyClient(std::string("\0\0\0\0korvex\xD0\xFF", 12)), "korvex ?.I5");
    EXPECT_EQ(IdentifyClient("S\x50\x4F"), "ShadowExp ?.?");
}

}  // namespace
}  // namespace velbrook
