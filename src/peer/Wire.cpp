#include "peer/Wire.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <limits>

#include "net/Address.h"

namespace velbrook {
namespace {

constexpr std::string_view kHeader("\x13"
                                   "BitTorrent protocol",
                                   20);
constexpr size_t kReservedOffset = 20;
constexpr size_t kInfoHashOffset = 28;
constexpr size_t kPeerIdOffset = 48;
constexpr size_t kPrefixLength = 4;

// A PIECE header (id, index, begin) is the longest fixed part that travels with bulk data.
constexpr uint32_t kPieceHeaderLength = 9;
constexpr uint32_t kMaxSliceLength = 1u << 20;
constexpr uint32_t kLengthSlack = 16;

void AppendField(std::string& out, std::string_view field, size_t size) {
    out.append(field.substr(0, size));
    out.append(size - std::min(size, field.size()), '\0');
}

char* PutU32(char* p, uint32_t value) {
    p[0] = static_cast<char>(value >> 24);
    p[1] = static_cast<char>(value >> 16);
    p[2] = static_cast<char>(value >> 8);
    p[3] = static_cast<char>(value);
    return p + 4;
}

// Peer exchange entries: the address travels as dotted IPv4 text of at most 15 bytes.
constexpr size_t kExchangeIdLength = 20;
// The longest address text of either family ("ffff:…:255.255.255.255").
constexpr size_t kMaxExchangeAddress = INET6_ADDRSTRLEN - 1;

std::string BuildFields(MessageId id, uint32_t a, uint32_t b, uint32_t c) {
    char bytes[13];
    bytes[0] = static_cast<char>(id);
    PutU32(PutU32(PutU32(bytes + 1, a), b), c);
    return std::string(bytes, sizeof bytes);
}

}  // namespace

uint32_t ReadU32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return (uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) | (uint32_t{u[2]} << 8) | u[3];
}

void AppendU32(std::string& out, uint32_t value) {
    char bytes[4];
    PutU32(bytes, value);
    out.append(bytes, sizeof bytes);
}

std::string ProtocolHeader() {
    return std::string(kHeader);
}

std::string ReservedBytes(const PeerFeatures& features) {
    std::string reserved(8, '\0');
    reserved[0] = static_cast<char>(features.ownExchange ? 0x01 : 0);
    reserved[5] = static_cast<char>(features.extensionProtocol ? 0x10 : 0);
    reserved[7] =
        static_cast<char>((features.fastExtension ? 0x04 : 0) | (features.dht ? 0x01 : 0));
    return reserved;
}

std::string ReservedBytes(bool ownExchange, bool dht) {
    return ReservedBytes(PeerFeatures{
        .ownExchange = ownExchange, .extensionProtocol = true, .fastExtension = true, .dht = dht});
}

std::string BuildHandshake(std::string_view reserved, std::string_view infoHash,
                           std::string_view peerId) {
    std::string out;
    out.reserve(kHandshakeLength);
    out.append(kHeader);
    AppendField(out, reserved, kInfoHashOffset - kReservedOffset);
    AppendField(out, infoHash, kPeerIdOffset - kInfoHashOffset);
    AppendField(out, peerId, kHandshakeLength - kPeerIdOffset);
    return out;
}

HandshakeParse ParseHandshake(std::string_view buffered, HandshakeFields& out) {
    const size_t seen = std::min(buffered.size(), kHeader.size());
    if (buffered.compare(0, seen, kHeader.substr(0, seen)) != 0) {
        return HandshakeParse::Failed;
    }
    if (buffered.size() < kHandshakeLength) {
        return HandshakeParse::NeedMore;
    }
    out.reserved.assign(buffered.substr(kReservedOffset, kInfoHashOffset - kReservedOffset));
    out.infoHash.assign(buffered.substr(kInfoHashOffset, kPeerIdOffset - kInfoHashOffset));
    out.peerId.assign(buffered.substr(kPeerIdOffset, kHandshakeLength - kPeerIdOffset));
    return HandshakeParse::Complete;
}

PeerFeatures ReadPeerFeatures(std::string_view reserved) {
    PeerFeatures features;
    if (reserved.size() != 8) {
        return features;
    }
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(reserved[i]); };
    features.ownExchange = (byte(0) & 0x01) != 0;
    features.extensionProtocol = (byte(5) & 0x10) != 0;
    features.fastExtension = (byte(7) & 0x04) != 0;
    features.dht = (byte(7) & 0x01) != 0;
    return features;
}

bool IsDhtPortMessage(std::string_view message) {
    return message.size() == 3 && static_cast<unsigned char>(message[0]) == kExtension;
}

std::string BuildDhtPort(uint16_t port) {
    return {static_cast<char>(kExtension), static_cast<char>(port >> 8),
            static_cast<char>(port & 0xFF)};
}

uint16_t ReadDhtPort(std::string_view message) {
    if (!IsDhtPortMessage(message)) {
        return 0;
    }
    return static_cast<uint16_t>((static_cast<unsigned char>(message[1]) << 8) |
                                 static_cast<unsigned char>(message[2]));
}

std::string FrameMessage(std::string_view payload) {
    std::string out;
    out.reserve(kPrefixLength + payload.size());
    AppendFramed(out, payload);
    return out;
}

void AppendFramed(std::string& out, std::string_view payload) {
    assert(payload.size() <= std::numeric_limits<uint32_t>::max());
    AppendU32(out, static_cast<uint32_t>(payload.size()));
    out.append(payload);
}

CutResult CutMessages(std::string& input, uint32_t maxLength, std::vector<std::string>& out,
                      size_t& cut) {
    cut = 0;
    const char* const base = input.data();
    const size_t size = input.size();
    size_t pos = 0;
    CutResult result = CutResult::Ok;
    while (size - pos >= kPrefixLength) {
        const uint32_t length = ReadU32(base + pos);
        if (length > maxLength) {
            result = CutResult::TooLong;
            break;
        }
        if (size - pos - kPrefixLength < length) {
            break;
        }
        out.emplace_back(base + pos + kPrefixLength, length);
        pos += kPrefixLength + length;
        ++cut;
    }
    // Erasing once per read, not once per message, keeps a long burst of slices linear.
    input.erase(0, pos);
    return result;
}

uint32_t MaxMessageLength(uint32_t bitfieldBytes) {
    const uint64_t limit = uint64_t{kMaxSliceLength} + bitfieldBytes + kLengthSlack;
    return static_cast<uint32_t>(std::min<uint64_t>(limit, std::numeric_limits<uint32_t>::max()));
}

std::string BuildSimple(MessageId id) {
    return std::string(1, static_cast<char>(id));
}

std::string BuildHave(uint32_t index) {
    std::string out(1, static_cast<char>(kHave));
    AppendU32(out, index);
    return out;
}

std::string BuildBitfield(std::string_view bits) {
    std::string out;
    out.reserve(1 + bits.size());
    out.push_back(static_cast<char>(kBitfield));
    out.append(bits);
    return out;
}

std::string BuildRequest(uint32_t index, uint32_t begin, uint32_t length) {
    return BuildFields(kRequest, index, begin, length);
}

std::string BuildCancel(uint32_t index, uint32_t begin, uint32_t length) {
    return BuildFields(kCancel, index, begin, length);
}

std::string BuildPiece(uint32_t index, uint32_t begin, std::string_view data) {
    std::string out;
    out.reserve(kPieceHeaderLength + data.size());
    out.push_back(static_cast<char>(kPiece));
    AppendU32(out, index);
    AppendU32(out, begin);
    out.append(data);
    return out;
}

std::string BuildExtension(uint8_t subId, std::string_view body) {
    std::string out;
    out.reserve(2 + body.size());
    out.push_back(static_cast<char>(kExtension));
    out.push_back(static_cast<char>(subId));
    out.append(body);
    return out;
}

void AppendPieceMessage(std::string& out, uint32_t index, uint32_t begin, std::string_view data) {
    assert(data.size() <= std::numeric_limits<uint32_t>::max() - kPieceHeaderLength);
    char header[kPrefixLength + kPieceHeaderLength];
    char* p = PutU32(header, static_cast<uint32_t>(kPieceHeaderLength + data.size()));
    *p++ = static_cast<char>(kPiece);
    PutU32(PutU32(p, index), begin);
    out.append(header, sizeof header);
    out.append(data);
}

std::string BuildPeerExchange(const std::vector<PeerExchangeEntry>& entries) {
    std::string out;
    for (const PeerExchangeEntry& entry : entries) {
        if (entry.peerId.size() != kExchangeIdLength ||
            entry.address.size() > kMaxExchangeAddress) {
            continue;
        }
        out += entry.peerId;
        out += static_cast<char>(entry.address.size());
        out += entry.address;
        AppendU32(out, entry.port);
    }
    return out;
}

std::vector<PeerExchangeEntry> ParsePeerExchange(std::string_view body) {
    std::vector<PeerExchangeEntry> entries;
    while (body.size() > kExchangeIdLength) {
        const size_t length = static_cast<uint8_t>(body[kExchangeIdLength]);
        const size_t size = kExchangeIdLength + 1 + length + kPrefixLength;
        if (length > kMaxExchangeAddress || body.size() < size) {
            break;
        }
        const std::string_view address = body.substr(kExchangeIdLength + 1, length);
        if (!IsNumericAddress(address)) {
            break;
        }
        PeerExchangeEntry& entry = entries.emplace_back();
        entry.peerId.assign(body.substr(0, kExchangeIdLength));
        entry.address.assign(address);
        entry.port = ReadU32(address.data() + length);
        body.remove_prefix(size);
    }
    return entries;
}

bool IsFastMessage(int id) {
    return id >= kSuggestPiece && id <= kAllowedFast;
}

std::string BuildReject(uint32_t index, uint32_t begin, uint32_t length) {
    return BuildFields(kRejectRequest, index, begin, length);
}

DecodeStatus DecodeMessage(std::string_view message, WireMessage& out) {
    out = WireMessage{};
    if (message.empty()) {
        return DecodeStatus::KeepAlive;
    }
    out.id = static_cast<int8_t>(message[0]);
    if (out.id < kChoke || (out.id > kExtension && !IsFastMessage(out.id) && out.id != kExtended)) {
        return DecodeStatus::Ignored;
    }
    const std::string_view body = message.substr(1);
    const char* const p = body.data();
    switch (static_cast<MessageId>(out.id)) {
    case kChoke:
    case kUnchoke:
    case kInterested:
    case kUninterested:
    case kHaveAll:
    case kHaveNone:
        return DecodeStatus::Ok;
    case kHave:
    case kSuggestPiece:
    case kAllowedFast:
        if (body.size() < 4) {
            return DecodeStatus::Malformed;
        }
        out.index = ReadU32(p);
        return DecodeStatus::Ok;
    case kBitfield:
        out.data = body;
        return DecodeStatus::Ok;
    case kRequest:
    case kCancel:
    case kRejectRequest:
        if (body.size() < 12) {
            return DecodeStatus::Malformed;
        }
        out.index = ReadU32(p);
        out.begin = ReadU32(p + 4);
        out.length = ReadU32(p + 8);
        return DecodeStatus::Ok;
    case kPiece:
        if (body.size() < 8) {
            return DecodeStatus::Malformed;
        }
        out.index = ReadU32(p);
        out.begin = ReadU32(p + 4);
        out.data = body.substr(8);
        return DecodeStatus::Ok;
    case kExtension:
    case kExtended:
        // Our sub-id, or the extended message's id, then the body.
        if (body.empty()) {
            return DecodeStatus::Malformed;
        }
        out.index = static_cast<uint8_t>(p[0]);
        out.data = body.substr(1);
        return DecodeStatus::Ok;
    }
    return DecodeStatus::Ignored;
}

}  // namespace velbrook
