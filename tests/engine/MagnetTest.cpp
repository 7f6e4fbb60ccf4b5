// Torrents opened from magnet links: listed at once, fetching their metadata, kept in the list,
// and going on like an added .torrent once the metadata checks out.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "engine/CVelbrookDoc.h"
#include "engine/DownloadsList.h"
#include "engine/PeerSet.h"
#include "engine/TorrentSession.h"
#include "metainfo/FileList.h"
#include "metainfo/KeyPathMap.h"
#include "metainfo/SHA1.h"
#include "peer/PeerConnection.h"
#include "support/EngineFakes.h"
#include "support/Loopback.h"
#include "support/MetainfoBuilder.h"
#include "support/TempDir.h"

namespace velbrook {
namespace {

using test::ReadFile;
using test::WriteFile;

struct Torrent {
    std::string info;  // the info dictionary's bytes
    std::string hash;
};

Torrent Make(const test::Metainfo& metainfo) {
    const std::string bytes = metainfo.Encode();
    KeyPathMap map;
    EXPECT_TRUE(map.Decode(bytes));
    Torrent torrent;
    torrent.info = bytes.substr(map.InfoStart(), map.InfoEnd() - map.InfoStart());
    torrent.hash = SHA1::Digest(torrent.info);
    return torrent;
}

class Magnet : public ::testing::Test {
protected:
    Magnet() {
        test::WriteAnyPortSettings(m_profile);
        m_ui.m_folder = m_save.Dir();
    }
    std::string Link(const Torrent& torrent, const std::string& rest = {}) const {
        return "magnet:?xt=urn:btih:" + BytesToHex(torrent.hash) + rest;
    }
    // Hands the whole dictionary to the fetch through a connection of the torrent.
    static bool Deliver(TorrentSession& session, PeerConnection& peer, const std::string& info) {
        if (!session.OfferMetadata(peer, info.size())) {
            return false;
        }
        bool kept = true;
        while (const auto piece = session.NextMetadataPiece(peer)) {
            kept = session.OnMetadataPiece(
                       peer, *piece, info.size(),
                       info.substr(size_t{*piece} * kMetadataPieceSize, kMetadataPieceSize)) &&
                   kept;
        }
        return kept;
    }

    test::ManualClock m_clock;
    Reactor m_reactor;
    test::TempDir m_profile;
    test::TempDir m_save;
    test::FakeUi m_ui;
};

TEST_F(Magnet, ALinkIsListedAtOnceAndAsksItsTrackersAndPeers) {
    const Torrent torrent = Make({.name = "file.bin", .length = 40000});
    test::RawListener tracker;
    test::RawListener peer;
    const std::string link =
        Link(torrent, "&dn=The+Show&tr=http%3A%2F%2F127.0.0.1%3A" + std::to_string(tracker.m_port) +
                          "%2Fannounce&x.pe=127.0.0.1:" + std::to_string(peer.m_port));
    CVelbrookDoc doc(m_profile.Dir(), m_ui, m_clock);
    ASSERT_TRUE(doc.OpenMagnetLink(link));
    TorrentSession& session = *doc.Downloads().Sessions().at(0);
    EXPECT_EQ(session.Name(), "The Show");
    EXPECT_EQ(session.State(), SessionState::FetchingMetadata);
    EXPECT_FALSE(session.HasMetadata());
    EXPECT_TRUE(session.InfoDictionary().empty());
    EXPECT_EQ(doc.Downloads().Shown(), 0u);

    // The link's peer is dialled at once; the tracker hears from a client that has nothing
    // yet, never from a seed.
    EXPECT_GE(peer.TakeConnection(m_reactor), 0);
    test::FarEnd announce = tracker.Accept(m_reactor);
    const std::string request = announce.ReadThrough("\r\n\r\n");
    EXPECT_NE(request.find("event=started"), std::string::npos) << request;
    EXPECT_EQ(request.find("left=0&"), std::string::npos) << request;

    // A link that names no torrent, or one listed already, is refused saying why.
    EXPECT_FALSE(doc.OpenMagnetLink("magnet:?xt=urn:btih:123"));
    EXPECT_FALSE(doc.OpenMagnetLink(link));
    ASSERT_EQ(m_ui.m_shown.size(), 2u);
    EXPECT_EQ(m_ui.m_shown[0], "Can't open the magnet link magnet:?xt=urn:btih:123: its info "
                               "hash has 3 characters, not 40 hexadecimal or 32 base32");
    EXPECT_EQ(m_ui.m_shown[1],
              "Same infohash, You must delete the same entry before adding a new one");
    EXPECT_EQ(doc.Downloads().Sessions().size(), 1u);

    // Stopped and started again like any torrent; a link without trackers is fine.
    EXPECT_TRUE(session.Stop());
    EXPECT_EQ(session.State(), SessionState::Stopped);
    EXPECT_EQ(session.Peers(), nullptr);
    EXPECT_TRUE(session.StartDownload(false));
    EXPECT_EQ(session.State(), SessionState::FetchingMetadata);
    const Torrent other = Make({.name = "other", .length = 5});
    ASSERT_TRUE(doc.OpenMagnetLink(Link(other)));
    EXPECT_EQ(doc.Downloads().Sessions().at(1)->Name(), BytesToHex(other.hash));
}

TEST_F(Magnet, AVerifiedDictionaryIsSavedAndTheTorrentGoesOnFromIt) {
    const std::string data = test::PatternBytes(40000);
    const Torrent torrent =
        Make({.name = "file.bin", .length = 40000, .hashes = test::PieceHashes(data, 16384)});
    const std::string tracker = "http://127.0.0.1:" + std::to_string(test::FreePort()) + "/a";
    CVelbrookDoc doc(m_profile.Dir(), m_ui, m_clock);
    ASSERT_TRUE(doc.OpenMagnetLink(Link(torrent, "&tr=" + tracker)));
    TorrentSession& session = *doc.Downloads().Sessions().at(0);
    test::RawListener seeder;
    test::RawListener other;
    PeerConnection* liar = session.Peers()->CreatePeer(std::string(20, 'l'), "127.0.0.1",
                                                       seeder.m_port, seeder.m_port);
    PeerConnection* honest =
        session.Peers()->CreatePeer(std::string(20, 'h'), "127.0.0.1", other.m_port, other.m_port);
    ASSERT_TRUE(liar && honest);
    std::string altered = torrent.info;
    altered[100] ^= 1;
    EXPECT_FALSE(Deliver(session, *liar, altered));
    EXPECT_FALSE(session.HasMetadata());
    EXPECT_TRUE(Deliver(session, *honest, torrent.info));

    // The torrent goes on from a turn of the loop of its own, asking where to save it.
    ASSERT_TRUE(test::RunUntil(m_reactor, [&] { return session.HasMetadata(); }));
    const std::string saved = m_profile / ("Torrents/" + BytesToHex(torrent.hash) + ".torrent");
    EXPECT_EQ(session.TorrentFile(), saved);
    KeyPathMap map;
    ASSERT_TRUE(map.Decode(ReadFile(saved)));
    std::string value;
    ASSERT_TRUE(map.GetString("__InfoHash__", value));
    EXPECT_EQ(value, torrent.hash);
    ASSERT_TRUE(map.GetString("announce-list-0-0", value));
    EXPECT_EQ(value, tracker);
    EXPECT_EQ(session.InfoDictionary(), torrent.info);
    ASSERT_FALSE(m_ui.m_questions.empty());
    EXPECT_EQ(m_ui.m_questions.back().text, "save file.bin");
    ASSERT_TRUE(test::RunUntil(m_reactor, [&] { return session.Peers() != nullptr; }));
    EXPECT_EQ(session.Files()->m_files.size(), 1u);
    EXPECT_TRUE(std::filesystem::exists(m_save / "file.bin"));
    // The liar is forgotten; the honest peer is dialled again, now for pieces.
    EXPECT_NE(session.Peers()->FindByEndpoint("127.0.0.1", other.m_port), nullptr);
    EXPECT_EQ(session.Peers()->FindByEndpoint("127.0.0.1", seeder.m_port), nullptr);
    const std::string list = ReadFile(m_profile / "Downloads.xml");
    EXPECT_EQ(list.find("MagnetLink"), std::string::npos) << list;
    EXPECT_NE(list.find(saved), std::string::npos) << list;

    // A dictionary that checks out but cannot be laid out stops the torrent, saying why.
    const Torrent unusable = Make({.name = "x", .length = 10, .pieceLength = 0});
    ASSERT_TRUE(doc.OpenMagnetLink(Link(unusable), m_save.Dir()));
    TorrentSession& stuck = *doc.Downloads().Sessions().at(1);
    PeerConnection* peer =
        stuck.Peers()->CreatePeer(std::string(20, 'p'), "127.0.0.1", seeder.m_port, seeder.m_port);
    ASSERT_TRUE(peer && Deliver(stuck, *peer, unusable.info));
    ASSERT_TRUE(test::RunUntil(m_reactor, [&] { return stuck.State() == SessionState::Stopped; }));
    EXPECT_NE(stuck.Error().find("the metadata cannot be used"), std::string::npos)
        << stuck.Error();
}

TEST_F(Magnet, TheListKeepsTheLinkSoARestartFetchesAgain) {
    const Torrent running = Make({.name = "a", .length = 40000});
    const Torrent stopped = Make({.name = "b", .length = 40000});
    test::RawListener peer;
    {
        CVelbrookDoc doc(m_profile.Dir(), m_ui, m_clock);
        ASSERT_TRUE(doc.OpenMagnetLink(
            Link(running, "&dn=Running&x.pe=127.0.0.1:" + std::to_string(peer.m_port)),
            m_save.Dir()));
        ASSERT_TRUE(doc.OpenMagnetLink(Link(stopped, "&dn=Stopped")));
        EXPECT_GE(peer.TakeConnection(m_reactor), 0);
        doc.Downloads().Sessions().at(1)->Stop();
        doc.Shutdown();  // an orderly exit stops the fetch, but not for good
    }
    EXPECT_NE(ReadFile(m_profile / "Downloads.xml").find("MagnetLink"), std::string::npos);
    CVelbrookDoc doc(m_profile.Dir(), m_ui, m_clock);
    ASSERT_EQ(doc.Downloads().Sessions().size(), 2u);
    TorrentSession& first = *doc.Downloads().Sessions()[0];
    TorrentSession& second = *doc.Downloads().Sessions()[1];
    EXPECT_EQ(first.Name(), "Running");
    EXPECT_EQ(first.State(), SessionState::FetchingMetadata);
    EXPECT_EQ(first.SavePath(), m_save.Dir());
    EXPECT_EQ(second.Name(), "Stopped");
    EXPECT_EQ(second.State(), SessionState::Stopped);
    EXPECT_FALSE(second.HasMetadata());
    // The fetch resumes: the link's peer is dialled again.
    EXPECT_GE(peer.TakeConnection(m_reactor), 0);
    EXPECT_TRUE(m_ui.m_shown.empty());
}

}  // namespace
}  // namespace velbrook
