#include "tracker/UdpTrackerService.h"

#include <cerrno>
#include <cstring>
#include <random>
#include <utility>

namespace velbrook {

namespace {

// The largest datagram there is: no reply is ever cut by our buffer.
constexpr size_t kDatagramBuffer = 65536;
// Replies of many trackers at once wait here while the loop reads them a batch at a time; the
// system's default keeps only a few hundred.
constexpr int kReceiveBuffer = 1 << 20;

UdpTrackerService::Random DefaultRandom() {
    auto engine = std::make_shared<std::mt19937>(std::random_device{}());
    return [engine] { return static_cast<uint32_t>((*engine)()); };
}

std::string CannotReach(const std::string& url, const std::string& why) {
    return "Can't Connect Tracker: " + url + " (" + why + ")";
}

// A full buffer loses the datagram as the network might; the retransmission covers it.
bool IsTransient(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS || error == ENOMEM;
}

const char* ActionName(UdpAction action) {
    switch (action) {
    case UdpAction::Connect:
        return "connect";
    case UdpAction::Announce:
        return "announce";
    case UdpAction::Scrape:
        return "scrape";
    case UdpAction::Error:
        return "error";
    }
    return "unknown";
}

}  // namespace

UdpTrackerService::UdpTrackerService(Clock& clock, Random random)
    : m_clock(clock), m_random(random ? std::move(random) : DefaultRandom()) {}

// Lookups still under way would call back into a service that is gone.
UdpTrackerService::~UdpTrackerService() {
    for (const auto& [handle, request] : m_requests) {
        if (request->resolve) {
            Reactor::Get().CancelResolve(request->resolve);
        }
    }
}

uint64_t UdpTrackerService::Announce(const std::string& url, const UdpAnnounce& request,
                                     AnnounceDone done) {
    auto added = std::make_unique<Request>();
    added->kind = Kind::Announce;
    added->url = url;
    added->announce = request;
    added->announceDone = std::move(done);
    return Add(std::move(added));
}

uint64_t UdpTrackerService::Scrape(const std::string& url, const std::string& infoHash,
                                   ScrapeDone done) {
    auto added = std::make_unique<Request>();
    added->kind = Kind::Scrape;
    added->url = url;
    added->infoHash = infoHash;
    added->scrapeDone = std::move(done);
    return Add(std::move(added));
}

void UdpTrackerService::SendStopped(const std::string& url, const UdpAnnounce& request) {
    auto added = std::make_unique<Request>();
    added->kind = Kind::Stop;
    added->url = url;
    added->announce = request;
    Add(std::move(added));
}

bool UdpTrackerService::StopsPending() const {
    for (const auto& [handle, request] : m_requests) {
        if (request->kind == Kind::Stop) {
            return true;
        }
    }
    return false;
}

void UdpTrackerService::Cancel(uint64_t handle) {
    const auto it = m_requests.find(handle);
    if (it == m_requests.end()) {
        return;
    }
    const std::unique_ptr<Request> gone = std::move(it->second);
    m_requests.erase(it);
    Forget(*gone);
}

uint64_t UdpTrackerService::Add(std::unique_ptr<Request> request) {
    const uint64_t handle = m_nextHandle++;
    request->handle = handle;
    const std::string url = request->url;
    std::string host;
    const bool tooMany = m_requests.size() >= kMaxRequests;
    const bool parsed = ParseUdpTrackerUrl(url, host, request->port);
    m_requests.emplace(handle, std::move(request));
    if (tooMany) {
        FailSoon(handle, "Too many UDP tracker requests at once.");
    } else if (!parsed) {
        FailSoon(handle, "Not a UDP tracker URL: " + url);
    } else if (SocketAddress literal; SocketAddress::FromText(host, 0, literal)) {
        // An address needs no lookup; it still goes out from the loop, like a looked-up one.
        Reactor::Get().Post([this, alive = m_liveness.Watch(), handle, host] {
            if (alive.Alive()) {
                OnResolved(handle, 0, {host});
            }
        });
    } else {
        // Cancel and the destructor cancel the lookup, so it never calls back into nothing.
        m_requests[handle]->resolve = Reactor::Get().Resolve(
            host, [this, handle](int error, std::vector<std::string> addresses) {
                OnResolved(handle, error, addresses);
            });
    }
    return handle;
}

void UdpTrackerService::FailSoon(uint64_t handle, std::string failure) {
    Reactor::Get().Post([this, alive = m_liveness.Watch(), handle, failure = std::move(failure)] {
        if (alive.Alive()) {
            Fail(handle, failure);
        }
    });
}

void UdpTrackerService::OnResolved(uint64_t handle, int error,
                                   const std::vector<std::string>& addresses) {
    const auto it = m_requests.find(handle);
    if (it == m_requests.end()) {
        return;
    }
    Request& request = *it->second;
    request.resolve = 0;
    if (error || addresses.empty() ||
        !SocketAddress::FromText(addresses.front(), request.port, request.tracker)) {
        Fail(handle, CannotReach(request.url, "host name not resolved"));
        return;
    }
    int socketError = 0;
    if (!SocketFor(request.tracker.Family(), socketError)) {
        Fail(handle, CannotReach(request.url, std::strerror(socketError)));
        return;
    }
    uint64_t connection = 0;
    request.step = HasConnection(request.tracker, connection) ? Step::Asking : Step::Connecting;
    Send(request, false);
}

UdpSocket* UdpTrackerService::SocketFor(int family, int& error) {
    UdpSocket& socket = family == AF_INET6 ? m_socket6 : m_socket4;
    if (!socket.IsOpen()) {
        // Opened when first needed, so a host without IPv6 only fails IPv6 trackers.
        if (!socket.Open(family, [this, &socket] { OnReadable(socket); })) {
            error = socket.LastError();
            return nullptr;
        }
        socket.SetReceiveBuffer(kReceiveBuffer);
        m_buffer.resize(kDatagramBuffer);
    }
    return &socket;
}

bool UdpTrackerService::HasConnection(const SocketAddress& tracker, uint64_t& id) const {
    const auto it = m_connections.find(tracker.Text());
    if (it == m_connections.end() || m_clock.Now() - it->second.obtained >= kConnectionLife) {
        return false;
    }
    id = it->second.id;
    return true;
}

bool UdpTrackerService::ConnectInFlight(const SocketAddress& tracker) const {
    return m_connectSenders.count(tracker.Text()) != 0;
}

void UdpTrackerService::NewTransaction(Request& request) {
    DropTransaction(request);
    uint32_t id = m_random();
    // Ids in use are few against 2^32; a scripted source may still repeat itself.
    for (int tries = 0; m_transactions.count(id) && tries < 16; ++tries) {
        id = m_random();
    }
    while (m_transactions.count(id)) {
        ++id;
    }
    request.transaction = id;
    request.hasTransaction = true;
    m_transactions.emplace(id, request.handle);
    if (request.step == Step::Connecting) {
        m_connectSenders[request.tracker.Text()] = request.handle;
    }
}

void UdpTrackerService::DropTransaction(Request& request) {
    if (!request.hasTransaction) {
        return;
    }
    m_transactions.erase(request.transaction);
    request.hasTransaction = false;
    const auto sender = m_connectSenders.find(request.tracker.Text());
    if (sender != m_connectSenders.end() && sender->second == request.handle) {
        m_connectSenders.erase(sender);
        // Requests that waited for this connect send their own, from the loop: this may run deep
        // inside another request's report.
        Reactor::Get().Post([this, alive = m_liveness.Watch(), tracker = request.tracker] {
            if (alive.Alive()) {
                TakeOverConnect(tracker);
            }
        });
    }
}

void UdpTrackerService::TakeOverConnect(const SocketAddress& tracker) {
    if (ConnectInFlight(tracker)) {
        return;
    }
    for (const auto& [handle, request] : m_requests) {
        if (request->step == Step::Connecting && request->tracker == tracker) {
            Send(*request, false);
            return;
        }
    }
}

// Whatever a request that leaves still holds: its transaction, its lookup.
void UdpTrackerService::Forget(Request& request) {
    DropTransaction(request);
    if (request.resolve) {
        Reactor::Get().CancelResolve(request.resolve);
        request.resolve = 0;
    }
}

// Sends the message of the request's step: a connect, or the announce or scrape itself. A
// retransmission keeps its transaction id, so a late reply to the first copy still counts.
void UdpTrackerService::Send(Request& request, bool retransmit) {
    uint64_t connection = 0;
    if (request.step == Step::Asking && !HasConnection(request.tracker, connection)) {
        request.step = Step::Connecting;  // the id ran out while we waited
        retransmit = false;
    }
    request.timer = m_clock.After(kFirstTimeout * (1 << request.timeouts),
                                  [this, handle = request.handle] { OnTimeout(handle); });
    if (request.step == Step::Connecting) {
        if (!retransmit) {
            DropTransaction(request);  // a connect replaces whatever this request had in flight
        }
        if (!request.hasTransaction && ConnectInFlight(request.tracker)) {
            return;  // another request's connect will do for this one too
        }
    }
    if (!retransmit || !request.hasTransaction) {
        NewTransaction(request);
    }
    std::string datagram;
    if (request.step == Step::Connecting) {
        datagram = BuildUdpConnect(request.transaction);
    } else if (request.kind == Kind::Scrape) {
        datagram = BuildUdpScrape(connection, request.transaction, request.infoHash);
    } else {
        datagram = BuildUdpAnnounce(connection, request.transaction, request.announce);
    }
    int error = 0;
    UdpSocket* socket = SocketFor(request.tracker.Family(), error);
    if (socket && !socket->SendTo(request.tracker, datagram)) {
        error = socket->LastError();
    }
    if (error && !IsTransient(error)) {
        Fail(request.handle, CannotReach(request.url, std::strerror(error)));
        return;
    }
    if (request.kind == Kind::Stop && request.step == Step::Asking) {
        Finish(request.handle, {}, nullptr, nullptr);  // nobody waits for this answer
    }
}

void UdpTrackerService::OnTimeout(uint64_t handle) {
    const auto it = m_requests.find(handle);
    if (it == m_requests.end()) {
        return;
    }
    Request& request = *it->second;
    if (++request.timeouts >= kTries) {
        Fail(handle, "Tracker timed out.");
        return;
    }
    Send(request, true);
}

void UdpTrackerService::OnReadable(UdpSocket& socket) {
    const int family = socket.Family();
    // A flood of datagrams is read a batch at a time; level-triggered readiness brings the loop
    // back for the rest after it has served everything else.
    for (int i = 0; i < kMaxReadsPerWakeup && socket.IsOpen(); ++i) {
        SocketAddress from;
        const ssize_t size = socket.ReceiveFrom(m_buffer.data(), m_buffer.size(), from);
        if (size < 0) {
            if (socket.LastError() == EAGAIN || socket.LastError() == EWOULDBLOCK) {
                return;
            }
            continue;  // an error report taken off the socket; datagrams may follow
        }
        if (static_cast<size_t>(size) > m_buffer.size()) {
            continue;  // a reply is one whole datagram
        }
        HandleDatagram(family, from, std::string_view(m_buffer.data(), static_cast<size_t>(size)));
    }
}

void UdpTrackerService::HandleDatagram(int family, const SocketAddress& from,
                                       std::string_view datagram) {
    const UdpReply reply = ReadUdpReply(datagram, family == AF_INET6);
    if (!reply.hasTransaction) {
        return;
    }
    const auto found = m_transactions.find(reply.transactionId);
    if (found == m_transactions.end()) {
        return;  // not ours, or a duplicate of a reply already taken
    }
    const uint64_t handle = found->second;
    Request& request = *m_requests.at(handle);
    if (!(from == request.tracker)) {
        return;  // someone else guessing our transaction ids
    }
    if (!reply.refusal.empty()) {
        Fail(handle, "Tracker Response Decoding Failed: " + reply.refusal);
        return;
    }
    const UdpAction expected = request.step == Step::Connecting ? UdpAction::Connect
                               : request.kind == Kind::Scrape   ? UdpAction::Scrape
                                                                : UdpAction::Announce;
    if (reply.action == UdpAction::Error) {
        if (request.step == Step::Asking && !request.freshConnection) {
            // Trackers that restarted refuse the ids they gave out before: one fresh connect
            // tells that apart from a refusal of the torrent.
            m_connections.erase(request.tracker.Text());
            request.step = Step::Connecting;
            Send(request, false);
            return;
        }
        TrackerAnswer answer;
        answer.decoded = true;
        answer.hasFailure = true;
        answer.failureReason = reply.errorText;
        ScrapeAnswer scrape;
        scrape.decoded = true;
        scrape.hasFailure = true;
        scrape.failureReason = reply.errorText;
        Finish(handle, {}, &answer, &scrape);
        return;
    }
    if (reply.action != expected) {
        Fail(handle, std::string("Tracker Response Decoding Failed: ") + ActionName(reply.action) +
                         " reply to a " + ActionName(expected) + " request");
        return;
    }
    if (expected == UdpAction::Connect) {
        Connected(request.tracker, reply.connectionId);
        return;
    }
    Finish(handle, {}, &reply.announce, &reply.scrape);
}

// Every request waiting for a connection to this tracker sends its message now.
void UdpTrackerService::Connected(const SocketAddress& tracker, uint64_t connectionId) {
    const Time now = m_clock.Now();
    for (auto it = m_connections.begin(); it != m_connections.end();) {
        it = now - it->second.obtained >= kConnectionLife ? m_connections.erase(it) : std::next(it);
    }
    m_connections[tracker.Text()] = Connection{connectionId, now};
    std::vector<uint64_t> waiting;
    for (const auto& [handle, request] : m_requests) {
        if (request->step == Step::Connecting && request->tracker == tracker) {
            waiting.push_back(handle);
        }
    }
    // Sending may finish a request (a stop, a failed send), and a report may change the rest.
    for (const uint64_t handle : waiting) {
        const auto it = m_requests.find(handle);
        if (it == m_requests.end() || it->second->step != Step::Connecting) {
            continue;
        }
        Request& request = *it->second;
        request.step = Step::Asking;
        request.freshConnection = true;
        Send(request, false);
    }
}

void UdpTrackerService::Fail(uint64_t handle, const std::string& failure) {
    Finish(handle, failure, nullptr, nullptr);
}

void UdpTrackerService::Finish(uint64_t handle, const std::string& failure,
                               const TrackerAnswer* answer, const ScrapeAnswer* scrape) {
    const auto it = m_requests.find(handle);
    if (it == m_requests.end()) {
        return;
    }
    // Out of the tables before anyone hears of it: the report may start new requests.
    const std::unique_ptr<Request> done = std::move(it->second);
    m_requests.erase(it);
    Forget(*done);
    if (done->kind == Kind::Announce && done->announceDone) {
        done->announceDone(failure, answer ? *answer : TrackerAnswer{});
    } else if (done->kind == Kind::Scrape && done->scrapeDone) {
        done->scrapeDone(failure, scrape ? *scrape : ScrapeAnswer{});
    }
}

}  // namespace velbrook
