// The 20-byte id this client announces to trackers and peers, and a readable client name for the
// ids that peers announce.
#pragma once

#include <random>
#include <string>
#include <string_view>

namespace velbrook {

inline constexpr size_t kPeerIdLength = 20;

// Four zero bytes, "korvex", version 0.33 as two raw bytes, then 8 random bytes, none 0xFF.
// Drawn from a generator seeded once per thread from the system's entropy source, so two copies
// started at the same moment still differ.
std::string BuildPeerId();
// The same layout with the random tail drawn from `rng`.
std::string BuildPeerId(std::mt19937& rng);

// Client name and version for display, "n/a" when the id is not recognised. Always valid UTF-8
// without control characters: version characters made from raw bytes that would be anything
// but printable ASCII come out as '?'.
std::string IdentifyClient(std::string_view id);

}  // namespace velbrook
