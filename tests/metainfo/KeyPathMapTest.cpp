#include "metainfo/KeyPathMap.h"

#include <gtest/gtest.h>

#include "metainfo/SHA1.h"

namespace velbrook {
namespace {

std::string Str(const KeyPathMap& map, std::string_view path) {
    std::string value = "<missing>";
    (void)map.GetString(path, value);
    return value;
}

int64_t Int(const KeyPathMap& map, std::string_view path) {
    int64_t value = -999999;
    EXPECT_TRUE(map.GetInteger(path, value)) << path;
    return value;
}

TEST(KeyPathMap, FlattensNestedValuesIntoHyphenPaths) {
    KeyPathMap map;
    ASSERT_TRUE(map.Decode("d8:announce3:abc4:infod6:lengthi5ee5:peersld2:ip7:1.2.3.44:porti6881e"
                           "7:peer id2:xyeee"));
    EXPECT_EQ(Str(map, "announce"), "abc");
    EXPECT_EQ(Int(map, "info-length"), 5);
    EXPECT_EQ(Str(map, "peers-0-ip"), "1.2.3.4");
    EXPECT_EQ(Int(map, "peers-0-port"), 6881);
    EXPECT_EQ(Str(map, "peers-0-peer id"), "xy");  // keys keep blanks
    // Containers leave no entry of their own.
    EXPECT_EQ(map.StringCount(), 5u);  // announce, ip, peer id + the two info hash entries
    EXPECT_EQ(map.IntegerCount(), 2u);
}

TEST(KeyPathMap, InfoHashCoversTheExactBytesOfTheInfoValue) {
    KeyPathMap map;
    ASSERT_TRUE(map.Decode("d8:announce3:abc4:infod6:lengthi5eee"));
    const std::string expected = SHA1::Digest("d6:lengthi5ee");
    EXPECT_EQ(Str(map, "__InfoHash__"), expected);
    EXPECT_EQ(Str(map, "__InfoHashHex__"), BytesToHex(expected));
    EXPECT_EQ(Str(map, "__InfoHashHex__").size(), 40u);

    // Non-canonical encodings (unsorted keys, leading zeros) must hash as written, not as a
    // re-encoding would write them, or we would announce a torrent nobody else knows.
    KeyPathMap odd;
    ASSERT_TRUE(odd.Decode("d4:infod4:zzzzi007e4:aaaa0:ee"));
    EXPECT_EQ(Str(odd, "__InfoHash__"), SHA1::Digest("d4:zzzzi007e4:aaaa0:e"));
}

TEST(KeyPathMap, NestedInfoKeyMovesTheHashStart) {
    KeyPathMap map;
    ASSERT_TRUE(map.Decode("d4:infod4:infoi1eee"));
    // The inner "info" moved the single start slot; the outer hash starts at the inner value.
    EXPECT_EQ(Str(map, "__InfoHash__"), SHA1::Digest("i1ee"));
}

TEST(KeyPathMap, BareValuesLiveUnderTheEmptyPath) {
    KeyPathMap ints;
    ASSERT_TRUE(ints.Decode("i42e"));
    EXPECT_EQ(Int(ints, ""), 42);
    KeyPathMap strs;
    ASSERT_TRUE(strs.Decode("3:abc"));
    EXPECT_EQ(Str(strs, ""), "abc");
    KeyPathMap trailing;
    ASSERT_TRUE(trailing.Decode("i1ei2e"));
    EXPECT_EQ(Int(trailing, ""), 1);
}

TEST(KeyPathMap, EmptyAndUnterminatedContainersSucceed) {
    for (const char* input : {"de", "le", "d1:ade"}) {
        KeyPathMap map;
        EXPECT_TRUE(map.Decode(input)) << input;
        EXPECT_EQ(map.StringCount() + map.IntegerCount(), 0u) << input;
    }
    KeyPathMap open;
    ASSERT_TRUE(open.Decode("d3:fooi1e"));
    EXPECT_EQ(Int(open, "foo"), 1);
    // An "info" dictionary cut off by the end of the input still hashes what is there.
    KeyPathMap cut;
    ASSERT_TRUE(cut.Decode("d4:infod1:ai1e"));
    EXPECT_EQ(Str(cut, "__InfoHash__"), SHA1::Digest("d1:ai1e"));
}

TEST(KeyPathMap, MalformedInputFails) {
    for (const char* input : {"5:abc", "i12", "i1x2e", "d3:foo", "d3:fooe", "x", "", "3abc", "d1:a",
                              "di1ei2ee", "99999999999999999999999:a", "18446744073709551617:a"}) {
        KeyPathMap map;
        EXPECT_FALSE(map.Decode(input)) << input;
    }
}

TEST(KeyPathMap, EntriesBeforeAFailureStay) {
    KeyPathMap map;
    EXPECT_FALSE(map.Decode("d1:ai1e1:b5:abc"));
    EXPECT_EQ(Int(map, "a"), 1);
}

TEST(KeyPathMap, RepeatedKeysReplaceAndTypesStayApart) {
    KeyPathMap map;
    ASSERT_TRUE(map.Decode("d3:keyi1e3:keyi2ee"));
    EXPECT_EQ(Int(map, "key"), 2);

    KeyPathMap both;
    ASSERT_TRUE(both.Decode("d1:a1:x1:ai7ee"));
    EXPECT_EQ(Str(both, "a"), "x");
    EXPECT_EQ(Int(both, "a"), 7);
    std::string s;
    int64_t i = 0;
    EXPECT_FALSE(both.GetString("b", s));
    EXPECT_FALSE(both.GetInteger("b", i));
}

TEST(KeyPathMap, IntegersFollowTheLenientRules) {
    const std::pair<const char*, int64_t> cases[] = {
        {"i1-2e", -12},
        {"i007e", 7},
        {"ie", 0},
        {"i-e", 0},
        {"i-0e", 0},
        {"i9223372036854775807e", INT64_MAX},
        // Digits beyond 64 bits wrap instead of trapping.
        {"i18446744073709551617e", 1},
    };
    for (const auto& [input, expected] : cases) {
        KeyPathMap map;
        ASSERT_TRUE(map.Decode(input)) << input;
        EXPECT_EQ(Int(map, ""), expected) << input;
    }
    KeyPathMap low;
    ASSERT_TRUE(low.Decode("d1:ni4294967297ee"));
    int32_t n32 = 0;
    ASSERT_TRUE(low.GetInt32("n", n32));
    EXPECT_EQ(n32, 1);
}

TEST(KeyPathMap, StringsKeepEveryByte) {
    KeyPathMap empties;
    ASSERT_TRUE(empties.Decode("l0::e"));
    EXPECT_EQ(Str(empties, "0"), "");
    EXPECT_EQ(Str(empties, "1"), "");
    KeyPathMap binary;
    ASSERT_TRUE(binary.Decode(std::string_view("d1:p3:\0\xff\ne", 11)));
    EXPECT_EQ(Str(binary, "p"), std::string("\0\xff\n", 3));
}

TEST(KeyPathMap, NestingIsBoundedInsteadOfRecursingForever) {
    const auto nested = [](int depth) { return std::string(depth, 'l') + "i1e"; };
    KeyPathMap ok;
    EXPECT_TRUE(ok.Decode(nested(KeyPathMap::kMaxDepth)));
    KeyPathMap tooDeep;
    EXPECT_FALSE(tooDeep.Decode(nested(KeyPathMap::kMaxDepth + 1)));
    KeyPathMap hostile;
    EXPECT_FALSE(hostile.Decode(std::string(1 << 20, 'l')));
}

TEST(KeyPathMap, WorkAndMemoryStayBoundedForHostileShapes) {
    // A long key above a long list: every element would store its own copy of the key.
    std::string key(100000, 'k');
    std::string hostile = "d" + std::to_string(key.size()) + ":" + key + "l";
    for (int i = 0; i < 10000; ++i) {
        hostile += "i0e";
    }
    hostile += "ee";
    KeyPathMap paths;
    EXPECT_FALSE(paths.Decode(hostile));
    EXPECT_LT(paths.IntegerCount(), 3000u);

    // Hundreds of nested "info" keys would hash the same bytes hundreds of times.
    std::string nested;
    for (int i = 0; i < 500; ++i) {
        nested += "d4:info";
    }
    nested += "i1e" + std::string(500, 'e');
    KeyPathMap infos;
    EXPECT_FALSE(infos.Decode(nested));
}

}  // namespace
}  // namespace velbrook
