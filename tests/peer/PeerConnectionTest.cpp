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

}  // namespace
}  // namespace velbrook
