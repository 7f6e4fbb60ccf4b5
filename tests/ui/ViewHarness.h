// The views on a real engine document in a temporary profile: torrents added as the person adds
// them, peers connecting over 127.0.0.1, and the widgets driven with QTest.
#pragma once

#include <QApplication>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/CVelbrookDoc.h"
#include "engine/DownloadsList.h"
#include "engine/PeerSet.h"
#include "engine/TorrentSession.h"
#include "support/EngineFakes.h"
#include "support/MetainfoBuilder.h"
#include "support/TempDir.h"
#include "ui/CLeftView.h"
#include "ui/CVelbrookView.h"
#include "ui/CView_LeftTree.h"
#include "ui/CView_TorrentList.h"
#include "ui/StyleLayout.h"

namespace velbrook::test {

using Strings = std::vector<std::string>;

struct MenuEntry {
    std::string text;
    bool enabled;
    bool checked;
};

class ViewsTest : public ::testing::Test {
protected:
    ViewsTest() {
        WriteAnyPortSettings(m_profile, "<LogPeerComm type=\"int\" value=\"1\"/>"
                                        "<LogPeerCommLines type=\"int\" value=\"50\"/>");
    }
    ~ViewsTest() override { Close(); }

    CVelbrookDoc& Doc() {
        if (!m_doc) {
            m_doc = std::make_unique<CVelbrookDoc>(m_profile.Dir(), m_ui, m_clock);
        }
        return *m_doc;
    }
    // The four views, as the main window holds them.
    void Open() {
        m_status = std::make_unique<CVelbrookView>(Doc());
        m_list = std::make_unique<CView_TorrentList>(Doc());
        m_left = std::make_unique<CLeftView>(Doc(), *m_status);
        m_selector = std::make_unique<CView_LeftTree>(Doc(), *m_status);
        for (QTreeWidget* view :
             {static_cast<QTreeWidget*>(m_status.get()), static_cast<QTreeWidget*>(m_list.get()),
              static_cast<QTreeWidget*>(m_left.get()),
              static_cast<QTreeWidget*>(m_selector.get())}) {
            view->resize(1200, 400);
            view->show();
        }
    }
    // Quitting: the views go first, then the document, which saves the layout.
    void Close() {
        m_selector.reset();
        m_left.reset();
        m_list.reset();
        m_status.reset();
        m_doc.reset();
    }
    // What the main window does on every update.
    void Update() {
        m_list->OnUpdate();
        m_status->OnUpdate();
    }

    // Adds and starts a torrent saved in the save folder. With `onDisk` its data (one file) is
    // there already, and is checked before the torrent connects.
    TorrentSession& Add(Metainfo meta, bool onDisk = false) {
        if (onDisk) {
            const std::string data = PatternBytes(static_cast<size_t>(meta.length));
            WriteFile(m_save / meta.name, data);
            meta.hashes = PieceHashes(data, meta.pieceLength);
        }
        // Named apart from its content, so that a row shows which name is which.
        const std::string torrent = m_save / ("in/" + meta.name + ".x.torrent");
        WriteFile(torrent, meta.Encode());
        EXPECT_TRUE(Doc().OpenTorrentFile(torrent, m_save.Dir()));
        return *Doc().Downloads().Sessions().back();
    }
    // A peer that connects to the torrent, or one that the torrent dials; returned once its
    // handshake has passed.
    PeerConnection& Incoming(TorrentSession& session, const std::string& id) {
        m_remotes.push_back(std::make_unique<Remote>(Doc().ListenPort()));
        m_remotes.back()->Write(Handshake(id, session.InfoHash()));
        return Connected(session, id);
    }
    PeerConnection& Outgoing(TorrentSession& session, const std::string& id) {
        RawListener listener;
        session.AddTrackerPeer("", "127.0.0.1", listener.m_port);
        m_farEnds.push_back(std::make_unique<FarEnd>(listener.Accept(m_reactor)));
        m_farEnds.back()->Write(Handshake(id, session.InfoHash()));
        return Connected(session, id);
    }
    PeerConnection& Connected(TorrentSession& session, const std::string& id) {
        EXPECT_TRUE(RunUntil(m_reactor, [&] {
            const PeerConnection* peer = session.Peers()->FindPeer(id);
            return peer && peer->IsConnected();
        }));
        return *session.Peers()->FindPeer(id);
    }
    // Runs the engine's clock while the torrent checks its data on disk.
    void Checked(TorrentSession& session) {
        EXPECT_TRUE(
            m_clock.AdvanceUntil([&] { return session.State() != SessionState::Checking; }));
    }
    // Peers that have moved nothing since their handshakes, which were just now.
    struct Rates {
        PeerConnection* peer;
        uint32_t down;
        uint32_t up;
    };
    // Ten seconds later, when each peer has sent and taken ten seconds' worth at its rates: until
    // the clock moves again their meters read exactly these. Open views have followed whatever
    // else those seconds changed.
    void SetRates(std::initializer_list<Rates> peers) {
        m_clock.Advance(std::chrono::seconds(10));
        if (m_list) {
            Update();
        }
        for (const Rates& rates : peers) {
            rates.peer->DownloadMeter().Update(rates.down * 10);
            rates.peer->UploadMeter().Update(rates.up * 10);
        }
    }

    // The texts of a row, or of a column (row -1).
    static Strings Cells(const QTreeWidget& view, int row, int column = -1) {
        Strings cells;
        for (int r = std::max(row, 0); r < (row < 0 ? view.topLevelItemCount() : row + 1); ++r) {
            for (int c = std::max(column, 0); c < (column < 0 ? view.columnCount() : column + 1);
                 ++c) {
                cells.push_back(view.topLevelItem(r)->text(c).toStdString());
            }
        }
        return cells;
    }
    // The entries' labels, "|" between them.
    static std::string Labels(const std::vector<MenuEntry>& entries) {
        std::string labels;
        for (const MenuEntry& entry : entries) {
            labels += (&entry == &entries.front() ? "" : "|") + entry.text;
        }
        return labels;
    }
    static QPoint At(const QTreeWidget& view, const QTreeWidgetItem* item) {
        return view.visualItemRect(item).center();
    }
    static void Click(QTreeWidget& view, int row, Qt::KeyboardModifiers keys = {}) {
        QTest::mouseClick(view.viewport(), Qt::LeftButton, keys, At(view, view.topLevelItem(row)));
    }
    // Chooses the tree item labelled `label`; false when there is none.
    static bool Choose(QTreeWidget& tree, const QString& label) {
        const auto found = tree.findItems(label, Qt::MatchExactly | Qt::MatchRecursive);
        if (!found.isEmpty()) {
            QTest::mouseClick(tree.viewport(), Qt::LeftButton, {}, At(tree, found.front()));
        }
        return !found.isEmpty();
    }
    // Drags the right edge of a column's header until the column is `width` wide.
    static void DragColumn(QTreeWidget& view, int column, int width) {
        QHeaderView& header = *view.header();
        const int edge = header.sectionViewportPosition(column) + header.sectionSize(column) - 1;
        const QPoint to(edge + width - header.sectionSize(column), header.height() / 2);
        QTest::mousePress(header.viewport(), Qt::LeftButton, {}, QPoint(edge, to.y()));
        QTest::mouseMove(header.viewport(), to);
        QTest::mouseRelease(header.viewport(), Qt::LeftButton, {}, to);
    }
    // Right-clicks the row (below the rows for -1) and reads the pop-up menu, then clicks the
    // entry labelled `choose` when it is enabled, or closes the menu. Empty when none opened.
    static std::vector<MenuEntry> RightClick(QTreeWidget& view, int row,
                                             const QString& choose = {}) {
        std::vector<MenuEntry> entries;
        QTimer menuOpen;
        QObject::connect(&menuOpen, &QTimer::timeout, [&] {
            menuOpen.stop();
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            QAction* chosen = nullptr;
            for (QAction* action : menu ? menu->actions() : QList<QAction*>()) {
                if (!action->isSeparator()) {
                    entries.push_back(
                        {action->text().toStdString(), action->isEnabled(), action->isChecked()});
                }
                if (!choose.isEmpty() && action->text() == choose && action->isEnabled()) {
                    chosen = action;
                }
            }
            if (chosen) {
                QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(chosen).center());
            } else if (menu) {
                menu->close();
            }
        });
        menuOpen.start(0);
        const QPoint at =
            row >= 0 ? At(view, view.topLevelItem(row)) : QPoint(5, view.viewport()->height() - 5);
        QTest::mouseClick(view.viewport(), Qt::RightButton, {}, at);
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, view.viewport()->mapToGlobal(at));
        QApplication::sendEvent(view.viewport(), &event);
        return entries;
    }

    ManualClock m_clock;  // outlives what the reactor still has to destroy
    Reactor m_reactor;
    TempDir m_profile;
    TempDir m_save;
    FakeUi m_ui;
    std::vector<std::unique_ptr<Remote>> m_remotes;
    std::vector<std::unique_ptr<FarEnd>> m_farEnds;
    std::unique_ptr<CVelbrookDoc> m_doc;
    std::unique_ptr<CVelbrookView> m_status;
    std::unique_ptr<CView_TorrentList> m_list;
    std::unique_ptr<CLeftView> m_left;
    std::unique_ptr<CView_LeftTree> m_selector;
};

}  // namespace velbrook::test
