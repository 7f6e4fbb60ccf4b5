// The notification-area icon shown while the main window is minimised: its menu and a double
// click bring the window back.
#pragma once

#include <QSystemTrayIcon>

#include <memory>

class QMenu;

namespace velbrook {

class CSystemTray : public QSystemTrayIcon {
    Q_OBJECT
public:
    // The icon is owned by `mainWindow` and shown only after Add().
    explicit CSystemTray(QWidget* mainWindow);
    ~CSystemTray() override;

    // Shows the icon; a second call while it is shown adds nothing. False, showing nothing, where
    // the desktop has no notification area.
    bool Add();
    void Remove();
    bool IsAdded() const { return m_added; }
    QMenu* Menu() const { return m_menu.get(); }

signals:
    void RestoreRequested();
    void AboutRequested();
    void ExitRequested();

protected:
    virtual bool DesktopHasTray() const;

private:
    std::unique_ptr<QMenu> m_menu;
    bool m_added = false;
};

}  // namespace velbrook
