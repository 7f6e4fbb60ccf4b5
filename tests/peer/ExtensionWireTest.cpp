// The extension protocol over real loopback connections: the extended handshake, the fetch and
// the serving of the info dictionary, and ut_pex, with a raw socket playing the remote peer.
#include <gtest/gtest.h>

#include "dht/DhtNode.h"
#include "peer/Extended.h"
#include "support/PeerFakes.h"

namespace velbrook {
namespace {

using namespace test;
using namespace std::chrono_literals;
using namespace std::string_literals;

const std::string kPeerA = "-AA0001-aaaaaaaaaaaa";
const std::string kPeerB = "-BB0001-bbbbbbbbbbbb";

std::string Extended(uint8_t id, std::string_view body) {
    return std::string{static_cast<char>(kExtended), static_cast<char>(id)} + std::string(body);
}

// The extended messages with this id among what arrived, their bodies.
std::vector<std::string> ExtendedBodies(const std::vector<std::string>& messages, uint8_t id) {
    std::vector<std::string> bodies;
    for (const std::string& m : messages) {
        if (m.size() >= 2 && m[0] == static_cast<char>(kExtended) &&
            m[1] == static_cast<char>(id)) {
            bodies.push_back(m.substr(2));
        }
    }
    return bodies;
}

class ExtensionWire : public LoopbackPeers {
protected:
    // A remote whose handshake (with these feature bits) passed; `got` has what it was sent.
    std::unique_ptr<Remote> Join(const std::string& id, const PeerFeatures& features,
                                 const std::function<bool(const std::vector<std::string>&)>& until,
                                 std::vector<std::string>& got) {
        auto remote = std::make_unique<Remote>(m_listener.Port());
        remote->Write(BuildHandshake(ReservedBytes(features), kInfoHash, id));
        got = Wait(*remote, until, true);
        return remote;
    }
    // The messages the remote is sent until `until` holds for them.
    std::vector<std::string> Wait(Remote& remote,
                                  const std::function<bool(const std::vector<std::string>&)>& until,
                                  bool handshake = false) {
        std::string bytes;
        std::vector<std::string> messages;
        PumpUntil([&] {
            bytes += remote.Drain();
            if (handshake && bytes.size() >= kHandshakeLength) {
                bytes.erase(0, kHandshakeLength);
                handshake = false;
            }
            size_t cut = 0;
            if (!handshake) {
                EXPECT_EQ(CutMessages(bytes, 1 << 24, messages, cut), CutResult::Ok);
            }
            return (!handshake && until(messages)) || remote.m_closed;
        });
        return messages;
    }
    // Until the connection of `id` has read (and so handled) everything `remote` wrote.
    void Settle(Remote& remote, const std::string& id) {
        EXPECT_TRUE(PumpUntil([&] {
            const PeerConnection* peer = Peer(id);
            return peer && peer->Socket() && peer->Socket()->BytesReceived() >= remote.m_written;
        }));
    }
    static std::function<bool(const std::vector<std::string>&)> Count(size_t n) {
        return [n](const std::vector<std::string>& m) { return m.size() >= n; };
    }
    // Until `n` extended messages with this id arrived (keep-alives may come between).
    static std::function<bool(const std::vector<std::string>&)> CountExtended(uint8_t id,
                                                                              size_t n) {
        return [id, n](const std::vector<std::string>& m) {
            return ExtendedBodies(m, id).size() >= n;
        };
    }
};

// While the torrent has no dictionary a connection says HAVE NONE and nothing about pieces, takes
// no notice of the peer's, and asks a few dictionary pieces at a time of a peer that offers it. A
// refusal or a minute's silence hands the piece back and leaves the peer alone for a while.
TEST_F(ExtensionWire, WithoutTheDictionaryAConnectionFetchesItAndNothingElse) {
    Use(4 * 16384, 16384);
    RecordingMetadata& fetch = m_torrent->m_recording;
    fetch.m_size = 40000;
    m_torrent->m_metadata = &fetch;
    m_torrent->m_hasMetadata = false;
    m_host.m_reserved =
        ReservedBytes(PeerFeatures{.extensionProtocol = true, .fastExtension = true});
    const PeerFeatures features{.extensionProtocol = true, .fastExtension = true};
    std::vector<std::string> got;
    auto remote = Join(kPeerA, features, Count(2), got);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], BuildSimple(kHaveNone));
    EXPECT_EQ(ExtendedBodies(got, kExtendedHandshake).size(), 1u);

    remote->Message(BuildBitfield("\xf0"));
    remote->Message(BuildHave(1));
    remote->Message(BuildSimple(kInterested));
    remote->Message(BuildSimple(kUnchoke));
    remote->Message(BuildRequest(0, 0, 16384));
    remote->Message(Extended(0, "d1:md11:ut_metadatai3ee13:metadata_sizei40000ee"));
    got = Wait(*remote, Count(3));
    ASSERT_EQ(ExtendedBodies(got, 3).size(), 3u);  // nothing but the three requests
    ASSERT_EQ(got.size(), 3u);
    for (uint32_t piece = 0; piece < 3; ++piece) {
        EXPECT_EQ(got[piece], Extended(3, BuildMetadataRequest(piece)));
    }
    ASSERT_EQ(fetch.m_offers.size(), 1u);
    EXPECT_EQ(fetch.m_offers[0].second, 40000u);

    remote->Message(Extended(kOwnMetadataId, BuildMetadataData(0, 40000, std::string(16384, 'd'))));
    remote->Message(Extended(kOwnMetadataId, BuildMetadataReject(1)));
    ASSERT_TRUE(
        PumpUntil([&] { return fetch.m_pieces.size() == 1 && fetch.m_refused.size() == 1; }));
    EXPECT_EQ(fetch.m_pieces[0].data, std::string(16384, 'd'));
    EXPECT_EQ(fetch.m_pieces[0].peer, Peer(kPeerA));
    Advance(PeerConnection::kMetadataTimeout);  // piece 2 is never answered
    EXPECT_EQ(fetch.m_refused, (std::vector<uint32_t>{1, 2}));
    RunPasses(m_reactor);
    EXPECT_EQ(remote->Drain(), "");  // the peer is left alone for now
    Advance(PeerConnection::kMetadataPause);
    got = Wait(*remote, CountExtended(3, 2));
    EXPECT_EQ(ExtendedBodies(got, 3),
              (std::vector<std::string>{BuildMetadataRequest(1), BuildMetadataRequest(2)}));
    EXPECT_EQ(m_torrent->m_piecesWithoutMetadata, 0);

    // A dictionary of 1 GiB is not believed: that peer goes, and the fetch hears it.
    auto liar = Join(kPeerB, features, Count(2), got);
    liar->Message(Extended(0, "d1:md11:ut_metadatai3ee13:metadata_sizei1073741824ee"));
    EXPECT_TRUE(Closes(*liar));
    remote.reset();
    ASSERT_TRUE(PumpUntil([&] { return fetch.m_gone.size() == 1; }));
    EXPECT_EQ(m_torrent->m_piecesWithoutMetadata, 0);
}

// A torrent with its dictionary announces it after the bitfield, reads the peer's handshake, and
// serves the dictionary's pieces at once or refuses them. A peer that offers ut_pex and our own
// exchange as well gets only ut_pex; a peer without the extension bit gets neither.
TEST_F(ExtensionWire, TheHandshakeIsReadAndOurDictionaryServed) {
    Use(4 * 16384, 16384, 1);
    m_torrent->m_recording.m_dictionary = PatternBytes(20000);
    m_torrent->m_metadata = &m_torrent->m_recording;
    std::vector<std::string> got;
    auto remote = Join(kPeerA, ReadPeerFeatures(ReservedBytes(true)), Count(4), got);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], BuildBitfield("\x80"));
    EXPECT_EQ(got[1].substr(0, 2), Extended(0, ""));
    ExtendedHandshake ours;
    ASSERT_TRUE(ParseExtendedHandshake(got[1].substr(2), ours));
    EXPECT_EQ(ours.metadataSize, 20000u);
    EXPECT_NE(got[1].find("6:yourip4:\x7f\0\0\x01"s), std::string::npos);
    EXPECT_EQ(got[2], BuildExtension(0, ""));  // we cannot know yet what the peer offers
    EXPECT_EQ(got[3], BuildSimple(kUnchoke));

    remote->Message(
        Extended(0, "d1:md11:ut_metadatai7e6:ut_pexi5ee1:pi7000e4:reqqi5000e1:v9:Other 1.0e"));
    remote->Message(BuildExtension(0, ""));  // answered by nothing now: ut_pex is spoken
    remote->Message(BuildExtension(1, ""));
    remote->Message(Extended(kOwnMetadataId, BuildMetadataRequest(1)));
    remote->Message(Extended(kOwnMetadataId, BuildMetadataRequest(2)));
    got = Wait(*remote, Count(2));
    EXPECT_EQ(got, (std::vector<std::string>{
                       Extended(7, BuildMetadataData(1, 20000, PatternBytes(20000).substr(16384))),
                       Extended(7, BuildMetadataReject(2))}));
    PeerConnection* peer = Peer(kPeerA);
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(peer->PeerRequestLimit(), 2000u);
    EXPECT_EQ(peer->ClientName(), "Other 1.0");
    EXPECT_EQ(peer->ListenPort(), 7000);

    auto plain = Join(kPeerB, PeerFeatures{}, Count(2), got);
    EXPECT_EQ(got, (std::vector<std::string>{BuildBitfield("\x80"), BuildSimple(kUnchoke)}));
    plain->Message(Extended(0, "d1:md11:ut_metadatai7eee"));
    plain->Message(Extended(kOwnMetadataId, BuildMetadataRequest(0)));
    Settle(*plain, kPeerB);
    EXPECT_EQ(plain->Drain(), "");
}

// ut_pex tells a peer who joins and leaves, at most once a minute, and takes what a peer tells
// once a minute as tracker peers are taken; a private torrent does neither.
TEST_F(ExtensionWire, PexTellsWhoCameAndWentAndLearnsPeers) {
    Use(4 * 16384, 16384);
    const PeerFeatures features{.extensionProtocol = true};
    std::vector<std::string> got;
    auto a = Join(kPeerA, features, Count(3), got);
    a->Message(Extended(0, "d1:md6:ut_pexi5eee"));
    auto b = Join(kPeerB, features, Count(3), got);
    b->Message(Extended(0, "d1:pi7001ee"));
    ASSERT_TRUE(PumpUntil([&] { return Peer(kPeerB)->ListenPort() == 7001; }));
    Advance(1s);
    got = Wait(*a, CountExtended(5, 1));
    ASSERT_EQ(ExtendedBodies(got, 5).size(), 1u);
    PexMessage pex;
    ASSERT_TRUE(ParsePex(ExtendedBodies(got, 5)[0], pex));
    EXPECT_EQ(pex.added, (std::vector<PexPeer>{{"127.0.0.1", 7001, 0}}));  // A is not named to A

    PexMessage told;
    told.added = {{"10.9.9.9", 6000, kPexSeed}};
    a->Message(Extended(kOwnPexId, BuildPex(told)));
    told.added = {{"10.9.9.10", 6000, 0}};
    a->Message(Extended(kOwnPexId, BuildPex(told)));  // within the minute: not read
    Settle(*a, kPeerA);
    PeerConnection* learnt = m_torrent->m_set.FindByEndpoint("10.9.9.9", 6000);
    ASSERT_NE(learnt, nullptr);
    EXPECT_EQ(learnt->ExchangeFlags(), kPexSeed);
    EXPECT_EQ(m_torrent->m_set.FindByEndpoint("10.9.9.10", 6000), nullptr);

    b.reset();
    ASSERT_TRUE(PumpUntil([&] { return !Peer(kPeerB)->IsConnected(); }));
    Advance(30s);
    RunPasses(m_reactor);
    EXPECT_TRUE(ExtendedBodies(Messages(a->Drain()), 5).empty());  // not before the minute is up
    Advance(30s);
    got = Wait(*a, CountExtended(5, 1));
    ASSERT_TRUE(ParsePex(ExtendedBodies(got, 5).at(0), pex));
    EXPECT_TRUE(pex.added.empty());
    EXPECT_EQ(pex.dropped, (std::vector<PexPeer>{{"127.0.0.1", 7001, 0}}));

    m_torrent->m_set.SetPrivate(true);
    told.added = {{"10.9.9.11", 6000, 0}};
    a->Message(Extended(kOwnPexId, BuildPex(told)));
    auto c = Join("-CC0001-cccccccccccc", features, Count(3), got);
    c->Message(Extended(0, "d1:pi7002ee"));
    Settle(*a, kPeerA);
    Advance(61s);
    RunPasses(m_reactor);
    EXPECT_EQ(ExtendedBodies(Messages(a->Drain()), 5).size(), 0u);
    EXPECT_EQ(m_torrent->m_set.FindByEndpoint("10.9.9.11", 6000), nullptr);
}

// Peers that run a DHT node are told ours, and the node a peer names is pinged and joins our
// table. A private torrent's peers hear nothing of it, and what they name is passed over.
TEST_F(ExtensionWire, DhtPortsAreSwappedWithPeersThatRunANode) {
    Use(4 * 16384, 16384);
    const auto node = [this] {
        DhtOptions options;
        options.ipv6 = false;
        auto made = std::make_unique<DhtNode>(m_host.m_clock, options);
        std::string why;
        EXPECT_TRUE(made->Start(why)) << why;
        return made;
    };
    const auto ours = node();
    const auto theirs = node();
    const auto third = node();  // only ever named where it must be passed over
    m_host.m_dht = ours.get();
    m_host.m_dhtPort = ours->Port();
    m_host.m_reserved = ReservedBytes(true, true);
    const auto portMessage = [](const std::vector<std::string>& got) {
        const auto it = std::find_if(got.begin(), got.end(), IsDhtPortMessage);
        return it == got.end() ? uint16_t{0} : ReadDhtPort(*it);
    };
    // Time for a ping to be sent and answered, several times over.
    const auto idle = [this] {
        for (int turn = 0; turn < 20; ++turn) {
            Advance(DhtNode::kTick);
            RunPasses(m_reactor);
        }
    };
    const PeerFeatures features{.extensionProtocol = true, .dht = true};
    std::vector<std::string> got;
    auto a = Join(
        kPeerA, features, [&](const auto& m) { return portMessage(m) != 0; }, got);
    EXPECT_EQ(portMessage(got), ours->Port());
    a->Message(BuildDhtPort(theirs->Port()));
    a->Message(BuildDhtPort(third->Port()));  // one node per connection
    EXPECT_TRUE(PumpUntil([&] {
        Advance(DhtNode::kTick);
        return ours->NodeCount() == 1;
    }));
    idle();
    EXPECT_EQ(ours->NodeCount(), 1u);

    m_torrent->m_set.SetPrivate(true);
    auto b = Join(kPeerB, features, CountExtended(kExtendedHandshake, 1), got);
    b->Message(BuildDhtPort(third->Port()));
    Settle(*b, kPeerB);
    idle();
    const std::vector<std::string> later = Messages(b->Drain());
    got.insert(got.end(), later.begin(), later.end());
    EXPECT_EQ(portMessage(got), 0);
    EXPECT_EQ(ours->NodeCount(), 1u);
}

}  // namespace
}  // namespace velbrook
