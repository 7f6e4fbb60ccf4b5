#include "net/Reactor.h"
#include "net/AsyncSocket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <functional>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace velbrook {
namespace {

constexpr unsigned kReadClose = kSocketRead | kSocketClose;

// Counts notifications and hands them to whatever the test plugged in.
class TestSocket : public AsyncSocket {
public:
    using Hook = std::function<void(int)>;
    Hook onConnect, onReceive, onSend, onClose, onAccept;
    int connects = 0, receives = 0, closes = 0, accepts = 0;
    int connectError = -1, closeError = -1;

    // Everything readable now; `ended` tells whether the end of the stream was read too.
    std::string Drain(bool* ended = nullptr) {
        std::string out;
        char buffer[65536];
        ssize_t n;
        while ((n = Receive(buffer, sizeof buffer)) > 0)
            out.append(buffer, static_cast<size_t>(n));
        if (ended)
            *ended = n == 0;
        return out;
    }

protected:
    // The hook is copied first: it may destroy this socket, and the hook with it.
    static void Note(int& count, Hook hook, int error, int* last = nullptr) {
        ++count;
        if (last)
            *last = error;
        if (hook)
            hook(error);
    }
    void OnConnect(int error) override { Note(connects, onConnect, error, &connectError); }
    void OnReceive(int error) override { Note(receives, onReceive, error); }
    void OnSend(int error) override { Note(m_sends, onSend, error); }
    void OnClose(int error) override { Note(closes, onClose, error, &closeError); }
    void OnAccept(int error) override { Note(accepts, onAccept, error); }

private:
    int m_sends = 0;
};

using Socket = std::unique_ptr<TestSocket>;

class ReactorTest : public ::testing::Test {
protected:
    void SetUp() override { port = Listen(listener); }

    // Runs the loop until `done`, giving up after a generous bound.
    bool RunUntil(const std::function<bool()>& done, int limitSeconds = 15) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
        while (!done() && std::chrono::steady_clock::now() < end)
            reactor.RunOnce(10);
        return done();
    }
    void RunPasses(int passes) {
        for (int i = 0; i < passes; ++i)
            reactor.RunOnce(10);
    }
    // Nothing is ready; a loop that kept reporting the same condition would be.
    bool LoopIsIdle() {
        pollfd ready{reactor.Fd(), POLLIN, 0};
        return poll(&ready, 1, 0) == 0;
    }

    static uint16_t Listen(TestSocket& socket, uint16_t at = 0) {
        EXPECT_TRUE(socket.Create(at, kSocketAccept) && socket.Listen(SOMAXCONN))
            << socket.LastError();
        std::string address;
        uint16_t bound = 0;
        EXPECT_TRUE(socket.GetSockName(address, bound));
        return bound;
    }
    static Socket StartClient(const std::string& host, uint16_t to) {
        auto client = std::make_unique<TestSocket>();
        EXPECT_TRUE(client->Create(0, kReadClose | kSocketConnect));
        EXPECT_TRUE(client->Connect(host, to)) << client->LastError();
        return client;
    }
    // A connected client and its accepted server end, both asking for read and close only.
    std::pair<Socket, Socket> Pair(TestSocket& from, uint16_t to) {
        auto server = std::make_unique<TestSocket>();
        from.onAccept = [&from, s = server.get()](int) { EXPECT_TRUE(from.Accept(*s)); };
        auto client = StartClient("127.0.0.1", to);
        EXPECT_TRUE(RunUntil([&] { return client->connects && server->IsOpen(); }));
        EXPECT_EQ(client->connectError, 0);
        from.onAccept = nullptr;
        server->AsyncSelect(kReadClose);
        return {std::move(client), std::move(server)};
    }
    std::pair<Socket, Socket> Pair() { return Pair(listener, port); }

    Reactor reactor;
    TestSocket listener;
    uint16_t port = 0;
};

std::string Pattern(size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>(i * 7 % 251);
    return data;
}

void Echo(TestSocket& socket) {
    std::string data = socket.Drain();
    EXPECT_EQ(socket.Send(data.data(), data.size()), static_cast<ssize_t>(data.size()));
}

TEST_F(ReactorTest, ConnectsAcceptsAndReportsRefusal) {
    auto [client, server] = Pair();
    std::string address;
    uint16_t peerPort = 0, clientPort = 0;
    ASSERT_TRUE(server->GetPeerName(address, peerPort) && client->GetSockName(address, clientPort));
    EXPECT_EQ(address, "127.0.0.1");
    EXPECT_EQ(peerPort, clientPort);

    TestSocket probe;  // a port nobody listens on any more
    uint16_t closedPort = Listen(probe);
    probe.Close();
    auto refused = StartClient("127.0.0.1", closedPort);
    EXPECT_TRUE(RunUntil([&] { return refused->connects > 0; }));
    EXPECT_EQ(refused->connectError, ECONNREFUSED);
    EXPECT_EQ(refused->closes, 0);
}

TEST_F(ReactorTest, ListeningPortIsReusableAfterRestartButNotWhileTaken) {
    TestSocket first;
    uint16_t fixed = Listen(first);
    first.Close();
    Listen(first, fixed);  // now asking for the port by number, as a configured listener does
    {
        auto [client, server] = Pair(first, fixed);
        server->Close();  // closing first leaves the server's end in TIME_WAIT on `fixed`
        ASSERT_TRUE(RunUntil([&] { return client->closes > 0; }));
    }
    first.Close();
    TestSocket restarted, rival;
    EXPECT_TRUE(restarted.Create(fixed, kSocketAccept) && restarted.Listen());
    EXPECT_FALSE(rival.Create(fixed, kSocketAccept) && rival.Listen());
    EXPECT_EQ(rival.LastError(), EADDRINUSE);
}

TEST_F(ReactorTest, EchoesBothWays) {
    auto [client, server] = Pair();
    std::string clientGot, serverGot;
    server->onReceive = [s = server.get()](int) { Echo(*s); };
    client->onReceive = [&, c = client.get()](int) { clientGot += c->Drain(); };
    ASSERT_EQ(client->Send("ping", 4), 4);
    EXPECT_TRUE(RunUntil([&] { return clientGot == "ping"; })) << clientGot;

    client->onReceive = [c = client.get()](int) { Echo(*c); };
    server->onReceive = [&, s = server.get()](int) { serverGot += s->Drain(); };
    ASSERT_EQ(server->Send("pong!", 5), 5);
    EXPECT_TRUE(RunUntil([&] { return serverGot == "pong!"; })) << serverGot;
}

TEST_F(ReactorTest, EveryByteSentBeforeACloseArrivesBeforeOnCloseWhichComesOnce) {
    auto [client, server] = Pair();
    std::string payload = Pattern(60000), got;
    ASSERT_EQ(client->Send(payload.data(), payload.size()), static_cast<ssize_t>(payload.size()));
    client->Close();
    // Small reads leave data queued when the close is seen.
    server->onReceive = [&, s = server.get()](int) {
        char buffer[1000];
        ssize_t n = s->Receive(buffer, sizeof buffer);
        ASSERT_GT(n, 0) << "offered data that was not there";
        got.append(buffer, static_cast<size_t>(n));
    };
    size_t atClose = 0;
    server->onClose = [&](int) { atClose = got.size(); };
    EXPECT_TRUE(RunUntil([&] { return server->closes > 0; }));
    EXPECT_EQ(atClose, payload.size());
    EXPECT_EQ(got, payload);
    EXPECT_EQ(server->closeError, 0);
    // Writing to the vanished peer fails; SIGPIPE would end the process.
    for (int i = 0; i < 1000 && (server->Send("late", 4) >= 0 || server->LastError() != EPIPE); ++i)
        usleep(1000);
    EXPECT_EQ(server->LastError(), EPIPE);

    // An owner that reads the end of the stream itself is not told again.
    auto [client2, server2] = Pair();
    bool ended = false;
    server2->onReceive = [&, s = server2.get()](int) { s->Drain(&ended); };
    ASSERT_EQ(client2->Send("bye", 3), 3);
    client2->Close();
    EXPECT_TRUE(RunUntil([&] { return ended; }));
    RunPasses(5);
    EXPECT_EQ(server->closes, 1);
    EXPECT_EQ(server2->closes, 0);
    EXPECT_TRUE(LoopIsIdle());
}

TEST_F(ReactorTest, CloseOnlySocketWithUnreadDataDoesNotSpin) {
    auto [client, server] = Pair();
    server->AsyncSelect(kSocketClose);
    ASSERT_EQ(client->Send("unread", 6), 6);
    client->Close();
    pollfd closed{server->Fd(), POLLRDHUP, 0};
    ASSERT_EQ(poll(&closed, 1, 5000), 1);
    RunPasses(5);
    EXPECT_EQ(server->receives + server->closes, 0);
    EXPECT_TRUE(LoopIsIdle());

    // Once reading is wanted again the data comes first, then the close.
    std::string got;
    server->onReceive = [&, s = server.get()](int) {
        char buffer[6];  // all of it, without reading the end of the stream
        got.append(buffer, static_cast<size_t>(std::max<ssize_t>(s->Receive(buffer, 6), 0)));
    };
    server->onClose = [&](int) { EXPECT_EQ(got, "unread"); };
    server->AsyncSelect(kReadClose);
    EXPECT_TRUE(RunUntil([&] { return server->closes > 0; }));
}

TEST_F(ReactorTest, HandlersMayDestroyTheirOwnOrAnotherSocketMidBatch) {
    auto [client, server] = Pair();
    // Its close is in the same event: it is destroyed once the whole notification is through.
    server->onReceive = [&](int) { Reactor::DeleteLater(std::move(server)); };
    ASSERT_EQ(client->Send("x", 1), 1);
    client->Close();
    size_t live = AsyncSocket::LiveCount();
    EXPECT_TRUE(RunUntil([&] { return !server; }));
    EXPECT_EQ(AsyncSocket::LiveCount(), live - 1);

    // Both have data waiting in one batch; whichever runs first destroys the other and opens a
    // listener that is likely to get the destroyed socket's fd back.
    auto [clientA, serverA] = Pair();
    auto [clientB, serverB] = Pair();
    TestSocket replacement;
    auto destroy = [&](Socket& other) {
        other.reset();
        Listen(replacement);
    };
    serverA->onReceive = [&](int) { destroy(serverB); };
    serverB->onReceive = [&](int) { destroy(serverA); };
    ASSERT_TRUE(clientA->Send("a", 1) == 1 && clientB->Send("b", 1) == 1);
    for (TestSocket* s : {serverA.get(), serverB.get()}) {
        pollfd readable{s->Fd(), POLLIN, 0};
        ASSERT_EQ(poll(&readable, 1, 5000), 1);
    }
    reactor.RunOnce(0);
    EXPECT_NE(!serverA, !serverB);
    EXPECT_EQ(replacement.accepts, 0);
}

TEST_F(ReactorTest, LargeOutputIsWrittenAcrossSeveralSendNotifications) {
    auto [client, server] = Pair();
    const std::string payload = Pattern(8 << 20);
    size_t sent = 0;
    int productive = 0;
    server->onSend = [&, s = server.get()](int) {
        ssize_t n = s->Send(payload.data() + sent, payload.size() - sent);
        if (n < 0) {
            EXPECT_EQ(s->LastError(), EAGAIN);
            return;
        }
        ++productive;
        sent += static_cast<size_t>(n);
        if (sent == payload.size())
            s->AsyncSelect(kReadClose);
    };
    std::string got;
    client->onReceive = [&, c = client.get()](int) { got += c->Drain(); };
    server->AsyncSelect(kReadClose | kSocketWrite);
    EXPECT_TRUE(RunUntil([&] { return got.size() >= payload.size(); }));
    EXPECT_TRUE(got == payload);
    EXPECT_GT(productive, 1);
}

TEST_F(ReactorTest, HandlesHundredsOfConnectionsAtOnce) {
    constexpr int kPairs = 500;
    rlimit saved{}, raised{};
    getrlimit(RLIMIT_NOFILE, &saved);
    raised = {saved.rlim_max, saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    ASSERT_GE(raised.rlim_cur, rlim_t{2 * kPairs + 64});

    std::vector<Socket> servers, clients;
    listener.onAccept = [&](int) {
        for (auto s = std::make_unique<TestSocket>(); listener.Accept(*s);
             s = std::make_unique<TestSocket>()) {
            s->AsyncSelect(kReadClose);
            s->onReceive = [p = s.get()](int) { Echo(*p); };
            servers.push_back(std::move(s));
        }
    };
    int answered = 0;
    for (int i = 0; i < kPairs; ++i) {
        TestSocket* c = clients.emplace_back(StartClient("127.0.0.1", port)).get();
        std::string tag = "client " + std::to_string(i);
        c->onConnect = [c, tag](int) {
            EXPECT_EQ(c->Send(tag.data(), tag.size()), static_cast<ssize_t>(tag.size()));
        };
        c->onReceive = [&answered, c, tag, got = std::string()](int) mutable {
            got += c->Drain();
            answered += got == tag;
        };
    }
    EXPECT_TRUE(RunUntil([&] { return answered == kPairs; }, 60));
    EXPECT_EQ(servers.size(), size_t{kPairs});
    servers.clear();
    clients.clear();
    setrlimit(RLIMIT_NOFILE, &saved);
}

// Takes every descriptor number below a lowered limit, as in a process that really ran out.
class FdExhaustion {
public:
    FdExhaustion() {
        int highest = 0, fd;
        DIR* dir = opendir("/proc/self/fd");
        while (dirent* entry = dir ? readdir(dir) : nullptr)
            highest = std::max(highest, atoi(entry->d_name));
        if (dir)
            closedir(dir);
        do  // dup takes the lowest free number: below the last one, every number is in use
            m_fillers.push_back(fd = dup(0));
        while (fd >= 0 && fd < highest);
        getrlimit(RLIMIT_NOFILE, &m_saved);
        rlimit lowered{static_cast<rlim_t>(fd) + 1, m_saved.rlim_max};
        setrlimit(RLIMIT_NOFILE, &lowered);
    }
    ~FdExhaustion() {
        setrlimit(RLIMIT_NOFILE, &m_saved);
        std::for_each(m_fillers.begin(), m_fillers.end(), close);
    }

private:
    rlimit m_saved{};
    std::vector<int> m_fillers;
};

TEST_F(ReactorTest, RunningOutOfDescriptorsOnAcceptDoesNotSpin) {
    listener.AsyncSelect(0);
    std::vector<Socket> clients;
    for (int i = 0; i < 3; ++i)
        clients.push_back(StartClient("127.0.0.1", port));
    ASSERT_TRUE(RunUntil([&] {
        return std::all_of(clients.begin(), clients.end(), [](auto& c) { return c->connects; });
    }));

    TestSocket into;  // made beforehand: nothing may need a descriptor while there are none
    std::vector<int> errors;
    listener.onAccept = [&](int) {
        if (!listener.Accept(into))
            errors.push_back(listener.LastError());
    };
    bool idle = false;
    {
        // No assertions in here: reporting a failure needs descriptors too.
        FdExhaustion exhausted;
        listener.AsyncSelect(kSocketAccept);
        RunPasses(10);
        idle = LoopIsIdle();
    }
    EXPECT_TRUE(idle);
    EXPECT_FALSE(into.IsOpen());
    EXPECT_TRUE(!errors.empty() && errors.size() <= clients.size()) << errors.size();
    EXPECT_EQ(std::count(errors.begin(), errors.end(), EMFILE), std::ssize(errors));
    auto late = StartClient("127.0.0.1", port);
    EXPECT_TRUE(RunUntil([&] { return into.IsOpen(); }));
}

using Resolved = std::pair<int, std::vector<std::string>>;

TEST_F(ReactorTest, ResolvesNamesAndDottedTextAndConnectsByName) {
    std::vector<Resolved> results(3, {-1, {}});
    const char* hosts[] = {"localhost", "10.1.2.3", "nonexistent.invalid"};
    for (size_t i = 0; i < 3; ++i)
        reactor.Resolve(hosts[i], [&, i](int e, std::vector<std::string> a) {
            results[i] = {e, a};
        });
    EXPECT_EQ(results[1].first, -1) << "called back from inside Resolve";
    EXPECT_TRUE(RunUntil([&] {
        return std::none_of(results.begin(), results.end(), [](auto& r) { return r.first == -1; });
    }));
    EXPECT_EQ(results[0], Resolved(0, {"127.0.0.1"}));
    EXPECT_EQ(results[1], Resolved(0, {"10.1.2.3"}));
    EXPECT_NE(results[2].first, 0);

    auto byName = StartClient("localhost", port);
    auto unknown = StartClient("nonexistent.invalid", port);
    EXPECT_TRUE(RunUntil([&] { return byName->connects && unknown->connects; }));
    EXPECT_EQ(byName->connectError, 0);
    EXPECT_NE(unknown->connectError, 0);
}

TEST_F(ReactorTest, CancelledResolvesAndResolvingSocketsThatWentAwayAreNeverCalledBack) {
    int calls = 0;
    auto count = [&](int, std::vector<std::string>) { ++calls; };
    reactor.CancelResolve(reactor.Resolve("localhost", count));
    reactor.CancelResolve(reactor.Resolve("127.0.0.1", count));
    auto closed = StartClient("localhost", port);
    closed->Close();
    StartClient("localhost", port).reset();
    bool last = false;
    reactor.Resolve("localhost", [&](int, std::vector<std::string>) { last = true; });
    EXPECT_TRUE(RunUntil([&] { return last; }));
    RunPasses(3);
    EXPECT_EQ(calls + closed->connects + closed->closes, 0);
}

TEST(ReactorLifetime, DestroyingTheReactorDropsPendingWork) {
    int calls = 0;
    {
        Reactor reactor;
        for (const char* host : {"localhost", "nonexistent.invalid", "127.0.0.1"})
            reactor.Resolve(host, [&](int, std::vector<std::string>) { ++calls; });
        reactor.Post([&] { ++calls; });
    }
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(Reactor::Exists());
}

TEST_F(ReactorTest, PostedCallsRunInOrderAfterTheCurrentHandler) {
    std::vector<int> order;
    reactor.Post([&] {
        order.push_back(1);
        reactor.Post([&] { order.push_back(4); });
    });
    reactor.Post([&] { order.push_back(2); });
    reactor.Post([&] { order.push_back(3); });
    EXPECT_TRUE(order.empty());
    EXPECT_TRUE(RunUntil([&] { return order.size() == 4; }));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
}

TEST_F(ReactorTest, TimersWakeTheLoopFdAndNeverFireInBursts) {
    EXPECT_TRUE(LoopIsIdle());
    int fired = 0;
    uint64_t id = reactor.StartTimer(20, [&](uint64_t) { ++fired; });
    pollfd ready{reactor.Fd(), POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 10000), 1);
    reactor.RunOnce(0);
    EXPECT_EQ(fired, 1);

    reactor.StopTimer(id);
    id = reactor.StartTimer(50, [&](uint64_t) { ++fired; });
    usleep(500'000);  // ten periods behind: one firing, not ten
    reactor.RunOnce(0);
    EXPECT_EQ(fired, 2);
    for (int i = 0; i < 8; ++i)
        reactor.RunOnce(0);
    EXPECT_LE(fired, 4);

    reactor.StopTimer(id);
    reactor.StopTimer(id);  // twice, and unknown ids, change nothing
    reactor.StopTimer(987654321);
    int once = 0;
    reactor.StartTimer(10, [&](uint64_t self) {
        ++once;
        reactor.StopTimer(self);
    });
    EXPECT_TRUE(RunUntil([&] { return reactor.TimerCount() == 0; }));
    RunPasses(3);
    EXPECT_EQ(once, 1);
}

}  // namespace
}  // namespace velbrook
