// Every UDP tracker request of the running program: one socket per address family, connection
// ids kept per tracker, retransmissions on the engine's clock.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "net/Clock.h"
#include "net/Reactor.h"
#include "net/UdpSocket.h"
#include "tracker/TrackerAnswer.h"
#include "tracker/UdpTracker.h"

namespace velbrook {

class UdpTrackerService {
public:
    // Picks a uniformly random number (transaction ids); tests script it.
    using Random = std::function<uint32_t()>;
    // Exactly one report per request unless it is cancelled first, never from inside the call
    // that started it. `failure` is empty when the tracker answered; the answer then says what
    // it answered, which may be an error text of its own (hasFailure, failureReason). A report
    // may start or cancel other requests; it must not destroy the service.
    using AnnounceDone = std::function<void(const std::string& failure, const TrackerAnswer&)>;
    using ScrapeDone = std::function<void(const std::string& failure, const ScrapeAnswer&)>;

    // Requests of all torrents at once; more fail at once rather than cost memory.
    static constexpr size_t kMaxRequests = 4096;
    // Datagrams read from one socket before the loop turns to other work.
    static constexpr int kMaxReadsPerWakeup = 64;
    // How long a tracker's connection id is used (trackers accept one for two minutes).
    static constexpr Duration kConnectionLife = std::chrono::seconds(60);
    // The wait for a reply: 15 s, doubled after each retransmission; after the last, the request
    // fails (15 + 30 + 60 + 120 = 225 s in all).
    static constexpr Duration kFirstTimeout = std::chrono::seconds(15);
    static constexpr int kTries = 4;

    explicit UdpTrackerService(Clock& clock, Random random = {});
    ~UdpTrackerService();
    UdpTrackerService(const UdpTrackerService&) = delete;
    UdpTrackerService& operator=(const UdpTrackerService&) = delete;

    // `url`: udp://host:port[/anything]. Returns the request's handle (never 0) for Cancel.
    uint64_t Announce(const std::string& url, const UdpAnnounce& request, AnnounceDone done);
    uint64_t Scrape(const std::string& url, const std::string& infoHash, ScrapeDone done);
    // No report follows. An unknown or finished handle is ignored.
    void Cancel(uint64_t handle);
    // Sends the announce (meant for the stopped event) as soon as a connection id allows,
    // without waiting for, or reporting, its answer.
    void SendStopped(const std::string& url, const UdpAnnounce& request);

    // Requests not yet answered, stops not yet sent among them.
    size_t RequestsInFlight() const { return m_requests.size(); }
    // Some stopped announce has not gone out yet (a lookup or a connect is under way).
    bool StopsPending() const;

private:
    enum class Kind { Announce, Scrape, Stop };
    enum class Step { Resolving, Connecting, Asking };
    struct Request {
        uint64_t handle = 0;
        Kind kind = Kind::Announce;
        Step step = Step::Resolving;
        std::string url;
        uint16_t port = 0;
        SocketAddress tracker;  // once resolved
        UdpAnnounce announce;   // Announce, Stop
        std::string infoHash;   // Scrape
        AnnounceDone announceDone;
        ScrapeDone scrapeDone;
        uint32_t transaction = 0;  // of the message in flight
        bool hasTransaction = false;
        int timeouts = 0;
        Timer timer;
        uint64_t resolve = 0;
        // The connection id of the message in flight came from this request's own connect.
        bool freshConnection = false;
    };
    struct Connection {
        uint64_t id = 0;
        Time obtained;
    };

    uint64_t Add(std::unique_ptr<Request> request);
    void FailSoon(uint64_t handle, std::string failure);
    void OnResolved(uint64_t handle, int error, const std::vector<std::string>& addresses);
    void Send(Request& request, bool retransmit);
    void OnTimeout(uint64_t handle);
    void OnReadable(UdpSocket& socket);
    void HandleDatagram(int family, const SocketAddress& from, std::string_view datagram);
    void Connected(const SocketAddress& tracker, uint64_t connectionId);
    void Finish(uint64_t handle, const std::string& failure, const TrackerAnswer* answer,
                const ScrapeAnswer* scrape);
    void Fail(uint64_t handle, const std::string& failure);
    void NewTransaction(Request& request);
    void DropTransaction(Request& request);
    void TakeOverConnect(const SocketAddress& tracker);
    void Forget(Request& request);
    bool HasConnection(const SocketAddress& tracker, uint64_t& id) const;
    bool ConnectInFlight(const SocketAddress& tracker) const;
    UdpSocket* SocketFor(int family, int& error);

    Clock& m_clock;
    Random m_random;
    uint64_t m_nextHandle = 1;
    // Ordered by handle, so that requests waiting for the same connect go in the order they came.
    std::map<uint64_t, std::unique_ptr<Request>> m_requests;
    std::unordered_map<uint32_t, uint64_t> m_transactions;      // to the request's handle
    std::unordered_map<std::string, Connection> m_connections;  // by the tracker's address text
    // The one request per tracker whose connect is in flight; others wait for its reply.
    std::unordered_map<std::string, uint64_t> m_connectSenders;
    UdpSocket m_socket4;
    UdpSocket m_socket6;
    std::vector<char> m_buffer;
    Liveness m_liveness;
};

}  // namespace velbrook
