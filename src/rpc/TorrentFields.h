// The fields of torrent-get: one torrent's state as the protocol names and numbers it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/TorrentSession.h"

namespace velbrook {

// The protocol's torrent states.
enum class RpcStatus : int {
    Stopped = 0,
    CheckWait = 1,
    Check = 2,
    DownloadWait = 3,
    Download = 4,
    SeedWait = 5,
    Seed = 6,
};
RpcStatus StatusOf(const TorrentSession& session);

// True for every field name the protocol defines for torrent-get.
bool IsTorrentField(std::string_view name);

// The object with the named fields (each a known field) of the torrent listed under `id`.
nlohmann::json TorrentFieldValues(TorrentSession& session, int64_t id,
                                  const std::vector<std::string>& fields);

// What a remote polling for changes would see differ: state, progress, rates, peers, errors.
std::string Fingerprint(TorrentSession& session);

}  // namespace velbrook
