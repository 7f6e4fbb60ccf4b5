#include "ui/CSystemTray.h"

#include <QMenu>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include "support/TrayOnAnyDesktop.h"

namespace velbrook {
namespace {

using test::TrayOnAnyDesktop;

TEST(SystemTray, MenuAndDoubleClickAskTheMainWindow) {
    QWidget window;
    CSystemTray tray(&window);
    EXPECT_EQ(tray.toolTip(), "Velbrook!");
    EXPECT_FALSE(tray.icon().isNull());
    QMenu* menu = tray.Menu();
    ASSERT_EQ(menu->actions().size(), 4);
    EXPECT_EQ(menu->actions()[0]->text(), "&Restore Velbrook");
    EXPECT_TRUE(menu->actions()[1]->isSeparator());
    EXPECT_EQ(menu->actions()[2]->text(), "&About Velbrook...");
    EXPECT_EQ(menu->actions()[3]->text(), "E&xit");
    EXPECT_EQ(menu->defaultAction(), menu->actions()[0]);

    QSignalSpy restore(&tray, &CSystemTray::RestoreRequested);
    QSignalSpy about(&tray, &CSystemTray::AboutRequested);
    QSignalSpy exit(&tray, &CSystemTray::ExitRequested);
    for (const Qt::Key key : {Qt::Key_A, Qt::Key_X, Qt::Key_R}) {
        menu->popup(QPoint(0, 0));
        QTest::keyClick(menu, key);  // the entry's underlined letter
        EXPECT_FALSE(menu->isVisible());
    }
    EXPECT_EQ(restore.count(), 1);
    emit tray.activated(QSystemTrayIcon::Trigger);
    EXPECT_EQ(restore.count(), 1);
    emit tray.activated(QSystemTrayIcon::DoubleClick);
    EXPECT_EQ(restore.count(), 2);
    EXPECT_EQ(about.count(), 1);
    EXPECT_EQ(exit.count(), 1);
}

// However often the window is minimised and restored, at most one icon shows; where the
// desktop has no tray none does, and the window has to stay reachable another way.
TEST(SystemTray, KeepsAtMostOneIconAcrossMinimiseAndRestore) {
    QWidget window;
    CSystemTray real(&window);
    EXPECT_EQ(real.Add(), QSystemTrayIcon::isSystemTrayAvailable());
    EXPECT_EQ(real.isVisible(), real.IsAdded());

    TrayOnAnyDesktop tray(&window);
    for (int cycle = 0; cycle < 3; ++cycle) {
        EXPECT_TRUE(tray.Add());
        EXPECT_TRUE(tray.Add());
        EXPECT_TRUE(tray.IsAdded() && tray.isVisible());
        tray.Remove();
        EXPECT_FALSE(tray.IsAdded() || tray.isVisible());
    }
}

}  // namespace
}  // namespace velbrook
