#pragma once

#include <cstdio>
#include <string>

namespace velbrook::cli {

// Prints what a .torrent file holds. Returns the process exit code.
int RunInfo(const std::string& torrentPath, std::FILE* out, std::FILE* err);

}  // namespace velbrook::cli
