// A torrent's announces to its trackers, tier by tier: events, each tier's re-announce timer and
// back-off table, moving on to a tier's next URL when one fails, and reading the answer's
// interval, peer list (compact or dictionary) and swarm counts.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "metainfo/Trackers.h"
#include "tracker/HttpClient.h"
#include "tracker/TrackerAnswer.h"
#include "tracker/UdpTrackerService.h"

namespace velbrook {

enum class AnnounceEvent { None = 0, Started = 1, Stopped = 2, Completed = 3 };

// What the tracker client needs from its torrent session.
class TrackerSessionLink {
public:
    virtual ~TrackerSessionLink() = default;
    virtual const std::string& InfoHash() const = 0;
    virtual const std::string& OwnPeerId() const = 0;
    virtual uint16_t ListenPort() const = 0;
    virtual uint64_t Uploaded() const = 0;
    virtual uint64_t Downloaded() const = 0;
    virtual uint64_t Left() const = 0;
    virtual void SetStatusText(const std::string& text) = 0;  // also marks the session changed
    virtual void SetTrackerCounts(int32_t seeds, int32_t peers) = 0;
    // A listed peer: found by peer id or created (address, port, port as listen port), then
    // connected. A peer from a compact list comes with an empty id.
    virtual void AddTrackerPeer(const std::string& peerId, const std::string& address,
                                uint16_t port) = 0;
    virtual void OnTrackerSuccess() = 0;
};

// What the person's options say about every announce: handed to a tracker client when it is made
// and again whenever they change. A request already under way keeps the proxy it started with.
struct AnnounceSettings {
    // The address to tell the tracker; empty (or a loopback address) lets the tracker take the
    // one the announce comes from.
    std::string reportIp{};
    // The host's global IPv6 address, told to the tracker beside the address it sees; empty
    // when the host has none.
    std::string ipv6{};
    ProxyConfig proxy{};
    // False takes any certificate from an https:// tracker.
    bool checkCertificates = true;
    bool operator==(const AnnounceSettings&) const = default;
};

class TrackerClient;
class ScrapeRequest;

// One tier: URLs that stand in for each other. One of them is in use; when it fails the next is
// tried at once, and only when the whole tier has failed does the back-off table count a failure.
// A URL that answers moves to the front.
class TrackerTier : public HttpOwner {
public:
    // Between announces the swarm counts are refreshed from the tracker's scrape this often.
    static constexpr Duration kScrapePeriod = std::chrono::minutes(30);

    TrackerTier(TrackerClient& client, std::vector<std::string> urls);
    ~TrackerTier() override;

    // Sends `event` now, replacing a request still in flight; but while a stop is on its way,
    // any other event waits until the stop has reported. False when no request could start:
    // the session's status then gives the reason, and no retry is scheduled.
    bool Announce(AnnounceEvent event);
    // Starts a request unless one is still connecting (or a UDP one is waiting for its reply).
    // False when none started; one that could not start leaves its reason in the status.
    bool Connect();
    void Schedule(int32_t seconds);
    // The announce to the URL in use.
    std::string BuildAnnounceUrl() const;

    void OnResponse(const std::string& body) override;
    void OnFailure(const std::string& reason, bool noRetry) override;
    void OnFatal(const std::string& reason) override;

    const std::vector<std::string>& Urls() const { return m_urls; }
    const std::string& Url() const { return m_urls[m_index]; }
    const std::string& Status() const { return m_status; }
    // The last request of this tier was answered well.
    bool Answered() const { return m_answered; }
    int32_t Seeds() const { return m_seeds; }
    int32_t Peers() const { return m_peers; }
    AnnounceEvent Event() const { return m_event; }
    int32_t RetryCount() const { return m_retryCount; }
    int32_t TimerPeriod() const { return m_timerPeriod; }
    bool TimerActive() const { return m_timer.IsActive(); }
    const std::string& LastReason() const { return m_lastReason; }
    HttpClient* Client() const { return m_client.get(); }
    // A UDP request is waiting for its reply.
    bool UdpRequestInFlight() const { return m_udpRequest != 0; }
    // From the start of an announce with the Stopped event until that request has reported or
    // been abandoned, so that shutting down can wait a moment for the tracker to hear of it.
    bool StopAnnounceInFlight() const { return m_stopInFlight; }

private:
    TrackerClient& m_owner;
    std::vector<std::string> m_urls;
    size_t m_index = 0;  // the URL in use
    AnnounceEvent m_event = AnnounceEvent::None;
    std::string m_lastReason;
    std::string m_status;
    bool m_answered = false;
    int32_t m_seeds = 0;
    int32_t m_peers = 0;
    std::unique_ptr<HttpClient> m_client;
    uint64_t m_udpRequest = 0;  // the UDP service's handle
    Timer m_timer;
    // From the first good answer until the tier stops.
    Timer m_scrapeTimer;
    std::unique_ptr<ScrapeRequest> m_scrape;
    uint64_t m_udpScrape = 0;
    int32_t m_retryCount = 0;
    int32_t m_timerPeriod = -1;
    bool m_stopInFlight = false;
    // An announce asked for while a stop was on its way: sent once the stop has reported.
    AnnounceEvent m_deferred = AnnounceEvent::None;

    bool StartRequest();
    bool StartUdpRequest();
    void OnUdpReport(const std::string& failure, const TrackerAnswer& answer);
    friend class ScrapeRequest;
    void Scrape();
    void OnScrape(const ScrapeAnswer& answer);
    void StopScraping();
    void OnTick();
    void SetStatus(const std::string& text);
    void Fail(const std::string& reason, bool noRetry);
    void HandleResponse(const std::string& body);
    void HandleAnswer(const TrackerAnswer& answer);
    // Let the client go (it may be running the call that got here), and any UDP request.
    void RetireClient();
};

class TrackerClient {
public:
    // Draws the shuffle of each tier's URLs.
    using Random = std::function<uint32_t()>;

    // Each tier's URLs are shuffled once, here; the order then changes only when a URL answers.
    // The re-announce timers and the requests' time limits run on `clock`. udp:// trackers are
    // asked through `udp`, the program's one service; without it they cannot be reached.
    TrackerClient(TrackerSessionLink& session, Clock& clock, AnnounceSettings settings,
                  const AnnounceTiers& tiers, UdpTrackerService* udp = nullptr, Random random = {});
    ~TrackerClient();
    TrackerClient(const TrackerClient&) = delete;
    TrackerClient& operator=(const TrackerClient&) = delete;

    // From the next request on.
    void SetAnnounceSettings(AnnounceSettings settings) { m_settings = std::move(settings); }
    const AnnounceSettings& GetAnnounceSettings() const { return m_settings; }

    // To every tier at once. False when no tier could start a request.
    bool Announce(AnnounceEvent event);
    // Some tier's stop is still on its way.
    bool StopAnnounceInFlight() const;

    size_t TierCount() const { return m_tiers.size(); }
    TrackerTier& Tier(size_t index) const { return *m_tiers[index]; }

    // Each byte other than an ASCII letter or digit as %XX (upper-case hex).
    static std::string Escape(std::string_view bytes);

private:
    friend class TrackerTier;
    // The status the person sees: the first tier that was answered well, else the one that
    // spoke last; the counts are the largest any answering tier gave.
    void OnTierStatus(const TrackerTier& tier);
    void OnTierCounts();

    TrackerSessionLink& m_session;
    Clock& m_clock;
    AnnounceSettings m_settings;
    UdpTrackerService* m_udp;
    uint32_t m_key;  // lets a UDP tracker know us again when our address changes
    std::vector<std::unique_ptr<TrackerTier>> m_tiers;
};

}  // namespace velbrook
