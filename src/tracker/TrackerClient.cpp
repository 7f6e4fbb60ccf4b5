#include "tracker/TrackerClient.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <utility>

#include "metainfo/KeyPathMap.h"
#include "net/Address.h"
#include "net/Reactor.h"

namespace velbrook {

namespace {

constexpr const char* kConnectingText = "Connecting Tracker,waiting for response";

// Seconds before retry N (1-based); from the 20th failure on there is no retry.
constexpr int32_t kRetryDelays[] = {10,  20,  30,  40,  50,  60,  70,  80,  90, 100,
                                    110, 120, 130, 140, 150, 300, 300, 300, 300};
constexpr int32_t kMaxRetries = 20;
// A stopping torrent is not kept alive for long by an unreachable tracker.
constexpr int32_t kMaxStoppedRetries = 3;

constexpr int32_t kMinTimerSeconds = 60;
constexpr int32_t kMaxTimerSeconds = 300;

// A tracker that lists a huge swarm must not make us open that many connections.
constexpr size_t kMaxAnswerPeers = 200;

// A loopback address in the announce would send other peers back to themselves; left out, the
// tracker takes the address the announce came from. The host name usually resolves to one
// (127.0.1.1) through /etc/hosts.
bool IsLoopbackAddress(std::string_view text) {
    constexpr std::string_view kLocalhost = "localhost";
    if (text.size() == kLocalhost.size() && StartsWithNoCase(text, kLocalhost)) {
        return true;
    }
    return text == "::1" || text == "[::1]" || (text.substr(0, 4) == "127." && IsDottedIPv4(text));
}

std::string PeerKey(size_t index, const char* field) {
    return "peers-" + std::to_string(index) + "-" + field;
}

// Six bytes a peer: the IPv4 address, then the port, both in network order. A partial entry at
// the end is ignored, and so is port 0, which nobody can connect to.
void ReadCompactPeers(std::string_view bytes, std::vector<TrackerPeer>& peers) {
    constexpr size_t kEntry = 6;
    for (size_t at = 0; at + kEntry <= bytes.size() && peers.size() < kMaxAnswerPeers;
         at += kEntry) {
        auto byte = [&bytes, at](size_t i) { return static_cast<unsigned char>(bytes[at + i]); };
        const auto port = static_cast<uint16_t>(byte(4) << 8 | byte(5));
        if (port == 0) {
            continue;
        }
        TrackerPeer peer{};
        peer.address = std::to_string(byte(0)) + "." + std::to_string(byte(1)) + "." +
                       std::to_string(byte(2)) + "." + std::to_string(byte(3));
        peer.port = port;
        peers.push_back(std::move(peer));
    }
}

// A swarm count as a non-negative int32, however large or negative the tracker's number; 0 when
// it sent none.
int32_t ReadCount(const KeyPathMap& map, std::string_view key) {
    int64_t value = 0;
    if (!map.GetInteger(key, value)) {
        return 0;
    }
    return static_cast<int32_t>(std::clamp<int64_t>(value, 0, std::numeric_limits<int32_t>::max()));
}

}  // namespace

TrackerClient::TrackerClient(TrackerSessionLink& session, Clock& clock, AnnounceSettings settings)
    : m_session(session), m_settings(std::move(settings)), m_clock(clock) {}

// Nothing of the client's or the timer's can be running now (the session may not destroy this
// from inside one of its reports either), so both go at once.
TrackerClient::~TrackerClient() = default;

std::string TrackerClient::Escape(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (const char c : bytes) {
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
            out += c;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
    return out;
}

std::string TrackerClient::BuildAnnounceUrl() const {
    std::string url = m_session.AnnounceUrl();
    // A URL that carries its own query (a private tracker's key) keeps it as the first parameter.
    if (url.find('?') == std::string::npos) {
        url += '?';
    } else if (url.back() != '?' && url.back() != '&') {
        url += '&';
    }
    url += "info_hash=" + Escape(m_session.InfoHash());
    url += "&peer_id=" + Escape(m_session.OwnPeerId());
    const std::string& reportIp = m_settings.reportIp;
    if (!reportIp.empty() && !IsLoopbackAddress(reportIp)) {
        url += "&ip=" + reportIp;
    }
    url += "&port=" + std::to_string(m_session.ListenPort());
    url += "&uploaded=" + std::to_string(m_session.Uploaded());
    url += "&downloaded=" + std::to_string(m_session.Downloaded());
    url += "&left=" + std::to_string(m_session.Left());
    switch (m_event) {
    case AnnounceEvent::Started:
        url += "&event=started";
        break;
    case AnnounceEvent::Stopped:
        url += "&event=stopped";
        break;
    case AnnounceEvent::Completed:
        url += "&event=completed";
        break;
    case AnnounceEvent::None:
        break;
    }
    // Many trackers answer only in the compact form, and refuse a client that does not ask for it.
    url += "&compact=1";
    return url;
}

bool TrackerClient::Announce(AnnounceEvent event) {
    if (m_stopInFlight && event != AnnounceEvent::Stopped) {
        // A torrent stopped and started again at once (moved to another folder, or Stop and
        // Start in a row): the tracker hears that we left before it hears that we are back. The
        // start would otherwise replace a stop not yet sent, and the tracker would count the
        // torrent's old totals twice.
        m_deferred = event;
        return true;
    }
    m_deferred = AnnounceEvent::None;
    m_retryCount = 0;
    m_event = event;
    m_session.SetStatusText(kConnectingText);
    // A request still connecting carries the previous event; this one must reach the tracker
    // (a stop or completion would otherwise be lost), so it replaces that request.
    RetireClient();
    if (!Connect()) {
        Schedule(-1);
        return false;
    }
    return true;
}

bool TrackerClient::Connect() {
    if (m_client && (m_client->State() == HttpClientState::Connecting ||
                     m_client->State() == HttpClientState::ProxyConnecting)) {
        return false;
    }
    m_session.SetStatusText(kConnectingText);
    RetireClient();
    m_client = std::make_unique<HttpClient>(*this, m_clock, m_settings.proxy,
                                            m_settings.checkCertificates);
    const bool started = m_client->Start(BuildAnnounceUrl(), m_lastReason);
    m_stopInFlight = started && m_event == AnnounceEvent::Stopped;
    if (!started) {
        // Nothing went out, so nothing will answer: the status says why instead of waiting.
        m_session.SetStatusText(m_lastReason);
    }
    return started;
}

void TrackerClient::Schedule(int32_t seconds) {
    if (seconds == -1) {
        DestroyTimer();
        return;
    }
    if (m_timer.IsActive() && seconds == m_timerPeriod) {
        return;
    }
    m_timerPeriod = seconds;
    const int32_t clamped = std::clamp(seconds, kMinTimerSeconds, kMaxTimerSeconds);
    m_timer = m_clock.Every(std::chrono::seconds(clamped), [this] { OnTick(); });
}

void TrackerClient::OnTick() {
    Connect();
}

void TrackerClient::OnFailure(const std::string& reason, bool noRetry) {
    m_stopInFlight = false;
    if (m_deferred != AnnounceEvent::None) {
        Announce(m_deferred);  // the stop had its chance; the torrent runs again
        return;
    }
    Fail(reason, noRetry);
}

void TrackerClient::OnFatal(const std::string& reason) {
    OnFailure(reason, true);
}

void TrackerClient::Fail(const std::string& reason, bool noRetry) {
    m_lastReason = reason;
    if (m_retryCount < std::numeric_limits<int32_t>::max()) {
        ++m_retryCount;
    }
    int32_t delay = -1;
    const bool stopping = m_event == AnnounceEvent::Stopped && m_retryCount >= kMaxStoppedRetries;
    if (!noRetry && m_retryCount < kMaxRetries && !stopping) {
        delay = kRetryDelays[m_retryCount - 1];
    }
    Schedule(delay);
    // The timer never runs faster than once a minute: the person is told when the retry
    // really comes.
    const int32_t real = delay < 0 ? -1 : std::clamp(delay, kMinTimerSeconds, kMaxTimerSeconds);
    char head[96];
    std::snprintf(head, sizeof head, "Tracker Response Failed (will retry No. %d in %ds), Reason: ",
                  static_cast<int>(m_retryCount), static_cast<int>(real));
    m_session.SetStatusText(head + reason);
}

void TrackerClient::OnResponse(const std::string& body) {
    m_stopInFlight = false;
    HandleResponse(body);
    if (m_deferred != AnnounceEvent::None) {
        Announce(m_deferred);
    }
}

void TrackerClient::HandleResponse(const std::string& body) {
    m_session.SetStatusText("Tracker Connected.");
    if (m_event == AnnounceEvent::Stopped) {
        m_event = AnnounceEvent::None;
        DestroyTimer();
        return;
    }
    const TrackerAnswer answer = ReadTrackerAnswer(body);
    if (!answer.decoded) {
        Fail("Tracker Response Decoding Failed.", false);
        return;
    }
    if (answer.hasFailure) {
        // The tracker refused us in so many words; asking again on a timer will not change that,
        // and the status says so rather than promising a retry.
        Fail("Tracker Response Error, it said:" + answer.failureReason, true);
        return;
    }
    if (!answer.hasInterval) {
        Fail("Can't find 'Interval' in tracker Response", false);
        return;
    }
    // Negative values must not read as "no timer" (-1); the timer clamps the rest anyway.
    const int64_t interval =
        std::clamp<int64_t>(answer.interval, 0, std::numeric_limits<int32_t>::max());
    Schedule(static_cast<int32_t>(interval));
    m_session.SetStatusText("Tracker Response OK");
    m_retryCount = 0;
    m_event = AnnounceEvent::None;
    const std::string& ownId = m_session.OwnPeerId();
    for (const TrackerPeer& peer : answer.peers) {
        // A compact entry carries no id to recognise ourselves by.
        if (peer.peerId.empty() || peer.peerId != ownId) {
            m_session.AddTrackerPeer(peer.peerId, peer.address, peer.port);
        }
    }
    m_session.SetTrackerCounts(answer.donePeers, answer.numPeers);
    m_session.OnTrackerSuccess();
}

// The old client may be the one whose report is running right now (the session can announce from
// inside it): it goes through the reactor's DeleteLater. A client that has not reported yet never
// will: it is destroyed before the loop dispatches again. The timer may be stopped from its own
// tick.
void TrackerClient::RetireClient() {
    m_stopInFlight = false;
    Reactor::DeleteLater(std::move(m_client));
}

void TrackerClient::DestroyTimer() {
    m_timer.Stop();
}

TrackerAnswer ReadTrackerAnswer(std::string_view body) {
    TrackerAnswer answer;
    KeyPathMap map;
    if (!map.Decode(body)) {
        return answer;
    }
    answer.decoded = true;
    answer.hasFailure = map.GetString("failure reason", answer.failureReason);
    answer.hasInterval = map.GetInteger("interval", answer.interval);
    std::string compact;
    if (map.GetString("peers", compact)) {
        ReadCompactPeers(compact, answer.peers);
    }
    for (size_t index = 0; answer.peers.size() < kMaxAnswerPeers; ++index) {
        TrackerPeer peer{};
        int32_t port = 0;
        if (!map.GetString(PeerKey(index, "ip"), peer.address) ||
            !map.GetInt32(PeerKey(index, "port"), port) ||
            !map.GetString(PeerKey(index, "peer id"), peer.peerId)) {
            break;
        }
        if (port < 1 || port > 65535 || peer.peerId.size() != 20 || !IsDottedIPv4(peer.address)) {
            continue;
        }
        peer.port = static_cast<uint16_t>(port);
        answer.peers.push_back(std::move(peer));
    }
    if (!map.GetInt32("done peers", answer.donePeers)) {
        answer.donePeers = ReadCount(map, "complete");
    }
    if (!map.GetInt32("num peers", answer.numPeers)) {
        answer.numPeers = ReadCount(map, "incomplete");
    }
    return answer;
}

}  // namespace velbrook
