// The program's icon, drawn rather than shipped: the window, the tray and the About box use it.
#pragma once

#include <QIcon>

namespace velbrook {

// Needs a QGuiApplication.
QIcon AppIcon();

}  // namespace velbrook
