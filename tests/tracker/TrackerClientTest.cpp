#include "tracker/TrackerClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "net/Reactor.h"
#include "support/Loopback.h"
#include "support/ManualClock.h"

namespace velbrook {
namespace {

using namespace std::chrono_literals;

const std::string kOwnId = "-VB0100-abcdefghijkl";

struct FakeSession : TrackerSessionLink {
    std::string url = "http://127.0.0.1:1/a?key=1";  // a refused connect if it ever ran
    std::string hash = std::string("\x2D\x41\xFF.~_z0", 8) + std::string(12, '\x01');
    std::string id = kOwnId;
    std::vector<std::string> statuses;
    std::vector<std::string> peers;  // "id address:port"
    std::vector<int32_t> counts;

    const std::string& InfoHash() const override { return hash; }
    const std::string& OwnPeerId() const override { return id; }
    uint16_t ListenPort() const override { return 6881; }
    uint64_t Uploaded() const override { return 7; }
    uint64_t Downloaded() const override { return 0; }
    uint64_t Left() const override { return 5000000000ull; }
    void SetStatusText(const std::string& text) override { statuses.push_back(text); }
    void SetTrackerCounts(int32_t seeds, int32_t peerCount) override {
        counts = {seeds, peerCount};
    }
    void AddTrackerPeer(const std::string& peerId, const std::string& address,
                        uint16_t port) override {
        peers.push_back(peerId + " " + address + ":" + std::to_string(port));
    }
    void OnTrackerSuccess() override {}
};

std::string Peer(const std::string& ip, const std::string& port, const std::string& id) {
    return "d2:ip" + std::to_string(ip.size()) + ":" + ip + "4:porti" + port +
           "e7:peer id20:" + id + "e";
}

class TrackerClientTest : public ::testing::Test {
protected:
    void ExpectFailed(int retry, int in, const std::string& reason) {
        EXPECT_EQ(session.statuses.back(), "Tracker Response Failed (will retry No. " +
                                               std::to_string(retry) + " in " + std::to_string(in) +
                                               "s), Reason: " + reason);
    }
    // Plays the tracker listening `at` for the request on its way: `answer`, then it hangs up.
    void Serve(test::RawListener& at, const std::string& answer) { Serve(at, answer, Tier()); }
    void Serve(test::RawListener& at, const std::string& answer, TrackerTier& tier) {
        {
            test::FarEnd end = at.Accept(reactor);
            EXPECT_NE(end.ReadThrough("\r\n\r\n"), "");
            EXPECT_TRUE(answer.empty() || end.Write(answer));
        }
        EXPECT_TRUE(test::RunUntil(
            reactor, [&] { return tier.Client()->State() == HttpClientState::Idle; }));
    }
    // The re-announce timer starts a request after `wait` (and not before).
    bool AnnouncesAfter(Duration wait) {
        const size_t before = session.statuses.size();
        clock.Advance(wait - 1ms);
        const bool early = session.statuses.size() != before;
        clock.Advance(1ms);
        return !early && session.statuses.size() != before &&
               session.statuses.back() == "Connecting Tracker,waiting for response";
    }
    // The clock stops where a request starts: a second's steps, up to `wait`.
    bool AnnouncesWithin(Duration wait) {
        const size_t before = session.statuses.size();
        return clock.AdvanceUntil([&] { return session.statuses.size() != before; }, 1s, wait);
    }

    // Made on first use, for the URL the test has set by then.
    TrackerClient& Tracker() {
        if (!made) {
            made = std::make_unique<TrackerClient>(session, clock, AnnounceSettings{},
                                                   AnnounceTiers{{session.url}});
        }
        return *made;
    }
    TrackerTier& Tier() { return Tracker().Tier(0); }

    test::ManualClock clock;  // outlives what the reactor still has to destroy
    Reactor reactor;
    FakeSession session;
    std::unique_ptr<TrackerClient> made;
};

TEST_F(TrackerClientTest, AnnounceUrlKeepsTheTrackersQueryAndLeavesOutALoopbackAddress) {
    const std::string head = session.url + "&info_hash=%2DA%FF%2E%7E%5Fz0" +
                             std::string("%01%01%01%01%01%01%01%01%01%01%01%01") +
                             "&peer_id=%2DVB0100%2Dabcdefghijkl";
    const std::string tail = "&port=6881&uploaded=7&downloaded=0&left=5000000000";
    ASSERT_TRUE(Tracker().Announce(AnnounceEvent::Completed));
    Tracker().SetAnnounceSettings({.reportIp = "10.0.0.1", .ipv6 = "2001:db8::1"});
    EXPECT_EQ(Tier().BuildAnnounceUrl(),
              head + "&ip=10.0.0.1&ipv6=2001%3Adb8%3A%3A1" + tail + "&event=completed&compact=1");
    // A loopback address would point other peers back at themselves.
    for (const char* loopback : {"127.0.1.1", "LocalHost", "::1"}) {
        Tracker().SetAnnounceSettings({.reportIp = loopback});
        EXPECT_EQ(Tier().BuildAnnounceUrl(), head + tail + "&event=completed&compact=1")
            << loopback;
    }
}

// Each request keeps the proxy it started with; a changed proxy takes over from the next one.
TEST_F(TrackerClientTest, EachRequestGoesThroughTheProxyInForceWhenItStarts) {
    test::RawListener proxy;
    const auto through = [&](const std::string& user) {
        return ProxyConfig{true, "127.0.0.1", proxy.m_port, user, "pw"};
    };
    const auto login = [](const std::string& user) {
        std::string out;
        EXPECT_TRUE(BuildSocks5Auth(user, "pw", out));
        return out;
    };
    // The proxy agrees to a password and reads the one it is given; then it hangs up.
    const auto loginSeen = [&](size_t size) {
        test::FarEnd end = proxy.Accept(reactor);
        EXPECT_EQ(end.Read(3), BuildSocks5Greeting(true));
        Tracker().SetAnnounceSettings({.proxy = through("bob")});  // changed mid-handshake
        EXPECT_TRUE(end.Write(std::string{0x05, 0x02}));
        return end.Read(size);
    };
    Tracker().SetAnnounceSettings({.proxy = through("alice")});
    ASSERT_TRUE(Tracker().Announce(AnnounceEvent::Started));
    EXPECT_EQ(loginSeen(login("alice").size()), login("alice"));
    ASSERT_TRUE(
        test::RunUntil(reactor, [&] { return Tier().Client()->State() == HttpClientState::Idle; }));
    ASSERT_TRUE(Tracker().Announce(AnnounceEvent::Completed));
    EXPECT_EQ(loginSeen(login("bob").size()), login("bob"));
}

// Against a tracker on 127.0.0.1, on the clock the test moves: each announce comes exactly when
// the last answer (or failure) says it should.
TEST_F(TrackerClientTest, TheIntervalSetsTheTimerWithinBoundsAndFailuresBackOff) {
    test::RawListener at;
    session.url = "http://127.0.0.1:" + std::to_string(at.m_port) + "/a";  // offers no scrape
    const auto ok = [](const std::string& body) { return "HTTP/1.0 200 OK\r\n\r\n" + body; };
    ASSERT_TRUE(Tracker().Announce(AnnounceEvent::Started));
    for (const auto& [interval, wait] : std::vector<std::pair<std::string, Duration>>{
             {"10", 60s}, {"1800", 300s}, {"-1", 60s}}) {  // -1 is not "no timer"
        Serve(at, ok("d8:intervali" + interval + "ee"));
        EXPECT_EQ(session.statuses.back(), "Tracker Response OK");
        EXPECT_TRUE(AnnouncesAfter(wait)) << interval;
    }
    // The status names the delay the timer really keeps: never under a minute. The tracker
    // hangs up without a word each time.
    for (int n = 1; n <= 20; ++n) {
        Serve(at, "");
        const int in = n < 16 ? std::max(10 * n, 60) : n < 20 ? 300 : -1;
        ExpectFailed(n, in, "Server response 0 byte.");
        if (in > 0) {
            EXPECT_TRUE(AnnouncesAfter(std::chrono::seconds(in))) << n;
        }
    }
    EXPECT_FALSE(AnnouncesWithin(1h));
    // A stop is retried twice at most; a fatal answer and the tracker's own refusal not at all.
    ASSERT_TRUE(Tracker().Announce(AnnounceEvent::Stopped));
    for (int n = 1; n <= 3; ++n) {
        Serve(at, "");
        EXPECT_EQ(AnnouncesWithin(1h), n < 3) << n;
    }
    ASSERT_TRUE(Tracker().Announce(AnnounceEvent::Started));
    Serve(at, "HTTP/1.0 404 Not Found\r\n\r\n");
    EXPECT_FALSE(AnnouncesWithin(1h));
    ASSERT_TRUE(Tracker().Announce(AnnounceEvent::Started));
    Serve(at, ok("d5:peers0:e"));
    ExpectFailed(1, 60, "Can't find 'Interval' in tracker Response");
    EXPECT_TRUE(AnnouncesAfter(60s));
    Serve(at, ok("d14:failure reason9:not found8:intervali1800ee"));
    ExpectFailed(2, -1, "Tracker Response Error, it said:not found");
    EXPECT_FALSE(AnnouncesWithin(1h));
}

std::string Url(const test::RawListener& at) {
    return "http://127.0.0.1:" + std::to_string(at.m_port) + "/announce";
}

// Every tier is announced to at once; inside a tier a URL that fails hands over to the next at
// once, and the one that answers is asked first from then on. The status and the counts come from
// the tiers that answer.
TEST_F(TrackerClientTest, TiersRunSideBySideAndATierMovesOnToItsNextUrl) {
    test::RawListener a;
    test::RawListener b;
    const std::string dead = "http://127.0.0.1:1/announce";  // refused
    const std::string none = "wss://127.0.0.1/announce";     // cannot even start
    made = std::make_unique<TrackerClient>(session, clock, AnnounceSettings{},
                                           AnnounceTiers{{dead, Url(a)}, {none, Url(b)}}, nullptr,
                                           [] { return 1u; });  // keeps two URLs in order
    ASSERT_EQ(Tracker().TierCount(), 2u);
    TrackerTier& first = Tracker().Tier(0);
    TrackerTier& second = Tracker().Tier(1);
    ASSERT_TRUE(Tracker().Announce(AnnounceEvent::Started));
    EXPECT_EQ(second.Url(), Url(b));
    Serve(b, "", second);  // the second tier fails as a whole: it backs off
    EXPECT_EQ(second.RetryCount(), 1);
    EXPECT_EQ(second.Url(), none);
    EXPECT_EQ(session.statuses.back(), second.Status());
    EXPECT_EQ(first.RetryCount(), 0);

    const auto ok = [](const std::string& complete) {
        return "HTTP/1.0 200 OK\r\n\r\nd8:intervali1800e8:completei" + complete +
               std::string("e10:incompletei4e5:peers6:\x7f\0\0\x01\x1a\xe1", 32) + "e";
    };
    Serve(a, ok("5"), first);  // reached after the refused one
    EXPECT_EQ(first.Urls(), (std::vector<std::string>{Url(a), dead}));
    EXPECT_EQ(session.statuses.back(), "Tracker Response OK");
    EXPECT_EQ(session.counts, (std::vector<int32_t>{5, 4}));
    EXPECT_EQ(session.peers, std::vector<std::string>{" 127.0.0.1:6881"});

    // The second tier comes back on its back-off timer; a later failure there does not hide the
    // first tier's good answer.
    clock.Advance(60s);
    Serve(b, ok("9"), second);
    EXPECT_EQ(session.counts, (std::vector<int32_t>{9, 4}));
    clock.Advance(240s);
    Serve(a, ok("1"), first);
    clock.Advance(60s);
    Serve(b, "", second);
    EXPECT_EQ(session.statuses.back(), "Tracker Response OK");
    EXPECT_EQ(session.counts, (std::vector<int32_t>{9, 4}));

    // A stop goes to the URL that answered, in every tier.
    ASSERT_TRUE(Tracker().Announce(AnnounceEvent::Stopped));
    EXPECT_TRUE(Tracker().StopAnnounceInFlight());
    EXPECT_EQ(first.Client()->Url().rfind(Url(a), 0), 0u);
    EXPECT_EQ(second.Client()->Url().rfind(Url(b), 0), 0u);

    // Each tier is shuffled once, when the client is made.
    TrackerClient shuffled(session, clock, {}, {{"http://x/1", "http://x/2"}}, nullptr,
                           [] { return 0u; });
    EXPECT_EQ(shuffled.Tier(0).Urls(), (std::vector<std::string>{"http://x/2", "http://x/1"}));
}

// Every half hour a tracker that offers scrape is asked for the counts alone; its answer
// refreshes them until the next announce.
TEST_F(TrackerClientTest, AScrapeRefreshesTheCountsEveryHalfHour) {
    test::RawListener at;
    session.url = Url(at);
    const std::string ok = "HTTP/1.0 200 OK\r\n\r\nd8:intervali1800e8:completei5e10:incompletei4ee";
    ASSERT_TRUE(Tracker().Announce(AnnounceEvent::Started));
    Serve(at, ok);
    for (int tick = 1; tick <= 6; ++tick) {
        clock.Advance(300s);
        Serve(at, ok);
    }
    EXPECT_EQ(session.counts, (std::vector<int32_t>{5, 4}));
    {
        test::FarEnd end = at.Accept(reactor);  // the scrape, behind the sixth announce
        const std::string head = end.ReadThrough("\r\n\r\n");
        EXPECT_EQ(head.substr(0, head.find(' ', 4)),
                  "GET /scrape?info_hash=%2DA%FF%2E%7E%5Fz0%01%01%01%01%01%01%01%01%01%01%01%01");
        ASSERT_TRUE(end.Write("HTTP/1.0 200 OK\r\n\r\nd5:filesd20:" + session.hash +
                              "d8:completei9e10:incompletei2eeee"));
    }  // and it hangs up
    EXPECT_TRUE(test::RunUntil(reactor, [&] { return session.counts[0] == 9; }));
    EXPECT_EQ(session.counts, (std::vector<int32_t>{9, 2}));
}

// Stopped and started again at once (moved to another folder): the tracker hears the stop first,
// whether it answers it or not, and the torrent is announced again either way.
TEST_F(TrackerClientTest, AStartRightAfterAStopWaitsForTheStopToReport) {
    for (const bool answered : {true, false}) {
        ASSERT_TRUE(Tracker().Announce(AnnounceEvent::Stopped));
        const HttpClient* stop = Tier().Client();
        ASSERT_TRUE(Tracker().StopAnnounceInFlight());
        EXPECT_TRUE(Tracker().Announce(AnnounceEvent::Started));
        EXPECT_EQ(Tier().Client(), stop);
        EXPECT_EQ(Tier().Event(), AnnounceEvent::Stopped);
        if (answered) {
            Tier().OnResponse("d8:intervali1800ee");
        } else {
            Tier().OnFailure("refused", false);
        }
        EXPECT_EQ(Tier().Event(), AnnounceEvent::Started) << answered;
        EXPECT_NE(Tier().Client(), stop);
        EXPECT_FALSE(Tracker().StopAnnounceInFlight());
        Tier().OnResponse("d8:intervali1800ee");
        EXPECT_EQ(session.statuses.back(), "Tracker Response OK");
    }
}

TEST_F(TrackerClientTest, PeersFromCompactAndDictionaryAnswers) {
    Tracker().Announce(AnnounceEvent::Started);
    // Compact entries have no id, so none is mistaken for our own; port 0 and a partial entry
    // are dropped, "peers6" adds IPv6 peers (an IPv4-mapped one as IPv4), and the older count
    // names win over the newer ones.
    session.id.clear();
    Tier().OnResponse(
        std::string("d8:intervali1800e5:peers21:\x7f\0\0\x01\x1a\xe1\x0a\0\0\x02\0\0", 39) +
        "\xff\xff\xff\xff\xff\xff\x01\x02\x03" + "6:peers639:" + std::string(15, '\0') +
        "\x01\x1a\xe1" + std::string(10, '\0') + "\xff\xff\x0a" + std::string(2, '\0') + "\x03" +
        std::string(1, '\0') + "\x50\x01\x02\x03" +
        "8:completei99999999999e10:done peersi3e10:incompletei-2ee");
    EXPECT_EQ(session.peers, (std::vector<std::string>{" 127.0.0.1:6881", " 255.255.255.255:65535",
                                                       " ::1:6881", " 10.0.0.3:80"}));
    EXPECT_EQ(session.counts, (std::vector<int32_t>{3, 0}));
    session.id = kOwnId;
    session.peers.clear();

    const std::string id(20, 'p');
    Tier().OnResponse("d8:intervali1800e5:peersl" + Peer("1.2.3.4", "6881", kOwnId) +
                      Peer("1.2.3.5", "4294974177", id) +  // low 32 bits: 6881
                      Peer("1.2.3.6", "0", id) + Peer("1.2.3.6", "65536", id) +
                      Peer("1.2.3.6", "-6881", id) + Peer("host.example", "1", id) +
                      Peer("1.2.3.256", "1", id) + Peer("01.2.3.4", "1", id) +
                      Peer("1.2.3", "1", id) + Peer("255.0.0.1", "65535", id) +
                      Peer("::1", "7", id) + Peer("::ffff:1.2.3.9", "8", id) +
                      "d2:ip7:1.2.3.74:porti1ee" + Peer("1.2.3.8", "1", id) + "ee");
    EXPECT_EQ(session.peers,
              (std::vector<std::string>{id + " 1.2.3.5:6881", id + " 255.0.0.1:65535",
                                        id + " ::1:7", id + " 1.2.3.9:8"}));
}

}  // namespace
}  // namespace velbrook
