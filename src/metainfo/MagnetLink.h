// Magnet links: a torrent named by its info hash alone, with perhaps a display name, trackers and
// peers to ask for its metadata.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "metainfo/Trackers.h"

namespace velbrook {

// A link is pasted, handed over by another program or kept in the downloads list: anything
// longer is not a link a person was given.
constexpr size_t kMaxMagnetLinkLength = 64 * 1024;
// Bytes of the display name kept, after decoding.
constexpr size_t kMaxMagnetNameLength = 1024;
// Peers of a link dialled at once; the rest come from trackers and other peers.
constexpr size_t kMaxMagnetPeers = 64;

struct MagnetPeer {
    std::string host;  // an address or a name, without brackets
    uint16_t port = 0;
    bool operator==(const MagnetPeer&) const = default;
};

struct MagnetLink {
    std::string infoHash;     // 20 bytes
    std::string displayName;  // printable, may be empty
    AnnounceTiers trackers;   // each tracker of the link a tier of its own
    std::vector<MagnetPeer> peers;
    // One line about trackers or peers that were left out; empty when none was.
    std::string ignored;
};

// The text starts with "magnet:?", in any case.
[[nodiscard]] bool IsMagnetLink(std::string_view text);

// Reads a link naming a BitTorrent info hash (xt=urn:btih: with 40 hexadecimal or 32 base32
// characters). Parameters it does not know are ignored. False with a one-line reason when the
// link names no torrent it can fetch.
[[nodiscard]] bool ParseMagnetLink(std::string_view text, MagnetLink& link, std::string& error);

}  // namespace velbrook
