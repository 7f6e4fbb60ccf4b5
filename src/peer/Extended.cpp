#include "peer/Extended.h"

#include <algorithm>
#include <cstring>

#include "metainfo/KeyPathMap.h"
#include "net/Address.h"
#include "peer/PeerLinks.h"

#ifndef VELBROOK_VERSION
#error "VELBROOK_VERSION comes from the project's version in CMakeLists.txt"
#endif

namespace velbrook {
namespace {

// ut_metadata and ut_pex bodies hold a flat dictionary (ut_pex: of strings).
constexpr int kMaxFlatDepth = 2;
// The last piece index of the largest dictionary a peer may offer.
constexpr int64_t kMaxMetadataPiece = (kMaxMetadataSize - 1) / kMetadataPieceSize;

constexpr size_t kCompact4 = 6;
constexpr size_t kCompact6 = 18;

size_t ValueLength(std::string_view in, size_t pos, int depth, int maxDepth) {
    if (pos >= in.size()) {
        return 0;
    }
    const char kind = in[pos];
    if (kind == 'i') {
        size_t at = pos + 1;
        if (at < in.size() && in[at] == '-') {
            ++at;
        }
        const size_t digits = at;
        while (at < in.size() && in[at] >= '0' && in[at] <= '9') {
            ++at;
        }
        if (at == digits || at >= in.size() || in[at] != 'e') {
            return 0;
        }
        return at + 1 - pos;
    }
    if (kind == 'l' || kind == 'd') {
        if (depth >= maxDepth) {
            return 0;
        }
        size_t at = pos + 1;
        bool key = kind == 'd';
        while (at < in.size() && in[at] != 'e') {
            // Dictionary keys are strings; values may be anything.
            if (key && (in[at] < '0' || in[at] > '9')) {
                return 0;
            }
            const size_t length = ValueLength(in, at, depth + 1, maxDepth);
            if (length == 0) {
                return 0;
            }
            at += length;
            key = kind == 'd' ? !key : false;
        }
        if (at >= in.size() || (kind == 'd' && !key)) {
            return 0;  // cut off, or a key without its value
        }
        return at + 1 - pos;
    }
    size_t declared = 0;
    size_t at = pos;
    while (at < in.size() && in[at] >= '0' && in[at] <= '9') {
        declared = declared * 10 + static_cast<size_t>(in[at] - '0');
        if (declared > in.size()) {
            return 0;  // can never fit, and the arithmetic cannot wrap
        }
        ++at;
    }
    if (at == pos || at >= in.size() || in[at] != ':' || declared > in.size() - at - 1) {
        return 0;
    }
    return at + 1 + declared - pos;
}

// The dictionary at the front of `body`, decoded; its length in `length`.
bool DecodeDictionary(std::string_view body, int maxDepth, KeyPathMap& map, size_t& length) {
    if (body.empty() || body[0] != 'd') {
        return false;
    }
    length = BencodedLength(body, maxDepth);
    return length != 0 && map.Decode(body.substr(0, length));
}

void AppendString(std::string& out, std::string_view value) {
    out += std::to_string(value.size());
    out += ':';
    out += value;
}

void AppendInteger(std::string& out, int64_t value) {
    out += 'i';
    out += std::to_string(value);
    out += 'e';
}

// 4 bytes for IPv4 (also when written as IPv4-mapped IPv6), 16 for IPv6; empty otherwise.
std::string AddressBytes(std::string_view text) {
    const std::string canonical = CanonicalAddress(text);
    in_addr v4{};
    if (ParseDottedIPv4(canonical, v4)) {
        return std::string(reinterpret_cast<const char*>(&v4), sizeof v4);
    }
    in6_addr v6{};
    if (ParseIPv6(canonical, v6)) {
        return std::string(reinterpret_cast<const char*>(&v6), sizeof v6);
    }
    return {};
}

std::string AddressText(std::string_view bytes) {
    char text[INET6_ADDRSTRLEN] = {};
    if (bytes.size() == 4) {
        ::inet_ntop(AF_INET, bytes.data(), text, sizeof text);
    } else {
        ::inet_ntop(AF_INET6, bytes.data(), text, sizeof text);
    }
    return CanonicalAddress(text);
}

// The client name as the peer list may show it: control bytes become '?', and a name cut at
// kMaxClientName never ends inside a UTF-8 sequence.
std::string PrintableName(std::string_view name) {
    std::string out;
    for (const char c : name.substr(0, kMaxClientName)) {
        const auto byte = static_cast<unsigned char>(c);
        out += byte < 0x20 || byte == 0x7f ? '?' : c;
    }
    if (name.size() > kMaxClientName) {
        while (!out.empty() && (static_cast<unsigned char>(out.back()) & 0xc0) == 0x80) {
            out.pop_back();
        }
        if (!out.empty() && (static_cast<unsigned char>(out.back()) & 0x80) != 0) {
            out.pop_back();
        }
    }
    return out;
}

void AppendCompact(std::string& out, const std::vector<PexPeer>& peers, size_t size,
                   std::string* flags) {
    std::string list;
    std::string flagBytes;
    size_t count = 0;
    for (const PexPeer& peer : peers) {
        const std::string bytes = AddressBytes(peer.address);
        if (bytes.size() + 2 != size || count == kMaxPexPeers) {
            continue;
        }
        list += bytes;
        list += static_cast<char>(peer.port >> 8);
        list += static_cast<char>(peer.port & 0xff);
        flagBytes += static_cast<char>(peer.flags);
        ++count;
    }
    AppendString(out, list);
    if (flags) {
        *flags = flagBytes;
    }
}

void ReadCompact(const KeyPathMap& map, const char* key, const char* flagsKey, size_t size,
                 std::vector<PexPeer>& out) {
    std::string list;
    std::string flags;
    if (!map.GetString(key, list)) {
        return;
    }
    if (flagsKey) {
        (void)map.GetString(flagsKey, flags);
    }
    for (size_t at = 0; at + size <= list.size() && out.size() < kMaxPexPeers; at += size) {
        const std::string_view entry = std::string_view(list).substr(at, size);
        PexPeer peer;
        peer.address = AddressText(entry.substr(0, size - 2));
        peer.port = static_cast<uint16_t>((static_cast<unsigned char>(entry[size - 2]) << 8) |
                                          static_cast<unsigned char>(entry[size - 1]));
        const size_t index = at / size;
        peer.flags = index < flags.size() ? static_cast<uint8_t>(flags[index]) : 0;
        if (peer.port == 0 || peer.address.empty()) {
            continue;
        }
        out.push_back(std::move(peer));
    }
}

}  // namespace

std::string_view ClientName() {
    return "Velbrook " VELBROOK_VERSION;
}

size_t BencodedLength(std::string_view in, int maxDepth) {
    return ValueLength(in, 0, 0, maxDepth);
}

std::string BuildExtendedHandshake(uint16_t listenPort, uint64_t metadataSize,
                                   std::string_view peerAddress) {
    // Keys in byte order, as bencoding requires.
    std::string out = "d1:md11:ut_metadatai";
    out += std::to_string(kOwnMetadataId);
    out += "e6:ut_pexi";
    out += std::to_string(kOwnPexId);
    out += "ee";
    if (metadataSize != 0) {
        out += "13:metadata_size";
        AppendInteger(out, static_cast<int64_t>(metadataSize));
    }
    if (listenPort != 0) {
        out += "1:p";
        AppendInteger(out, listenPort);
    }
    out += "4:reqq";
    AppendInteger(out, kOwnRequestQueue);
    out += "1:v";
    AppendString(out, ClientName());
    const std::string yourIp = AddressBytes(peerAddress);
    if (!yourIp.empty()) {
        out += "6:yourip";
        AppendString(out, yourIp);
    }
    out += 'e';
    return out;
}

bool ParseExtendedHandshake(std::string_view body, ExtendedHandshake& out) {
    out = ExtendedHandshake{};
    KeyPathMap map;
    size_t length = 0;
    if (body.size() > kMaxExtendedHandshake ||
        !DecodeDictionary(body, kMaxExtendedDepth, map, length)) {
        return false;
    }
    const auto id = [&map](const char* key) -> uint8_t {
        int64_t value = 0;
        return map.GetInteger(key, value) && value > 0 && value <= 255 ? static_cast<uint8_t>(value)
                                                                       : 0;
    };
    out.metadataId = id("m-ut_metadata");
    out.pexId = id("m-ut_pex");
    int64_t value = 0;
    if (map.GetInteger("metadata_size", value) && value > 0) {
        out.metadataSize = static_cast<uint64_t>(value);
    }
    if (map.GetInteger("reqq", value) && value > 0) {
        out.requestQueue = value;
    }
    if (map.GetInteger("p", value) && value > 0 && value <= 65535) {
        out.listenPort = static_cast<uint16_t>(value);
    }
    std::string client;
    if (map.GetString("v", client)) {
        out.client = PrintableName(client);
    }
    return true;
}

// ---- ut_metadata ----

namespace {

std::string MetadataHeader(MetadataType type, uint32_t piece) {
    std::string out = "d8:msg_type";
    AppendInteger(out, static_cast<int64_t>(type));
    out += "5:piece";
    AppendInteger(out, piece);
    return out;
}

}  // namespace

std::string BuildMetadataRequest(uint32_t piece) {
    return MetadataHeader(MetadataType::Request, piece) + 'e';
}

std::string BuildMetadataData(uint32_t piece, uint64_t totalSize, std::string_view data) {
    std::string out = MetadataHeader(MetadataType::Data, piece);
    out += "10:total_size";
    AppendInteger(out, static_cast<int64_t>(totalSize));
    out += 'e';
    out += data;
    return out;
}

std::string BuildMetadataReject(uint32_t piece) {
    return MetadataHeader(MetadataType::Reject, piece) + 'e';
}

bool ParseMetadataMessage(std::string_view body, MetadataMessage& out) {
    out = MetadataMessage{};
    KeyPathMap map;
    size_t length = 0;
    if (!DecodeDictionary(body, kMaxFlatDepth, map, length)) {
        return false;
    }
    int64_t type = 0;
    int64_t piece = 0;
    if (!map.GetInteger("msg_type", type) || type < 0 || type > 2 ||
        !map.GetInteger("piece", piece) || piece < 0 || piece > kMaxMetadataPiece) {
        return false;
    }
    out.type = static_cast<MetadataType>(type);
    out.piece = static_cast<uint32_t>(piece);
    if (out.type == MetadataType::Data) {
        int64_t total = 0;
        if (!map.GetInteger("total_size", total) || total <= 0) {
            return false;
        }
        out.totalSize = static_cast<uint64_t>(total);
        out.data = body.substr(length);
    }
    return true;
}

// ---- ut_pex ----

std::string BuildPex(const PexMessage& message) {
    std::string out = "d";
    std::string flags;
    out += "5:added";
    AppendCompact(out, message.added, kCompact4, &flags);
    out += "7:added.f";
    AppendString(out, flags);
    out += "6:added6";
    AppendCompact(out, message.added, kCompact6, &flags);
    out += "8:added6.f";
    AppendString(out, flags);
    out += "7:dropped";
    AppendCompact(out, message.dropped, kCompact4, nullptr);
    out += "8:dropped6";
    AppendCompact(out, message.dropped, kCompact6, nullptr);
    out += 'e';
    return out;
}

bool ParsePex(std::string_view body, PexMessage& out) {
    out = PexMessage{};
    KeyPathMap map;
    size_t length = 0;
    if (!DecodeDictionary(body, kMaxFlatDepth, map, length)) {
        return false;
    }
    ReadCompact(map, "added", "added.f", kCompact4, out.added);
    ReadCompact(map, "added6", "added6.f", kCompact6, out.added);
    ReadCompact(map, "dropped", nullptr, kCompact4, out.dropped);
    ReadCompact(map, "dropped6", nullptr, kCompact6, out.dropped);
    return true;
}

}  // namespace velbrook
