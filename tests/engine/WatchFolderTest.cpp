#include "engine/WatchFolder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

#include "engine/CVelbrookDoc.h"
#include "engine/DownloadsList.h"
#include "engine/TorrentSession.h"
#include "support/EngineFakes.h"
#include "support/Loopback.h"
#include "support/ManualClock.h"
#include "support/MetainfoBuilder.h"
#include "support/TempDir.h"

namespace velbrook {
namespace {

using test::WriteFile;
namespace fs = std::filesystem;

class Watching : public ::testing::Test {
protected:
    Watching() {
        test::WriteAnyPortSettings(m_profile, "<WatchFolder type=\"string\" value=\"" +
                                                  m_watch / "in" +
                                                  "\"/><DefaultDownloadPath type=\"string\" "
                                                  "value=\"" +
                                                  m_save / "dl" + "\"/>");
        fs::create_directories(m_watch / "in");
    }

    std::string In(const std::string& name) const { return m_watch / ("in/" + name); }
    // Whether `path` appears while the loop runs and the clock stands still: inotify alone.
    bool Appears(const std::string& path) {
        return test::RunUntil(m_reactor, [&] { return fs::exists(path); });
    }
    bool Mentioned(const std::string& text) const {
        return std::any_of(m_ui.m_shown.begin(), m_ui.m_shown.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    }

    test::ManualClock m_clock;
    Reactor m_reactor;
    test::TempDir m_profile;
    test::TempDir m_save;
    test::TempDir m_watch;
    test::FakeUi m_ui;
};

// Files that arrive in every usual way are added and started in the default download folder
// and marked; what cannot be added is marked invalid and named to the person; nothing already
// there is written over, and a torrent already listed is not added twice.
TEST_F(Watching, AddsWhatArrivesAndMarksEveryFile) {
    WriteFile(In("early.torrent"), test::Metainfo{.name = "early.bin"}.Encode());
    WriteFile(m_watch / "elsewhere/moved.torrent", test::Metainfo{.name = "moved.bin"}.Encode());
    CVelbrookDoc doc(m_profile.Dir(), m_ui, m_clock);
    ASSERT_TRUE(doc.StartListening());
    m_clock.RunDue();
    EXPECT_TRUE(fs::exists(In("early.torrent.added")));
    EXPECT_FALSE(fs::exists(In("early.torrent")));

    const std::string written = test::Metainfo{.name = "written.bin", .length = 20}.Encode();
    WriteFile(In("written.torrent"), written);
    ASSERT_TRUE(Appears(In("written.torrent.added")));
    fs::rename(m_watch / "elsewhere/moved.torrent", In("moved.torrent"));
    ASSERT_TRUE(Appears(In("moved.torrent.added")));
    ASSERT_EQ(doc.Downloads().Sessions().size(), 3u);
    for (const auto& session : doc.Downloads().Sessions()) {
        EXPECT_TRUE(session->IsActive()) << session->Name();
        EXPECT_EQ(session->SavePath(), m_save / "dl/");
    }
    // Started from a copy of its own: the file in the folder is the person's.
    EXPECT_NE(doc.Downloads().Sessions()[1]->TorrentFile().find(m_profile.Dir()),
              std::string::npos);

    WriteFile(In("written.torrent"), written);  // the same torrent under a marked name
    ASSERT_TRUE(Appears(In("written-2.torrent.added")));
    EXPECT_EQ(test::ReadFile(In("written.torrent.added")), written);
    EXPECT_EQ(doc.Downloads().Sessions().size(), 3u);
    EXPECT_TRUE(m_ui.m_shown.empty());

    WriteFile(In("junk.torrent"), "d4:infoi3e");
    ASSERT_TRUE(Appears(In("junk.torrent.invalid")));
    EXPECT_TRUE(Mentioned(In("junk.torrent") + " could not be added"));
    WriteFile(m_watch / "secret", test::Metainfo{.name = "secret.bin"}.Encode());
    fs::create_symlink(m_watch / "secret", In("link.torrent"));
    m_clock.Advance(WatchFolder::kRescanPeriod);
    EXPECT_TRUE(fs::exists(In("link.torrent.invalid")));
    EXPECT_TRUE(fs::is_symlink(In("link.torrent.invalid")));
    EXPECT_TRUE(Mentioned("symbolic link"));
    EXPECT_EQ(doc.Downloads().Sessions().size(), 3u);
}

// Where inotify says nothing (a hard link makes no event that is watched, as on a file system
// without inotify), the minute's scan finds the file; one that cannot be read yet but changed a
// moment ago is left for a later look instead of being marked invalid.
TEST_F(Watching, TheMinutesScanFindsWhatInotifyMissed) {
    CVelbrookDoc doc(m_profile.Dir(), m_ui, m_clock);
    // Opened by the person from the folder, without a copy: it keeps its name.
    Settings uncached = doc.CurrentSettings();
    uncached.SetInt(TorrentCache, 0);
    doc.ApplySettings(uncached);
    WriteFile(In("own.torrent"), test::Metainfo{.name = "own.bin"}.Encode());
    ASSERT_TRUE(doc.OpenTorrentFile(In("own.torrent"), m_save.Dir()));
    m_clock.RunDue();
    WriteFile(m_watch / "quiet", test::Metainfo{.name = "quiet.bin"}.Encode());
    WriteFile(m_watch / "half", "d8:announce");
    ASSERT_EQ(::link((m_watch / "quiet").c_str(), In("quiet.torrent").c_str()), 0);
    ASSERT_EQ(::link((m_watch / "half").c_str(), In("half.torrent").c_str()), 0);
    test::RunPasses(m_reactor);
    EXPECT_EQ(doc.Downloads().Sessions().size(), 1u);

    m_clock.Advance(WatchFolder::kRescanPeriod);
    EXPECT_TRUE(fs::exists(In("quiet.torrent.added")));
    EXPECT_EQ(doc.Downloads().Sessions().size(), 2u);
    EXPECT_TRUE(fs::exists(In("own.torrent")));
    EXPECT_TRUE(fs::exists(In("half.torrent")));  // still being written, as far as we know
    EXPECT_TRUE(m_ui.m_shown.empty());

    const timespec longAgo[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 60, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, In("half.torrent").c_str(), longAgo, 0), 0);
    m_clock.Advance(WatchFolder::kSettleTime);
    EXPECT_TRUE(fs::exists(In("half.torrent.invalid")));
    EXPECT_TRUE(Mentioned("half.torrent"));
}

// A folder that is missing, or goes, is said once and looked for every minute; one that comes
// back is watched again. Another folder in the options ends the watch on the old one.
TEST_F(Watching, FollowsTheFolderAndTheSetting) {
    fs::remove_all(m_watch / "in");
    CVelbrookDoc doc(m_profile.Dir(), m_ui, m_clock);
    ASSERT_TRUE(doc.StartListening());
    m_clock.RunDue();
    m_clock.Advance(3 * WatchFolder::kRescanPeriod);
    ASSERT_EQ(m_ui.m_shown.size(), 1u);
    EXPECT_TRUE(Mentioned(m_watch / "in cannot be read"));

    fs::create_directories(m_watch / "in");
    m_clock.Advance(WatchFolder::kRescanPeriod);
    WriteFile(In("a.torrent"), test::Metainfo{.name = "a.bin"}.Encode());
    ASSERT_TRUE(Appears(In("a.torrent.added")));
    fs::remove_all(m_watch / "in");
    ASSERT_TRUE(test::RunUntil(m_reactor, [&] {
        m_clock.Advance(std::chrono::milliseconds(1));
        return m_ui.m_shown.size() == 2;
    }));
    fs::create_directories(m_watch / "in");
    m_clock.Advance(WatchFolder::kRescanPeriod);
    WriteFile(In("a.torrent"), test::Metainfo{.name = "a.bin"}.Encode());
    ASSERT_TRUE(Appears(In("a.torrent.added")));

    Settings moved = doc.CurrentSettings();
    moved.SetString(WatchFolder, m_watch / "other");
    doc.ApplySettings(moved);
    fs::create_directories(m_watch / "other");
    m_clock.RunDue();
    WriteFile(In("b.torrent"), test::Metainfo{.name = "b.bin"}.Encode());
    WriteFile(m_watch / "other/c.torrent", test::Metainfo{.name = "c.bin"}.Encode());
    ASSERT_TRUE(Appears(m_watch / "other/c.torrent.added"));
    m_clock.Advance(WatchFolder::kRescanPeriod);
    EXPECT_TRUE(fs::exists(In("b.torrent")));
    EXPECT_EQ(doc.Downloads().Sessions().size(), 2u);

    // Where the listed torrents' own copies live is never watched.
    moved.SetString(WatchFolder, m_profile / "Torrents");
    doc.ApplySettings(moved);
    EXPECT_TRUE(Mentioned("copies of torrents"));
    WriteFile(m_profile / "Torrents/d.torrent", test::Metainfo{.name = "d.bin"}.Encode());
    m_clock.Advance(WatchFolder::kRescanPeriod);
    EXPECT_TRUE(fs::exists(m_profile / "Torrents/d.torrent"));
}

}  // namespace
}  // namespace velbrook
