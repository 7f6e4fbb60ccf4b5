#include "engine/TorrentSession.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <regex>

#include "engine/DownloadsList.h"
#include "engine/LayerSettings.h"
#include "engine/PeerSet.h"
#include "peer/PeerConnection.h"
#include "persist/Settings.h"
#include "storage/PieceManager.h"
#include "support/EngineFakes.h"
#include "support/MetainfoBuilder.h"
#include "support/NoFreeDescriptors.h"
#include "support/TempDir.h"

namespace velbrook {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

// Two files "t/a" and "t/sub/b" of 100 000 bytes in all, four pieces crossing between them.
class Session : public ::testing::Test {
protected:
    static constexpr int64_t kPiece = 32768;

    Session() {
        m_host.m_profile = m_profile.Dir();
        m_host.m_ui.m_folder = m_save.Dir();
        m_data = test::PatternBytes(100000);
        WriteFile(m_torrent, test::Metainfo{.files = {{60000, {"a"}}, {40000, {"sub", "b"}}},
                                            .pieceLength = kPiece,
                                            .hashes = test::PieceHashes(m_data, kPiece)}
                                 .Encode());
    }
    void PutDataOnDisk() {
        WriteFile(m_save / "t/a", m_data.substr(0, 60000));
        WriteFile(m_save / "t/sub/b", m_data.substr(60000));
    }
    // A new torrent, started and (when its data is on disk) checked.
    std::unique_ptr<TorrentSession> Started() {
        auto session = std::make_unique<TorrentSession>(m_host);
        EXPECT_TRUE(session->Open(m_torrent));
        EXPECT_TRUE(session->StartDownload(true));
        Checked(*session);
        return session;
    }
    // Runs the clock while the data on disk is being checked.
    void Checked(TorrentSession& session) {
        EXPECT_TRUE(m_host.GetClock().AdvanceUntil(
            [&] { return session.State() != SessionState::Checking; }));
    }
    // The pieces arrive from a peer and pass their check.
    void Verified(TorrentSession& session, std::initializer_list<uint32_t> pieces) {
        for (const uint32_t i : pieces) {
            const size_t at = i * kPiece;
            ASSERT_TRUE(session.WriteBlock(i, 0, std::string_view(m_data).substr(at, kPiece)));
            ASSERT_TRUE(session.VerifyPiece(i));
        }
    }
    // As the downloads list brings a torrent back: its fields, then its status file.
    std::unique_ptr<TorrentSession> Listed(const std::string& infoHash, const std::string& save) {
        auto session = std::make_unique<TorrentSession>(m_host);
        session->Restore(m_torrent, save, "", "t", "t", infoHash, "", 100000, 100000);
        EXPECT_TRUE(session->LoadStatus(false));
        return session;
    }
    // The pieces the status file claims.
    std::string InStatusFile(const std::string& infoHash) {
        return Listed(infoHash, m_save.Dir())->Pieces().ToCharString();
    }

    test::TempDir m_profile;
    test::TempDir m_save;
    test::FakeSessionHost m_host;  // its clock outlives what the reactor still has to destroy
    Reactor m_reactor;
    std::string m_data;
    std::string m_torrent = m_profile / "t.torrent";
};

TEST_F(Session, TrackerPeersAreKnownByAddressAndBounded) {
    auto session = Started();
    const auto address = [](uint32_t i) {
        return "127.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
    };
    for (uint32_t i = 0; i < 1100; ++i) {
        session->AddTrackerPeer("", address(i), 6881);
    }
    EXPECT_EQ(session->Peers()->PeerList().size(), PeerSet::kMaxKnownPeers);
    EXPECT_NE(session->Peers()->FindByEndpoint(address(0), 6881), nullptr);
}

// A torrent makes its files, its peers and its tracker with the settings in force as it starts.
TEST_F(Session, ItsPartsAreMadeWithTheSettingsInForce) {
    m_host.m_settings.SetInt(AllocateBeforeDownload, 1);
    m_host.m_settings.SetInt(MaxDownloadSpeed, 5);
    m_host.m_settings.SetInt(LogPeerComm, 1);
    m_host.m_settings.SetString(ReportIP, "10.1.2.3");
    auto session = Started();
    EXPECT_EQ(fs::file_size(m_save / "t/sub/b"), 40000u);
    ASSERT_NE(session->Peers(), nullptr);
    EXPECT_EQ(session->Peers()->Limits(), PeerLimitsFrom(m_host.m_settings));
    EXPECT_EQ(session->Tracker()->GetAnnounceSettings().reportIp, "10.1.2.3");
}

TEST_F(Session, LastVerifiedPieceSendsOneCompletedAnnounceAndIsNeverOverwritten) {
    auto session = Started();
    PieceManager& pieces = session->Pieces();
    for (uint32_t i = 0; i <= pieces.GetLastIndex(); ++i) {
        int64_t offset = 0;
        uint32_t length = 0;
        pieces.GetSpan(i, offset, length);
        ASSERT_TRUE(session->WriteBlock(i, 0, std::string_view(m_data).substr(offset, length)));
        ASSERT_TRUE(session->VerifyPiece(i));
        EXPECT_EQ(session->Tracker()->Tier(0).Event(),
                  i < pieces.GetLastIndex() ? AnnounceEvent::Started : AnnounceEvent::Completed);
    }
    EXPECT_EQ(session->State(), SessionState::Uploading);
    EXPECT_EQ(session->Left(), 0u);
    EXPECT_FALSE(session->WriteBlock(1, 0, "xx"));
    EXPECT_EQ(ReadFile(m_save / "t/sub/b"), m_data.substr(60000));
    std::string out;
    EXPECT_FALSE(session->ReadBlock(3, 0, 5000, out));  // past the short last piece
}

// The views redraw only from these flags: whatever changes what they show sets both and asks for
// a redraw.
TEST_F(Session, WhatTheViewsShowMarksTheTorrentAndTheListChanged) {
    auto session = Started();
    ASSERT_EQ(session->State(), SessionState::ConnectTracker);
    const std::pair<const char*, std::function<void()>> changes[] = {
        {"status text", [&] { session->SetStatusText("Tracker Response OK"); }},
        {"tracker counts", [&] { session->SetTrackerCounts(3, 7); }},
        {"tracker answer", [&] { session->OnTrackerSuccess(); }},
        {"verified piece",
         [&] {
             ASSERT_TRUE(session->WriteBlock(0, 0, std::string_view(m_data).substr(0, kPiece)));
             ASSERT_TRUE(session->VerifyPiece(0));
         }},
        {"peer learnt", [&] { session->AddTrackerPeer("", "127.0.0.1", 1); }},
        {"peer connected", [&] { session->Peers()->AdjustConnectedCount(+1); }},
    };
    for (const auto& [what, change] : changes) {
        session->TakeChanged();
        m_host.m_listChanges = 0;
        m_host.m_ui.m_updates = 0;
        change();
        EXPECT_TRUE(session->TakeChanged()) << what;
        EXPECT_GT(m_host.m_listChanges, 0) << what;
        EXPECT_GT(m_host.m_ui.m_updates, 0) << what;
    }
}

// Seeding, the file under the last pieces is cut short: those pieces are checked again instead
// of being claimed and never served.
TEST_F(Session, ClaimedPiecesThatCannotBeReadAreCheckedAgain) {
    PutDataOnDisk();
    auto session = Started();
    ASSERT_TRUE(session->IsComplete());
    session->OnTrackerSuccess();
    ASSERT_EQ(session->State(), SessionState::Uploading);
    fs::resize_file(m_save / "t/sub/b", 100);
    std::string out;
    EXPECT_FALSE(session->ReadBlock(2, 0, 100, out));
    EXPECT_FALSE(session->IsComplete());
    // No longer seeding, while checking and after: the state agrees with the percentage.
    EXPECT_EQ(session->State(), SessionState::Downloading);
    m_host.GetClock().AdvanceUntil(
        [&] { return session->Pieces().ToCharString().find('U') == std::string::npos; });
    EXPECT_EQ(session->Pieces().ToCharString(), "PFFF");
    EXPECT_EQ(session->Left(), 100000u - 32768u);
    EXPECT_EQ(session->State(), SessionState::Downloading);
}

// The last piece arrives after the torrent's folder was deleted: written and read back through
// the descriptors still open, it must not make the torrent complete. The pieces claimed in the
// vanished files go back to be checked and the torrent stops, saying which file and why.
TEST_F(Session, FilesThatVanishStopTheTorrentInsteadOfCompletingIt) {
    auto session = Started();
    Verified(*session, {0, 1, 2});
    fs::remove_all(m_save / "t");
    Verified(*session, {3});
    EXPECT_FALSE(session->IsComplete());
    ASSERT_TRUE(
        test::RunUntil(m_reactor, [&] { return session->State() == SessionState::Stopped; }));
    EXPECT_EQ(session->Error(), "Stopped: " + m_save / "t/a" + ": No such file or directory");
    EXPECT_EQ(InStatusFile(session->InfoHash()), "FFFF");
}

// The status file stamps each file with its length and modification time: data changed while
// the torrent was stopped is read again at the next start, data left alone is not, and a status
// file written before the stamps still vouches for its pieces.
TEST_F(Session, DataChangedWhileStoppedIsCheckedAtTheNextStart) {
    PutDataOnDisk();
    auto session = Started();
    ASSERT_TRUE(session->IsComplete());
    ASSERT_TRUE(session->Stop());
    ASSERT_TRUE(session->StartDownload(false));
    EXPECT_EQ(session->State(), SessionState::ConnectTracker);  // nothing to read

    ASSERT_TRUE(session->Stop());
    const std::string b = m_save / "t/sub/b";
    const auto stamp = fs::last_write_time(b);
    WriteFile(b, std::string(40000, '\0'));
    fs::last_write_time(b, stamp + std::chrono::seconds(2));  // as when done a moment later
    ASSERT_TRUE(session->StartDownload(false));
    Checked(*session);
    EXPECT_EQ(session->Pieces().ToCharString(), "PFFF");
    ASSERT_TRUE(session->Stop());

    const std::string status = session->StatusPath();
    WriteFile(status, std::regex_replace(ReadFile(status),
                                         std::regex(" (LengthOnDisk|ModifiedNs)=\"[0-9]+\""), ""));
    PutDataOnDisk();
    auto old = Listed(session->InfoHash(), m_save.Dir());
    ASSERT_TRUE(old->StartDownload(false));
    EXPECT_EQ(old->State(), SessionState::ConnectTracker);
    EXPECT_EQ(old->Pieces().ToCharString(), "PFFF");
}

// A download in progress whose files are not yet at their full length (nothing was reserved
// ahead) and were left alone since the stop is not read again at the next start.
TEST_F(Session, APartialDownloadLeftAloneIsNotReadAgain) {
    auto session = Started();
    Verified(*session, {0});
    ASSERT_LT(fs::file_size(m_save / "t/a"), 60000u);
    ASSERT_TRUE(session->Stop());
    ASSERT_TRUE(session->StartDownload(false));
    EXPECT_EQ(session->State(), SessionState::ConnectTracker);
    EXPECT_EQ(session->Pieces().ToCharString(), "PFFF");
}

// The downloads list's tick writes what a running torrent has verified every 3 seconds, so that a
// crash loses at most that much.
TEST_F(Session, TheSaveTickWritesVerifiedPiecesEveryThreeSeconds) {
    using namespace std::chrono_literals;
    test::ManualClock& clock = m_host.GetClock();
    DownloadsList list(m_host);
    auto started = Started();
    TorrentSession& session = *started;
    ASSERT_TRUE(list.Add(std::move(started)));
    const std::string hash = session.InfoHash();
    Verified(session, {1});
    clock.Advance(3s - 1ms);
    EXPECT_EQ(InStatusFile(hash), "FFFF");
    clock.Advance(1ms);
    EXPECT_EQ(InStatusFile(hash), "FPFF");
    Verified(session, {3});
    clock.Advance(3s);
    EXPECT_EQ(InStatusFile(hash), "FPFP");
}

// Out of descriptors for a moment (a crowd of peers connecting): the status file is written at
// a later tick and the torrent goes on; stopping frees enough of them to write it.
TEST_F(Session, RunningOutOfDescriptorsPutsTheStatusSaveOff) {
    auto session = Started();
    const std::string hash = session->InfoHash();
    // The sanitizers check an object's type by probing its memory through a pipe, which takes
    // descriptors: stopped once beforehand, the objects a stop takes apart are known to them.
    ASSERT_TRUE(session->Stop());
    ASSERT_TRUE(session->StartDownload(false));
    Verified(*session, {0});
    {
        test::NoFreeDescriptors exhausted;
        session->SaveStatusIfChanged();
    }
    EXPECT_TRUE(session->IsActive());
    EXPECT_NE(session->StatusText().find("Too many open files"), std::string::npos);
    session->SaveStatusIfChanged();
    EXPECT_EQ(InStatusFile(hash), "PFFF");

    Verified(*session, {2});
    {
        test::NoFreeDescriptors exhausted;
        EXPECT_TRUE(session->Stop());
    }
    EXPECT_EQ(session->Error(), "");
    EXPECT_EQ(InStatusFile(hash), "PFPF");
}

// Files of a new torrent that are there already are used only when the person agrees, asked
// once for all of them before anything is made. A torrent stopped while it waits withdraws its
// question, and its caller hears no more of that start.
TEST_F(Session, FilesAlreadyThereAreUsedOnlyWhenThePersonAgrees) {
    using Outcome = TorrentSession::StartOutcome;
    test::FakeUi& person = m_host.m_ui;
    person.m_hold = true;
    std::vector<Outcome> outcomes;
    const auto record = [&](Outcome outcome) { outcomes.push_back(outcome); };
    WriteFile(m_save / "t/sub/b", m_data.substr(60000));
    TorrentSession session(m_host);
    ASSERT_TRUE(session.Open(m_torrent));
    EXPECT_TRUE(session.StartDownload(true, record));
    ASSERT_TRUE(person.Answer(true));  // the folder
    EXPECT_EQ(session.State(), SessionState::Waiting);
    EXPECT_EQ(person.m_questions.back().text,
              "File Existed!...\nDo checking and continue downloading?");
    ASSERT_TRUE(person.Answer(false));
    EXPECT_EQ(outcomes, std::vector<Outcome>{Outcome::Cancelled});
    EXPECT_EQ(session.State(), SessionState::Stopped);
    EXPECT_FALSE(fs::exists(m_save / "t/a"));

    PutDataOnDisk();
    EXPECT_TRUE(session.StartDownload(true, record));
    ASSERT_TRUE(person.Answer(true));
    ASSERT_TRUE(person.Answer(true));
    EXPECT_EQ(person.m_questions.size(), 4u);
    EXPECT_EQ(outcomes, (std::vector<Outcome>{Outcome::Cancelled, Outcome::Started}));
    Checked(session);
    EXPECT_TRUE(session.IsComplete());

    TorrentSession stopped(m_host);
    ASSERT_TRUE(stopped.Open(m_torrent));
    EXPECT_TRUE(stopped.StartDownload(true, record));
    EXPECT_TRUE(stopped.Stop());
    EXPECT_TRUE(person.m_questions.back().withdrawn);
    EXPECT_EQ(stopped.State(), SessionState::Stopped);
    EXPECT_EQ(outcomes.size(), 2u);
}

TEST_F(Session, AKnownTorrentResumesFromItsStatusButNeverTrustsItBlindly) {
    PutDataOnDisk();
    const std::string xml = m_profile / "Downloads.xml";
    std::string infoHash;
    std::string status;
    {
        DownloadsList list(m_host);
        auto session = Started();
        ASSERT_TRUE(session->Stop());
        infoHash = session->InfoHash();
        status = session->StatusPath();
        ASSERT_TRUE(list.Add(std::move(session)));
        ASSERT_TRUE(list.Save(xml));
    }
    const std::string good = ReadFile(status);
    const auto listed = [&](const std::string& save) { return Listed(infoHash, save); };
    // A status file that is cut short, is not a status file at all, or names another torrent:
    // the torrent stays listed under its own info hash and every piece is read again, the last
    // one included, and a damaged one is found.
    WriteFile(m_save / "t/sub/b", std::string(40000, '#'));
    std::string otherTorrent = good;
    const std::string hex = BytesToHex(infoHash);
    otherTorrent.replace(otherTorrent.find(hex), hex.size(), std::string(40, 'e'));
    for (const std::string& bytes :
         {good.substr(0, good.size() / 2), std::string("\0\xff<<", 4), otherTorrent}) {
        WriteFile(status, bytes);
        DownloadsList list(m_host);
        ASSERT_TRUE(list.Load(xml));
        ASSERT_EQ(list.Sessions().size(), 1u);
        TorrentSession& session = *list.Sessions()[0];
        EXPECT_EQ(session.InfoHash(), infoHash);
        ASSERT_TRUE(session.StartDownload(false));
        Checked(session);
        EXPECT_EQ(session.Pieces().ToCharString(), "PFFF");
    }
    // A file the status claims but that is gone (a deleted half-done file, a moved download):
    // its pieces are read, not trusted, whether or not resuming fast is on; the file comes back
    // empty, never "complete".
    for (const int fastResume : {1, 0}) {
        WriteFile(status, good);
        fs::remove(m_save / "t/sub/b");
        m_host.m_settings.SetInt(FastResume, fastResume);
        auto session = listed(m_save.Dir());
        ASSERT_TRUE(session->StartDownload(false));
        Checked(*session);
        EXPECT_EQ(session->Pieces().ToCharString(), "PFFF") << fastResume;
        EXPECT_FALSE(session->IsComplete());
        EXPECT_EQ(session->Left(), 100000u - 32768u);
        session->Stop();
    }
    m_host.m_settings.SetInt(FastResume, 1);
    WriteFile(status, good);
    // A save folder that is gone (a disk not mounted): not started, nothing made there, and
    // the torrent says why and stays as it was.
    {
        auto session = listed(m_save / "unmounted");
        const uint64_t left = session->Left();
        EXPECT_FALSE(session->StartDownload(false));
        EXPECT_EQ(session->StatusText(), "The save folder is missing: " + m_save / "unmounted");
        EXPECT_EQ(session->State(), SessionState::Stopped);
        EXPECT_EQ(session->Left(), left);
        EXPECT_FALSE(fs::exists(m_save / "unmounted"));
    }
    // The .torrent file now holds another torrent: nothing of it is started or written.
    WriteFile(m_torrent, test::Metainfo{.name = "c", .length = 20}.Encode());
    {
        auto session = listed(m_save.Dir());
        EXPECT_FALSE(session->StartDownload(false));
        EXPECT_EQ(session->State(), SessionState::Stopped);
        EXPECT_EQ(session->InfoHash(), infoHash);
        EXPECT_FALSE(fs::exists(m_save / "c"));
    }
}

}  // namespace
}  // namespace velbrook
