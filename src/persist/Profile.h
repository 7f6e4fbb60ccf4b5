// Where the program keeps its files: settings, downloads list, status files, torrent copies.
#pragma once

#include <string>

namespace velbrook {

// The file whose presence beside the executable keeps the profile there.
constexpr char kPortableMarker[] = "velbrook.portable";

// The profile folder, absolute and ending in "/": `explicitDir` when not empty, else
// $VELBROOK_HOME, else the executable's folder when a file named kPortableMarker lies in it, else
// $XDG_DATA_HOME/velbrook (~/.local/share/velbrook when XDG_DATA_HOME is unset or not absolute).
// A relative folder is taken from the current one. The folder is not created here.
std::string ResolveProfileDir(const std::string& explicitDir = {});
// The same rule for an executable that lies in `exeDir`.
std::string ResolveProfileDir(const std::string& explicitDir, const std::string& exeDir);

// Where the desktop keeps per-user data: $XDG_DATA_HOME when it is absolute, else
// ~/.local/share. No trailing "/".
std::string DataHomeDir();

// Where torrents are saved when the DefaultDownloadPath setting is empty: $XDG_DOWNLOAD_DIR when
// it is absolute, else ~/Downloads.
std::string DefaultSaveFolder();

// The folder of the running executable, without a trailing "/"; empty when unknown.
std::string ExecutableDir();

// The folder with exactly one "/" added when it does not already end in one ("" becomes "/").
std::string WithSlash(std::string dir);

}  // namespace velbrook
