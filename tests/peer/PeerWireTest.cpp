// PeerSocket and PeerConnection over real loopback connections, with a small fake torrent and a
// raw blocking socket playing the remote peer.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include "persist/Settings.h"
#include "support/PeerFakes.h"

namespace velbrook {
namespace {

using namespace test;

class PeerWire : public ::testing::Test {
protected:
    PeerWire() : m_settings("/tmp/"), m_listener(m_host) {}

    void Use(int64_t total, int64_t pieceLength, const char* own = nullptr) {
        m_session = std::make_unique<FakeSession>(total, pieceLength, m_host);
        m_host.m_session = m_session.get();
        const uint32_t count = m_session->m_pieces.GetLastIndex() + 1;
        for (uint32_t i = 0; i < count; ++i) {
            m_session->m_pieces.SetState(i, own && own[i] == '2' ? Have : Missing);
        }
    }
    // Runs the loop until `done` holds (or a generous number of rounds passed).
    void PumpUntil(const std::function<bool()>& done) {
        for (int i = 0; i < 400 && !done(); ++i) {
            m_reactor.RunOnce(5);
        }
    }
    void Pump(int rounds = 20) {
        for (int i = 0; i < rounds; ++i) {
            m_reactor.RunOnce(2);
        }
    }
    // Connects a remote peer and completes its handshake; returns what it received.
    std::unique_ptr<Remote> Connected(const std::string& peerId, std::string* received = nullptr) {
        auto remote = std::make_unique<Remote>(m_listener.Port());
        remote->Write(Handshake(peerId));
        std::string got;
        PumpUntil([&] {
            got += remote->Drain();
            return got.size() >= kHandshakeLength + 4;
        });
        Pump(5);
        got += remote->Drain();
        if (received) {
            *received = got;
        }
        return remote;
    }
    PeerConnection* Peer(const std::string& id) { return m_session->FindPeer(id); }

    Reactor m_reactor;
    Settings m_settings;
    FakeHost m_host;
    Listener m_listener;
    std::unique_ptr<FakeSession> m_session;
};

const std::string kPeerA = "-AA0001-aaaaaaaaaaaa";
const std::string kPeerB = "-BB0001-bbbbbbbbbbbb";

TEST_F(PeerWire, HandshakeInPiecesPassesAndIsAnsweredAfterwards) {
    Use(4 * 16384, 16384, "2000");
    Remote remote(m_listener.Port());
    const std::string hs = Handshake(kPeerA);
    remote.Write(hs.substr(0, 5));
    Pump();
    EXPECT_EQ(remote.Drain(), "");  // an incoming peer is answered only once its handshake passed
    remote.Write(hs.substr(5));
    std::string got;
    PumpUntil([&] {
        got += remote.Drain();
        return got.size() >= kHandshakeLength + 4 + 2 + 5;
    });
    ASSERT_GE(got.size(), kHandshakeLength);
    EXPECT_EQ(got.substr(0, kHandshakeLength),
              BuildHandshake(ReservedBytes(true), kInfoHash, kOwnId));
    const auto messages = Messages(got.substr(kHandshakeLength));
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], BuildBitfield(std::string("\x80", 1)));
    EXPECT_EQ(messages[1], BuildSimple(kUnchoke));
    ASSERT_NE(Peer(kPeerA), nullptr);
    EXPECT_TRUE(Peer(kPeerA)->IsConnected());
    EXPECT_EQ(m_session->m_connected, 1);
}

TEST_F(PeerWire, BadHandshakesCloseWithoutAnswer) {
    Use(4 * 16384, 16384);
    struct Case {
        const char* what;
        std::string bytes;
    };
    const Case cases[] = {
        {"wrong info hash", Handshake(kPeerA, std::string(20, '\x22'))},
        {"myself", Handshake(kOwnId)},
        {"wrong protocol byte early", std::string("\x13"
                                                  "BitTorrent protocX",
                                                  19)},
    };
    for (const Case& c : cases) {
        Remote remote(m_listener.Port());
        remote.Write(c.bytes);
        std::string got;
        PumpUntil([&] {
            got += remote.Drain();
            return remote.m_closed;
        });
        EXPECT_TRUE(remote.m_closed) << c.what;
        EXPECT_EQ(got, "") << c.what;
    }
    EXPECT_EQ(m_session->m_peers.size(), 0u);
    Pump();
    EXPECT_EQ(m_host.Registry().Count(), 0u);  // closed sockets leave the registry
}

TEST_F(PeerWire, PipelineKeepsFiveRequestsAndRefillsOnEachPiece) {
    Use(8 * 16384, 32768);  // 4 pieces of 2 slices
    auto remote = Connected(kPeerA);
    remote->Message(BuildBitfield(std::string("\xf0", 1)));
    remote->Message(BuildSimple(kUnchoke));
    std::vector<std::string> got;
    PumpUntil([&] {
        auto more = Messages(remote->Drain());
        got.insert(got.end(), more.begin(), more.end());
        return got.size() >= 7;
    });
    // Nothing of ours is of use to the peer, so it is unchoked at once; then interest and the
    // pipeline.
    ASSERT_EQ(got.size(), 7u);
    EXPECT_EQ(got[0], BuildSimple(kUnchoke));
    EXPECT_EQ(got[1], BuildSimple(kInterested));
    std::vector<BlockRequest> asked;
    for (size_t i = 2; i < got.size(); ++i) {
        WireMessage m;
        ASSERT_EQ(DecodeMessage(got[i], m), DecodeStatus::Ok);
        ASSERT_EQ(m.id, kRequest);
        asked.push_back({m.index, m.begin, m.length});
    }
    EXPECT_EQ(Peer(kPeerA)->Outstanding().size(), 5u);
    // Answer the first request: exactly one new request follows.
    const BlockRequest first = asked[0];
    remote->Message(
        BuildPiece(first.piece, first.begin,
                   m_session->m_data.substr(first.piece * 32768 + first.begin, first.length)));
    got.clear();
    PumpUntil([&] {
        auto more = Messages(remote->Drain());
        got.insert(got.end(), more.begin(), more.end());
        return !got.empty();
    });
    Pump(5);
    auto more = Messages(remote->Drain());
    got.insert(got.end(), more.begin(), more.end());
    ASSERT_EQ(got.size(), 1u);
    WireMessage m;
    ASSERT_EQ(DecodeMessage(got[0], m), DecodeStatus::Ok);
    EXPECT_EQ(m.id, kRequest);
    EXPECT_EQ(Peer(kPeerA)->Outstanding().size(), 5u);
    EXPECT_EQ(m_session->m_writes, 1);

    // CHOKE gives every outstanding slice back to the picker.
    remote->Message(BuildSimple(kChoke));
    PumpUntil([&] { return Peer(kPeerA)->Outstanding().empty(); });
    EXPECT_TRUE(Peer(kPeerA)->Outstanding().empty());
    EXPECT_TRUE(Peer(kPeerA)->IsConnected());
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_NE(m_session->m_pieces.GetState(i), Requested) << i;
    }
}

TEST_F(PeerWire, ProtocolErrorsFlagOrClose) {
    m_settings.SetInt(LogPeerComm, 1);
    m_settings.SetInt(LogPeerCommLines, 100);
    Use(4 * 16384, 16384);
    auto remote = Connected(kPeerA);
    // An unrequested slice is flagged and discarded, the connection stays.
    remote->Message(BuildPiece(0, 0, std::string(16384, 'x')));
    PumpUntil([&] { return Peer(kPeerA)->IsFatal(); });
    EXPECT_TRUE(Peer(kPeerA)->IsFatal());
    EXPECT_EQ(m_session->m_writes, 0);
    EXPECT_TRUE(Peer(kPeerA)->IsConnected());

    remote->Message(BuildBitfield(std::string("\x80", 1)));
    remote->Message(BuildBitfield(std::string("\x80", 1)));
    PumpUntil([&] {
        remote->Drain();
        return remote->m_closed;
    });
    EXPECT_TRUE(remote->m_closed);
    EXPECT_FALSE(Peer(kPeerA)->IsConnected());
    // The reset connection's log ends with the disconnect right after the reason.
    const auto& log = Peer(kPeerA)->Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "Fatal Error:Send BitField Again!");
    EXPECT_EQ(log.back(), "Peer Disconnected!");
    EXPECT_EQ(m_session->m_connected, 0);
}

TEST_F(PeerWire, HostileMessagesCloseTheConnection) {
    Use(4 * 16384, 16384);
    const std::pair<const char*, std::string> cases[] = {
        {"length above the maximum", std::string("\x7f\xff\xff\xff", 4)},
        {"HAVE too short", FrameMessage(std::string("\x04\x00", 2))},
        {"REQUEST too short", FrameMessage(BuildRequest(0, 0, 16384).substr(0, 9))},
        {"HAVE past the last piece", FrameMessage(BuildHave(4))},
        {"REQUEST past the last piece", FrameMessage(BuildRequest(99, 0, 16384))},
        {"PIECE past the last piece", FrameMessage(BuildPiece(7, 0, "x"))},
        {"HAVE twice", FrameMessage(BuildHave(1)) + FrameMessage(BuildHave(1))},
    };
    int n = 0;
    for (const auto& [what, bytes] : cases) {
        const std::string id = "-HH0001-" + std::string(11, 'h') + static_cast<char>('a' + n++);
        auto remote = Connected(id);
        remote->Write(bytes);
        PumpUntil([&] {
            remote->Drain();
            return remote->m_closed;
        });
        EXPECT_TRUE(remote->m_closed) << what;
    }
    EXPECT_EQ(m_session->m_connected, 0);
}

TEST_F(PeerWire, PeerRequestsAreQueuedUpToTwoThousand) {
    constexpr int64_t kPiece = 256 * 1024;
    Use(2 * kPiece, kPiece, "22");
    auto remote = Connected(kPeerA);
    remote->Message(BuildSimple(kInterested));
    remote->Message(BuildRequest(0, 0, PeerConnection::kMaxRequestLength + 1));  // flagged
    std::string burst = FrameMessage(BuildRequest(1, 0, PeerConnection::kMaxRequestLength));
    for (int i = 1; i < 2001; ++i) {
        burst += FrameMessage(BuildRequest(static_cast<uint32_t>(i % 2), 0, 1024));
    }
    remote->Write(burst);
    PumpUntil([&] { return m_session->m_queuedNotes >= 2000; });
    Pump(5);
    ASSERT_TRUE(Peer(kPeerA)->IsConnected());
    EXPECT_TRUE(Peer(kPeerA)->IsFatal());
    EXPECT_EQ(Peer(kPeerA)->PeerRequests().size(), 2000u);
    EXPECT_EQ(m_session->m_queuedNotes, 2000);
    EXPECT_EQ(Peer(kPeerA)->ServeOneRequest(), PeerConnection::kMaxRequestLength);
    std::string got;
    PumpUntil([&] {
        got += remote->Drain();
        return got.size() >= PeerConnection::kMaxRequestLength + 13;
    });
    const auto messages = Messages(got);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], BuildPiece(1, 0, m_session->m_data.substr(kPiece, 131072)));
    EXPECT_EQ(Peer(kPeerA)->PeerRequests().size(), 1999u);
    EXPECT_EQ(m_session->m_uploaded, PeerConnection::kMaxRequestLength);
}

TEST_F(PeerWire, APeerThatSentNoBitfieldHearsOfOurInterestWithItsFirstHave) {
    Use(4 * 16384, 16384);
    auto remote = Connected(kPeerA);
    remote->Message(BuildHave(2));
    std::vector<std::string> got;
    PumpUntil([&] {
        auto more = Messages(remote->Drain());
        got.insert(got.end(), more.begin(), more.end());
        return !got.empty();
    });
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0], BuildSimple(kInterested));
}

TEST_F(PeerWire, FailedCheckFlagsOnlyTheDeliveringConnection) {
    Use(2 * 16384, 32768);  // one piece of two slices
    auto a = Connected(kPeerA);
    auto b = Connected(kPeerB);
    m_session->m_requestBudget = 1;  // A may ask for one slice only
    a->Message(BuildBitfield(std::string("\x80", 1)));
    a->Message(BuildSimple(kUnchoke));
    PumpUntil([&] { return Peer(kPeerA)->Outstanding().size() == 1; });
    m_session->m_requestBudget = 1;  // B helps out with the other slice
    b->Message(BuildBitfield(std::string("\x80", 1)));
    b->Message(BuildSimple(kUnchoke));
    PumpUntil([&] { return Peer(kPeerB)->Outstanding().size() == 1; });
    ASSERT_EQ(Peer(kPeerA)->Outstanding().size(), 1u);
    ASSERT_EQ(Peer(kPeerB)->Outstanding().size(), 1u);
    const BlockRequest ra = Peer(kPeerA)->Outstanding()[0];
    const BlockRequest rb = Peer(kPeerB)->Outstanding()[0];
    ASSERT_NE(ra.begin, rb.begin);
    a->Message(BuildPiece(ra.piece, ra.begin, m_session->m_data.substr(ra.begin, ra.length)));
    PumpUntil([&] { return m_session->m_writes == 1; });
    b->Message(BuildPiece(rb.piece, rb.begin, std::string(rb.length, '!')));
    PumpUntil([&] { return m_session->m_writes == 2; });
    Pump(5);
    EXPECT_EQ(m_session->m_pieces.GetState(0), Missing);
    EXPECT_FALSE(Peer(kPeerA)->IsFatal());
    EXPECT_TRUE(Peer(kPeerB)->IsFatal());
}

TEST_F(PeerWire, APeerThatNeverReadsIsCutOff) {
    Use(4 * 16384, 16384, "2222");
    auto remote = Connected(kPeerA);
    const std::string block(1 << 20, 'z');
    PeerConnection* peer = Peer(kPeerA);
    int taken = 0;
    for (int i = 0; i < 5; ++i) {
        taken += peer->SendPiece(0, 0, block) ? 1 : 0;  // nothing is written without the loop
    }
    EXPECT_EQ(taken, 3);  // the fourth would pass the 4 MiB cap
    PumpUntil([&] { return !peer->IsConnected(); });
    EXPECT_FALSE(peer->IsConnected());
}

// Reads exactly n bytes from a blocking socket while the loop keeps running.
std::string ReadExactly(int fd, size_t n, const std::function<void()>& pump) {
    std::string got;
    char buffer[4096];
    for (int i = 0; i < 400 && got.size() < n; ++i) {
        const ssize_t r = ::recv(fd, buffer, std::min(sizeof buffer, n - got.size()), MSG_DONTWAIT);
        if (r > 0) {
            got.append(buffer, static_cast<size_t>(r));
        } else if (r == 0) {
            break;
        } else {
            pump();
        }
    }
    return got;
}

uint16_t FreePort() {
    RawListener probe;
    return probe.m_port;
}

// Debian's microsocks, started for the test and stopped by its pid.
class Microsocks {
public:
    Microsocks(const std::string& user, const std::string& password) : m_port(FreePort()) {
        m_pid = ::fork();
        if (m_pid == 0) {
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            const std::string port = std::to_string(m_port);
            if (user.empty()) {
                ::execl("/usr/bin/microsocks", "microsocks", "-i", "127.0.0.1", "-p", port.c_str(),
                        static_cast<char*>(nullptr));
            } else {
                ::execl("/usr/bin/microsocks", "microsocks", "-i", "127.0.0.1", "-p", port.c_str(),
                        "-u", user.c_str(), "-P", password.c_str(), static_cast<char*>(nullptr));
            }
            ::_exit(127);
        }
        // Ready once it accepts a connection.
        for (int i = 0; i < 200; ++i) {
            Remote probe(m_port, /*expectSuccess=*/false);
            if (probe.m_connected) {
                return;
            }
            ::usleep(10000);
        }
    }
    ~Microsocks() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    uint16_t m_port;
    pid_t m_pid;
};

class OutgoingWire : public PeerWire {
protected:
    // Dials the raw listener for kPeerA; returns the accepted far end.
    int Dial(PeerSocket*& socket) {
        PeerConnection* peer =
            m_session->CreatePeer(kPeerA, "127.0.0.1", m_far.m_port, m_far.m_port);
        socket = &m_host.Registry().Create(m_host);
        EXPECT_TRUE(socket->Connect(*peer, kInfoHash));
        return m_far.Accept([this] { m_reactor.RunOnce(5); });
    }
    RawListener m_far;
};

TEST_F(OutgoingWire, DirectConnectSendsOurHandshakeFirst) {
    Use(4 * 16384, 16384);
    PeerSocket* socket = nullptr;
    const int fd = Dial(socket);
    ASSERT_GE(fd, 0);
    const auto pump = [this] { m_reactor.RunOnce(5); };
    EXPECT_EQ(ReadExactly(fd, kHandshakeLength, pump),
              BuildHandshake(ReservedBytes(true), kInfoHash, kOwnId));
    const std::string answer = Handshake(kPeerA);
    ASSERT_EQ(::send(fd, answer.data(), answer.size(), 0), static_cast<ssize_t>(answer.size()));
    PumpUntil([&] { return Peer(kPeerA)->IsConnected(); });
    EXPECT_TRUE(Peer(kPeerA)->IsConnected());
    EXPECT_EQ(socket->State(), PeerSocketState::Messages);
    ::close(fd);
    PumpUntil([&] { return !Peer(kPeerA)->IsConnected(); });
    EXPECT_FALSE(Peer(kPeerA)->IsConnected());
    Pump(3);
    EXPECT_FALSE(m_host.Registry().Contains(*socket));  // the registry let it go
}

TEST_F(OutgoingWire, RefusedConnectsAndSelfConnectionsFail) {
    Use(4 * 16384, 16384);
    PeerConnection* peer = m_session->CreatePeer(kPeerA, "127.0.0.1", FreePort(), 0);
    EXPECT_TRUE(m_host.Registry().Create(m_host).Connect(*peer, kInfoHash));
    PumpUntil([&] { return peer->ConnectFailures() == 1; });
    EXPECT_EQ(peer->ConnectFailures(), 1u);
    EXPECT_EQ(peer->Socket(), nullptr);

    // A socket that the session closes while it is still connecting stays registered.
    PeerSocket* pending = &m_host.Registry().Create(m_host);
    PeerConnection* other = m_session->CreatePeer(kPeerB, "127.0.0.1", m_far.m_port, 0);
    ASSERT_TRUE(pending->Connect(*other, kInfoHash));
    pending->Close(true);
    Pump(3);
    EXPECT_TRUE(m_host.Registry().Contains(*pending));
    const int stale = m_far.Accept([this] { m_reactor.RunOnce(5); });
    ::close(stale);

    // Dialling ourselves: the answer carries our own peer id.
    PeerSocket* self = nullptr;
    const int fd = Dial(self);
    ASSERT_GE(fd, 0);
    const std::string mine = Handshake(kOwnId);
    ASSERT_EQ(::send(fd, mine.data(), mine.size(), 0), static_cast<ssize_t>(mine.size()));
    PumpUntil([&] { return !m_host.Registry().Contains(*self); });
    EXPECT_FALSE(m_host.Registry().Contains(*self));
    EXPECT_FALSE(Peer(kPeerA)->IsConnected());
    ::close(fd);
}

TEST_F(OutgoingWire, ThroughMicrosocksWithAndWithoutPassword) {
    Use(4 * 16384, 16384);
    for (const auto& [user, password] :
         std::vector<std::pair<std::string, std::string>>{{"", ""}, {"alice", "s3cret"}}) {
        Microsocks proxy(user, password);
        m_settings.SetInt(ConnectionType, 2);
        m_settings.SetString(SocksServer, "127.0.0.1");
        m_settings.SetInt(SocksPort, proxy.m_port);
        m_settings.SetString(Socks5UserName, user);
        m_settings.SetString(Socks5Password, password);
        PeerSocket* socket = nullptr;
        const int fd = Dial(socket);
        ASSERT_GE(fd, 0) << user;
        const auto pump = [this] { m_reactor.RunOnce(5); };
        EXPECT_EQ(ReadExactly(fd, kHandshakeLength, pump).size(), kHandshakeLength) << user;
        const std::string answer = Handshake(kPeerA);
        ASSERT_EQ(::send(fd, answer.data(), answer.size(), 0), static_cast<ssize_t>(answer.size()));
        PumpUntil([&] { return Peer(kPeerA)->IsConnected(); });
        EXPECT_TRUE(Peer(kPeerA)->IsConnected()) << user;
        // The peer is where we dialled it, not where the proxy is.
        EXPECT_EQ(Peer(kPeerA)->Port(), m_far.m_port) << user;
        ::close(fd);
        PumpUntil([&] { return !Peer(kPeerA)->IsConnected(); });
        m_session->m_peers.clear();
        Pump(3);
    }
}

TEST_F(OutgoingWire, ScriptedProxyRepliesAreChecked) {
    Use(4 * 16384, 16384);
    m_settings.SetInt(ConnectionType, 2);
    m_settings.SetString(SocksServer, "127.0.0.1");
    m_settings.SetInt(SocksPort, m_far.m_port);
    const auto pump = [this] { m_reactor.RunOnce(5); };
    struct Case {
        const char* what;
        std::string user;
        std::string greeting;  // what we must send first
        std::string reply;     // what the proxy answers
        bool connects;
        bool inPieces;  // each reply split over two reads
    };
    const std::string connectOk = std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x1a\xe1", 10);
    const Case cases[] = {
        {"no acceptable method", "", std::string("\x05\x01\x00", 3), std::string("\x05\xff", 2),
         false, false},
        {"password refused", "bob", std::string("\x05\x01\x02", 3), std::string("\x05\x02", 2),
         false, false},
        // A name whose length does not fit the one-byte field is never sent.
        {"user name of 256 bytes", std::string(256, 'u'), std::string("\x05\x01\x02", 3),
         std::string("\x05\x02", 2), false, false},
        {"connect then handshake in one read", "", std::string("\x05\x01\x00", 3),
         std::string("\x05\x00", 2), true, false},
        {"replies in pieces", "", std::string("\x05\x01\x00", 3), std::string("\x05\x00", 2), true,
         true},
    };
    for (const Case& c : cases) {
        m_settings.SetString(Socks5UserName, c.user);
        m_settings.SetString(Socks5Password, c.user.empty() ? "" : "pw");
        m_session->m_peers.clear();
        Pump(3);
        PeerSocket* socket = nullptr;
        const int fd = Dial(socket);
        ASSERT_GE(fd, 0) << c.what;
        // In pieces, the first one ends inside the reply.
        const auto answer = [&](const std::string& bytes) {
            const size_t first = c.inPieces ? std::min<size_t>(bytes.size() / 2, 5) : bytes.size();
            ASSERT_EQ(::send(fd, bytes.data(), first, 0), static_cast<ssize_t>(first));
            if (first < bytes.size()) {
                Pump(3);
                ::send(fd, bytes.data() + first, bytes.size() - first, 0);
            }
        };
        EXPECT_EQ(ReadExactly(fd, 3, pump), c.greeting) << c.what;
        answer(c.reply);
        if (c.user.size() == 3) {
            // The user/password request goes out; the proxy refuses it.
            EXPECT_EQ(ReadExactly(fd, 8, pump), std::string("\x01\x03"
                                                            "bob"
                                                            "\x02"
                                                            "pw",
                                                            8));
            ::send(fd, "\x01\x01", 2, 0);
        } else if (c.connects) {
            const std::string request = ReadExactly(fd, 10, pump);
            EXPECT_EQ(request.substr(0, 4), std::string("\x05\x01\x00\x01", 4)) << c.what;
            answer(connectOk + Handshake(kPeerA));
        }
        if (c.connects) {
            PumpUntil([&] { return Peer(kPeerA)->IsConnected(); });
            EXPECT_TRUE(Peer(kPeerA)->IsConnected()) << c.what;
            EXPECT_EQ(ReadExactly(fd, kHandshakeLength, pump).size(), kHandshakeLength);
        } else {
            std::string rest;
            PumpUntil([&] {
                char b[64];
                const ssize_t r = ::recv(fd, b, sizeof b, MSG_DONTWAIT);
                if (r > 0)
                    rest.append(b, static_cast<size_t>(r));
                return r == 0;
            });
            EXPECT_EQ(rest, "") << c.what;  // nothing further after the failure
            EXPECT_FALSE(Peer(kPeerA)->IsConnected()) << c.what;
        }
        ::close(fd);
    }
}

}  // namespace
}  // namespace velbrook
