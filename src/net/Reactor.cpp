#include "net/Reactor.h"

#include "net/Address.h"
#include "net/ReactorSocket.h"
#include "net/TimerQueue.h"

#include <algorithm>
#include <ares.h>
#include <arpa/inet.h>
#include <atomic>
#include <cassert>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <deque>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <string_view>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>
#include <unordered_map>
#include <utility>

namespace velbrook {

namespace {

Reactor* g_reactor = nullptr;

// Socket keys come from a process-wide counter so that a socket that outlived one reactor can
// never be mistaken for something registered with the next one.
std::atomic<uint64_t> g_nextKey{16};

// Fixed epoll keys for the reactor's own descriptors; registered keys start above them.
constexpr uint64_t kTimerFdKey = 1;
constexpr uint64_t kWakeFdKey = 2;

// Enough for a resolver that cannot reach its server to give up within a couple of seconds
// (c-ares doubles the timeout on each retry) instead of holding a connect for half a minute.
constexpr int kResolveTimeoutMs = 600;
constexpr int kResolveTries = 2;

// The timerfd counts on CLOCK_MONOTONIC, as steady_clock does.
int64_t Nanoseconds(Time time) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

int ResolveErrno(int status) {
    switch (status) {
    case ARES_ENOTFOUND:
    case ARES_ENONAME:
    case ARES_ENODATA:
    case ARES_EBADNAME:
        return ENOENT;
    case ARES_ENOMEM:
        return ENOMEM;
    case ARES_ECANCELLED:
    case ARES_EDESTRUCTION:
        return ECANCELED;
    default:
        // Timeouts, refused or failing servers, no usable configuration: the host cannot be
        // reached for now.
        return EHOSTUNREACH;
    }
}

// Names under "invalid" are never anyone's: they are refused here without asking a server.
bool IsReservedInvalidName(std::string_view host) {
    constexpr std::string_view kInvalid = "invalid";
    while (!host.empty() && host.back() == '.') {
        host.remove_suffix(1);
    }
    if (host.size() < kInvalid.size()) {
        return false;
    }
    const std::string_view last = host.substr(host.size() - kInvalid.size());
    const bool named = std::equal(last.begin(), last.end(), kInvalid.begin(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == b;
    });
    return named &&
           (host.size() == kInvalid.size() || host[host.size() - kInvalid.size() - 1] == '.');
}

}  // namespace

struct Reactor::Impl {
    using ResolveCallback = std::function<void(int, std::vector<std::string>)>;
    struct ResolveContext {
        Impl* impl;
        uint64_t handle;
    };

    Reactor* self = nullptr;
    int epollFd = -1;
    int timerFd = -1;
    int wakeFd = -1;
    bool stop = false;
    // A handler is being dispatched: a RunOnce from inside it (a modal dialog's own loop, say)
    // would run other handlers in the middle of it.
    bool dispatching = false;

    std::unordered_map<uint64_t, ReactorSocket*> sockets;

    TimerQueue timers;
    int64_t armedNs = -1;  // the timerfd's deadline; 0: disarmed, -1: must be set again

    std::deque<std::function<void()>> posted;
    bool wakePending = false;

    std::vector<std::unique_ptr<Condemned>> doomed;

    ares_channel channel = nullptr;
    std::unordered_map<uint64_t, int> aresByKey;
    std::unordered_map<int, uint64_t> aresByFd;
    std::unordered_map<uint64_t, ResolveCallback> resolves;
    uint64_t nextResolve = 1;
    uint64_t aresTimer = 0;

    int Dispatch(int timeoutMs);

    // Destroys what was handed to DeleteLater; called whenever a handler has returned.
    void Collect() {
        while (!doomed.empty()) {
            // Destroying one may hand over another.
            std::vector<std::unique_ptr<Condemned>> batch;
            batch.swap(doomed);
        }
    }

    void Wake() {
        if (wakePending)
            return;
        uint64_t one = 1;
        // One write keeps the eventfd readable until the posted calls are drained.
        if (write(wakeFd, &one, sizeof one) == sizeof one)
            wakePending = true;
    }

    void DrainWake() {
        uint64_t value = 0;
        while (read(wakeFd, &value, sizeof value) < 0 && errno == EINTR) {
        }
        wakePending = false;
    }

    void ArmTimerFd() {
        const std::optional<Time> due = timers.Next();
        int64_t next = due ? std::max<int64_t>(Nanoseconds(*due), 1) : 0;
        if (next == armedNs)
            return;
        itimerspec spec{};
        spec.it_value.tv_sec = next / 1'000'000'000;
        spec.it_value.tv_nsec = next % 1'000'000'000;
        timerfd_settime(timerFd, TFD_TIMER_ABSTIME, &spec, nullptr);
        armedNs = next;
    }

    int RunTimers() {
        const int handlers = timers.RunDue(self->Now(), [this] { Collect(); });
        ArmTimerFd();
        return handlers;
    }

    int RunPosted() {
        DrainWake();
        // Calls posted by these calls wait for the next pass, so a call that keeps posting
        // itself cannot hold the loop.
        std::deque<std::function<void()>> batch;
        batch.swap(posted);
        for (auto& call : batch) {
            call();
            Collect();
        }
        return static_cast<int>(batch.size());
    }

    // --- resolver ---

    static void SocketState(void* data, ares_socket_t fd, int readable, int writable) {
        auto* impl = static_cast<Impl*>(data);
        auto found = impl->aresByFd.find(fd);
        if (!readable && !writable) {
            if (found != impl->aresByFd.end()) {
                epoll_ctl(impl->epollFd, EPOLL_CTL_DEL, fd, nullptr);
                impl->aresByKey.erase(found->second);
                impl->aresByFd.erase(found);
            }
            return;
        }
        epoll_event ev{};
        ev.events = (readable ? EPOLLIN : 0u) | (writable ? EPOLLOUT : 0u);
        if (found == impl->aresByFd.end()) {
            uint64_t key = g_nextKey++;
            ev.data.u64 = key;
            if (epoll_ctl(impl->epollFd, EPOLL_CTL_ADD, fd, &ev) == 0) {
                impl->aresByFd[fd] = key;
                impl->aresByKey[key] = fd;
            }
        } else {
            ev.data.u64 = found->second;
            epoll_ctl(impl->epollFd, EPOLL_CTL_MOD, fd, &ev);
        }
    }

    static void AddressesReady(void* arg, int status, int /*timeouts*/, ares_addrinfo* result) {
        // Handed to c-ares by Resolve; back in our hands here.
        const std::unique_ptr<ResolveContext> context(static_cast<ResolveContext*>(arg));
        Impl* impl = context->impl;
        uint64_t handle = context->handle;
        if (status == ARES_EDESTRUCTION || status == ARES_ECANCELLED) {
            if (result)
                ares_freeaddrinfo(result);
            return;  // the reactor is going away; nobody is called back
        }
        std::vector<std::string> addresses;
        if (status == ARES_SUCCESS && result) {
            // IPv4 first: a host whose IPv6 reaches nowhere still connects at the first try.
            for (const int family : {AF_INET, AF_INET6}) {
                for (ares_addrinfo_node* node = result->nodes; node; node = node->ai_next) {
                    if (node->ai_family != family || !node->ai_addr)
                        continue;
                    char text[INET6_ADDRSTRLEN] = {};
                    const void* where =
                        family == AF_INET
                            ? static_cast<const void*>(
                                  &reinterpret_cast<const sockaddr_in*>(node->ai_addr)->sin_addr)
                            : static_cast<const void*>(
                                  &reinterpret_cast<const sockaddr_in6*>(node->ai_addr)->sin6_addr);
                    if (inet_ntop(family, where, text, sizeof text))
                        addresses.emplace_back(text);
                }
            }
        }
        if (result)
            ares_freeaddrinfo(result);
        int error =
            status == ARES_SUCCESS ? (addresses.empty() ? ENOENT : 0) : ResolveErrno(status);
        // c-ares may answer from inside ares_getaddrinfo (hosts file); the caller only hears
        // about it from the loop, after Resolve has handed out its handle.
        impl->Complete(handle, error, std::move(addresses));
    }

    void Complete(uint64_t handle, int error, std::vector<std::string> addresses) {
        self->Post([this, handle, error, addresses = std::move(addresses)]() mutable {
            auto it = resolves.find(handle);
            if (it == resolves.end())
                return;  // cancelled
            ResolveCallback callback = std::move(it->second);
            resolves.erase(it);
            callback(error, std::move(addresses));
        });
    }

    void UpdateAresTimer() {
        if (aresTimer) {
            timers.Remove(aresTimer);
            aresTimer = 0;
            ArmTimerFd();
        }
        if (!channel)
            return;
        timeval tv{};
        if (!ares_timeout(channel, nullptr, &tv))
            return;  // nothing outstanding
        int64_t ms = int64_t{tv.tv_sec} * 1000 + (tv.tv_usec + 999) / 1000;
        const auto wait = std::chrono::milliseconds(std::clamp<int64_t>(ms, 1, 60'000));
        aresTimer = timers.Add(self->Now() + wait, Duration::zero(), [this] {
            aresTimer = 0;
            ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
            UpdateAresTimer();
        });
        ArmTimerFd();
    }

    void InitResolver() {
        static std::once_flag once;
        static int libraryStatus = ARES_SUCCESS;
        std::call_once(once, [] { libraryStatus = ares_library_init(ARES_LIB_INIT_ALL); });
        if (libraryStatus != ARES_SUCCESS)
            return;
        ares_options options{};
        options.sock_state_cb = &Impl::SocketState;
        options.sock_state_cb_data = this;
        options.timeout = kResolveTimeoutMs;
        options.tries = kResolveTries;
        int mask = ARES_OPT_SOCK_STATE_CB | ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES;
        if (ares_init_options(&channel, &options, mask) != ARES_SUCCESS)
            channel = nullptr;  // names fail to resolve; dotted addresses still work
    }
};

Reactor::Reactor() : m_impl(std::make_unique<Impl>()) {
    assert(!g_reactor && "only one Reactor at a time");
    Impl& impl = *m_impl;
    impl.self = this;
    impl.epollFd = epoll_create1(EPOLL_CLOEXEC);
    impl.timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    impl.wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    assert(impl.epollFd >= 0 && impl.timerFd >= 0 && impl.wakeFd >= 0);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kTimerFdKey;
    epoll_ctl(impl.epollFd, EPOLL_CTL_ADD, impl.timerFd, &ev);
    ev.data.u64 = kWakeFdKey;
    epoll_ctl(impl.epollFd, EPOLL_CTL_ADD, impl.wakeFd, &ev);
    g_reactor = this;
    impl.InitResolver();
}

Reactor::~Reactor() {
    Impl& impl = *m_impl;
    impl.Collect();
    // A socket that is still open forgets this loop (its timer and lookup with it) and can
    // still be closed or destroyed later.
    const auto sockets = impl.sockets;
    for (const auto& [key, socket] : sockets)
        socket->Detach();
    // Pending resolves are dropped first so that ares_destroy's farewell callbacks find nothing
    // to call.
    impl.resolves.clear();
    if (impl.channel)
        ares_destroy(impl.channel);
    impl.channel = nullptr;
    impl.timers = TimerQueue();
    impl.posted.clear();
    impl.Collect();
    impl.sockets.clear();
    close(impl.wakeFd);
    close(impl.timerFd);
    close(impl.epollFd);
    if (g_reactor == this)
        g_reactor = nullptr;
}

Reactor& Reactor::Get() {
    assert(g_reactor && "no Reactor");
    return *g_reactor;
}

Time Reactor::Now() const {
    return std::chrono::steady_clock::now();
}

int Reactor::Fd() const {
    return m_impl->epollFd;
}

int Reactor::RunOnce(int timeoutMs) {
    Impl& impl = *m_impl;
    if (impl.dispatching) {
        return 0;
    }
    impl.dispatching = true;
    const int handlers = impl.Dispatch(timeoutMs);
    impl.dispatching = false;
    return handlers;
}

int Reactor::Impl::Dispatch(int timeoutMs) {
    Impl& impl = *this;
    // What was handed over outside any handler goes before anything of it can run again.
    impl.Collect();
    epoll_event events[256];
    int count = epoll_wait(impl.epollFd, events, 256, timeoutMs);
    if (count < 0)
        return 0;  // EINTR: the caller simply comes round again

    int handlers = 0;
    bool timerFired = false;
    std::vector<std::pair<uint64_t, uint32_t>> resolverEvents;
    for (int i = 0; i < count; ++i) {
        uint64_t key = events[i].data.u64;
        if (key == kTimerFdKey) {
            timerFired = true;
            continue;
        }
        if (key == kWakeFdKey)
            continue;  // drained with the posted calls
        if (impl.aresByKey.count(key)) {
            resolverEvents.emplace_back(key, uint32_t{events[i].events});
            continue;
        }
        // A socket destroyed or closed by an earlier handler of this batch is gone from the map;
        // its fd may already belong to a new socket, its key never does.
        auto it = impl.sockets.find(key);
        if (it == impl.sockets.end())
            continue;
        it->second->Dispatch(events[i].events);
        impl.Collect();
        ++handlers;
    }

    if (timerFired) {
        uint64_t expirations = 0;
        while (read(impl.timerFd, &expirations, sizeof expirations) < 0 && errno == EINTR) {
        }
        impl.armedNs = -1;  // expired: must be set again even for the same deadline
    }
    handlers += impl.RunTimers();
    handlers += impl.RunPosted();

    if (impl.channel) {
        for (auto [key, bits] : resolverEvents) {
            auto it = impl.aresByKey.find(key);
            if (it == impl.aresByKey.end())
                continue;  // c-ares closed it while handling another of its sockets
            int fd = it->second;
            bool readable = bits & (EPOLLIN | EPOLLERR | EPOLLHUP);
            bool writable = bits & (EPOLLOUT | EPOLLERR);
            ares_process_fd(impl.channel, readable ? fd : ARES_SOCKET_BAD,
                            writable ? fd : ARES_SOCKET_BAD);
        }
        if (!resolverEvents.empty())
            impl.UpdateAresTimer();
    }
    return handlers;
}

void Reactor::Run() {
    if (m_impl->dispatching) {
        return;
    }
    m_impl->stop = false;
    while (!m_impl->stop)
        RunOnce(-1);
}

void Reactor::Stop() {
    m_impl->stop = true;
    m_impl->Wake();
}

uint64_t Reactor::Schedule(Time first, Duration period, std::function<void()> call) {
    const uint64_t id = m_impl->timers.Add(first, period, std::move(call));
    m_impl->ArmTimerFd();
    return id;
}

void Reactor::Cancel(uint64_t id) {
    m_impl->timers.Remove(id);
    m_impl->ArmTimerFd();
}

bool Reactor::IsScheduled(uint64_t id) const {
    return m_impl->timers.Contains(id);
}

void Reactor::Defer(std::unique_ptr<Condemned> doomed) {
    if (g_reactor)
        g_reactor->m_impl->doomed.push_back(std::move(doomed));
}

void Reactor::Post(std::function<void()> call) {
    m_impl->posted.push_back(std::move(call));
    m_impl->Wake();
}

uint64_t Reactor::Resolve(const std::string& host,
                          std::function<void(int, std::vector<std::string>)> callback) {
    Impl& impl = *m_impl;
    uint64_t handle = impl.nextResolve++;
    impl.resolves.emplace(handle, std::move(callback));
    if (IsNumericAddress(host)) {
        impl.Complete(handle, 0, {CanonicalAddress(host)});
        return handle;
    }
    if (!impl.channel || host.empty() || IsReservedInvalidName(host)) {
        impl.Complete(handle, impl.channel ? ENOENT : EHOSTUNREACH, {});
        return handle;
    }
    ares_addrinfo_hints hints{};
    hints.ai_family = HostHasIPv6() ? AF_UNSPEC : AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    auto context = std::make_unique<Impl::ResolveContext>(Impl::ResolveContext{&impl, handle});
    ares_getaddrinfo(impl.channel, host.c_str(), nullptr, &hints, &Impl::AddressesReady,
                     context.release());
    impl.UpdateAresTimer();
    return handle;
}

void Reactor::CancelResolve(uint64_t handle) {
    // The query itself runs to its end; its answer finds no callback.
    m_impl->resolves.erase(handle);
}

uint64_t Reactor::Register(ReactorSocket* socket) {
    uint64_t key = g_nextKey++;
    m_impl->sockets.emplace(key, socket);
    return key;
}

void Reactor::Unregister(uint64_t key) {
    m_impl->sockets.erase(key);
}

void Reactor::UpdateInterest(uint64_t key, int fd, uint32_t epollEvents, bool added) {
    int epollFd = m_impl->epollFd;
    if (epollEvents == 0) {
        if (added)
            epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
        return;
    }
    epoll_event ev{};
    ev.events = epollEvents;
    ev.data.u64 = key;
    // A socket that outlived an earlier reactor may believe it is registered when it is not, or
    // the other way round; either way it ends up with the interest asked for.
    if (epoll_ctl(epollFd, added ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev) < 0) {
        if (errno == ENOENT)
            epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev);
        else if (errno == EEXIST)
            epoll_ctl(epollFd, EPOLL_CTL_MOD, fd, &ev);
    }
}

}  // namespace velbrook
