#include "tracker/UdpTracker.h"
#include "tracker/UdpTrackerService.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "net/Reactor.h"
#include "support/Loopback.h"
#include "support/ManualClock.h"

namespace velbrook {
namespace {

using namespace std::chrono_literals;

std::string Be32(uint32_t value) {
    std::string out;
    for (int shift = 24; shift >= 0; shift -= 8)
        out += static_cast<char>(value >> shift);
    return out;
}
std::string Be64(uint64_t value) {
    return Be32(static_cast<uint32_t>(value >> 32)) + Be32(static_cast<uint32_t>(value));
}
uint32_t Get32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i)
        value = value << 8 | static_cast<unsigned char>(bytes.at(at + i));
    return value;
}
// A request's connection id, action and transaction id.
uint64_t ConnectionOf(const std::string& request) {
    return uint64_t{Get32(request, 0)} << 32 | Get32(request, 4);
}
uint32_t ActionOf(const std::string& request) {
    return Get32(request, 8);
}
uint32_t TransactionOf(const std::string& request) {
    return Get32(request, 12);
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

// The tracker, played by the test on a raw socket of its own.
class FakeUdpTracker {
public:
    FakeUdpTracker() : m_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in local = test::Loopback(0);
        socklen_t length = sizeof local;
        EXPECT_EQ(bind(m_fd, reinterpret_cast<sockaddr*>(&local), length), 0);
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length);
        m_port = ntohs(local.sin_port);
    }
    ~FakeUdpTracker() { close(m_fd); }
    std::string Url() const { return "udp://127.0.0.1:" + std::to_string(m_port) + "/a"; }
    bool Waiting() const {
        pollfd p{m_fd, POLLIN, 0};
        return poll(&p, 1, 0) == 1;
    }
    // The next datagram, running the loop until it comes; empty when none does.
    std::string Next(Reactor& reactor) {
        test::RunUntil(
            reactor, [this] { return Waiting(); }, 5);
        if (!Waiting())
            return {};
        char buffer[2048];
        socklen_t length = sizeof m_client;
        const ssize_t n = recvfrom(m_fd, buffer, sizeof buffer, 0,
                                   reinterpret_cast<sockaddr*>(&m_client), &length);
        m_clientLength = length;
        return std::string(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
    }
    // To whoever sent the last datagram.
    void Reply(const std::string& datagram) const {
        sendto(m_fd, datagram.data(), datagram.size(), 0,
               reinterpret_cast<const sockaddr*>(&m_client), m_clientLength);
    }
    void ReplyAs(const FakeUdpTracker& other, const std::string& datagram) const {
        sendto(m_fd, datagram.data(), datagram.size(), 0,
               reinterpret_cast<const sockaddr*>(&other.m_client), other.m_clientLength);
    }
    // Connect, then the request: the request, answered by the caller.
    std::string Connect(Reactor& reactor, uint64_t connection) {
        const std::string connect = Next(reactor);
        EXPECT_EQ(ActionOf(connect), 0u);
        Reply(ConnectReply(TransactionOf(connect), connection));
        return Next(reactor);
    }

private:
    int m_fd;
    uint16_t m_port = 0;
    sockaddr_storage m_client{};
    socklen_t m_clientLength = 0;
};

class UdpTrackerServiceTest : public ::testing::Test {
protected:
    uint64_t Announce(const std::string& url) {
        return service.Announce(url, kRequest,
                                [this](const std::string& failure, const TrackerAnswer& answer) {
                                    failures.push_back(failure);
                                    answers.push_back(answer);
                                });
    }
    bool Reported(size_t count) {
        return test::RunUntil(
            reactor, [&] { return failures.size() >= count; }, 5);
    }

    test::ManualClock clock;
    Reactor reactor;
    uint32_t nextRandom = 1000;
    UdpTrackerService service{clock, [this] { return nextRandom += 7; }};
    FakeUdpTracker tracker;
    std::vector<std::string> failures;
    std::vector<TrackerAnswer> answers;
};

TEST_F(UdpTrackerServiceTest, AnnouncesAndTakesOnlyTheTrackersOwnReplyOnce) {
    Announce(tracker.Url());
    const std::string announce = tracker.Connect(reactor, 0x0102030405060708);
    EXPECT_EQ(announce, BuildUdpAnnounce(0x0102030405060708, TransactionOf(announce), kRequest));
    const uint32_t transaction = TransactionOf(announce);
    // Another transaction, and the right one from another port, are not the answer.
    tracker.Reply(AnnounceReply(transaction + 1, 1));
    FakeUdpTracker stranger;
    stranger.ReplyAs(tracker, AnnounceReply(transaction, 2));
    tracker.Reply(AnnounceReply(transaction, 1800, std::string("\x7F\x00\x00\x01\x1A\xE2", 6)));
    tracker.Reply(AnnounceReply(transaction, 1800));
    ASSERT_TRUE(Reported(1));
    test::RunPasses(reactor);
    ASSERT_EQ(failures, std::vector<std::string>{""});
    EXPECT_EQ(answers[0].interval, 1800);
    EXPECT_EQ(answers[0].donePeers, 7);
    ASSERT_EQ(answers[0].peers.size(), 1u);
    EXPECT_EQ(answers[0].peers[0].address + ":" + std::to_string(answers[0].peers[0].port),
              "127.0.0.1:6882");
    EXPECT_EQ(service.RequestsInFlight(), 0u);
}

TEST_F(UdpTrackerServiceTest, RetransmitsAfter15_30_60SecondsAndFailsAfter120More) {
    Announce(tracker.Url());
    const std::string connect = tracker.Next(reactor);
    for (const auto wait : {15s, 30s, 60s}) {
        clock.Advance(wait - 1ms);
        EXPECT_FALSE(tracker.Waiting());
        clock.Advance(1ms);
        EXPECT_EQ(tracker.Next(reactor), connect);  // the same transaction
    }
    clock.Advance(120s - 1ms);
    EXPECT_TRUE(failures.empty());
    clock.Advance(1ms);
    EXPECT_EQ(failures, std::vector<std::string>{"Tracker timed out."});
    EXPECT_FALSE(tracker.Waiting());
}

// A lost reply costs one retransmission, and the wait grows for the rest of the request.
TEST_F(UdpTrackerServiceTest, ALostConnectReplyIsAskedForAgain) {
    Announce(tracker.Url());
    EXPECT_EQ(ActionOf(tracker.Next(reactor)), 0u);  // lost
    clock.Advance(15s);
    const std::string announce = tracker.Connect(reactor, 77);
    EXPECT_EQ(ConnectionOf(announce), 77u);
    clock.Advance(30s);
    EXPECT_EQ(tracker.Next(reactor), announce);
    tracker.Reply(AnnounceReply(TransactionOf(announce), 60));
    ASSERT_TRUE(Reported(1));
    EXPECT_EQ(failures[0], "");
}

TEST_F(UdpTrackerServiceTest, ConnectionIdServesAMinuteThenIsRenewed) {
    Announce(tracker.Url());
    tracker.Reply(AnnounceReply(TransactionOf(tracker.Connect(reactor, 42)), 60));
    ASSERT_TRUE(Reported(1));
    clock.Advance(59s);
    Announce(tracker.Url());
    const std::string reused = tracker.Next(reactor);
    EXPECT_EQ(ActionOf(reused), 1u);
    EXPECT_EQ(ConnectionOf(reused), 42u);
    tracker.Reply(AnnounceReply(TransactionOf(reused), 60));
    ASSERT_TRUE(Reported(2));
    clock.Advance(1s);
    Announce(tracker.Url());
    EXPECT_EQ(ConnectionOf(tracker.Connect(reactor, 43)), 43u);
}

// A tracker that restarted refuses the id it gave before; only a refusal of a fresh one counts.
TEST_F(UdpTrackerServiceTest, ErrorTextIsReportedOnceAFreshConnectionIsRefusedToo) {
    Announce(tracker.Url());
    std::string announce = tracker.Connect(reactor, 42);
    tracker.Reply(Be32(3) + Be32(TransactionOf(announce)) + "unregistered torrent");
    ASSERT_TRUE(Reported(1));
    EXPECT_EQ(failures[0], "");
    EXPECT_TRUE(answers[0].hasFailure);
    EXPECT_EQ(answers[0].failureReason, "unregistered torrent");

    Announce(tracker.Url());
    announce = tracker.Next(reactor);
    EXPECT_EQ(ConnectionOf(announce), 42u);
    tracker.Reply(Be32(3) + Be32(TransactionOf(announce)) + "bad connection id");
    announce = tracker.Connect(reactor, 43);
    EXPECT_EQ(ConnectionOf(announce), 43u);
    tracker.Reply(Be32(3) + Be32(TransactionOf(announce)) + "unregistered torrent");
    ASSERT_TRUE(Reported(2));
    EXPECT_EQ(answers[1].failureReason, "unregistered torrent");
}

TEST_F(UdpTrackerServiceTest, StoppedAnnounceGoesOutWithoutWaitingForItsAnswer) {
    UdpAnnounce stop = kRequest;
    stop.event = UdpEvent::Stopped;
    service.SendStopped(tracker.Url(), stop);
    EXPECT_TRUE(service.StopsPending());
    const std::string sent = tracker.Connect(reactor, 42);
    EXPECT_EQ(sent, BuildUdpAnnounce(42, TransactionOf(sent), stop));
    EXPECT_FALSE(service.StopsPending());
    EXPECT_EQ(service.RequestsInFlight(), 0u);
    // With the id still good, the stop is the only datagram.
    service.SendStopped(tracker.Url(), stop);
    EXPECT_EQ(ActionOf(tracker.Next(reactor)), 1u);
    EXPECT_EQ(service.RequestsInFlight(), 0u);
}

TEST_F(UdpTrackerServiceTest, ScrapesAndRefusesAReplyOfTheWrongKind) {
    std::vector<std::string> scrapes;
    const auto record = [&](const std::string& failure, const ScrapeAnswer& answer) {
        scrapes.push_back(failure + "/" + std::to_string(answer.complete) + "/" +
                          std::to_string(answer.incomplete));
    };
    service.Scrape(tracker.Url(), kHash, record);
    std::string scrape = tracker.Connect(reactor, 3);
    EXPECT_EQ(scrape, BuildUdpScrape(3, TransactionOf(scrape), kHash));
    tracker.Reply(Be32(2) + Be32(TransactionOf(scrape)) + Be32(8) + Be32(1) + Be32(4));
    service.Scrape(tracker.Url(), kHash, record);
    scrape = tracker.Next(reactor);
    tracker.Reply(AnnounceReply(TransactionOf(scrape), 60));
    ASSERT_TRUE(test::RunUntil(reactor, [&] { return scrapes.size() == 2; }));
    EXPECT_EQ(scrapes, (std::vector<std::string>{
                           "/8/4", "Tracker Response Decoding Failed: announce reply to a scrape "
                                   "request/0/0"}));
}

// Torrents by the thousand share one connect; beyond the cap a request fails instead of waiting.
TEST_F(UdpTrackerServiceTest, ManyRequestsShareAConnectAndTheRestAreRefused) {
    std::vector<uint64_t> handles;
    for (size_t i = 0; i < UdpTrackerService::kMaxRequests; ++i)
        handles.push_back(Announce(tracker.Url()));
    const std::string connect = tracker.Next(reactor);
    Announce(tracker.Url());
    ASSERT_TRUE(Reported(1));
    EXPECT_EQ(failures[0], "Too many UDP tracker requests at once.");
    EXPECT_FALSE(tracker.Waiting());
    // The one that connects for all leaves: the next takes over at once.
    service.Cancel(handles[0]);
    const std::string takeOver = tracker.Next(reactor);
    EXPECT_NE(TransactionOf(takeOver), TransactionOf(connect));
    tracker.Reply(ConnectReply(TransactionOf(connect), 1));  // too late: not its request now
    tracker.Reply(ConnectReply(TransactionOf(takeOver), 2));
    EXPECT_EQ(ConnectionOf(tracker.Next(reactor)), 2u);
    EXPECT_EQ(failures.size(), 1u);
}

// A flood is read a batch at a time, so that the rest of the program keeps moving; the reply
// behind it is still found.
TEST_F(UdpTrackerServiceTest, AFloodOfDatagramsIsReadInBatches) {
    Announce(tracker.Url());
    const uint32_t transaction = TransactionOf(tracker.Next(reactor));
    for (int i = 0; i < 3 * UdpTrackerService::kMaxReadsPerWakeup; ++i)
        tracker.Reply(ConnectReply(transaction + 1 + static_cast<uint32_t>(i), 9));
    tracker.Reply(ConnectReply(transaction, 9));
    reactor.RunOnce(1000);
    EXPECT_FALSE(tracker.Waiting());
    EXPECT_EQ(ConnectionOf(tracker.Next(reactor)), 9u);
}

}  // namespace
}  // namespace velbrook
