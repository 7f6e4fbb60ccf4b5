// A torrent's announces to its tracker: events, the re-announce timer, the back-off table, and
// reading the answer's interval, peer list (compact or dictionary) and swarm counts.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tracker/HttpClient.h"

namespace velbrook {

enum class AnnounceEvent { None = 0, Started = 1, Stopped = 2, Completed = 3 };

// What the tracker client needs from its torrent session.
class TrackerSessionLink {
public:
    virtual ~TrackerSessionLink() = default;
    virtual std::string AnnounceUrl() const = 0;  // as stored in the metainfo
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
    std::string reportIp;
    ProxyConfig proxy;
    // False takes any certificate from an https:// tracker.
    bool checkCertificates = true;
    bool operator==(const AnnounceSettings&) const = default;
};

class TrackerClient : public HttpOwner {
public:
    // The re-announce timer and the requests' time limits run on `clock`.
    TrackerClient(TrackerSessionLink& session, Clock& clock, AnnounceSettings settings);
    ~TrackerClient() override;

    // From the next request on.
    void SetAnnounceSettings(AnnounceSettings settings) { m_settings = std::move(settings); }
    const AnnounceSettings& GetAnnounceSettings() const { return m_settings; }

    // Sends `event` now, replacing a request still in flight; but while a stop is on its way,
    // any other event waits until the stop has reported. False when the request could not
    // start: the session's status then gives the reason, and no retry is scheduled.
    bool Announce(AnnounceEvent event);
    // Starts a request unless one is still connecting. False when none started; one that could
    // not start leaves its reason in the session's status.
    bool Connect();
    void Schedule(int32_t seconds);
    std::string BuildAnnounceUrl() const;

    void OnResponse(const std::string& body) override;
    void OnFailure(const std::string& reason, bool noRetry) override;
    void OnFatal(const std::string& reason) override;

    AnnounceEvent Event() const { return m_event; }
    int32_t RetryCount() const { return m_retryCount; }
    int32_t TimerPeriod() const { return m_timerPeriod; }
    bool TimerActive() const { return m_timer.IsActive(); }
    const std::string& LastReason() const { return m_lastReason; }
    HttpClient* Client() const { return m_client.get(); }
    // From the start of an announce with the Stopped event until that request has reported or
    // been abandoned, so that shutting down can wait a moment for the tracker to hear of it.
    bool StopAnnounceInFlight() const { return m_stopInFlight; }

    // Each byte other than an ASCII letter or digit as %XX (upper-case hex).
    static std::string Escape(std::string_view bytes);

private:
    TrackerSessionLink& m_session;
    AnnounceSettings m_settings;
    Clock& m_clock;
    AnnounceEvent m_event = AnnounceEvent::None;
    std::string m_lastReason;
    std::unique_ptr<HttpClient> m_client;
    Timer m_timer;
    int32_t m_retryCount = 0;
    int32_t m_timerPeriod = -1;
    bool m_stopInFlight = false;
    // An announce asked for while a stop was on its way: sent once the stop has reported.
    AnnounceEvent m_deferred = AnnounceEvent::None;

    void OnTick();
    void Fail(const std::string& reason, bool noRetry);
    void HandleResponse(const std::string& body);
    // Let the client go; it may be running the call that got here.
    void RetireClient();
    void DestroyTimer();
};

// The tracker answer as read by the client: interval, failure reason, peers, counts. Pure, so it
// can be fuzzed on its own.
struct TrackerPeer {
    std::string address;
    uint16_t port;
    std::string peerId;  // empty for a peer from a compact list
};
struct TrackerAnswer {
    bool decoded = false;
    bool hasFailure = false;
    std::string failureReason;
    bool hasInterval = false;
    int64_t interval = 0;
    std::vector<TrackerPeer> peers;
    int32_t donePeers = 0;
    int32_t numPeers = 0;
};
[[nodiscard]] TrackerAnswer ReadTrackerAnswer(std::string_view body);

}  // namespace velbrook
