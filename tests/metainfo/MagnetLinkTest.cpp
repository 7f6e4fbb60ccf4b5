#include "metainfo/MagnetLink.h"

#include <gtest/gtest.h>

#include <string>

#include "metainfo/SHA1.h"

namespace velbrook {
namespace {

const std::string kHex = "0123456789abcdef0123456789abcdef01234567";

MagnetLink Parse(const std::string& text) {
    MagnetLink link;
    std::string error;
    EXPECT_TRUE(ParseMagnetLink(text, link, error)) << text << ": " << error;
    return link;
}

std::string Refusal(const std::string& text) {
    MagnetLink link;
    std::string error;
    EXPECT_FALSE(ParseMagnetLink(text, link, error)) << text;
    EXPECT_TRUE(link.infoHash.empty());
    return error;
}

TEST(MagnetLink, ReadsHashNameTrackersAndPeers) {
    EXPECT_TRUE(IsMagnetLink("MAGNET:?xt=x"));
    EXPECT_FALSE(IsMagnetLink("magnet:xt"));
    EXPECT_FALSE(IsMagnetLink("/home/magnet:?.torrent"));

    const MagnetLink link =
        Parse("Magnet:?xt=urn:BTIH:" + kHex +
              "&dn=My+Show%20S01%1b%5b2J&so=0-3&tr=http%3A%2F%2F127.0.0.1%3A6969%2Fannounce" +
              "&tr.1=udp://t:80&tr=http%3A%2F%2F127.0.0.1%3A6969%2Fannounce&tr=wss://w/&tr=http://"
              "a%20b/" +
              "&x.pe=127.0.0.1:6881&x.pe=%5B::1%5D:6882&x.pe=peer.example:7&x.pe=1.2.3.4:0" +
              "&x.pe=1.2.3.4&x.pe=[::1]6&x.pe=a/b:5&dn=second");
    EXPECT_EQ(BytesToHex(link.infoHash), kHex);
    // Plus and escapes decoded; an escape sequence that could drive a terminal is taken out.
    EXPECT_EQ(link.displayName, "My Show S01[2J");
    // Every tracker a tier of its own, once; those we cannot announce to are left out and said.
    EXPECT_EQ(link.trackers, (AnnounceTiers{{"http://127.0.0.1:6969/announce"}, {"udp://t:80"}}));
    EXPECT_EQ(link.peers,
              (std::vector<MagnetPeer>{{"127.0.0.1", 6881}, {"::1", 6882}, {"peer.example", 7}}));
    EXPECT_NE(link.ignored.find("2 tracker(s) and 4 peer(s)"), std::string::npos) << link.ignored;

    // Base32 names the same hash; a link with nothing more is a torrent all the same.
    const std::string base32 = "AERUKZ4JVPG66AJDIVTYTK6N54ASGRLH";
    const MagnetLink bare = Parse("magnet:?xt=urn:btih:" + base32);
    EXPECT_EQ(BytesToHex(bare.infoHash), kHex);
    EXPECT_TRUE(bare.displayName.empty() && bare.trackers.empty() && bare.peers.empty());
    EXPECT_EQ(Parse("magnet:?xt=urn:btih:" + std::string(base32.size(), 'a')).infoHash.size(), 20u);
}

TEST(MagnetLink, BoundsWhatALinkCarries) {
    std::string many = "magnet:?xt=urn:btih:" + kHex;
    for (int i = 0; i < 100; ++i) {
        many += "&tr=http://t" + std::to_string(i) + "/a&x.pe=127.0.0.1:" + std::to_string(i + 1);
    }
    // A name cut to its bound never ends inside a character.
    many += "&dn=" + std::string(kMaxMagnetNameLength - 1, 'a') + "%C3%A9";
    const MagnetLink link = Parse(many);
    EXPECT_EQ(link.trackers.size(), kMaxTrackerTiers);
    EXPECT_EQ(link.peers.size(), kMaxMagnetPeers);
    EXPECT_EQ(link.displayName, std::string(kMaxMagnetNameLength - 1, 'a'));

    EXPECT_NE(
        Refusal("magnet:?xt=urn:btih:" + kHex + "&dn=" + std::string(kMaxMagnetLinkLength, 'a'))
            .find("longer than"),
        std::string::npos);
}

TEST(MagnetLink, RefusesALinkWithoutAUsableHashSayingWhy) {
    EXPECT_EQ(Refusal("magnet:?dn=x&tr=http://a/"), "it names no torrent (no xt=urn:btih:)");
    EXPECT_EQ(Refusal("magnet:?xt=urn:sha1:" + kHex),
              "it names no BitTorrent info hash (xt is not urn:btih:)");
    EXPECT_EQ(Refusal("magnet:?xt=urn:btih:" + kHex.substr(1)),
              "its info hash has 39 characters, not 40 hexadecimal or 32 base32");
    EXPECT_EQ(Refusal("magnet:?xt=urn:btih:" + kHex.substr(1) + "g"),
              "its info hash is not hexadecimal");
    EXPECT_EQ(Refusal("magnet:?xt=urn:btih:" + std::string(31, 'A') + "1"),
              "its info hash is not base32");
    EXPECT_EQ(Refusal("http://x/?xt=urn:btih:" + kHex), "not a magnet link");
    // A usable hash after an unusable one is the torrent.
    EXPECT_EQ(BytesToHex(Parse("magnet:?xt=urn:ed2k:1&xt=urn:btih:" + kHex).infoHash), kHex);
}

}  // namespace
}  // namespace velbrook
