#include "engine/DownloadsList.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "engine/SessionHost.h"
#include "engine/TorrentSession.h"
#include "engine/UiHost.h"
#include "metainfo/SHA1.h"
#include "persist/Settings.h"
#include "support/EngineFakes.h"
#include "support/OtherUser.h"
#include "support/TempDir.h"

namespace velbrook {
namespace {

namespace fs = std::filesystem;
using test::AsOtherUser;
using test::FakeHost;
using test::FakeSessionHost;
using test::FakeUi;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

constexpr char kSameInfoHash[] =
    "Same infohash, You must delete the same entry before adding a new one";
constexpr char kAnnounce[] = "http://127.0.0.1:1/announce";

std::string S(std::string_view s) {
    return std::to_string(s.size()) + ":" + std::string(s);
}

// A single-file metainfo; the piece hashes are never checked here, only counted.
std::string Metainfo(const std::string& name, int64_t length, int64_t pieceLength) {
    const int64_t pieces = (length + pieceLength - 1) / pieceLength;
    return "d8:announce" + S(kAnnounce) + "4:infod6:lengthi" + std::to_string(length) + "e4:name" +
           S(name) + "12:piece lengthi" + std::to_string(pieceLength) + "e6:pieces" +
           S(std::string(static_cast<size_t>(pieces) * 20, 'h')) + "ee";
}

// The nine stored fields, for comparing a list with its reloaded copy.
std::vector<std::string> Fields(const TorrentSession& s) {
    return {s.TorrentFile(),
            s.SavePath(),
            s.SaveName(),
            s.Name(),
            s.BaseName(),
            BytesToHex(s.InfoHash()),
            s.AnnounceUrl(),
            std::to_string(s.TotalLength()),
            std::to_string(s.Left())};
}

std::string Hex(char digit) {
    return std::string(40, digit);
}

class DownloadsListTest : public ::testing::Test {
protected:
    DownloadsListTest() : m_settings(m_profile.Dir()), m_baseline(TorrentSession::LiveCount()) {
        m_host.m_profile = m_profile.Dir();
    }
    ~DownloadsListTest() override { EXPECT_EQ(TorrentSession::LiveCount(), m_baseline); }

    std::string Torrent(const std::string& name, int64_t length = 40000,
                        int64_t pieceLength = 16384) {
        const std::string path = m_profile / ("Torrents/" + name + ".torrent");
        WriteFile(path, Metainfo(name, length, pieceLength));
        return path;
    }
    TorrentSession* AddNew(DownloadsList& list, const std::string& name) {
        TorrentSession* added = nullptr;
        EXPECT_TRUE(list.AddNew(name, Torrent(name), &added));
        return added;
    }

    Reactor m_reactor;
    TempDir m_profile;
    TempDir m_save;
    Settings m_settings;
    FakeSessionHost m_host;
    size_t m_baseline;
};

TEST_F(DownloadsListTest, SaveAndLoadKeepEveryFieldAtFullWidth) {
    const std::string xml = m_profile / "Downloads.xml";
    std::vector<std::vector<std::string>> saved;
    {
        DownloadsList list(m_host, false);
        ASSERT_TRUE(list.AddNew("Big one", Torrent("big", 5000000000, 16 << 20)));
        // Left above 32 bits and different from the size.
        auto other = std::make_unique<TorrentSession>(m_host);
        other->Restore("/t/o.torrent", "/save/", "o.bin", "Other", "o", std::string(20, '\x01'),
                       "http://tracker/a?x=1&y=2", 6000000000, 4294967297);
        ASSERT_TRUE(list.Add(std::move(other)));
        for (const auto& session : list.Sessions()) {
            saved.push_back(Fields(*session));
        }
        ASSERT_TRUE(list.Save(xml));
    }
    EXPECT_EQ(saved[0][7], "5000000000");
    const std::string text = ReadFile(xml);
    EXPECT_NE(text.find("Size=\"5000000000\""), std::string::npos);
    EXPECT_NE(text.find("AnnouceURL=\""), std::string::npos);  // the spelling the file has

    DownloadsList loaded(m_host, false);
    ASSERT_TRUE(loaded.Load(xml));
    EXPECT_TRUE(loaded.TakeListChanged());
    ASSERT_EQ(loaded.Sessions().size(), 2u);
    EXPECT_EQ(Fields(*loaded.Sessions()[0]), saved[0]);
    EXPECT_EQ(Fields(*loaded.Sessions()[1]), saved[1]);
    EXPECT_EQ(loaded.FindByInfoHash(std::string(20, '\x01')), loaded.Sessions()[1].get());
    EXPECT_TRUE(m_host.m_ui.m_shown.empty());

    DownloadsList missing(m_host, false);
    EXPECT_FALSE(missing.Load(m_profile / "none.xml"));
}

TEST_F(DownloadsListTest, LoadTakesTheFirstListAndOnlySoundDistinctEntries) {
    const auto entry = [](const std::string& name, const std::string& hex) {
        return "<Torrent Name=\"" + name + "\" InfoHashHex=\"" + hex + "\" AnnouceURL=\"" +
               kAnnounce + "\" Size=\"100\" Left=\"100\"/>\n";
    };
    const std::string xml = m_profile / "Downloads.xml";
    WriteFile(xml, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                   "<Tarnwick Author=\"Olendrix\" Version=\"0.1\">\n"
                   "<Settings/>\n<Torrents>\n" +
                       entry("first", Hex('a')) + "<Note/>\n" + entry("again", Hex('a')) +
                       entry("not hex", Hex('z')) + entry("short", "abcd") +
                       entry("upper", Hex('B')) + "</Torrents>\n<Torrents>\n" +
                       entry("second list", Hex('c')) + "</Torrents>\n</Tarnwick>\n");
    DownloadsList list(m_host, false);
    ASSERT_TRUE(list.Load(xml));
    ASSERT_EQ(list.Sessions().size(), 2u);
    EXPECT_EQ(list.Sessions()[0]->Name(), "first");
    EXPECT_EQ(list.Sessions()[1]->Name(), "upper");
    EXPECT_EQ(list.FindByInfoHash(std::string(20, '\xbb')), list.Sessions()[1].get());
    EXPECT_EQ(list.FindByInfoHash(std::string(20, '\xcc')), nullptr);
    EXPECT_EQ(m_host.m_ui.m_shown, std::vector<std::string>{kSameInfoHash});
}

TEST_F(DownloadsListTest, AddNewShowsTheNewTorrentAndRefusesDuplicates) {
    DownloadsList list(m_host, false);
    ASSERT_NE(AddNew(list, "one"), nullptr);
    AddNew(list, "two");
    EXPECT_EQ(list.Shown(), 1u);
    EXPECT_TRUE(list.TakeListChanged());

    TorrentSession* again = list.Sessions()[0].get();
    EXPECT_FALSE(list.AddNew("copy", m_profile / "Torrents/one.torrent", &again));
    EXPECT_EQ(again, nullptr);  // the refused copy is gone: nothing may point at it
    EXPECT_FALSE(list.AddNew("missing", m_profile / "nothing.torrent", &again));
    EXPECT_EQ(m_host.m_ui.m_shown, std::vector<std::string>{kSameInfoHash});
    EXPECT_EQ(list.Shown(), 1u);
    EXPECT_EQ(TorrentSession::LiveCount(), m_baseline + 2);
}

TEST_F(DownloadsListTest, RemovingRunningOrStoppedTorrentsLeavesNoStatusFileAndSavesTheList) {
    const std::string xml = m_profile / "Downloads.xml";
    DownloadsList list(m_host, false);
    EXPECT_FALSE(list.Load(xml));
    TorrentSession* running = AddNew(list, "running");
    TorrentSession* stopped = AddNew(list, "stopped");
    TorrentSession* kept = AddNew(list, "kept");
    ASSERT_TRUE(running && stopped && kept);
    running->SetSaveLocation(m_save.Dir());
    ASSERT_TRUE(running->StartDownload(true));
    ASSERT_TRUE(stopped->SaveStatus() && kept->SaveStatus());
    const std::string runningStatus = running->StatusPath();
    const std::string stoppedStatus = stopped->StatusPath();
    const std::string runningHash = running->InfoHash();
    ASSERT_TRUE(fs::exists(runningStatus));
    list.TakeListChanged();

    list.RemoveByInfoHash(std::string(20, 'x'));  // not listed
    EXPECT_EQ(list.Sessions().size(), 3u);

    // Stopping writes the status file: it must not come back after removal.
    list.RemoveByInfoHash(runningHash);
    EXPECT_FALSE(fs::exists(runningStatus));
    EXPECT_EQ(ReadFile(xml).find("Name=\"running\""), std::string::npos);
    EXPECT_NE(ReadFile(xml).find("Name=\"stopped\""), std::string::npos);
    EXPECT_EQ(list.FindByInfoHash(runningHash), nullptr);
    EXPECT_TRUE(list.TakeListChanged());
    EXPECT_TRUE(fs::exists(m_save / "running"));  // the downloaded data stays

    list.Select(1);
    list.ClearSelection();
    list.Select(0);
    list.Select(7);
    list.RemoveSelected();
    EXPECT_FALSE(fs::exists(stoppedStatus));
    EXPECT_EQ(ReadFile(xml).find("Name=\"stopped\""), std::string::npos);
    EXPECT_NE(ReadFile(xml).find("Name=\"kept\""), std::string::npos);
    ASSERT_EQ(list.Sessions().size(), 1u);
    EXPECT_EQ(list.Sessions()[0].get(), kept);
    EXPECT_TRUE(fs::exists(kept->StatusPath()));
}

TEST_F(DownloadsListTest, RefreshTickFollowsTheShownTorrentUntilItIsRemoved) {
    DownloadsList list(m_host, false);
    TorrentSession* a = AddNew(list, "a");
    TorrentSession* b = AddNew(list, "b");
    TorrentSession* c = AddNew(list, "c");
    ASSERT_TRUE(a && b && c);
    const auto changed = [&] {
        return std::vector<bool>{a && a->TakeChanged(), b && b->TakeChanged(),
                                 c && c->TakeChanged()};
    };
    changed();

    list.SetShown(DownloadsList::kNoneShown);
    list.OnTimer(kTimerRefreshFiles);
    list.SetShown(3);
    list.OnTimer(kTimerRefreshFiles);
    EXPECT_EQ(changed(), (std::vector<bool>{false, false, false}));

    list.SetShown(2);
    list.OnTimer(kTimerIdleSweep);
    EXPECT_EQ(changed(), (std::vector<bool>{false, false, false}));
    list.OnTimer(kTimerRefreshFiles);
    EXPECT_EQ(changed(), (std::vector<bool>{false, false, true}));

    // Removing a torrent in front keeps the same one shown.
    list.Select(0);
    list.RemoveSelected();
    a = nullptr;
    EXPECT_EQ(list.Shown(), 1u);
    list.OnTimer(kTimerRefreshFiles);
    EXPECT_EQ(changed(), (std::vector<bool>{false, false, true}));

    list.RemoveByInfoHash(c->InfoHash());
    c = nullptr;
    const int before = m_host.m_listChanges;
    list.OnTimer(kTimerRefreshFiles);
    EXPECT_EQ(changed(), (std::vector<bool>{false, false, false}));
    EXPECT_EQ(m_host.m_listChanges, before);
}

TEST_F(DownloadsListTest, FailedSaveIsReportedAndKeepsThePreviousList) {
    const std::string folder = m_profile / "locked";
    const std::string xml = folder + "/Downloads.xml";
    fs::create_directories(folder);
    DownloadsList list(m_host, false);
    EXPECT_FALSE(list.Load(xml));
    AddNew(list, "a");
    ASSERT_TRUE(list.SaveList());
    const std::string before = ReadFile(xml);
    AddNew(list, "b");

    ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
    bool saved = true;
    bool savedList = true;
    AsOtherUser([&] {
        saved = list.Save(xml);
        savedList = list.SaveList();
    });
    ::chmod(folder.c_str(), 0755);
    EXPECT_FALSE(saved);
    EXPECT_FALSE(savedList);
    EXPECT_EQ(m_host.m_ui.m_shown,
              std::vector<std::string>{"The downloads list could not be saved to " + xml + "."});
    EXPECT_EQ(ReadFile(xml), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

// Each run that meets an unreadable list keeps it under a name of its own and starts empty;
// saving then writes a fresh list beside the kept ones.
TEST_F(DownloadsListTest, ATruncatedOrGarbageListIsKeptAsideAndTheListStartsEmpty) {
    const std::string xml = m_profile / "Downloads.xml";
    {
        DownloadsList list(m_host, false);
        AddNew(list, "a");
        ASSERT_TRUE(list.Save(xml));
    }
    const std::string whole = ReadFile(xml);
    const std::vector<std::string> unreadable = {whole.substr(0, whole.size() / 2),
                                                 std::string("\0\xff garbage <<", 13), "",
                                                 "<?xml version=\"1.0\"?>\n<html><body/></html>\n"};
    std::vector<std::string> kept;
    for (size_t i = 0; i < unreadable.size(); ++i) {
        const std::string& bytes = unreadable[i];
        WriteFile(xml, bytes);
        m_host.m_ui.m_shown.clear();
        DownloadsList list(m_host, false);
        EXPECT_FALSE(list.Load(xml));
        EXPECT_TRUE(list.Sessions().empty());
        EXPECT_FALSE(fs::exists(xml));
        for (const auto& entry : fs::directory_iterator(m_profile.Dir())) {
            const std::string name = entry.path().string();
            if (name.rfind(xml + ".unreadable-", 0) == 0 &&
                std::find(kept.begin(), kept.end(), name) == kept.end()) {
                kept.push_back(name);
            }
        }
        ASSERT_EQ(kept.size(), i + 1);
        EXPECT_EQ(ReadFile(kept.back()), bytes);
        ASSERT_EQ(m_host.m_ui.m_shown.size(), 1u);
        EXPECT_NE(m_host.m_ui.m_shown[0].find(xml + " could not be read"), std::string::npos);
        EXPECT_NE(m_host.m_ui.m_shown[0].find("kept as " + kept.back()), std::string::npos);
        AddNew(list, "b");
        EXPECT_TRUE(list.SaveList());
        EXPECT_NE(ReadFile(xml).find("Name=\"b\""), std::string::npos);
    }
    EXPECT_EQ(ReadFile(kept[0]), unreadable[0]);  // not replaced by a later one

    // An absent list is a first start, not a fault.
    fs::remove(xml);
    m_host.m_ui.m_shown.clear();
    DownloadsList fresh(m_host, false);
    EXPECT_FALSE(fresh.Load(xml));
    EXPECT_TRUE(m_host.m_ui.m_shown.empty());
}

TEST_F(DownloadsListTest, AListThatCannotBeMovedAsideIsNeverOverwritten) {
    const std::string folder = m_profile / "locked";
    const std::string xml = folder + "/Downloads.xml";
    WriteFile(xml, "<Tarnwick><Torrents><Torrent InfoHashHex=\"" + Hex('a') + "\"/>");
    const std::string before = ReadFile(xml);
    ASSERT_EQ(::chmod(m_profile.Dir().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(xml.c_str(), 0), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
    DownloadsList list(m_host, false);
    bool loaded = true;
    AsOtherUser([&] { loaded = list.Load(xml); });
    EXPECT_FALSE(loaded);
    ASSERT_EQ(m_host.m_ui.m_shown.size(), 1u);
    EXPECT_NE(m_host.m_ui.m_shown[0].find(xml + " could not be read (Permission denied) nor "
                                                "moved aside (Permission denied)"),
              std::string::npos);

    // Not even when the file system would let this run write it.
    AddNew(list, "a");
    EXPECT_FALSE(list.SaveList());
    EXPECT_FALSE(list.Save(xml));
    EXPECT_EQ(m_host.m_ui.m_shown.back(), "The downloads list was not saved: " + xml +
                                              " could not be read and is left as it is.");
    ::chmod(folder.c_str(), 0755);
    ::chmod(xml.c_str(), 0644);
    EXPECT_EQ(ReadFile(xml), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace velbrook
