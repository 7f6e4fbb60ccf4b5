#include "tracker/TrackerClient.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <random>
#include <utility>

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

}  // namespace

// One scrape over HTTP: its answer only ever refreshes the counts; a failure changes nothing.
class ScrapeRequest : public HttpOwner {
public:
    ScrapeRequest(TrackerTier& tier, Clock& clock, const AnnounceSettings& settings,
                  std::string infoHash)
        : m_tier(tier), m_infoHash(std::move(infoHash)),
          m_client(std::make_unique<HttpClient>(*this, clock, settings.proxy,
                                                settings.checkCertificates)) {}
    ~ScrapeRequest() override { Reactor::DeleteLater(std::move(m_client)); }
    bool Start(const std::string& url) {
        std::string error;
        return m_client->Start(url, error);
    }
    void OnResponse(const std::string& body) override {
        m_tier.OnScrape(ReadScrapeAnswer(body, m_infoHash));
    }
    void OnFailure(const std::string& /*reason*/, bool /*noRetry*/) override {}
    void OnFatal(const std::string& /*reason*/) override {}

private:
    TrackerTier& m_tier;
    const std::string m_infoHash;
    std::unique_ptr<HttpClient> m_client;
};

TrackerClient::TrackerClient(TrackerSessionLink& session, Clock& clock, AnnounceSettings settings,
                             const AnnounceTiers& tiers, UdpTrackerService* udp, Random random)
    : m_session(session), m_clock(clock), m_settings(std::move(settings)), m_udp(udp) {
    if (!random) {
        random = [engine = std::mt19937(std::random_device{}())]() mutable {
            return static_cast<uint32_t>(engine());
        };
    }
    m_key = random();
    for (const auto& urls : tiers) {
        if (urls.empty()) {
            continue;
        }
        std::vector<std::string> shuffled = urls;
        for (size_t i = shuffled.size() - 1; i > 0; --i) {
            std::swap(shuffled[i], shuffled[random() % (i + 1)]);
        }
        m_tiers.push_back(std::make_unique<TrackerTier>(*this, std::move(shuffled)));
    }
}

// Nothing of the clients' or the timers' can be running now (the session may not destroy this
// from inside one of its reports either), so all go at once.
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

bool TrackerClient::Announce(AnnounceEvent event) {
    bool started = false;
    for (const auto& tier : m_tiers) {
        started = tier->Announce(event) || started;
    }
    return started;
}

bool TrackerClient::StopAnnounceInFlight() const {
    return std::any_of(m_tiers.begin(), m_tiers.end(),
                       [](const auto& tier) { return tier->StopAnnounceInFlight(); });
}

void TrackerClient::OnTierStatus(const TrackerTier& tier) {
    for (const auto& each : m_tiers) {
        if (each->Answered()) {
            m_session.SetStatusText(each->Status());
            return;
        }
    }
    m_session.SetStatusText(tier.Status());
}

void TrackerClient::OnTierCounts() {
    int32_t seeds = 0;
    int32_t peers = 0;
    for (const auto& tier : m_tiers) {
        if (tier->Answered()) {
            seeds = std::max(seeds, tier->Seeds());
            peers = std::max(peers, tier->Peers());
        }
    }
    m_session.SetTrackerCounts(seeds, peers);
}

TrackerTier::TrackerTier(TrackerClient& client, std::vector<std::string> urls)
    : m_owner(client), m_urls(std::move(urls)) {}

TrackerTier::~TrackerTier() {
    if (m_udpRequest != 0) {
        m_owner.m_udp->Cancel(m_udpRequest);
    }
    StopScraping();
}

void TrackerTier::Scrape() {
    const TrackerSessionLink& session = m_owner.m_session;
    // The one before has had half an hour; it is given up.
    m_scrape.reset();
    if (m_udpScrape != 0) {
        m_owner.m_udp->Cancel(m_udpScrape);
        m_udpScrape = 0;
    }
    if (StartsWithNoCase(Url(), "udp://")) {
        if (m_owner.m_udp) {
            m_udpScrape = m_owner.m_udp->Scrape(
                Url(), session.InfoHash(),
                [this](const std::string& failure, const ScrapeAnswer& answer) {
                    m_udpScrape = 0;
                    if (failure.empty()) {
                        OnScrape(answer);
                    }
                });
        }
        return;
    }
    std::string url = ScrapeUrlFor(Url());
    if (url.empty()) {
        return;  // this tracker offers none
    }
    url += url.find('?') == std::string::npos ? "?" : "&";
    url += "info_hash=" + TrackerClient::Escape(session.InfoHash());
    m_scrape = std::make_unique<ScrapeRequest>(*this, m_owner.m_clock, m_owner.m_settings,
                                               session.InfoHash());
    if (!m_scrape->Start(url)) {
        m_scrape.reset();
    }
}

void TrackerTier::OnScrape(const ScrapeAnswer& answer) {
    if (!answer.decoded || answer.hasFailure || !answer.found) {
        return;
    }
    m_seeds = answer.complete;
    m_peers = answer.incomplete;
    m_owner.OnTierCounts();
}

void TrackerTier::StopScraping() {
    m_scrapeTimer.Stop();
    m_scrape.reset();
    if (m_udpScrape != 0) {
        m_owner.m_udp->Cancel(m_udpScrape);
        m_udpScrape = 0;
    }
}

std::string TrackerTier::BuildAnnounceUrl() const {
    const TrackerSessionLink& session = m_owner.m_session;
    std::string url = Url();
    // A URL that carries its own query (a private tracker's key) keeps it as the first parameter.
    if (url.find('?') == std::string::npos) {
        url += '?';
    } else if (url.back() != '?' && url.back() != '&') {
        url += '&';
    }
    url += "info_hash=" + TrackerClient::Escape(session.InfoHash());
    url += "&peer_id=" + TrackerClient::Escape(session.OwnPeerId());
    const std::string& reportIp = m_owner.m_settings.reportIp;
    if (!reportIp.empty() && !IsLoopbackAddress(reportIp)) {
        url += "&ip=" + reportIp;
    }
    if (!m_owner.m_settings.ipv6.empty()) {
        url += "&ipv6=" + TrackerClient::Escape(m_owner.m_settings.ipv6);
    }
    url += "&port=" + std::to_string(session.ListenPort());
    url += "&uploaded=" + std::to_string(session.Uploaded());
    url += "&downloaded=" + std::to_string(session.Downloaded());
    url += "&left=" + std::to_string(session.Left());
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

bool TrackerTier::Announce(AnnounceEvent event) {
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
    if (event == AnnounceEvent::Stopped) {
        StopScraping();
    }
    SetStatus(kConnectingText);
    // A request still connecting carries the previous event; this one must reach the tracker
    // (a stop or completion would otherwise be lost), so it replaces that request.
    RetireClient();
    if (!Connect()) {
        Schedule(-1);
        return false;
    }
    return true;
}

bool TrackerTier::Connect() {
    if (m_udpRequest != 0 ||
        (m_client && (m_client->State() == HttpClientState::Connecting ||
                      m_client->State() == HttpClientState::ProxyConnecting))) {
        return false;
    }
    for (;;) {
        if (StartRequest()) {
            return true;
        }
        // A stop goes to the tracker that knows us, or to nobody.
        if (m_event == AnnounceEvent::Stopped || m_index + 1 >= m_urls.size()) {
            m_index = 0;
            return false;
        }
        ++m_index;
    }
}

bool TrackerTier::StartRequest() {
    SetStatus(kConnectingText);
    RetireClient();
    if (StartsWithNoCase(Url(), "udp://")) {
        return StartUdpRequest();
    }
    m_client = std::make_unique<HttpClient>(*this, m_owner.m_clock, m_owner.m_settings.proxy,
                                            m_owner.m_settings.checkCertificates);
    const bool started = m_client->Start(BuildAnnounceUrl(), m_lastReason);
    m_stopInFlight = started && m_event == AnnounceEvent::Stopped;
    if (!started) {
        // Nothing went out, so nothing will answer: the status says why instead of waiting.
        SetStatus(m_lastReason);
    }
    return started;
}

bool TrackerTier::StartUdpRequest() {
    const TrackerSessionLink& session = m_owner.m_session;
    if (!m_owner.m_udp) {
        m_lastReason = "Can't Connect Tracker: " + Url() + " (no UDP service)";
        SetStatus(m_lastReason);
        return false;
    }
    UdpAnnounce request;
    request.infoHash = session.InfoHash();
    request.peerId = session.OwnPeerId();
    request.downloaded = session.Downloaded();
    request.left = session.Left();
    request.uploaded = session.Uploaded();
    request.key = m_owner.m_key;
    request.port = session.ListenPort();
    switch (m_event) {
    case AnnounceEvent::Started:
        request.event = UdpEvent::Started;
        break;
    case AnnounceEvent::Completed:
        request.event = UdpEvent::Completed;
        break;
    case AnnounceEvent::Stopped:
        // Its answer would not be read: the stop goes out as soon as a connection id allows, and
        // the tier is done with it at once.
        request.event = UdpEvent::Stopped;
        m_owner.m_udp->SendStopped(Url(), request);
        m_event = AnnounceEvent::None;
        m_timer.Stop();
        StopScraping();
        SetStatus("Tracker Connected.");
        return true;
    case AnnounceEvent::None:
        break;
    }
    m_udpRequest = m_owner.m_udp->Announce(
        Url(), request, [this](const std::string& failure, const TrackerAnswer& answer) {
            m_udpRequest = 0;
            OnUdpReport(failure, answer);
        });
    return true;
}

void TrackerTier::OnUdpReport(const std::string& failure, const TrackerAnswer& answer) {
    if (!failure.empty()) {
        OnFailure(failure, false);
        return;
    }
    SetStatus("Tracker Connected.");
    HandleAnswer(answer);
    if (m_deferred != AnnounceEvent::None) {
        Announce(m_deferred);
    }
}

void TrackerTier::Schedule(int32_t seconds) {
    if (seconds == -1) {
        m_timer.Stop();
        return;
    }
    if (m_timer.IsActive() && seconds == m_timerPeriod) {
        return;
    }
    m_timerPeriod = seconds;
    const int32_t clamped = std::clamp(seconds, kMinTimerSeconds, kMaxTimerSeconds);
    m_timer = m_owner.m_clock.Every(std::chrono::seconds(clamped), [this] { OnTick(); });
}

void TrackerTier::OnTick() {
    Connect();
}

void TrackerTier::SetStatus(const std::string& text) {
    m_status = text;
    m_owner.OnTierStatus(*this);
}

void TrackerTier::OnFailure(const std::string& reason, bool noRetry) {
    m_stopInFlight = false;
    if (m_deferred != AnnounceEvent::None) {
        Announce(m_deferred);  // the stop had its chance; the torrent runs again
        return;
    }
    Fail(reason, noRetry);
}

void TrackerTier::OnFatal(const std::string& reason) {
    OnFailure(reason, true);
}

void TrackerTier::Fail(const std::string& reason, bool noRetry) {
    m_lastReason = reason;
    m_answered = false;
    // The tier's next URL may answer where this one did not: it is asked now, and the back-off
    // counts only a tier that failed as a whole.
    if (m_event != AnnounceEvent::Stopped && m_index + 1 < m_urls.size()) {
        ++m_index;
        if (Connect()) {
            return;
        }
        m_lastReason = reason;
    }
    m_index = 0;
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
    SetStatus(head + reason);
}

void TrackerTier::OnResponse(const std::string& body) {
    m_stopInFlight = false;
    HandleResponse(body);
    if (m_deferred != AnnounceEvent::None) {
        Announce(m_deferred);
    }
}

void TrackerTier::HandleResponse(const std::string& body) {
    SetStatus("Tracker Connected.");
    if (m_event == AnnounceEvent::Stopped) {
        m_event = AnnounceEvent::None;
        m_timer.Stop();
        StopScraping();
        return;
    }
    HandleAnswer(ReadTrackerAnswer(body));
}

void TrackerTier::HandleAnswer(const TrackerAnswer& answer) {
    TrackerSessionLink& session = m_owner.m_session;
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
    // The URL that answered is the one to ask first from now on.
    std::rotate(m_urls.begin(), m_urls.begin() + static_cast<std::ptrdiff_t>(m_index),
                m_urls.begin() + static_cast<std::ptrdiff_t>(m_index) + 1);
    m_index = 0;
    // Negative values must not read as "no timer" (-1); the timer clamps the rest anyway.
    const int64_t interval =
        std::clamp<int64_t>(answer.interval, 0, std::numeric_limits<int32_t>::max());
    Schedule(static_cast<int32_t>(interval));
    m_answered = true;
    SetStatus("Tracker Response OK");
    m_retryCount = 0;
    m_event = AnnounceEvent::None;
    const std::string& ownId = session.OwnPeerId();
    for (const TrackerPeer& peer : answer.peers) {
        // A compact entry carries no id to recognise ourselves by.
        if (peer.peerId.empty() || peer.peerId != ownId) {
            session.AddTrackerPeer(peer.peerId, peer.address, peer.port);
        }
    }
    m_seeds = answer.donePeers;
    m_peers = answer.numPeers;
    m_owner.OnTierCounts();
    if (!m_scrapeTimer.IsActive()) {
        m_scrapeTimer = m_owner.m_clock.Every(kScrapePeriod, [this] { Scrape(); });
    }
    session.OnTrackerSuccess();
}

// The old client may be the one whose report is running right now (the session can announce from
// inside it): it goes through the reactor's DeleteLater. A client that has not reported yet never
// will: it is destroyed before the loop dispatches again. The timer may be stopped from its own
// tick.
void TrackerTier::RetireClient() {
    m_stopInFlight = false;
    Reactor::DeleteLater(std::move(m_client));
    if (m_udpRequest != 0) {
        m_owner.m_udp->Cancel(m_udpRequest);
        m_udpRequest = 0;
    }
}

}  // namespace velbrook
