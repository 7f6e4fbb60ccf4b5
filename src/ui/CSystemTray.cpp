#include "ui/CSystemTray.h"

#include <QMenu>

#include "ui/AppIcon.h"

namespace velbrook {

CSystemTray::CSystemTray(QWidget* mainWindow)
    : QSystemTrayIcon(AppIcon(), mainWindow), m_menu(std::make_unique<QMenu>()) {
    setToolTip(QStringLiteral("Velbrook!"));
    QAction* restore = m_menu->addAction(QStringLiteral("&Restore Velbrook"), this,
                                         &CSystemTray::RestoreRequested);
    m_menu->addSeparator();
    m_menu->addAction(QStringLiteral("&About Velbrook..."), this, &CSystemTray::AboutRequested);
    m_menu->addAction(QStringLiteral("E&xit"), this, &CSystemTray::ExitRequested);
    // The default entry is drawn in bold and is what a double click does.
    m_menu->setDefaultAction(restore);
    setContextMenu(m_menu.get());
    connect(this, &QSystemTrayIcon::activated, this, [this](ActivationReason reason) {
        if (reason == DoubleClick) {
            m_menu->defaultAction()->trigger();
        }
    });
}

CSystemTray::~CSystemTray() {
    Remove();
    setContextMenu(nullptr);  // the menu goes before the icon does
}

bool CSystemTray::Add() {
    if (m_added) {
        return true;
    }
    if (!DesktopHasTray()) {
        return false;
    }
    show();
    m_added = true;
    return true;
}

void CSystemTray::Remove() {
    if (m_added) {
        hide();
        m_added = false;
    }
}

bool CSystemTray::DesktopHasTray() const {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

}  // namespace velbrook
