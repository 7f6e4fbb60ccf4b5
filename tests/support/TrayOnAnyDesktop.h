// A tray icon on a desktop with a notification area, which the offscreen platform is not: what
// the program keeps track of can be checked, not what a real tray draws.
#pragma once

#include "ui/CSystemTray.h"

namespace velbrook::test {

class TrayOnAnyDesktop : public CSystemTray {
public:
    using CSystemTray::CSystemTray;

protected:
    bool DesktopHasTray() const override { return true; }
};

}  // namespace velbrook::test
