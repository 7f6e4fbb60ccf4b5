#include "metainfo/KeyPathMap.h"

#include <gtest/gtest.h>

#include "metainfo/SHA1.h"

namespace velbrook {
namespace {

// Non-canonical encodings (unsorted keys, leading zeros) must hash as written, not as a
// re-encoding would write them, or we would announce a torrent nobody else knows.
TEST(KeyPathMap, InfoHashCoversTheExactBytesOfTheInfoValue) {
    KeyPathMap map;
    ASSERT_TRUE(map.Decode("d8:announce3:abc4:infod4:zzzzi007e4:aaaa0:ee"));
    std::string hash;
    std::string hex;
    ASSERT_TRUE(map.GetString("__InfoHash__", hash) && map.GetString("__InfoHashHex__", hex));
    EXPECT_EQ(hash, SHA1::Digest("d4:zzzzi007e4:aaaa0:e"));
    EXPECT_EQ(hex, BytesToHex(hash));
}

TEST(KeyPathMap, MalformedInputFails) {
    for (const char* input : {"5:abc", "i12", "i1x2e", "d3:foo", "d3:fooe", "x", "", "3abc", "d1:a",
                              "di1ei2ee", "99999999999999999999999:a", "18446744073709551617:a"}) {
        KeyPathMap map;
        EXPECT_FALSE(map.Decode(input)) << input;
    }
}

TEST(KeyPathMap, DepthWorkAndMemoryStayBoundedForHostileShapes) {
    const auto nested = [](size_t depth) { return std::string(depth, 'l') + "i1e"; };
    KeyPathMap ok;
    EXPECT_TRUE(ok.Decode(nested(KeyPathMap::kMaxDepth)));
    for (const std::string& deep : {nested(KeyPathMap::kMaxDepth + 1), std::string(1 << 20, 'l')}) {
        KeyPathMap map;
        EXPECT_FALSE(map.Decode(deep));
    }

    // A long key above a long list: every element would store its own copy of the key.
    const std::string key(100000, 'k');
    std::string hostile = "d" + std::to_string(key.size()) + ":" + key + "l";
    for (int i = 0; i < 10000; ++i) {
        hostile += "i0e";
    }
    KeyPathMap paths;
    EXPECT_FALSE(paths.Decode(hostile + "ee"));
    EXPECT_LT(paths.IntegerCount(), 3000u);

    // Hundreds of nested "info" keys would hash the same bytes hundreds of times.
    std::string infos;
    for (int i = 0; i < 500; ++i) {
        infos += "d4:info";
    }
    KeyPathMap map;
    EXPECT_FALSE(map.Decode(infos + "i1e" + std::string(500, 'e')));
}

}  // namespace
}  // namespace velbrook
