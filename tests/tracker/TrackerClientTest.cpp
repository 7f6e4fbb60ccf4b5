#include "tracker/TrackerClient.h"

#include "net/Reactor.h"
#include "persist/Settings.h"
#include "support/TempDir.h"
#include "tracker/ScriptedHttpServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace velbrook {
namespace {

const std::string kOwnId = "-VB0100-abcdefghijkl";

struct FakeSession : TrackerSessionLink {
    std::string url = "http://127.0.0.1:1/announce";  // a refused connect if it ever ran
    std::string hash = std::string("\x2D\x41\xFF.~_z0", 8) + std::string(12, '\x01');
    std::string id = kOwnId;
    std::vector<std::string> statuses;
    std::vector<std::string> peers;  // "id address:port"
    std::vector<int32_t> counts;
    int successes = 0;

    std::string AnnounceUrl() const override { return url; }
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
    void OnTrackerSuccess() override { ++successes; }
};

struct TimerState {
    uint32_t periodMs = 0;
    bool active = false;
    std::function<void()> tick;
};

struct FakeTimer : AnnounceTimer {
    explicit FakeTimer(TimerState& state) : s(state) {}
    ~FakeTimer() override { s.active = false; }
    void Start(uint32_t periodMs, std::function<void()> tick) override {
        s = {periodMs, true, std::move(tick)};
    }
    void Stop() override { s.active = false; }
    TimerState& s;
};

std::string Str(const std::string& text) {
    return std::to_string(text.size()) + ":" + text;
}
std::string Peer(const std::string& ip, const std::string& port, const std::string& id) {
    return "d2:ip" + Str(ip) + "4:porti" + port + "e7:peer id" + Str(id) + "e";
}
std::string Answer(const std::string& rest) {
    return "d8:intervali1800e" + rest + "e";
}
// Compact entries: four address bytes and a big-endian port each.
std::string Compact(std::initializer_list<std::pair<uint32_t, uint16_t>> peers) {
    std::string bytes;
    for (const auto& [address, port] : peers) {
        for (const int shift : {24, 16, 8, 0})
            bytes += static_cast<char>(address >> shift & 0xFF);
        bytes += static_cast<char>(port >> 8);
        bytes += static_cast<char>(port & 0xFF);
    }
    return bytes;
}

class TrackerClientTest : public ::testing::Test {
protected:
    bool RunUntil(const std::function<bool()>& done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (!done() && std::chrono::steady_clock::now() < end)
            reactor.RunOnce(10);
        return done();
    }

    Settings settings{"/tmp/"};
    Reactor reactor;
    FakeSession session;
    TimerState timer;
    int clientsMade = 0;
    TrackerClient tracker{session, [this] { return std::make_unique<FakeTimer>(timer); },
                          [this](HttpOwner& owner) {
                              ++clientsMade;
                              return std::make_unique<HttpClient>(owner);
                          }};
};

TEST_F(TrackerClientTest, AnnounceUrlBytes) {
    std::string hash = "%2DA%FF%2E%7E%5Fz0";
    for (int i = 0; i < 12; ++i)
        hash += "%01";
    const std::string tail = "&port=6881&uploaded=7&downloaded=0&left=5000000000";
    const std::string head = "info_hash=" + hash + "&peer_id=%2DVB0100%2Dabcdefghijkl";

    ASSERT_TRUE(tracker.Announce(AnnounceEvent::Started));
    EXPECT_EQ(tracker.BuildAnnounceUrl(),
              session.url + "?" + head + tail + "&event=started&compact=1");
    tracker.Announce(AnnounceEvent::Stopped);
    EXPECT_EQ(tracker.BuildAnnounceUrl(),
              session.url + "?" + head + tail + "&event=stopped&compact=1");
    tracker.Announce(AnnounceEvent::Completed);
    settings.SetString(ReportIP, "10.0.0.1");
    EXPECT_EQ(tracker.BuildAnnounceUrl(),
              session.url + "?" + head + "&ip=10.0.0.1" + tail + "&event=completed&compact=1");
    // A loopback address would point other peers back at themselves.
    for (const char* loopback :
         {"127.0.1.1", "127.0.0.1", "127.255.0.9", "localhost", "LocalHost", "::1", ""}) {
        settings.SetString(ReportIP, loopback);
        EXPECT_EQ(tracker.BuildAnnounceUrl(),
                  session.url + "?" + head + tail + "&event=completed&compact=1")
            << loopback;
    }
    settings.SetString(ReportIP, "128.0.0.1");
    EXPECT_NE(tracker.BuildAnnounceUrl().find("&ip=128.0.0.1&"), std::string::npos);
    settings.SetString(ReportIP, "");

    // A tracker's own query (a private key) must stay intact and come first.
    tracker.Announce(AnnounceEvent::None);
    session.url = "http://127.0.0.1:1/a?key=1";
    EXPECT_EQ(tracker.BuildAnnounceUrl(), session.url + "&" + head + tail + "&compact=1");
    session.url = "http://127.0.0.1:1/a?";
    EXPECT_EQ(tracker.BuildAnnounceUrl(), session.url + head + tail + "&compact=1");
}

TEST_F(TrackerClientTest, IntervalDrivesTheTimer) {
    tracker.Announce(AnnounceEvent::Started);
    tracker.OnResponse("d8:intervali10ee");
    EXPECT_EQ(timer.periodMs, 60000u);
    EXPECT_EQ(session.statuses.back(), "Tracker Response OK");
    EXPECT_EQ(tracker.Event(), AnnounceEvent::None);
    tracker.OnResponse("d8:intervali1800ee");
    EXPECT_EQ(timer.periodMs, 300000u);
    // A negative interval is not "no timer".
    tracker.OnResponse("d8:intervali-1ee");
    EXPECT_TRUE(timer.active);
    EXPECT_EQ(timer.periodMs, 60000u);

    tracker.OnResponse("d8:intervali1800ee");
    tracker.Announce(AnnounceEvent::Stopped);
    tracker.OnResponse("not even bencode");  // the stop's answer is not read
    EXPECT_FALSE(timer.active);
    EXPECT_EQ(session.statuses.back(), "Tracker Connected.");
    EXPECT_EQ(tracker.Event(), AnnounceEvent::None);
    EXPECT_EQ(session.successes, 4);
    tracker.Announce(AnnounceEvent::Started);
    tracker.OnResponse("d8:intervali1800ee");
    EXPECT_TRUE(timer.active);
    EXPECT_EQ(timer.periodMs, 300000u);

    // A tick leaves a request that is still connecting alone; an announce replaces it.
    ASSERT_EQ(tracker.Client()->State(), HttpClientState::Connecting);
    const int made = clientsMade;
    timer.tick();
    EXPECT_EQ(clientsMade, made);
    tracker.Announce(AnnounceEvent::Completed);
    EXPECT_EQ(clientsMade, made + 1);
}

TEST_F(TrackerClientTest, FailuresBackOff) {
    tracker.Announce(AnnounceEvent::Started);
    const std::map<int, std::pair<std::string, uint32_t>> expected = {{1, {"10", 60000}},
                                                                      {6, {"60", 60000}},
                                                                      {7, {"70", 70000}},
                                                                      {16, {"300", 300000}},
                                                                      {20, {"-1", 0}}};
    for (int n = 1; n <= 20; ++n) {
        tracker.OnFailure("refused", false);
        const auto it = expected.find(n);
        if (it == expected.end())
            continue;
        EXPECT_EQ(session.statuses.back(), "Tracker Response Failed (will retry No. " +
                                               std::to_string(n) + " in " + it->second.first +
                                               "s), Reason: refused");
        EXPECT_EQ(timer.active, it->second.second != 0) << n;
        if (timer.active) {
            EXPECT_EQ(timer.periodMs, it->second.second) << n;
        }
    }

    tracker.Announce(AnnounceEvent::Stopped);
    tracker.OnFailure("a", false);
    tracker.OnFailure("b", false);
    EXPECT_TRUE(timer.active);
    tracker.OnFailure("c", false);
    EXPECT_EQ(session.statuses.back(),
              "Tracker Response Failed (will retry No. 3 in -1s), Reason: c");
    EXPECT_FALSE(timer.active);

    tracker.Announce(AnnounceEvent::Started);
    tracker.OnFailure("timeout", false);
    tracker.OnFatal("bad header");
    EXPECT_FALSE(timer.active);
    EXPECT_EQ(session.statuses.back(),
              "Tracker Response Failed (will retry No. 2 in -1s), Reason: bad header");
    EXPECT_EQ(tracker.LastReason(), "bad header");
}

TEST_F(TrackerClientTest, UnusableAnswersAreFailures) {
    tracker.Announce(AnnounceEvent::Started);
    tracker.OnResponse("d8:intervali");
    EXPECT_EQ(tracker.LastReason(), "Tracker Response Decoding Failed.");
    tracker.OnResponse("d5:peers0:e");
    EXPECT_EQ(tracker.LastReason(), "Can't find 'Interval' in tracker Response");
    EXPECT_TRUE(timer.active);
    tracker.OnResponse("d14:failure reason9:not found8:intervali1800ee");
    EXPECT_EQ(session.statuses.back(), "Tracker Response Failed (will retry No. 3 in -1s), "
                                       "Reason: Tracker Response Error, it said:not found");
    EXPECT_FALSE(timer.active);
    EXPECT_EQ(session.successes, 0);
    EXPECT_EQ(tracker.Event(), AnnounceEvent::Started);
}

TEST_F(TrackerClientTest, PeersFromTheAnswer) {
    const std::string id(20, 'p');
    tracker.Announce(AnnounceEvent::Started);
    // Compact entries have no id, so none is mistaken for our own.
    session.id.clear();
    tracker.OnResponse(Answer("5:peers6:\x01\x02\x03\x04\x1a\xe1"
                              "10:done peersi3e9:num peersi4294967301e"));
    EXPECT_EQ(session.peers, std::vector<std::string>{" 1.2.3.4:6881"});
    EXPECT_EQ(session.counts, (std::vector<int32_t>{3, 5}));
    EXPECT_EQ(session.successes, 1);
    session.id = kOwnId;
    session.peers.clear();

    tracker.OnResponse(Answer("5:peersl" + Peer("1.2.3.4", "6881", kOwnId) +
                              Peer("1.2.3.5", "4294974177", id) +  // low 32 bits: 6881
                              Peer("1.2.3.6", "0", id) + Peer("1.2.3.6", "65536", id) +
                              Peer("1.2.3.6", "-6881", id) + Peer("host.example", "1", id) +
                              Peer("1.2.3.256", "1", id) + Peer("01.2.3.4", "1", id) +
                              Peer("1.2.3", "1", id) + Peer("1.2.3.4.", "1", id) +
                              Peer("1.2.3.6", "1", id + "x") + Peer("255.0.0.1", "65535", id) +
                              "d2:ip7:1.2.3.74:porti1ee" + Peer("1.2.3.8", "1", id) + "e"));
    EXPECT_EQ(session.peers,
              (std::vector<std::string>{id + " 1.2.3.5:6881", id + " 255.0.0.1:65535"}));
    EXPECT_EQ(session.counts, (std::vector<int32_t>{0, 0}));

    std::string many;
    for (int i = 0; i < 250; ++i)
        many += Peer("10.0.0.1", std::to_string(i + 1), id);
    const TrackerAnswer answer = ReadTrackerAnswer(Answer("5:peersl" + many + "e"));
    ASSERT_EQ(answer.peers.size(), 200u);
    EXPECT_EQ(answer.peers.back().port, 200);
}

// The cap of 200 per answer is kept by the fuzz replay's compact_over_cap sample.
TEST_F(TrackerClientTest, CompactPeersAndSwarmCounts) {
    // Port 0 and the partial entry at the end are dropped; "peers6" is not read.
    const std::string peers =
        Compact({{0x7F000001, 6881}, {0x0A000002, 0}, {0xFFFFFFFF, 65535}}) + "\x01\x02\x03";
    TrackerAnswer answer =
        ReadTrackerAnswer(Answer("5:peers" + Str(peers) + "6:peers6" + Str(std::string(18, '\1')) +
                                 "8:completei99999999999e10:incompletei-2e"));
    std::vector<std::string> listed;
    for (const TrackerPeer& peer : answer.peers)
        listed.push_back(peer.peerId + " " + peer.address + ":" + std::to_string(peer.port));
    EXPECT_EQ(listed, (std::vector<std::string>{" 127.0.0.1:6881", " 255.255.255.255:65535"}));
    EXPECT_EQ(answer.donePeers, 2147483647);
    EXPECT_EQ(answer.numPeers, 0);
    // The older names win over the newer ones.
    answer = ReadTrackerAnswer(Answer("8:completei1e10:done peersi2e10:incompletei3e"));
    EXPECT_EQ(answer.donePeers, 2);
    EXPECT_EQ(answer.numPeers, 3);
}

TEST_F(TrackerClientTest, StopAnnounceInFlightUntilItReports) {
    EXPECT_FALSE(tracker.StopAnnounceInFlight());
    tracker.Announce(AnnounceEvent::Started);
    EXPECT_FALSE(tracker.StopAnnounceInFlight());
    ASSERT_TRUE(tracker.Announce(AnnounceEvent::Stopped));
    EXPECT_TRUE(tracker.StopAnnounceInFlight());
    ASSERT_TRUE(RunUntil([&] { return tracker.RetryCount() == 1; }));  // refused
    EXPECT_FALSE(tracker.StopAnnounceInFlight());
    // The retry carries the stop again.
    ASSERT_TRUE(timer.active);
    timer.tick();
    EXPECT_TRUE(tracker.StopAnnounceInFlight());
    tracker.OnResponse("");
    EXPECT_FALSE(tracker.StopAnnounceInFlight());

    // Replaced by another announce, the stop is abandoned.
    tracker.Announce(AnnounceEvent::Stopped);
    tracker.Announce(AnnounceEvent::Started);
    EXPECT_FALSE(tracker.StopAnnounceInFlight());
    // A stop that cannot even start is not waited for, and the status says why.
    session.url = "udp://127.0.0.1:1/announce";
    EXPECT_FALSE(tracker.Announce(AnnounceEvent::Stopped));
    EXPECT_FALSE(tracker.StopAnnounceInFlight());
    EXPECT_EQ(session.statuses.back(), "Error: can only use URLs beginning with http://");
}

// The real HTTP client against the scripted tracker.
class TrackerClientServerTest : public TrackerClientTest {
protected:
    static void SetUpTestSuite() {
        s_dir = std::make_unique<test::TempDir>();
        s_server = std::make_unique<test::ScriptedHttpServer>();
        ASSERT_TRUE(s_server->Start(*s_dir / "requests.log"));
    }
    static void TearDownTestSuite() {
        s_server.reset();
        s_dir.reset();
    }

    static inline std::unique_ptr<test::TempDir> s_dir;
    static inline std::unique_ptr<test::ScriptedHttpServer> s_server;
};

TEST_F(TrackerClientServerTest, FailedRedirectsAreRetried) {
    const std::string base = "Tracker Response Failed (will retry No. 1 in 10s), Reason: ";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/https",
         "Tracker redirected to an https:// URL, which is not supported: https://127.0.0.1:" +
             std::to_string(s_server->Port("http")) + "/ok"},
        {"/loop", "Tracker redirected more than 5 times, last to: " + s_server->Url("/loop")},
    };
    for (const auto& [path, reason] : cases) {
        session.url = s_server->Url(path);
        ASSERT_TRUE(tracker.Announce(AnnounceEvent::Started));
        ASSERT_TRUE(RunUntil([&] { return tracker.RetryCount() > 0; })) << path;
        EXPECT_EQ(session.statuses.back(), base + reason);
        EXPECT_TRUE(timer.active) << path;
        EXPECT_EQ(timer.periodMs, 60000u) << path;
    }
}

TEST_F(TrackerClientServerTest, StopAnnounceInFlightUntilTheTrackerAnswers) {
    session.url = s_server->Url("/length");
    tracker.Announce(AnnounceEvent::Started);
    ASSERT_TRUE(tracker.Announce(AnnounceEvent::Stopped));
    EXPECT_TRUE(tracker.StopAnnounceInFlight());
    ASSERT_TRUE(RunUntil([&] { return !tracker.StopAnnounceInFlight(); }));
    EXPECT_EQ(session.statuses.back(), "Tracker Connected.");
    EXPECT_EQ(tracker.RetryCount(), 0);
}

TEST_F(TrackerClientTest, DecodeCostIsBounded) {
    // Every list element would carry a copy of the long key above it.
    const std::string bomb = "d100000:" + std::string(100000, 'k') + "l";
    std::string elements;
    for (int i = 0; i < 100000; ++i)
        elements += "0:";
    EXPECT_FALSE(ReadTrackerAnswer(bomb + elements + "ee").decoded);

    // Each nested "info" value is hashed again.
    std::string info = "d1:x" + Str(std::string(200000, 'x')) + "e";
    for (int i = 0; i < 500; ++i)
        info = "d4:info" + info + "e";
    EXPECT_FALSE(ReadTrackerAnswer(info).decoded);

    std::string swarm;
    for (int i = 0; i < 20000; ++i)
        swarm += Peer("10.0.0.1", "1", std::string(20, 'p'));
    EXPECT_EQ(ReadTrackerAnswer(Answer("5:peersl" + swarm + "e")).peers.size(), 200u);
}

}  // namespace
}  // namespace velbrook
