// Makes .torrent files open with this program on the person's desktop: a freedesktop desktop
// entry and a shared-mime-info package for application/x-bittorrent under $XDG_DATA_HOME
// (~/.local/share), written at every start. A file manager then starts Velbrook with the file,
// and a copy that is already running is handed the file by the new one.
#pragma once

#include <string>

class QIcon;

namespace velbrook {

// The desktop entry that runs the executable at `exePath` with the files opened, showing the
// picture at `iconPath`; empty when `exePath` cannot be written into an entry.
std::string DesktopEntryText(const std::string& exePath, const std::string& iconPath);

// Writes what has changed (the entry, the MIME package, the icon) and then lets the desktop's
// tools, where they are installed, rebuild their databases, without waiting for them. Nothing
// that fails here stops the program, so nothing is reported.
void RegisterTorrentType(const std::string& exePath, const QIcon& icon);

}  // namespace velbrook
