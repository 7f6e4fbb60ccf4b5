// The DHT's messages over UDP: bencoded queries, answers and errors, read with strict bounds and
// written with their keys in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dht/Dht.h"
#include "net/Address.h"

namespace velbrook {

// A datagram larger than this is not read: every message we answer or need fits well inside one
// Ethernet frame.
constexpr size_t kMaxKrpcDatagram = 1500;
// Peers read from one answer's `values`; the rest are ignored.
constexpr size_t kMaxKrpcValues = 100;
// Nodes read from one `nodes` or `nodes6` string (a node sends 8; the rest are ignored).
constexpr size_t kMaxKrpcNodes = 16;
// A transaction id longer than this is refused (ours are 2 bytes; others' are short too).
constexpr size_t kMaxKrpcTransaction = 16;
constexpr size_t kNodeIdSize = 20;

enum class KrpcKind { Query, Response, Error };
enum class KrpcMethod { Unknown, Ping, FindNode, GetPeers, AnnouncePeer };

// A node as named in `nodes` / `nodes6`: its id and where it listens.
struct DhtNodeEntry {
    std::string id;  // 20 raw bytes
    SocketAddress address;
};

struct KrpcMessage {
    KrpcKind kind = KrpcKind::Query;
    std::string transaction;
    // Queries.
    KrpcMethod method = KrpcMethod::Unknown;
    std::string methodName;
    std::string target;    // find_node
    std::string infoHash;  // get_peers, announce_peer
    int64_t port = 0;      // announce_peer
    bool impliedPort = false;
    bool wantsV4 = false;  // `want` named n4 / n6; neither when it was absent
    bool wantsV6 = false;
    // Queries and answers: the sender's id.
    std::string id;
    // Answers and announce_peer.
    std::string token;
    std::vector<DhtNodeEntry> nodes;   // from `nodes` (IPv4)
    std::vector<DhtNodeEntry> nodes6;  // from `nodes6` (IPv6)
    std::vector<DhtPeer> values;
    // Errors.
    int64_t errorCode = 0;
    std::string errorText;
};

// False with `why` for anything that is not a well-formed message of a kind we know; never throws.
// A query of an unknown method decodes (method Unknown), so that it can be answered with an error.
[[nodiscard]] bool DecodeKrpc(std::string_view datagram, KrpcMessage& out, std::string& why);

// Compact forms: 4 or 16 address bytes and the port, big-endian; 20 id bytes before a node's.
std::string CompactAddress(const SocketAddress& address);
bool ReadCompactAddress(std::string_view bytes, SocketAddress& out);
std::string CompactNodes(const std::vector<DhtNodeEntry>& nodes, int family);

struct KrpcQuery {
    std::string transaction;
    KrpcMethod method = KrpcMethod::Ping;
    std::string id;
    std::string target;    // find_node
    std::string infoHash;  // get_peers, announce_peer
    uint16_t port = 0;     // announce_peer
    bool impliedPort = false;
    std::string token;  // announce_peer
    bool wantV4 = false;
    bool wantV6 = false;
};
std::string EncodeQuery(const KrpcQuery& query);

struct KrpcResponse {
    std::string transaction;
    std::string id;
    bool hasNodes = false;  // `nodes` is written (possibly empty)
    std::vector<DhtNodeEntry> nodes;
    bool hasNodes6 = false;
    std::vector<DhtNodeEntry> nodes6;
    std::string token;
    std::vector<SocketAddress> values;
};
std::string EncodeResponse(const KrpcResponse& response);

std::string EncodeError(std::string_view transaction, int code, std::string_view text);

// Small bencode values, decoded with bounds on depth, element count and input size. Used by the
// codec above and by the node's state file.
struct BencodeValue {
    enum class Type { Integer, String, List, Dict };
    Type type = Type::Integer;
    int64_t integer = 0;
    std::string_view string;
    // A list's elements, or a dictionary's values with their keys alongside (kept apart: a
    // vector may hold the incomplete type, a pair may not).
    std::vector<BencodeValue> list;
    std::vector<std::string_view> keys;

    const BencodeValue* Find(std::string_view key) const;
    const BencodeValue* FindString(std::string_view key) const;
    const BencodeValue* FindInteger(std::string_view key) const;
};
// The whole input must be exactly one value. Strings point into `input`.
[[nodiscard]] bool DecodeBencode(std::string_view input, int maxDepth, size_t maxElements,
                                 BencodeValue& out);

}  // namespace velbrook
