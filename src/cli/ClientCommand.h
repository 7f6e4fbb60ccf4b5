#pragma once

#include <string>
#include <vector>

namespace velbrook::cli {

struct ClientOptions {
    std::string profile;  // empty: the usual profile folder
    std::string save;     // empty: the DefaultDownloadPath setting, else DefaultSaveFolder()
    bool exitWhenDone = false;
    bool startAll = false;
    std::vector<std::string> torrents;
};

// The headless client: adds and starts torrents, shows progress, seeds until SIGINT/SIGTERM (or
// until every started torrent is complete with exitWhenDone, or at once when none of the
// torrents it was asked to run can). A torrent that stops by itself says why at once. Returns
// the exit code.
int RunClient(const ClientOptions& options);

}  // namespace velbrook::cli
