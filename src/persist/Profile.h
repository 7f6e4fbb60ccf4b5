// Where the program keeps its files: settings, downloads list, status files, torrent copies.
#pragma once

#include <string>

namespace velbrook {

// The profile folder, ending in "/": `explicitDir` when not empty, else $VELBROOK_HOME, else the
// executable's folder when it is writable, else $XDG_DATA_HOME/velbrook (~/.local/share/velbrook).
// The folder is not created here.
std::string ResolveProfileDir(const std::string& explicitDir = {});

// The folder with exactly one "/" added when it does not already end in one ("" becomes "/").
std::string WithSlash(std::string dir);

}  // namespace velbrook
