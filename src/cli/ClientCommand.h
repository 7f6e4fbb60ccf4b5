#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velbrook::cli {

struct ClientOptions {
    std::string profile;  // empty: the usual profile folder
    std::string save;     // empty: the DefaultDownloadPath setting, else DefaultSaveFolder()
    bool exitWhenDone = false;
    bool startAll = false;
    bool resume = false;  // start what ran when a program holding the list last ended
    // "[ADDR:]PORT" from --rpc: the remote control runs for this start, there. Empty: the
    // RpcEnabled, RpcBind and RpcPort settings decide.
    std::string rpc;
    std::vector<std::string> torrents;
};

// The headless client: adds and starts torrents, shows progress, seeds until SIGINT/SIGTERM (or
// until every started torrent is complete with exitWhenDone, or at once when none of the
// torrents it was asked to run can). A torrent that stops by itself says why at once. Returns
// the exit code.
int RunClient(const ClientOptions& options);

// Splits --rpc's "[ADDR:]PORT" ("9091", "127.0.0.1:9091", "[::1]:9091"); false when it is not
// that form. `address` is left as it was when none is given.
[[nodiscard]] bool ParseRpcOption(const std::string& value, std::string& address, uint16_t& port);

}  // namespace velbrook::cli
