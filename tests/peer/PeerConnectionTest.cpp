// PeerConnection bookkeeping that needs no socket: seeds, the log, the reset after a close.
#include <gtest/gtest.h>

#include "persist/Settings.h"
#include "support/PeerFakes.h"

namespace velbrook {
namespace {

using namespace test;

class PeerConnectionBook : public ::testing::Test {
protected:
    PeerConnectionBook() : m_settings("/tmp/"), m_session(4 * 16384, 16384, m_host) {
        m_session.m_pieces.SetAll(Missing);
        m_peer = m_session.CreatePeer(std::string(20, 'p'), "10.0.0.1", 6881, 6881);
        m_peer->OnHandshakePassed();
    }
    bool Feed(std::vector<std::string> payloads) { return m_peer->ProcessMessages(payloads); }

    Settings m_settings;
    FakeHost m_host;
    FakeSession m_session;
    PeerConnection* m_peer;
};

TEST_F(PeerConnectionBook, ASeedIsCountedOnceAndForgottenOnClose) {
    ASSERT_TRUE(Feed({BuildHave(0), BuildHave(1), BuildHave(2)}));
    EXPECT_EQ(m_session.m_seeds, 0);
    ASSERT_TRUE(Feed({BuildHave(3)}));
    EXPECT_TRUE(m_peer->IsSeed());
    EXPECT_EQ(m_session.m_seeds, 1);
    EXPECT_EQ(m_session.m_connected, 1);
    EXPECT_EQ(m_session.m_pieces.AvailabilityOf(3), 1);
    m_peer->OnSocketClosed();
    EXPECT_EQ(m_session.m_seeds, 0);
    EXPECT_EQ(m_session.m_connected, 0);
    EXPECT_EQ(m_session.m_pieces.AvailabilityOf(3), 0);
    EXPECT_FALSE(m_peer->IsSeed());
    EXPECT_TRUE(m_peer->PeerPieces().AllEqual(Missing));
    // Messages after the reset close the (next) socket: the handshake has not passed again.
    EXPECT_FALSE(Feed({BuildHave(0)}));
}

TEST_F(PeerConnectionBook, LogKeepsOnlyTheNewestLines) {
    m_settings.SetInt(LogPeerComm, 1);
    m_settings.SetInt(LogPeerCommLines, 3);
    for (uint32_t i = 0; i < 5; ++i) {
        m_peer->SendHave(i);
    }
    ASSERT_EQ(m_peer->Log().size(), 3u);
    EXPECT_EQ(m_peer->Log().front(), "Send msg: HAVE: 2 \r\n");
    EXPECT_EQ(m_peer->Log().back(), "Send msg: HAVE: 4 \r\n");

    m_settings.SetInt(LogPeerCommLines, 0);
    m_peer->SendHave(1);
    EXPECT_TRUE(m_peer->Log().empty());
}

std::string Entry(const std::string& id, const std::string& address, uint32_t port) {
    std::string entry = id + static_cast<char>(address.size()) + address;
    AppendU32(entry, port);
    return entry;
}

TEST_F(PeerConnectionBook, PeerExchangeAddsNewPeersAndStopsAtBadEntries) {
    m_settings.SetInt(LogPeerComm, 1);
    m_settings.SetInt(LogPeerCommLines, 10);
    m_peer->SetExtensionCapable(true);
    const std::string a(20, 'a');
    const std::string b(20, 'b');
    ASSERT_TRUE(Feed({BuildExtension(2, Entry(a, "10.0.0.2", 6881) + Entry(a, "10.0.0.3", 1) +
                                            Entry(m_peer->PeerId(), "10.0.0.1", 6881) +
                                            Entry(b, "not an address!", 7000) +
                                            Entry(std::string(20, 'c'), "10.0.0.4", 7))}));
    // a is added once; the known peer and the duplicate are counted; the bad address ends it.
    EXPECT_EQ(m_peer->Log().back(), std::string(26, ' ') + "<<-Recv msg: EXT_PEERS: 3, Add 1 \r\n");
    ASSERT_NE(m_session.FindPeer(a), nullptr);
    EXPECT_EQ(m_session.FindPeer(a)->Address(), "10.0.0.2");
    EXPECT_EQ(m_session.FindPeer(a)->ListenPort(), 6881);
    EXPECT_EQ(m_session.FindPeer(b), nullptr);

    // An entry with an empty address is too short to count; a broken message is dropped.
    ASSERT_TRUE(Feed({BuildExtension(2, std::string(20, 'd') + '\0' + std::string(4, '\0')),
                      std::string(1, '\x09')}));
    EXPECT_EQ(m_peer->Log().back(), std::string(26, ' ') + "<<-Recv msg: EXT_PEERS: 0, Add 0 \r\n");

    // Switched off on our side: nothing is read.
    m_settings.SetInt(ProtocalExtension, 0);
    ASSERT_TRUE(Feed({BuildExtension(2, Entry(std::string(20, 'e'), "10.0.0.5", 1))}));
    EXPECT_EQ(m_session.FindPeer(std::string(20, 'e')), nullptr);
}

}  // namespace
}  // namespace velbrook
