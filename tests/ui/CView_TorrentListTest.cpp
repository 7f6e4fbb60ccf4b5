#include "ui/CView_TorrentList.h"

#include "ui/ViewHarness.h"

namespace velbrook {
namespace {

using test::Strings;

class TorrentList : public test::ViewsTest {};

// One letter per pop-up entry: e enabled, d disabled, c disabled and checked.
template <typename Entries>
std::string Flags(const Entries& entries) {
    std::string flags;
    for (const auto& entry : entries) {
        flags += entry.checked ? (entry.enabled ? '?' : 'c') : (entry.enabled ? 'e' : 'd');
    }
    return flags;
}

TEST_F(TorrentList, RowsShowTheLastAddedFirstRedrawnWhenTheListChanged) {
    TorrentSession& small = Add({.name = "small", .length = 100}, true);  // checked first
    Add({.name = "kilo", .length = 1536});
    // 90 seconds at 36 000 bytes a second, 100 hours at 9.
    TorrentSession& big = Add({.name = "big", .length = 90 * 36000, .pieceLength = 65536});
    Open();
    ASSERT_EQ(m_list->columnCount(), 11);
    EXPECT_EQ(Cells(*m_list, -1, 2), (Strings{"3 M", "1 k", "100"}));
    EXPECT_EQ(Cells(*m_list, 2), (Strings{"Checking", "small.x/small", "100", "0%", "", "", "", "0",
                                          "0", m_save.Dir(), small.StatusText()}));

    Checked(small);
    std::vector<PeerConnection*> peers;
    for (const char c : {'a', 'b', 'c'}) {
        peers.push_back(&Incoming(big, "-XX0001-" + std::string(12, c)));
    }
    big.SetTrackerCounts(0, 2);
    PeerConnection& seeded = Incoming(small, "-XX0001-dddddddddddd");
    Update();
    // Complete: no time left and no download rate, but its upload.
    SetRates({{&seeded, 5000, 3072}, {peers[0], 36000, 2048}});
    Update();
    EXPECT_EQ(Cells(*m_list, 0)[4], "");  // a rate alone does not mark the list: no redraw
    Doc().Downloads().MarkListChanged();
    Update();
    const auto cells = [&](int row, int from, int to) {
        const Strings all = Cells(*m_list, row);
        return Strings(all.begin() + from, all.begin() + to);
    };
    EXPECT_EQ(cells(0, 4, 9), (Strings{"00:01:30", "35kB/s", "2kB/s", "0(0)", "3(3)"}));
    EXPECT_EQ(big.TrackerPeers(), 3);
    EXPECT_EQ(cells(2, 0, 7),
              (Strings{"Connect Tracker", "small.x/small", "100", "100%", "", "", "3kB/s"}));
    // The fast peer leaves; a slow one comes.
    m_remotes[0].reset();
    ASSERT_TRUE(test::RunUntil(m_reactor, [&] { return !peers[0]->IsConnected(); }));
    SetRates({{&Incoming(big, "-XX0001-eeeeeeeeeeee"), 9, 0}});
    Doc().Downloads().MarkListChanged();
    Update();
    EXPECT_EQ(Cells(*m_list, 0)[4], "100:00:00");
}

TEST_F(TorrentList, PopUpMenuFollowsTheClickedTorrentsStateAndRunsItsCommands) {
    TorrentSession& running = Add({.name = "running"});
    Add({.name = "checking", .length = 50000}, true);  // row 0, left in its check
    Open();
    const auto menu = RightClick(*m_list, 0);
    EXPECT_EQ(Labels(menu), "开始|停止|暂停|继续|删除");
    EXPECT_EQ(Flags(menu), "cedde");
    EXPECT_EQ(Flags(RightClick(*m_list, 1, "停止")), "ceede");
    EXPECT_EQ(running.State(), SessionState::Stopped);
    EXPECT_EQ(Cells(*m_list, 1)[0], "Stop");
    EXPECT_EQ(Flags(RightClick(*m_list, 1, "开始")), "ecdde");
    EXPECT_EQ(Cells(*m_list, 1)[0], "Connect Tracker");

    const std::pair<SessionState, const char*> others[] = {{SessionState::Downloading, "ceede"},
                                                           {SessionState::Uploading, "ceede"},
                                                           {SessionState::Paused, "decee"},
                                                           {SessionState::Unknown, "dddde"},
                                                           {static_cast<SessionState>(9), "dddde"}};
    for (const auto& [state, flags] : others) {
        EXPECT_EQ(Flags(CView_TorrentList::PopUpStatesFor(state)), flags);
    }
}

// A new torrent waiting for the person's answer says so, and can only be taken off the list,
// which takes its question away.
TEST_F(TorrentList, AWaitingTorrentSaysSoAndCanOnlyBeDeleted) {
    m_ui.m_hold = true;
    const std::string torrent = m_save / "in/w.x.torrent";
    test::WriteFile(torrent, test::Metainfo{.name = "w"}.Encode());
    ASSERT_TRUE(Doc().OpenTorrentFile(torrent));
    Open();
    const Strings cells = Cells(*m_list, 0);
    EXPECT_EQ(cells[0], "Waiting");
    EXPECT_EQ(cells.back(), "Waiting for a save location");
    EXPECT_EQ(Flags(RightClick(*m_list, 0, "删除")), "dddde");
    EXPECT_TRUE(Doc().Downloads().Sessions().empty());
    EXPECT_EQ(m_ui.OpenQuestions(), 0u);
}

TEST_F(TorrentList, DeletingKeepsASensibleSelection) {
    for (const char* name : {"a", "b", "c", "d", "e"}) {
        Add({.name = name});
    }
    Open();
    const auto names = [&] { return Cells(*m_list, -1, 1); };
    EXPECT_TRUE(RightClick(*m_list, -1).empty());  // no row selected: no menu
    QTest::keyClick(m_list.get(), Qt::Key_Delete);
    EXPECT_EQ(names().size(), 5u);

    Click(*m_list, 1);
    Click(*m_list, 3, Qt::ControlModifier);
    QTest::keyClick(m_list.get(), Qt::Key_Delete);
    EXPECT_EQ(names(), (Strings{"e.x/e", "c.x/c", "a.x/a"}));
    EXPECT_EQ(FirstSelectedRow(*m_list), 1);  // the row kept its place, so c is shown now
    EXPECT_EQ(Doc().Downloads().Shown(), 1u);

    Click(*m_list, 2);
    QTest::keyClick(m_list.get(), Qt::Key_Delete);  // the last row: the new last row follows
    EXPECT_EQ(names(), (Strings{"e.x/e", "c.x/c"}));
    EXPECT_EQ(FirstSelectedRow(*m_list), 1);
    EXPECT_EQ(Doc().Downloads().Shown(), 0u);
    Click(*m_list, 0, Qt::ControlModifier);
    RightClick(*m_list, 0, "删除");
    EXPECT_TRUE(names().empty());
    EXPECT_EQ(Doc().Downloads().Shown(), DownloadsList::kNoneShown);
    EXPECT_TRUE(m_ui.m_shown.empty());
}

}  // namespace
}  // namespace velbrook
