#pragma once

#include <cstdio>
#include <string>

namespace velbrook::cli {

// Checks the data already in `saveDir` against the torrent, opening files read-only only.
// Exit code 0: every piece good; 1: some piece missing or bad; 2: an error.
int RunVerify(const std::string& torrentPath, const std::string& saveDir, std::FILE* out,
              std::FILE* err);

}  // namespace velbrook::cli
