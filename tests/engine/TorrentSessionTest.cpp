#include "engine/TorrentSession.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/PeerSet.h"
#include "engine/SessionHost.h"
#include "engine/UiHost.h"
#include "metainfo/FileList.h"
#include "metainfo/SHA1.h"
#include "peer/PeerConnection.h"
#include "persist/Settings.h"
#include "storage/FileStorage.h"
#include "storage/PieceManager.h"
#include "support/EngineFakes.h"
#include "support/TempDir.h"

namespace velbrook {
namespace {

using test::FakeHost;
using test::FakeSessionHost;
using test::FakeUi;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

std::string S(std::string_view s) {
    return std::to_string(s.size()) + ":" + std::string(s);
}

class Session : public ::testing::Test {
protected:
    static constexpr int64_t kPiece = 32768;

    Session() : m_settings(m_profile.Dir()) {
        m_host.m_profile = m_profile.Dir();
        m_host.m_ui.m_folder = m_save.Dir();
        // Two files, pieces crossing the boundary between them.
        for (int i = 0; i < 100000; ++i) {
            m_data += static_cast<char>('A' + (i * 7) % 26);
        }
        std::string hashes;
        for (size_t at = 0; at < m_data.size(); at += kPiece) {
            hashes += SHA1::Digest(m_data.substr(at, kPiece));
        }
        const std::string metainfo =
            "d8:announce" + S("http://127.0.0.1:1/announce") +
            "4:infod5:filesld6:lengthi60000e4:pathl1:aeed6:lengthi40000e4:pathl3:sub1:beee4:name" +
            S("t") + "12:piece lengthi" + std::to_string(kPiece) + "e6:pieces" + S(hashes) + "ee";
        m_torrent = m_profile / "t.torrent";
        WriteFile(m_torrent, metainfo);
    }
    void PutDataOnDisk() {
        WriteFile(m_save / "t/a", m_data.substr(0, 60000));
        WriteFile(m_save / "t/sub/b", m_data.substr(60000));
    }
    std::unique_ptr<TorrentSession> Opened() {
        auto session = std::make_unique<TorrentSession>(m_host);
        EXPECT_TRUE(session->Open(m_torrent));
        return session;
    }
    // Runs the loop while the data on disk is being checked.
    void Checked(TorrentSession& session) {
        for (int i = 0; i < 2000 && session.State() == SessionState::Checking; ++i) {
            m_reactor.RunOnce(5);
        }
        EXPECT_NE(session.State(), SessionState::Checking);
    }

    Reactor m_reactor;
    TempDir m_profile;
    TempDir m_save;
    Settings m_settings;
    FakeSessionHost m_host;
    std::string m_data;
    std::string m_torrent;
};

TEST_F(Session, OpenRefusesWhatCannotBeDownloaded) {
    TorrentSession session(m_host);
    WriteFile(m_profile / "noannounce.torrent",
              "d4:infod6:lengthi5e4:name1:n12:piece lengthi16e6:pieces20:" + std::string(20, 'h') +
                  "ee");
    EXPECT_FALSE(session.Open(m_profile / "noannounce.torrent"));
    WriteFile(m_profile / "zero.torrent",
              "d8:announce1:x4:infod6:lengthi0e4:name1:n12:piece lengthi16e6:pieces0:ee");
    EXPECT_FALSE(session.Open(m_profile / "zero.torrent"));
    EXPECT_FALSE(session.Open(m_profile / "missing.torrent"));
    EXPECT_EQ(session.PercentDone(), 0u);
}

TEST_F(Session, NewTorrentStartsWithoutReadingAndStopsCleanly) {
    auto session = Opened();
    EXPECT_EQ(session->State(), SessionState::Stopped);
    ASSERT_TRUE(session->StartDownload(true));
    EXPECT_EQ(session->State(), SessionState::ConnectTracker);
    EXPECT_EQ(session->Left(), 100000u);
    EXPECT_TRUE(session->Pieces().AllEqual(Missing));
    EXPECT_NE(session->Peers(), nullptr);
    EXPECT_EQ(session->Tracker()->Event(), AnnounceEvent::Started);
    EXPECT_TRUE(std::filesystem::exists(session->StatusPath()));
    EXPECT_FALSE(session->StartDownload(false));  // already running

    session->OnTrackerSuccess();
    EXPECT_EQ(session->State(), SessionState::Downloading);
    ASSERT_TRUE(session->Stop());
    EXPECT_EQ(session->State(), SessionState::Stopped);
    EXPECT_EQ(session->Peers(), nullptr);
    EXPECT_EQ(session->Tracker()->Event(), AnnounceEvent::Stopped);
    EXPECT_FALSE(session->Stop());

    session->Resume();  // shows Downloading even without peers
    EXPECT_EQ(session->State(), SessionState::Downloading);
    EXPECT_EQ(session->StatusText(), "Resumed");
}

TEST_F(Session, CompleteDataOnDiskSeedsWithoutACompletedAnnounce) {
    PutDataOnDisk();
    auto session = Opened();
    ASSERT_TRUE(session->StartDownload(true));
    EXPECT_EQ(m_host.m_ui.m_shown.size(), 1u);  // "File Existed!" asked once, answered yes
    // The data is checked a few pieces per loop turn before anything connects.
    EXPECT_EQ(session->State(), SessionState::Checking);
    EXPECT_EQ(session->StatusText().rfind("Checking ", 0), 0u);
    EXPECT_EQ(session->Tracker(), nullptr);
    Checked(*session);
    EXPECT_TRUE(session->IsComplete());
    EXPECT_EQ(session->Left(), 0u);
    EXPECT_EQ(session->PercentDone(), 100u);
    EXPECT_TRUE(session->Storage()->IsReadOnly(0));
    EXPECT_EQ(session->Tracker()->Event(), AnnounceEvent::Started);
    session->OnTrackerSuccess();
    EXPECT_EQ(session->State(), SessionState::Uploading);
}

TEST_F(Session, CompactTrackerPeersAreKnownByAddressAndBounded) {
    auto session = Opened();
    ASSERT_TRUE(session->StartDownload(true));
    const auto address = [](uint32_t i) {
        return "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
    };
    for (uint32_t i = 0; i < 1100; ++i) {
        session->AddTrackerPeer("", address(i), 6881);
    }
    EXPECT_EQ(session->Peers()->PeerList().size(), PeerSet::kMaxKnownPeers);
    const PeerConnection* first = session->Peers()->FindByEndpoint(address(0), 6881);
    ASSERT_NE(first, nullptr);
    EXPECT_FALSE(first->HasKnownId());
    EXPECT_EQ(session->Peers()->FindByEndpoint(address(0), 6882), nullptr);
    EXPECT_EQ(session->Peers()->DialQueue().size(), PeerSet::kMaxKnownPeers - 20);
}

TEST_F(Session, LastVerifiedPieceSendsOneCompletedAnnounce) {
    auto session = Opened();
    ASSERT_TRUE(session->StartDownload(true));
    PieceManager& pieces = session->Pieces();
    for (uint32_t i = 0; i <= pieces.GetLastIndex(); ++i) {
        int64_t offset = 0;
        uint32_t length = 0;
        pieces.GetSpan(i, offset, length);
        ASSERT_TRUE(session->WriteBlock(i, 0, std::string_view(m_data).substr(offset, length)));
        ASSERT_TRUE(session->VerifyPiece(i));
        if (i < pieces.GetLastIndex()) {
            EXPECT_EQ(session->Tracker()->Event(), AnnounceEvent::Started) << i;
        }
    }
    EXPECT_TRUE(session->IsComplete());
    EXPECT_EQ(session->State(), SessionState::Uploading);
    EXPECT_EQ(session->Tracker()->Event(), AnnounceEvent::Completed);
    EXPECT_EQ(session->Left(), 0u);
    EXPECT_EQ(ReadFile(m_save / "t/sub/b"), m_data.substr(60000));
    // Verified pieces are served, and never overwritten.
    std::string out;
    ASSERT_TRUE(session->ReadBlock(1, 100, 50, out));
    EXPECT_EQ(out, m_data.substr(kPiece + 100, 50));
    EXPECT_FALSE(session->WriteBlock(1, 0, "xx"));
    EXPECT_FALSE(session->ReadBlock(3, 0, 5000, out));  // past the short last piece
}

TEST_F(Session, AKnownTorrentResumesFromItsStatusButNeverTrustsItBlindly) {
    PutDataOnDisk();
    std::string infoHash;
    {
        auto session = Opened();
        ASSERT_TRUE(session->StartDownload(true));
        Checked(*session);
        ASSERT_TRUE(session->Stop());
        infoHash = session->InfoHash();
    }
    // As the downloads list brings a torrent back: its fields, then its status file.
    const auto listed = [&](const std::string& save) {
        auto session = std::make_unique<TorrentSession>(m_host);
        session->Restore(m_torrent, save, "", "t", "t", infoHash, "", 100000, 100000);
        EXPECT_TRUE(session->LoadStatus(false));
        return session;
    };
    // With every file there, the status is trusted: a damaged piece is not noticed, as nothing
    // is read again.
    WriteFile(m_save / "t/sub/b", std::string(40000, '#'));
    {
        auto session = listed(m_save.Dir());
        EXPECT_TRUE(session->IsComplete());
        ASSERT_TRUE(session->StartDownload(false));
        EXPECT_EQ(session->State(), SessionState::ConnectTracker);
        EXPECT_TRUE(session->Pieces().AllEqual(Have));
    }
    // A file the status claims but that is gone (a deleted half-done file, a moved download):
    // its pieces are read, not trusted; the file comes back empty, never "complete".
    std::filesystem::remove(m_save / "t/sub/b");
    {
        auto session = listed(m_save.Dir());
        ASSERT_TRUE(session->StartDownload(false));
        Checked(*session);
        EXPECT_EQ(session->Pieces().ToCharString(), "PFFF");
        EXPECT_FALSE(session->IsComplete());
        EXPECT_EQ(session->Left(), 100000u - 32768u);
    }
    // A save folder that is gone (a disk not mounted): not started, nothing made there, and
    // the torrent says why and stays as it was.
    {
        auto session = listed(m_save / "unmounted");
        const uint64_t left = session->Left();
        EXPECT_FALSE(session->StartDownload(false));
        EXPECT_EQ(session->StatusText(), "The save folder is missing: " + m_save / "unmounted");
        EXPECT_EQ(session->State(), SessionState::Stopped);
        EXPECT_EQ(session->Left(), left);
        EXPECT_FALSE(std::filesystem::exists(m_save / "unmounted"));
    }
    // A status file that could not be read: every piece is read again, the last one included.
    {
        TorrentSession session(m_host);
        session.Restore(m_torrent, m_save.Dir(), "", "t", "t", infoHash, "", 100000, 100000);
        session.MarkStatusUnreadable("unreadable");
        ASSERT_TRUE(session.StartDownload(false));
        Checked(session);
        EXPECT_EQ(session.Pieces().ToCharString(), "PFFF");
    }
}

TEST_F(Session, ProgressIsSavedWhenItChangedAndClaimedPiecesThatCannotBeReadAreChecked) {
    auto session = Opened();
    ASSERT_TRUE(session->StartDownload(true));
    ASSERT_TRUE(std::filesystem::remove(session->StatusPath()));
    session->SaveStatusIfChanged();  // nothing changed: no disk write
    EXPECT_FALSE(std::filesystem::exists(session->StatusPath()));
    PutDataOnDisk();
    for (uint32_t piece = 0; piece < 4; ++piece) {
        ASSERT_TRUE(session->VerifyPiece(piece));
    }
    session->SaveStatusIfChanged();
    EXPECT_NE(ReadFile(session->StatusPath()).find("<BitField>f0"), std::string::npos);

    // Seeding, the file under the last pieces is cut short: those pieces are checked again
    // instead of being claimed and never served.
    ASSERT_TRUE(session->IsComplete());
    std::filesystem::resize_file(m_save / "t/sub/b", 100);
    std::string out;
    EXPECT_FALSE(session->ReadBlock(2, 0, 100, out));
    EXPECT_FALSE(session->IsComplete());
    for (int i = 0; i < 2000 && session->Pieces().ToCharString().find('U') != std::string::npos;
         ++i) {
        m_reactor.RunOnce(5);
    }
    EXPECT_EQ(session->Pieces().ToCharString(), "PFFF");
    EXPECT_EQ(session->Left(), 100000u - 32768u);
}

TEST_F(Session, AListedTorrentWhoseFileChangedIsNotStarted) {
    std::string infoHash;
    {
        auto session = Opened();
        ASSERT_TRUE(session->StartDownload(true));
        ASSERT_TRUE(session->Stop());
        infoHash = session->InfoHash();
    }
    WriteFile(m_torrent, "d8:announce1:x4:infod6:lengthi20e4:name1:c12:piece lengthi16384e6:"
                         "pieces20:" +
                             std::string(20, 'c') + "ee");
    TorrentSession session(m_host);
    session.Restore(m_torrent, m_save.Dir(), "", "t", "t", infoHash, "", 100000, 100000);
    ASSERT_TRUE(session.LoadStatus(false));
    EXPECT_FALSE(session.StartDownload(false));
    EXPECT_EQ(session.State(), SessionState::Stopped);
    EXPECT_EQ(session.InfoHash(), infoHash);
    EXPECT_FALSE(std::filesystem::exists(m_save / "c"));
}

}  // namespace
}  // namespace velbrook
