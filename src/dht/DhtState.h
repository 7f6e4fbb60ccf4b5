// What the node keeps across restarts: its id and the good nodes it knew, as one bencoded
// dictionary written atomically.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "dht/Krpc.h"

namespace velbrook {

struct DhtState {
    std::string id;  // 20 bytes, or empty when none could be read
    std::vector<DhtNodeEntry> nodes;
    std::vector<DhtNodeEntry> nodes6;
};

// Files larger than this are not ours: a few hundred nodes of each family take 20 KB.
constexpr size_t kMaxDhtStateFile = 64 * 1024;

std::string EncodeDhtState(const DhtState& state);
// Reads what it can: a damaged node list loses the nodes, not a readable id. False when not
// even the id could be read.
bool DecodeDhtState(std::string_view bytes, DhtState& state);
// Reads the file; false with `why` when it cannot be read (a missing file says so too).
bool ReadDhtState(const std::string& path, DhtState& state, std::string& why);
// Temporary file, fsync, rename, fsync of the folder: a crash leaves the old file or the new.
bool WriteDhtState(const std::string& path, const DhtState& state, std::string& why);

}  // namespace velbrook
