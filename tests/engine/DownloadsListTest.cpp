#include "engine/DownloadsList.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "engine/TorrentSession.h"
#include "persist/Settings.h"
#include "support/EngineFakes.h"
#include "support/MetainfoBuilder.h"
#include "support/OtherUser.h"
#include "support/TempDir.h"

namespace velbrook {
namespace {

namespace fs = std::filesystem;
using test::AsOtherUser;
using test::ReadFile;
using test::WriteFile;

class DownloadsListTest : public ::testing::Test {
protected:
    DownloadsListTest() {
        m_host.m_profile = m_profile.Dir();
        // Refused writes are tried as an ordinary user, who must still reach the folders.
        EXPECT_EQ(::chmod(m_profile.Dir().c_str(), 0755), 0);
    }

    TorrentSession* AddNew(DownloadsList& list, const std::string& name,
                           const test::Metainfo& metainfo = {}) {
        const std::string path = m_profile / ("Torrents/" + name + ".torrent");
        test::Metainfo named = metainfo;
        named.name = name;
        WriteFile(path, named.Encode());
        TorrentSession* added = nullptr;
        EXPECT_TRUE(list.AddNew(name, path, &added));
        return added;
    }
    std::vector<std::string>& Shown() { return m_host.m_ui.m_shown; }

    test::TempDir m_profile;
    test::TempDir m_save;
    test::FakeSessionHost m_host;  // its clock outlives what the reactor still has to destroy
    Reactor m_reactor;
    std::string m_xml = m_profile / "Downloads.xml";
};

// Saved, loaded and saved again, the list comes out byte for byte the same.
TEST_F(DownloadsListTest, SaveAndLoadKeepEveryFieldAtFullWidth) {
    {
        DownloadsList list(m_host);
        AddNew(list, "big", {.length = 5000000000, .pieceLength = 16 << 20});
        // Left above 32 bits and different from the size.
        auto other = std::make_unique<TorrentSession>(m_host);
        other->Restore("/t/o.torrent", "/save/", "o.bin", "Other & \"co\"", "o",
                       std::string(20, '\x01'), "http://tracker/a?x=1&y=2", 6000000000, 4294967297);
        ASSERT_TRUE(list.Add(std::move(other)));
        ASSERT_TRUE(list.Save(m_xml));
    }
    const std::string saved = ReadFile(m_xml);
    EXPECT_NE(saved.find("Size=\"5000000000\""), std::string::npos);
    EXPECT_NE(saved.find("Left=\"4294967297\""), std::string::npos);
    DownloadsList loaded(m_host);
    ASSERT_TRUE(loaded.Load(m_xml));
    ASSERT_EQ(loaded.Sessions().size(), 2u);
    ASSERT_TRUE(loaded.Save(m_profile / "again.xml"));
    EXPECT_EQ(ReadFile(m_profile / "again.xml"), saved);
}

// Two sessions of one info hash would write the same files: only the first is taken.
TEST_F(DownloadsListTest, LoadTakesOnlySoundDistinctEntries) {
    const auto entry = [](const std::string& name, const std::string& hex) {
        return "<Torrent Name=\"" + name + "\" InfoHashHex=\"" + hex + "\" Size=\"100\"/>\n";
    };
    const auto hex = [](char digit) { return std::string(40, digit); };
    WriteFile(m_xml, "<Tarnwick>\n<Torrents>\n" + entry("first", hex('a')) + "<Note/>\n" +
                         entry("again", hex('a')) + entry("not hex", hex('z')) +
                         entry("short", "abcd") + entry("upper", hex('B')) +
                         "</Torrents>\n</Tarnwick>\n");
    DownloadsList list(m_host);
    ASSERT_TRUE(list.Load(m_xml));
    ASSERT_EQ(list.Sessions().size(), 2u);
    EXPECT_EQ(list.Sessions()[0]->Name(), "first");
    EXPECT_EQ(list.FindByInfoHash(std::string(20, '\xbb')), list.Sessions()[1].get());
    EXPECT_EQ(Shown(), std::vector<std::string>{"Same infohash, You must delete the same entry "
                                                "before adding a new one"});
}

// Stopping writes the status file: it must not come back after removal, and the downloaded
// data stays where it is.
TEST_F(DownloadsListTest, RemovingATorrentLeavesNoStatusFileAndKeepsItsData) {
    DownloadsList list(m_host);
    EXPECT_FALSE(list.Load(m_xml));
    TorrentSession* running = AddNew(list, "running");
    TorrentSession* kept = AddNew(list, "kept");
    ASSERT_TRUE(running && kept);
    running->SetSaveLocation(m_save.Dir());
    ASSERT_TRUE(running->StartDownload(true));
    ASSERT_TRUE(kept->SaveStatus());
    const std::string status = running->StatusPath();
    const std::string hash = running->InfoHash();
    ASSERT_TRUE(fs::exists(status));

    list.RemoveByInfoHash(hash);
    EXPECT_FALSE(fs::exists(status));
    EXPECT_TRUE(fs::exists(m_save / "running"));
    EXPECT_EQ(ReadFile(m_xml).find("Name=\"running\""), std::string::npos);
    EXPECT_NE(ReadFile(m_xml).find("Name=\"kept\""), std::string::npos);
    ASSERT_EQ(list.Sessions().size(), 1u);
    EXPECT_TRUE(fs::exists(kept->StatusPath()));
}

// Each run that meets an unreadable list keeps it under a name of its own and starts empty;
// saving then writes a fresh list beside the kept ones.
TEST_F(DownloadsListTest, ATruncatedOrGarbageListIsKeptAsideAndTheListStartsEmpty) {
    {
        DownloadsList list(m_host);
        AddNew(list, "a");
        ASSERT_TRUE(list.Save(m_xml));
    }
    const std::string whole = ReadFile(m_xml);
    const std::string unreadable[] = {whole.substr(0, whole.size() / 2),
                                      std::string("\0\xff garbage <<", 13), "",
                                      "<?xml version=\"1.0\"?>\n<html><body/></html>\n"};
    for (size_t i = 0; i < std::size(unreadable); ++i) {
        WriteFile(m_xml, unreadable[i]);
        Shown().clear();
        DownloadsList list(m_host);
        EXPECT_FALSE(list.Load(m_xml));
        EXPECT_TRUE(list.Sessions().empty());
        ASSERT_EQ(Shown().size(), 1u);
        const std::string kept = test::KeptAside(Shown()[0]);
        ASSERT_FALSE(kept.empty()) << Shown()[0];
        EXPECT_EQ(ReadFile(kept), unreadable[i]);
        EXPECT_FALSE(fs::exists(m_xml));
        size_t copies = 0;  // an earlier kept copy is never replaced
        for (const auto& file : fs::directory_iterator(m_profile.Dir())) {
            copies += file.path().string().rfind(m_xml + ".unreadable-", 0) == 0;
        }
        EXPECT_EQ(copies, i + 1);
        AddNew(list, "b");
        EXPECT_TRUE(list.SaveList());
        EXPECT_NE(ReadFile(m_xml).find("Name=\"b\""), std::string::npos);
    }

    // An absent list is a first start, not a fault.
    fs::remove(m_xml);
    Shown().clear();
    DownloadsList fresh(m_host);
    EXPECT_FALSE(fresh.Load(m_xml));
    EXPECT_TRUE(Shown().empty());
}

// In a folder this run may not write: a failed save is reported and keeps the list that was
// there; a list that could neither be read nor moved aside is never overwritten.
TEST_F(DownloadsListTest, WhatCannotBeSavedIsReportedAndLosesNothing) {
    const std::string folder = m_profile / "locked";
    const std::string xml = folder + "/Downloads.xml";
    fs::create_directories(folder);
    DownloadsList list(m_host);
    EXPECT_FALSE(list.Load(xml));
    AddNew(list, "a");
    ASSERT_TRUE(list.SaveList());
    const std::string before = ReadFile(xml);
    AddNew(list, "b");
    ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
    bool saved = true;
    AsOtherUser([&] { saved = list.SaveList(); });
    EXPECT_FALSE(saved);
    EXPECT_EQ(Shown(),
              std::vector<std::string>{"The downloads list could not be saved to " + xml + "."});

    ASSERT_EQ(::chmod(xml.c_str(), 0), 0);
    DownloadsList unreadable(m_host);
    AsOtherUser([&] { saved = unreadable.Load(xml); });
    EXPECT_FALSE(saved);
    EXPECT_NE(Shown().back().find(" nor moved aside (Permission denied)"), std::string::npos);
    // Not even when the file system would let this run write it.
    AddNew(unreadable, "c");
    EXPECT_FALSE(unreadable.SaveList());
    EXPECT_FALSE(unreadable.Save(xml));
    ::chmod(folder.c_str(), 0755);
    ::chmod(xml.c_str(), 0644);
    EXPECT_EQ(ReadFile(xml), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}), 1);
}

}  // namespace
}  // namespace velbrook
