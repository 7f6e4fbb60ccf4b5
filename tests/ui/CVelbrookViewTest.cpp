#include "ui/CVelbrookView.h"

#include <algorithm>

#include "persist/CXML.h"
#include "ui/ViewHarness.h"

namespace velbrook {
namespace {

using test::Strings;
using View = CVelbrookView;

class DetailViews : public test::ViewsTest {
protected:
    // The shipped layout in the profile, without the element at `path` ("A" or "A/B").
    void StyleWithout(const std::string& path) {
        CXML root;
        ASSERT_TRUE(root.Load(VELBROOK_SOURCE_DIR "/data/Style.xml"));
        CXML* element = root.FindChild(path.substr(0, path.find('/')));
        if (element && path.find('/') != std::string::npos) {
            element = element->FindChild(path.substr(path.find('/') + 1));
        }
        ASSERT_NE(element, nullptr);
        element->GetParent()->RemoveChild(element);
        ASSERT_TRUE(CXML::SaveFile(root, m_profile / "Style.xml"));
    }
};

TEST_F(DetailViews, PeersFilesSummaryLogAndStatisticsOfTheShownTorrent) {
    TorrentSession& torrent = Add({.name = "t", .files = {{100000, {"a"}}, {0, {"empty"}}}});
    std::vector<PeerConnection*> peers;
    for (const char c : {'a', 'b', 'c'}) {
        peers.push_back(&Incoming(torrent, "-XX0001-" + std::string(12, c)));
    }
    peers.push_back(&Outgoing(torrent, "-XX0001-dddddddddddd"));
    SetRates({{peers[1], 4096, 2048}});
    Open();
    ASSERT_TRUE(Choose(*m_selector, "通信记录"));  // no peer double-clicked yet: an empty log
    Update();
    EXPECT_EQ(m_status->Mode(), View::kLog);
    EXPECT_EQ(m_status->topLevelItemCount(), 0);

    ASSERT_TRUE(Choose(*m_selector, "用户"));
    Update();
    EXPECT_EQ(Cells(*m_status, -1, 0), (Strings{"R", "R", "R", "L"}));
    const Strings cells = Cells(*m_status, 1);
    EXPECT_EQ(cells[1], "127.0.0.1:" + std::to_string(peers[1]->Port()));
    EXPECT_EQ(Strings(cells.begin() + 2, cells.begin() + 5),
              (Strings{"0%", "4 kB/s", "2 kB/s(Max:20)"}));
    EXPECT_EQ(cells[14], "Connected");

    m_remotes[2]->Message(std::string(1, '\x02'));  // INTERESTED, logged as "...\r\n"
    ASSERT_TRUE(test::RunUntil(m_reactor, [&] { return peers[2]->IsPeerInterested(); }));
    QTest::mouseDClick(m_status->viewport(), Qt::LeftButton, {},
                       At(*m_status, m_status->topLevelItem(2)));
    EXPECT_EQ(m_status->Mode(), View::kLog);
    EXPECT_EQ(Doc().SelectedPeerId(), peers[2]->PeerId());
    Update();
    // One line each, ending at its text: the "\r\n" of an entry draws no second line.
    const auto& log = peers[2]->Log();
    Strings lines;
    for (std::string line : log) {
        while (line.ends_with('\n') || line.ends_with('\r')) {
            line.pop_back();
        }
        lines.push_back(line);
    }
    ASSERT_NE(lines, Strings(log.begin(), log.end()));  // entries that end in "\r\n" are there
    EXPECT_EQ(Cells(*m_status, -1, 0), lines);

    ASSERT_TRUE(Choose(*m_selector, "用户"));  // still selected in the tree: back to the peers
    EXPECT_EQ(m_status->Mode(), View::kPeerList);
    ASSERT_TRUE(Choose(*m_left, "文件"));
    Update();
    EXPECT_EQ(Cells(*m_status, 0), (Strings{"0%", "t/a", "97 k (100000 Bytes)", "rw"}));
    EXPECT_EQ(Cells(*m_status, 1), (Strings{"100%", "t/empty", "0 (0 Bytes)", ""}));
    ASSERT_TRUE(Choose(*m_selector, "摘要"));
    Update();
    EXPECT_EQ(m_status->topLevelItemCount(), 19);  // the fixed rows and the one tracker
    EXPECT_EQ(Cells(*m_status, 18)[0], "Tier 1:");
    EXPECT_EQ(Cells(*m_status, 10), (Strings{"ConnectedPeers", "4(Max:40)"}));
    EXPECT_EQ(Cells(*m_status, 14), (Strings{"Left", "97 k (100000 Bytes)"}));
    ASSERT_TRUE(Choose(*m_selector, "统计"));
    Update();
    EXPECT_EQ(Doc().SelectedPeerId(), "");
    EXPECT_EQ(Cells(*m_status, -1, 1), (Strings{"1", "4", "4", "off"}));
}

// The summary lists every tracker after its fixed rows, tier by tier, and says when a torrent
// keeps to its trackers alone.
TEST_F(DetailViews, TheSummaryNamesEveryTrackerAndAPrivateTorrent) {
    const Strings urls{"udp://127.0.0.1:1/a", "http://127.0.0.1:1/b", "https://127.0.0.1:1/c"};
    Add({.name = "p", .announceList = {{urls[0], urls[1]}, {urls[2]}}, .isPrivate = true});
    Open();
    ASSERT_TRUE(Choose(*m_selector, "摘要"));
    Update();
    ASSERT_EQ(m_status->topLevelItemCount(), 21);
    EXPECT_EQ(Cells(*m_status, 5), (Strings{"", "private"}));
    EXPECT_EQ(Cells(*m_status, -1, 0).back(), "Tier 2:");
    Strings shown;
    for (int row = 18; row < 21; ++row) {
        const std::string value = Cells(*m_status, row)[1];
        shown.push_back(value.substr(0, value.find("  ")));  // the one in use says how it went
    }
    std::sort(shown.begin(), shown.end() - 1);
    EXPECT_EQ(shown, (Strings{urls[1], urls[0], urls[2]}));
}

TEST_F(DetailViews, TheShippedLayoutHasEveryDisplayAndKeepsWidthsAcrossARestart) {
    Open();
    const std::pair<const char*, std::pair<int, int>> displays[] = {
        {"用户", {View::kPeerList, 15}},
        {"文件", {View::kFileList, 4}},
        {"摘要", {View::kAbstract, 2}},
        {"通信记录", {View::kLog, 1}},
        {"统计", {View::kStatistic, 2}}};
    for (const auto& [label, display] : displays) {
        ASSERT_TRUE(Choose(*m_selector, label)) << label;
        EXPECT_EQ(std::make_pair(m_status->Mode(), m_status->columnCount()), display) << label;
    }
    EXPECT_EQ(m_list->columnCount(), 11);
    ASSERT_TRUE(Choose(*m_left, "用户"));
    EXPECT_EQ(m_status->Mode(), View::kPeerList);

    DragColumn(*m_list, 1, 333);
    DragColumn(*m_status, 1, 211);
    ASSERT_TRUE(Choose(*m_left, "文件"));
    DragColumn(*m_status, 1, 177);
    ASSERT_TRUE(Choose(*m_left, "用户"));
    EXPECT_EQ(m_status->columnWidth(1), 211);
    Close();
    Open();
    EXPECT_EQ(m_list->columnWidth(1), 333);
    ASSERT_TRUE(Choose(*m_selector, "文件"));
    EXPECT_EQ(m_status->columnWidth(1), 177);
    EXPECT_TRUE(m_ui.m_shown.empty());
}

TEST_F(DetailViews, EachMissingPieceOfTheLayoutIsReportedWhereItIsNeeded) {
    Add({.name = "t"});
    const std::string noDisplay = "can't find some items for BTView in Style XML file!";
    const struct {
        std::string missing;
        Strings messages;
        int mode;  // after choosing the log in the selector tree
    } cases[] = {
        {"TorrentList", {"can't find TorrentList in Style XML file!"}, View::kLog},
        {"TorrentListPopUp", {"Can't find TorrentListPopUp in Style XML file!"}, View::kLog},
        {"StatusList", {noDisplay, noDisplay}, View::kNone},  // the summary, then the log
        {"StatusList/Log", {noDisplay}, View::kAbstract},
        {"LeftTree", {}, View::kLog},
        {"StatusLeftTree", {}, View::kAbstract},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.missing);
        Close();
        StyleWithout(c.missing);
        m_ui.m_shown.clear();
        Open();
        EXPECT_EQ(m_list->columnCount() == 0, c.missing == "TorrentList");
        EXPECT_EQ(m_left->topLevelItemCount() == 0, c.missing == "LeftTree");
        if (m_list->columnCount() > 0) {
            // Opens all the same, with empty labels.
            EXPECT_EQ(Labels(RightClick(*m_list, 0)) == "||||", c.missing == "TorrentListPopUp");
        }
        EXPECT_EQ(Choose(*m_selector, "通信记录"), c.missing != "StatusLeftTree");
        EXPECT_EQ(m_status->Mode(), c.mode);
        EXPECT_EQ(m_ui.m_shown, c.messages);
    }
}

TEST_F(DetailViews, ColumnsAndTreesFollowWhateverTheLayoutSays) {
    test::WriteFile(m_profile / "Style.xml",
                    "<L><TorrentList><A name=\"x\" size=\"50\" align=\"Right\"/>"
                    "<B size=\"70\" align=\"right\"/><C align=\"center\"/></TorrentList>"
                    "<TorrentListPopUp><a>1</a><b>2</b><c>3</c></TorrentListPopUp>"
                    "<StatusList><FileList><F name=\"f\" size=\"10\"/></FileList></StatusList>"
                    "<LeftTree><Site infotip=\"tip\" type=\"url\" value=\"http://127.0.0.1/\"/>"
                    "<G name=\"g\"><Files name=\"\" type=\"view\" value=\"FileList\"/>"
                    "<Log type=\"view\" value=\"Log\"/></G></LeftTree></L>");
    Add({.name = "t"});
    Open();
    const QTreeWidgetItem& header = *m_list->headerItem();
    ASSERT_EQ(m_list->columnCount(), 3);
    EXPECT_EQ(header.text(0).toStdString() + "|" + header.text(1).toStdString(), "x|");
    const Qt::Alignment aligned[] = {Qt::AlignLeft, Qt::AlignRight, Qt::AlignHCenter};
    const int widths[] = {50, 70, 0};
    for (int column = 0; column < 3; ++column) {
        EXPECT_EQ(m_list->columnWidth(column), widths[column]);
        const auto cell = m_list->topLevelItem(0)->data(column, Qt::TextAlignmentRole);
        EXPECT_EQ(qvariant_cast<Qt::Alignment>(cell) & Qt::AlignHorizontal_Mask, aligned[column]);
    }
    EXPECT_EQ(Labels(RightClick(*m_list, 0)), "1|2|3||");

    EXPECT_EQ(m_left->topLevelItem(0)->toolTip(0), "tip");
    ASSERT_TRUE(Choose(*m_left, "Site"));
    EXPECT_EQ(Doc().CurrentAddress(), "http://127.0.0.1/");
    ASSERT_TRUE(Choose(*m_left, "Files"));
    EXPECT_EQ(m_status->Mode(), View::kFileList);
    ASSERT_TRUE(Choose(*m_left, "Log"));  // this tree switches only between peers and files
    EXPECT_EQ(m_status->Mode(), View::kFileList);
    // No summary to start with.
    EXPECT_EQ(m_ui.m_shown, Strings{"can't find some items for BTView in Style XML file!"});
}

}  // namespace
}  // namespace velbrook
