#include "ui/CMainFrame.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QClipboard>
#include <QDropEvent>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QSplitter>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QUrl>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/CVelbrookDoc.h"
#include "engine/DownloadsList.h"
#include "engine/SingleInstance.h"
#include "engine/TorrentSession.h"
#include "net/Reactor.h"
#include "persist/Settings.h"
#include "support/MetainfoBuilder.h"
#include "support/ModalDialogs.h"
#include "support/QtPump.h"
#include "support/TempDir.h"
#include "ui/COpenLinkDlg.h"
#include "ui/CSystemTray.h"
#include "ui/EngineLoop.h"
#include "ui/QtUiHost.h"
#include "ui/ViewHarness.h"

namespace velbrook {
namespace {

using test::PumpUntil;

// A tray icon on a desktop with a notification area, which the offscreen platform is not: what
// the program keeps track of can be checked, not what a real tray draws.
class TrayOnAnyDesktop : public CSystemTray {
public:
    using CSystemTray::CSystemTray;

protected:
    bool DesktopHasTray() const override { return true; }
};

// The person: files are saved in one folder, every message is noted and every question answered
// yes, a moment later.
class ScriptedUi : public QtUiHost {
public:
    using QtUiHost::QtUiHost;
    void ShowMessage(const std::string& text, MessageIcon) override { shown.push_back(text); }
    void AskYesNo(const void*, const std::string&, YesNoAnswer answered) override {
        Later([answered] { answered(true); });
    }
    void ChooseSaveFile(const void*, const std::string&, const std::string& proposed,
                        PathAnswer chosen) override {
        Later([this, chosen, proposed] { chosen(folder + proposed); });
    }
    void ChooseFolder(const void*, const std::string&, PathAnswer chosen) override {
        Later([this, chosen] { chosen(folder); });
    }
    std::string folder;
    std::vector<std::string> shown;

private:
    void Later(std::function<void()> answer) { QTimer::singleShot(0, this, std::move(answer)); }
};

// Written before the document reads it.
struct AnyPortProfile : test::TempDir {
    AnyPortProfile() { test::WriteAnyPortSettings(*this); }
};

// A later copy on the profile, on a thread of its own as it would be in a process of its own: it
// waits for the answer that the window's loop gives. Its role and the paths not listed.
std::pair<SingleInstance::Role, std::vector<std::string>>
HandOver(const std::string& profile, const std::vector<std::string>& paths) {
    auto later = std::async(std::launch::async, [profile, paths] {
        SingleInstance copy(profile);
        const SingleInstance::Role role = copy.Claim(paths);
        return std::make_pair(role, copy.NotListed());
    });
    EXPECT_TRUE(PumpUntil(
        [&] { return later.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    return later.get();
}

class MainFrame : public ::testing::Test {
protected:
    MainFrame() {
        m_ui.folder = m_save.Dir();
        m_ui.SetWindow(&m_frame);
        m_ui.SetRedraw([this] { m_frame.UpdateAllViews(); });
        m_frame.show();
        m_frame.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&m_frame));
    }
    // A small .torrent file named `name`.torrent, holding one file `name`.
    std::string Torrent(const std::string& name) {
        const std::string path = m_save / (name + ".torrent");
        test::WriteFile(path, test::Metainfo{.name = name}.Encode());
        return path;
    }
    bool Listed(const std::string& name) {
        for (const auto& session : m_doc.Downloads().Sessions()) {
            if (session->Name() == name) {
                return true;
            }
        }
        return false;
    }

    AnyPortProfile m_profile;
    test::TempDir m_save;
    Reactor m_reactor;
    EngineLoop m_loop{m_reactor};
    ScriptedUi m_ui{m_reactor};
    CVelbrookDoc m_doc{m_profile.Dir(), m_ui, m_reactor};
    CMainFrame m_frame{m_doc};
};

// Only what works is enabled, in the menus and on the toolbar (whose tips are the labels
// without their keys).
TEST_F(MainFrame, OnlyWhatWorksIsEnabled) {
    std::vector<std::string> enabled;
    for (QAction* menu : m_frame.menuBar()->actions()) {
        for (QAction* entry : menu->menu()->actions()) {
            if (entry->isEnabled() && !entry->isSeparator())
                enabled.push_back(entry->text().toStdString());
        }
    }
    for (QAction* button : m_frame.findChild<QToolBar*>()->actions()) {
        if (button->isEnabled() && !button->isSeparator())
            enabled.push_back(button->toolTip().toStdString());
    }
    EXPECT_EQ(enabled, (std::vector<std::string>{"打开Torrent\tCtrl+O(&O)", "打开链接...",
                                                 "选项...\tCtrl+P(&P)", "退出(&X)", "工具栏(&T)",
                                                 "状态栏(&S)", "关于 Velbrook(&A)...",
                                                 "打开Torrent", "关于 Velbrook", "帮助"}));
}

// Ctrl+O offers .torrent files; a drop takes the .torrent files among what is dropped; a later
// copy's torrent is opened here, and a later copy with nothing to open brings the minimised
// window back. Whatever is opened, the title stays the program's name.
TEST_F(MainFrame, TorrentsArriveByOpenDropAndHandOff) {
    ASSERT_EQ(m_doc.CurrentSettings().GetInt(SettingsKey::ListenPort), 0);
    const std::string opened = Torrent("opened");
    QStringList filters;
    const test::OnModal<QFileDialog> choose([&](QFileDialog* dialog) {
        filters = dialog->nameFilters();
        test::TypeFileName(dialog, opened);
    });
    QTest::keyClick(&m_frame, Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(filters, QStringList{"BitTorrent Files (*.torrent)"});
    EXPECT_TRUE(Listed("opened"));

    // Dragged over the window, which takes it, and let go.
    const auto drop = [&](const QList<QUrl>& urls) {
        QMimeData dropped;
        dropped.setUrls(urls);
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &dropped, Qt::LeftButton, {});
        QApplication::sendEvent(&m_frame, &enter);
        EXPECT_TRUE(enter.isAccepted());
        QDropEvent let(QPointF(5, 5), Qt::CopyAction, &dropped, Qt::LeftButton, {});
        QApplication::sendEvent(&m_frame, &let);
    };
    test::WriteFile(m_save / "notes.txt", "not a torrent");
    drop({QUrl::fromLocalFile(QString::fromStdString(Torrent("dropped"))),
          QUrl::fromLocalFile(QString::fromStdString(m_save / "notes.txt"))});
    EXPECT_TRUE(PumpUntil([&] { return Listed("dropped"); }));
    EXPECT_EQ(m_doc.Downloads().Sessions().size(), 2u);

    SingleInstance running(m_profile.Dir());
    ASSERT_EQ(running.Claim({}), SingleInstance::Role::Primary);
    m_frame.AcceptHandOffs(running, m_loop);
    const auto handed = HandOver(m_profile.Dir(), {Torrent("handed")});
    EXPECT_EQ(handed.first, SingleInstance::Role::HandedOff);
    EXPECT_TRUE(handed.second.empty());
    EXPECT_TRUE(Listed("handed"));  // listed by the time the later copy hears so

    // This desktop has no tray: minimised, the window stays on the task bar.
    m_frame.showMinimized();
    ASSERT_TRUE(PumpUntil([&] { return m_frame.isMinimized(); }));
    QCoreApplication::processEvents();  // what minimising set off (hiding into a tray) has run
    ASSERT_TRUE(m_frame.isVisible());
    EXPECT_EQ(HandOver(m_profile.Dir(), {}).first, SingleInstance::Role::HandedOff);
    EXPECT_TRUE(PumpUntil([&] { return !m_frame.isMinimized(); }));
    EXPECT_EQ(m_doc.Downloads().Sessions().size(), 3u);
    EXPECT_EQ(m_frame.windowTitle(), "Velbrook");
    EXPECT_TRUE(m_ui.shown.empty()) << m_ui.shown.front();

    // File → "打开链接..." offers the link on the clipboard; a link dropped or handed over is
    // opened as it is, never taken for a file name. Each is listed at once under its name.
    const auto link = [](char digit, const char* name) {
        return QString::fromStdString("magnet:?xt=urn:btih:" + std::string(40, digit) +
                                      "&dn=" + name);
    };
    QGuiApplication::clipboard()->setText(" " + link('1', "copied") + "\n");
    QAction* openLink = nullptr;
    for (QAction* entry : m_frame.menuBar()->actions().front()->menu()->actions()) {
        openLink = entry->text() == "打开链接..." ? entry : openLink;
    }
    ASSERT_NE(openLink, nullptr);
    openLink->trigger();
    auto* dialog = m_frame.findChild<COpenLinkDlg*>();
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return dialog->isVisible(); }));
    EXPECT_EQ(dialog->Link(), link('1', "copied"));
    test::ClickButton(dialog, QDialogButtonBox::Ok);
    EXPECT_TRUE(PumpUntil([&] { return Listed("copied"); }));
    drop({QUrl(link('2', "dropped-link"))});
    EXPECT_TRUE(PumpUntil([&] { return Listed("dropped-link"); }));
    EXPECT_TRUE(HandOver(m_profile.Dir(), {link('3', "handed-link").toStdString()}).second.empty());
    EXPECT_TRUE(Listed("handed-link"));
    EXPECT_TRUE(m_ui.shown.empty()) << m_ui.shown.front();

    // What cannot be added is said, with why, and the caller learns it (a start with it ends).
    const std::string broken = m_save / "broken.torrent";
    test::WriteFile(broken, "d4:infoi1ee");
    EXPECT_FALSE(
        m_frame.OpenTorrents({QString::fromStdString(broken), QString::fromStdString(opened)}));
    ASSERT_EQ(m_ui.shown.size(), 2u);
    EXPECT_EQ(m_ui.shown[0].rfind("Can't open the torrent file " + broken + ": not a usable", 0),
              0u)
        << m_ui.shown[0];
    // Handed over, it is said here, and the later copy hears it was not listed.
    EXPECT_EQ(HandOver(m_profile.Dir(), {broken}).second, std::vector<std::string>{broken});
    EXPECT_EQ(m_ui.shown.size(), 3u);
}

// With a tray, minimising hides the window behind one icon; a double click on it, or another
// copy started without torrents, brings the window back and takes the icon away.
TEST_F(MainFrame, MinimisedToTheTrayAndBack) {
    TrayOnAnyDesktop* tray = nullptr;
    CMainFrame frame(m_doc, [&tray](QWidget* window) {
        auto made = std::make_unique<TrayOnAnyDesktop>(window);
        tray = made.get();
        return made;
    });
    ASSERT_NE(tray, nullptr);
    frame.show();
    const auto minimised = [&] {
        frame.showMinimized();
        return PumpUntil([&] { return !frame.isVisible(); }) && tray->IsAdded();
    };
    const auto restored = [&] {
        return PumpUntil([&] { return frame.isVisible() && !frame.isMinimized(); }) &&
               !tray->IsAdded();
    };
    ASSERT_TRUE(minimised());
    emit tray->activated(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(restored());

    ASSERT_TRUE(minimised());
    SingleInstance running(m_profile.Dir());
    ASSERT_EQ(running.Claim({}), SingleInstance::Role::Primary);
    frame.AcceptHandOffs(running, m_loop);
    EXPECT_EQ(HandOver(m_profile.Dir(), {}).first, SingleInstance::Role::HandedOff);
    EXPECT_TRUE(restored());
}

class FrameOnViews : public test::ViewsTest {};

// The status bar tells where peers reach us (or that nothing listens) and how fast all torrents
// together move.
TEST_F(FrameOnViews, StatusBarShowsThePortAndTheTotalRates) {
    TorrentSession& a = Add({.name = "a"});
    TorrentSession& b = Add({.name = "b"});
    CMainFrame frame(Doc());
    PeerConnection& fromA = Incoming(a, "-XX0001-aaaaaaaaaaaa");
    PeerConnection& fromB = Incoming(b, "-XX0001-bbbbbbbbbbbb");
    SetRates({{&fromA, 3072, 1024}, {&fromB, 2048, 5120}});
    frame.UpdateAllViews();
    const auto pane = [&](const char* name) { return frame.findChild<QLabel*>(name)->text(); };
    EXPECT_EQ(pane("port"), QString("端口 %1").arg(Doc().ListenPort()));
    EXPECT_EQ(pane("rates"), "下载 5 kB/s  上传 6 kB/s");
    Settings behindProxy = Doc().CurrentSettings();
    behindProxy.SetInt(ConnectionType, 2);  // nothing listens
    Doc().ApplySettings(behindProxy);
    frame.UpdateAllViews();
    EXPECT_EQ(pane("port"), "未监听");
}

// Like the column widths, the window's place and size and its splitters' positions are kept in
// the profile's layout and come back at the next start.
TEST_F(FrameOnViews, WindowAndSplittersComeBackAsTheyWereLeft) {
    const auto layout = [](CMainFrame& frame) {
        auto* outer = qobject_cast<QSplitter*>(frame.centralWidget());
        auto* right = qobject_cast<QSplitter*>(outer->widget(1));
        auto* bottom = qobject_cast<QSplitter*>(right->widget(1));
        return std::make_tuple(frame.geometry(), outer->sizes(), right->sizes(), bottom->sizes());
    };
    decltype(layout(std::declval<CMainFrame&>())) left;
    {
        CMainFrame frame(Doc());
        frame.setGeometry(60, 70, 900, 640);
        frame.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame));
        auto* outer = qobject_cast<QSplitter*>(frame.centralWidget());
        outer->setSizes({230, 600});
        qobject_cast<QSplitter*>(outer->widget(1))->setSizes({300, 250});
        left = layout(frame);
    }
    Close();  // the program ends: the document writes the layout
    CMainFrame again(Doc());
    again.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&again));
    EXPECT_EQ(layout(again), left);
}

}  // namespace
}  // namespace velbrook
