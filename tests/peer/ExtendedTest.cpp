// The bencoded bodies of the extension protocol: what we send reads back, and what a hostile or
// careless peer sends is bounded.
#include <gtest/gtest.h>

#include "peer/Extended.h"

namespace velbrook {
namespace {

using namespace std::string_literals;

TEST(Extended, OurHandshakeReadsBackAndAPeersIsReadWithinBounds) {
    ExtendedHandshake ours;
    ASSERT_TRUE(ParseExtendedHandshake(BuildExtendedHandshake(6881, 31337, "127.0.0.1"), ours));
    EXPECT_EQ(ours.metadataId, kOwnMetadataId);
    EXPECT_EQ(ours.pexId, kOwnPexId);
    EXPECT_EQ(ours.metadataSize, 31337u);
    EXPECT_EQ(ours.requestQueue, 2000);
    EXPECT_EQ(ours.listenPort, 6881);
    EXPECT_EQ(ours.client, "Velbrook 0.1");
    // yourip: 4 bytes for IPv4 (also written as mapped IPv6), 16 for IPv6; nothing for a name.
    EXPECT_NE(BuildExtendedHandshake(1, 0, "::ffff:127.0.0.1").find("6:yourip4:\x7f\0\0\x01"s),
              std::string::npos);
    EXPECT_NE(BuildExtendedHandshake(1, 0, "::1").find("6:yourip16:"), std::string::npos);
    EXPECT_EQ(BuildExtendedHandshake(1, 0, "peer.example").find("yourip"), std::string::npos);
    EXPECT_EQ(BuildExtendedHandshake(1, 0, "::1").find("metadata_size"), std::string::npos);

    // Ids outside 1..255 disable the extension; out-of-range numbers are dropped one by one.
    ExtendedHandshake peer;
    ASSERT_TRUE(ParseExtendedHandshake(
        "d1:md11:ut_metadatai0e6:ut_pexi256ee13:metadata_sizei-5e1:pi70000e4:reqqi0e"
        "1:v12:Bad\x01Name\x7f\xe2\x82\xac"
        "e",
        peer));
    EXPECT_EQ(peer.metadataId, 0);
    EXPECT_EQ(peer.pexId, 0);
    EXPECT_FALSE(peer.metadataSize);
    EXPECT_FALSE(peer.requestQueue);
    EXPECT_EQ(peer.listenPort, 0);
    EXPECT_EQ(peer.client, "Bad?Name?\xe2\x82\xac");
    // A long name is cut, never inside a UTF-8 sequence.
    const std::string longName = std::string(63, 'x') + "\xe2\x82\xac";
    ASSERT_TRUE(ParseExtendedHandshake("d1:v66:" + longName + "e", peer));
    EXPECT_EQ(peer.client, std::string(63, 'x'));

    // Not a handshake at all: too large, nested too deep, cut off, or no dictionary.
    const std::string big = "d1:v70000:" + std::string(70000, 'v') + "e";
    for (const std::string& bad :
         {big, "d1:md1:xd1:yd1:zli1eeeeee"s, "d1:md11:ut_metadatai1e"s, "li1ee"s, ""s}) {
        EXPECT_FALSE(ParseExtendedHandshake(bad, peer)) << bad.substr(0, 40);
    }
}

TEST(Extended, MetadataMessagesCarryTheirPieceAndRefuseWhatCannotBeOne) {
    MetadataMessage m;
    const std::string data = BuildMetadataData(3, 60000, "bytes e after");
    ASSERT_TRUE(ParseMetadataMessage(data, m));
    EXPECT_EQ(m.type, MetadataType::Data);
    EXPECT_EQ(m.piece, 3u);
    EXPECT_EQ(m.totalSize, 60000u);
    EXPECT_EQ(m.data, "bytes e after");
    ASSERT_TRUE(ParseMetadataMessage(BuildMetadataReject(7), m));
    EXPECT_EQ(m.type, MetadataType::Reject);
    EXPECT_EQ(m.piece, 7u);
    ASSERT_TRUE(ParseMetadataMessage(BuildMetadataRequest(1023), m));
    EXPECT_EQ(m.type, MetadataType::Request);

    for (const std::string& bad : {
             BuildMetadataRequest(1024),    // beyond the largest dictionary we take
             "d8:msg_typei1e5:piecei0ee"s,  // data without its total size
             "d8:msg_typei1e5:piecei0e10:total_sizei0ee"s,
             "d8:msg_typei3e5:piecei0ee"s,             // a type we do not know
             "d8:msg_typei0e5:piecei-1ee"s,            //
             "d8:msg_typei0e5:piecei0e"s,              // cut off
             "d8:msg_typei0e5:pieced1:ad1:ai1eeeee"s,  // nested beyond a flat dictionary
         }) {
        EXPECT_FALSE(ParseMetadataMessage(bad, m)) << bad;
    }
}

TEST(Extended, PexListsBothFamiliesWithFlagsAndAtMostFiftyPeers) {
    PexMessage sent;
    sent.added = {{"10.0.0.1", 6881, kPexSeed | kPexReachable}, {"2001:db8::7", 51413, kPexSeed}};
    sent.dropped = {{"10.0.0.2", 80, 0}, {"::ffff:10.0.0.3", 81, 0}};
    PexMessage got;
    ASSERT_TRUE(ParsePex(BuildPex(sent), got));
    ASSERT_EQ(got.added.size(), 2u);
    EXPECT_EQ(got.added[0], sent.added[0]);
    EXPECT_EQ(got.added[0].flags, kPexSeed | kPexReachable);
    EXPECT_EQ(got.added[1], sent.added[1]);
    EXPECT_EQ(got.added[1].flags, kPexSeed);
    EXPECT_EQ(got.dropped, (std::vector<PexPeer>{{"10.0.0.2", 80, 0}, {"10.0.0.3", 81, 0}}));

    // A list of 80 with a port-0 entry and a cut-off tail: 50 are read, the rest left alone.
    std::string list(6, '\0');  // 0.0.0.0 port 0
    for (int i = 0; i < 80; ++i) {
        list += std::string("\x0a\x00\x00", 3) + static_cast<char>(i) + "\x1a\xe1";
    }
    list += "\x0a\x00";
    ASSERT_TRUE(ParsePex("d5:added" + std::to_string(list.size()) + ":" + list + "e", got));
    ASSERT_EQ(got.added.size(), kMaxPexPeers);
    EXPECT_EQ(got.added.front(), (PexPeer{"10.0.0.0", 6881, 0}));
    EXPECT_FALSE(ParsePex("d5:added6:abce", got));
}

}  // namespace
}  // namespace velbrook
