#include "net/Reactor.h"

#include "net/Address.h"
#include "net/AsyncSocket.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/Loopback.h"
#include "support/NoFreeDescriptors.h"

namespace velbrook {
namespace {

constexpr unsigned kReadClose = kSocketRead | kSocketClose;

// Counts notifications and hands them to whatever the test plugged in.
class TestSocket : public AsyncSocket {
public:
    using Hook = std::function<void(int)>;
    Hook onReceive, onClose, onAccept;
    int connects = 0, receives = 0, closes = 0, accepts = 0;
    int connectError = -1, closeError = -1;

protected:
    // The hook is a copy: it may destroy this socket, and the hook with it.
    static void Note(int& count, Hook hook, int error) {
        ++count;
        if (hook) {
            hook(error);
        }
    }
    void OnConnect(int error) override { Note(connects, nullptr, connectError = error); }
    void OnReceive(int error) override { Note(receives, onReceive, error); }
    void OnClose(int error) override { Note(closes, onClose, closeError = error); }
    void OnAccept(int error) override { Note(accepts, onAccept, error); }
};

using Socket = std::unique_ptr<TestSocket>;

class ReactorTest : public ::testing::Test {
protected:
    void SetUp() override { port = Listen(listener); }

    bool RunUntil(const std::function<bool()>& done) { return test::RunUntil(reactor, done); }
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

TEST_F(ReactorTest, ListeningPortIsReusableAfterRestartButNotWhileTaken) {
    TestSocket first;
    const uint16_t fixed = Listen(first);
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

TEST_F(ReactorTest, EveryByteSentBeforeACloseArrivesBeforeOnCloseWhichComesOnce) {
    auto [client, server] = Pair();
    std::string payload(60000, '\0'), got;
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<char>(i * 7 % 251);
    }
    ASSERT_EQ(client->Send(payload.data(), payload.size()), static_cast<ssize_t>(payload.size()));
    client->Close();
    // Small reads leave data queued when the close is seen.
    server->onReceive = [&, s = server.get()](int) {
        char buffer[1000];
        const ssize_t n = s->Receive(buffer, sizeof buffer);
        ASSERT_GT(n, 0) << "offered data that was not there";
        got.append(buffer, static_cast<size_t>(n));
    };
    size_t atClose = 0;
    server->onClose = [&](int) { atClose = got.size(); };
    EXPECT_TRUE(RunUntil([&] { return server->closes > 0; }));
    EXPECT_EQ(atClose, payload.size());
    EXPECT_TRUE(got == payload);
    EXPECT_EQ(server->closeError, 0);
    // Writing to the vanished peer fails; SIGPIPE would end the process. The first write only
    // draws the peer's reset.
    ASSERT_EQ(server->Send("late", 4), 4);
    pollfd reset{server->Fd(), 0, 0};  // an error is reported whatever is asked for
    ASSERT_EQ(poll(&reset, 1, 5000), 1);
    for (int i = 0; i < 3 && server->LastError() != EPIPE; ++i)
        EXPECT_EQ(server->Send("late", 4), -1);
    EXPECT_EQ(server->LastError(), EPIPE);

    test::RunPasses(reactor, 5);
    EXPECT_EQ(server->closes, 1);
    EXPECT_TRUE(LoopIsIdle());
}

TEST_F(ReactorTest, CloseOnlySocketWithUnreadDataDoesNotSpin) {
    auto [client, server] = Pair();
    server->AsyncSelect(kSocketClose);
    ASSERT_EQ(client->Send("unread", 6), 6);
    client->Close();
    pollfd closed{server->Fd(), POLLRDHUP, 0};
    ASSERT_EQ(poll(&closed, 1, 5000), 1);
    test::RunPasses(reactor, 5);
    EXPECT_EQ(server->receives + server->closes, 0);
    EXPECT_TRUE(LoopIsIdle());
}

TEST_F(ReactorTest, HandlersMayDestroyTheirOwnOrAnotherSocketMidBatch) {
    auto [client, server] = Pair();
    // Its close is in the same event: it is destroyed once the whole notification is through.
    server->onReceive = [&](int) { Reactor::DeleteLater(std::move(server)); };
    ASSERT_EQ(client->Send("x", 1), 1);
    client->Close();
    const size_t live = AsyncSocket::LiveCount();
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
        test::NoFreeDescriptors exhausted;
        listener.AsyncSelect(kSocketAccept);
        test::RunPasses(reactor, 10);
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

TEST_F(ReactorTest, ResolvesAndConnectsByNameAndNeverCallsBackWhatWentAway) {
    Resolved dotted{-1, {}};
    reactor.Resolve("10.1.2.3", [&](int e, std::vector<std::string> a) { dotted = {e, a}; });
    EXPECT_EQ(dotted.first, -1) << "called back from inside Resolve";
    int calls = 0;
    for (const char* host : {"localhost", "127.0.0.1"})
        reactor.CancelResolve(
            reactor.Resolve(host, [&](int, std::vector<std::string>) { ++calls; }));
    auto byName = StartClient("localhost", port);
    auto unknown = StartClient("nonexistent.invalid", port);
    auto closed = StartClient("localhost", port);
    closed->Close();
    StartClient("localhost", port).reset();
    EXPECT_TRUE(RunUntil([&] { return byName->connects && unknown->connects; }));
    test::RunPasses(reactor, 3);
    EXPECT_EQ(dotted, Resolved(0, {"10.1.2.3"}));
    EXPECT_EQ(byName->connectError, 0);
    EXPECT_NE(unknown->connectError, 0);
    EXPECT_EQ(calls + closed->connects + closed->closes, 0);
}

// A socket made without an address hears and dials both families where the host has IPv6, and
// an IPv4 peer reached through it is named as IPv4.
TEST_F(ReactorTest, OneListenerHearsBothFamiliesAndNamesPeersCanonically) {
    if (!HostHasIPv6() || !test::LoopbackIPv6()) {
        GTEST_SKIP() << "the host has no IPv6 loopback";
    }
    for (const std::string host : {"127.0.0.1", "::1", "::ffff:127.0.0.1"}) {
        auto server = std::make_unique<TestSocket>();
        listener.onAccept = [&, s = server.get()](int) { EXPECT_TRUE(listener.Accept(*s)); };
        auto client = StartClient(host, port);
        ASSERT_TRUE(RunUntil([&] { return client->connects && server->IsOpen(); })) << host;
        EXPECT_EQ(client->connectError, 0) << host;
        std::string seen;
        uint16_t from = 0;
        ASSERT_TRUE(server->GetPeerName(seen, from));
        EXPECT_EQ(seen, host == "::1" ? "::1" : "127.0.0.1");
        EXPECT_EQ(AddressWithPort(seen, port), host == "::1" ? "[::1]:" + std::to_string(port)
                                                             : "127.0.0.1:" + std::to_string(port));
    }
    EXPECT_EQ(CanonicalAddress("::FFFF:10.0.0.1"), "10.0.0.1");
    EXPECT_EQ(CanonicalAddress("2001:DB8:0::1"), "2001:db8::1");
    EXPECT_EQ(CanonicalAddress("[::1]"), "");
    EXPECT_TRUE(IsGlobalIPv6("2001:db8::1"));
    for (const char* local : {"fd00::2", "fe80::1", "::1", "::ffff:8.8.8.8", "1.2.3.4"}) {
        EXPECT_FALSE(IsGlobalIPv6(local)) << local;
    }
}

// A front end whose modal dialog runs its own loop inside a handler must not get handlers run
// in the middle of that one: the inner call dispatches nothing, and what was ready runs after.
TEST_F(ReactorTest, DispatchNeverRunsInsideAHandler) {
    auto [client, server] = Pair();
    bool received = false;
    server->onReceive = [&](int) { received = true; };
    int inner = -1;
    bool receivedInside = true;
    reactor.Post([&] {
        ASSERT_EQ(::send(client->Fd(), "x", 1, MSG_NOSIGNAL), 1);
        pollfd ready{reactor.Fd(), POLLIN, 0};
        ASSERT_EQ(poll(&ready, 1, 5000), 1);
        inner = reactor.RunOnce(0) + reactor.RunOnce(0);
        receivedInside = received;
    });
    ASSERT_TRUE(RunUntil([&] { return received; }));
    EXPECT_EQ(inner, 0);
    EXPECT_FALSE(receivedInside);
}

// A socket still open when the loop goes is cut loose from it: closing it later touches nothing
// of the loop, and the next loop starts clean.
TEST(ReactorLifetime, DestroyingTheReactorDropsPendingWorkAndLetsGoOfItsSockets) {
    int calls = 0;
    TestSocket listening, resolving;
    {
        Reactor reactor;
        for (const char* host : {"localhost", "nonexistent.invalid", "127.0.0.1"})
            reactor.Resolve(host, [&](int, std::vector<std::string>) { ++calls; });
        reactor.Post([&] { ++calls; });
        ASSERT_TRUE(listening.Create(0, kSocketAccept) && listening.Listen());
        ASSERT_TRUE(resolving.Create(0, kSocketConnect) && resolving.Connect("localhost", 1));
    }
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(listening.IsOpen());
    listening.Close();
    resolving.Close();
    Reactor next;
    EXPECT_TRUE(listening.Create(0, kSocketAccept) && listening.Listen());
    EXPECT_EQ(resolving.connects, 0);
}

}  // namespace
}  // namespace velbrook
