#include "tracker/UdpTracker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velbrook {
namespace {

std::string Be32(uint32_t value) {
    std::string out;
    for (int shift = 24; shift >= 0; shift -= 8)
        out += static_cast<char>(value >> shift);
    return out;
}
std::string Be64(uint64_t value) {
    return Be32(static_cast<uint32_t>(value >> 32)) + Be32(static_cast<uint32_t>(value));
}
std::string ConnectReply(uint32_t transaction, uint64_t connection) {
    return Be32(0) + Be32(transaction) + Be64(connection);
}
std::string AnnounceReply(uint32_t transaction, uint32_t interval, const std::string& peers = {}) {
    return Be32(1) + Be32(transaction) + Be32(interval) + Be32(5) + Be32(7) + peers;
}

const std::string kHash(20, '\xAB');
const UdpAnnounce kRequest{kHash, "-VB0100-abcdefghijkl", 1, 2, 3, UdpEvent::Started, 9, 6881};

TEST(UdpTrackerCodec, RequestsCarryEveryFieldInNetworkOrder) {
    EXPECT_EQ(BuildUdpConnect(0x01020304), Be64(0x41727101980) + Be32(0) + Be32(0x01020304));
    EXPECT_EQ(BuildUdpAnnounce(0x1122334455667788, 7, kRequest),
              Be64(0x1122334455667788) + Be32(1) + Be32(7) + kHash + kRequest.peerId + Be64(1) +
                  Be64(2) + Be64(3) + Be32(2) + Be32(0) + Be32(9) + Be32(0xFFFFFFFF) + "\x1A\xE1");
    // A short hash cannot shift the fields after it.
    EXPECT_EQ(BuildUdpScrape(5, 6, "ab"), Be64(5) + Be32(2) + Be32(6) + "ab" + std::string(18, 0));
}

TEST(UdpTrackerCodec, ReadsEveryKindOfReply) {
    UdpReply connect = ReadUdpReply(ConnectReply(3, 0xDEADBEEFCAFE), false);
    EXPECT_EQ(connect.refusal, "");
    EXPECT_EQ(connect.transactionId, 3u);
    EXPECT_EQ(connect.connectionId, 0xDEADBEEFCAFEu);

    // Whole entries only; port 0 is nobody's.
    const std::string peers = std::string("\x0A\x00\x00\x01\x1A\xE1", 6) +
                              std::string("\x0A\x00\x00\x02\x00\x00", 6) + "\x0A\x00";
    UdpReply announce = ReadUdpReply(AnnounceReply(4, 1800, peers), false);
    ASSERT_EQ(announce.action, UdpAction::Announce);
    EXPECT_EQ(announce.announce.interval, 1800);
    EXPECT_EQ(announce.announce.numPeers, 5);
    EXPECT_EQ(announce.announce.donePeers, 7);
    ASSERT_EQ(announce.announce.peers.size(), 1u);
    EXPECT_EQ(announce.announce.peers[0].address, "10.0.0.1");
    EXPECT_EQ(announce.announce.peers[0].port, 6881);

    std::string v6(16, '\0');
    v6[0] = '\x20', v6[1] = '\x01', v6[15] = '\x01';
    UdpReply announce6 = ReadUdpReply(AnnounceReply(4, 60, v6 + std::string("\x00\x50", 2)), true);
    ASSERT_EQ(announce6.announce.peers.size(), 1u);
    EXPECT_EQ(announce6.announce.peers[0].address, "2001::1");

    UdpReply scrape =
        ReadUdpReply(Be32(2) + Be32(8) + Be32(10) + Be32(20) + Be32(0x80000000), false);
    EXPECT_EQ(scrape.scrape.complete, 10);
    EXPECT_EQ(scrape.scrape.downloaded, 20);
    EXPECT_EQ(scrape.scrape.incomplete, 0);  // never negative

    // A terminal escape becomes harmless, and a long text is cut.
    UdpReply error =
        ReadUdpReply(Be32(3) + Be32(9) + "\x1B[2Jgo away" + std::string(5000, 'x'), false);
    ASSERT_EQ(error.action, UdpAction::Error);
    EXPECT_EQ(error.errorText.substr(0, 13), "\xEF\xBF\xBD[2Jgo away");
    EXPECT_LT(error.errorText.size(), 300u);
}

TEST(UdpTrackerCodec, RefusesShortAndUnknownDatagrams) {
    EXPECT_FALSE(ReadUdpReply("\x00\x00\x00", false).hasTransaction);
    for (const std::string& bad :
         {Be32(0) + Be32(1) + Be32(0), Be32(1) + Be32(1) + Be32(60) + Be32(0),
          Be32(2) + Be32(1) + Be32(1), Be32(4) + Be32(1) + Be64(0)}) {
        const UdpReply reply = ReadUdpReply(bad, false);
        EXPECT_NE(reply.refusal, "") << bad.size();
        EXPECT_TRUE(reply.hasTransaction);  // still matched to its request, which then fails
    }
}

TEST(UdpTrackerCodec, ParsesTrackerUrls) {
    std::string host;
    uint16_t port = 0;
    ASSERT_TRUE(ParseUdpTrackerUrl("UDP://tracker.example:6969/announce?x=1", host, port));
    EXPECT_EQ(host + ":" + std::to_string(port), "tracker.example:6969");
    ASSERT_TRUE(ParseUdpTrackerUrl("udp://[2001:db8::1]:80", host, port));
    EXPECT_EQ(host, "2001:db8::1");
    for (const char* bad : {"http://a:1", "udp://a", "udp://a:0", "udp://a:65536", "udp://:80",
                            "udp://a:8x", "udp://2001:db8::1:80", "udp://[nonsense]:80"}) {
        EXPECT_FALSE(ParseUdpTrackerUrl(bad, host, port)) << bad;
    }
}

TEST(ScrapeAnswerTest, ReadsTheTorrentsCountsAndFindsTheScrapeUrl) {
    const std::string hash = "0123456789-abcdefghi";  // a hyphen, as in any raw hash
    const ScrapeAnswer answer = ReadScrapeAnswer(
        "d5:filesd20:" + hash + "d8:completei3e10:downloadedi9e10:incompletei-4eeee", hash);
    EXPECT_TRUE(answer.found);
    EXPECT_EQ(answer.complete, 3);
    EXPECT_EQ(answer.downloaded, 9);
    EXPECT_EQ(answer.incomplete, 0);
    EXPECT_FALSE(ReadScrapeAnswer("d5:filesdee", hash).found);
    EXPECT_FALSE(ReadScrapeAnswer("d5:files", hash).decoded);

    EXPECT_EQ(ScrapeUrlFor("http://t.example/x/announce.php?passkey=a/b"),
              "http://t.example/x/scrape.php?passkey=a/b");
    EXPECT_EQ(ScrapeUrlFor("http://t.example:80/announce"), "http://t.example:80/scrape");
    for (const char* none : {"http://t.example/a", "http://t.example/announce/", "http://announce",
                             "http://t.example/x?announce"}) {
        EXPECT_EQ(ScrapeUrlFor(none), "") << none;
    }
}

}  // namespace
}  // namespace velbrook
