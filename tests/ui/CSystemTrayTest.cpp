#include "ui/CSystemTray.h"

#include <QMenu>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

namespace velbrook {
namespace {

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

}  // namespace
}  // namespace velbrook
