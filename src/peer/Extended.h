// The bencoded messages that ride on the extension protocol (message id 20): the extended
// handshake, ut_metadata and ut_pex. Pure functions over buffers, like Wire; a body here is what
// follows the extended id byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velbrook {

// The client name our extended handshake sends; the version is the project's own.
std::string_view ClientName();

// Extended message id 0 is the handshake; the others are what each side announced in its `m`.
inline constexpr uint8_t kExtendedHandshake = 0;
// The ids peers use to send us each extension.
inline constexpr uint8_t kOwnMetadataId = 1;
inline constexpr uint8_t kOwnPexId = 2;
// How many requests we tell peers we queue: what PeerConnection keeps of theirs.
inline constexpr int64_t kOwnRequestQueue = 2000;

// A handshake is a small dictionary; anything larger, or nested deeper than a few levels, is not
// one a client would send, and is ignored whole.
inline constexpr size_t kMaxExtendedHandshake = 64 * 1024;
inline constexpr int kMaxExtendedDepth = 4;
// A peer's client name kept for the peer list and the log.
inline constexpr size_t kMaxClientName = 64;

struct ExtendedHandshake {
    uint8_t metadataId = 0;  // the peer's id for ut_metadata; 0: not offered
    uint8_t pexId = 0;       // the same for ut_pex
    std::optional<uint64_t> metadataSize;
    std::optional<int64_t> requestQueue;  // `reqq` as sent (positive)
    uint16_t listenPort = 0;              // 0: not given
    std::string client;                   // printable, at most kMaxClientName bytes
};

// Our handshake. `metadataSize` 0 leaves `metadata_size` out; `peerAddress` (numeric text) goes
// out as `yourip` in 4 or 16 bytes, and is left out when it is not numeric.
std::string BuildExtendedHandshake(uint16_t listenPort, uint64_t metadataSize,
                                   std::string_view peerAddress);
// False when the body is no bounded dictionary; fields of the wrong type or range are left at
// their defaults rather than failing the whole handshake.
[[nodiscard]] bool ParseExtendedHandshake(std::string_view body, ExtendedHandshake& out);

// ---- ut_metadata ----

enum class MetadataType : uint8_t { Request = 0, Data = 1, Reject = 2 };

struct MetadataMessage {
    MetadataType type = MetadataType::Request;
    uint32_t piece = 0;
    uint64_t totalSize = 0;  // Data only
    std::string_view data;   // Data only: the bytes after the dictionary; points into the body
};

std::string BuildMetadataRequest(uint32_t piece);
std::string BuildMetadataData(uint32_t piece, uint64_t totalSize, std::string_view data);
std::string BuildMetadataReject(uint32_t piece);
// False for a body that is no dictionary, an unknown type, a piece index beyond the largest
// dictionary we accept, or a data message without a total size.
[[nodiscard]] bool ParseMetadataMessage(std::string_view body, MetadataMessage& out);

// ---- ut_pex ----

// Flags of a peer in `added.f` / `added6.f`.
inline constexpr uint8_t kPexSeed = 0x02;
inline constexpr uint8_t kPexReachable = 0x10;
// Peers in one list of one message, sent or read: a message cannot make us take on more.
inline constexpr size_t kMaxPexPeers = 50;

struct PexPeer {
    std::string address;  // numeric text, IPv4 or IPv6
    uint16_t port = 0;
    uint8_t flags = 0;
    bool operator==(const PexPeer& other) const {
        return address == other.address && port == other.port;
    }
};

struct PexMessage {
    std::vector<PexPeer> added;
    std::vector<PexPeer> dropped;
};

// Each list goes out in the compact form of its family; peers beyond kMaxPexPeers per list, and
// addresses that are not numeric, are left out.
std::string BuildPex(const PexMessage& message);
// False for a body that is no bounded dictionary. Entries with port 0 are skipped, lists are cut
// at kMaxPexPeers in all (both families) and a truncated last entry is ignored.
[[nodiscard]] bool ParsePex(std::string_view body, PexMessage& out);

// The length of the bencoded value at the front of `in`, containers nested at most `maxDepth`
// deep; 0 when there is no complete value there.
size_t BencodedLength(std::string_view in, int maxDepth);

}  // namespace velbrook
