// The peer connection's bytes: handshake, length-prefixed framing, and the payloads of the
// messages. Pure functions over buffers; the connection owns the sockets and the buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velbrook {

inline constexpr size_t kHandshakeLength = 68;
inline constexpr uint32_t kSliceSize = 16384;
inline constexpr size_t kMaxReadChunk = 30000;

enum MessageId : uint8_t {
    kChoke = 0,
    kUnchoke = 1,
    kInterested = 2,
    kUninterested = 3,
    kHave = 4,
    kBitfield = 5,
    kRequest = 6,
    kPiece = 7,
    kCancel = 8,
    // This program's own extension (peer exchange between copies of it). Other clients send
    // their DHT port under the same id, always with a 2-byte body: see IsDhtPortMessage.
    kExtension = 9,
    // The fast extension.
    kSuggestPiece = 0x0D,
    kHaveAll = 0x0E,
    kHaveNone = 0x0F,
    kRejectRequest = 0x10,
    kAllowedFast = 0x11,
    // The extension protocol: a sub-id byte, then a bencoded dictionary (and, for some, data).
    kExtended = 20,
};

// Big-endian u32; ReadU32 reads exactly 4 bytes at `p`.
uint32_t ReadU32(const char* p);
void AppendU32(std::string& out, uint32_t value);

// ---- handshake ----

// 0x13 followed by "BitTorrent protocol": 20 bytes.
std::string ProtocolHeader();
// What a handshake's reserved bytes say the peer speaks.
struct PeerFeatures {
    bool ownExchange = false;        // byte 0, 0x01: our own peer exchange on message id 9
    bool extensionProtocol = false;  // byte 5, 0x10: extended messages (id 20)
    bool fastExtension = false;      // byte 7, 0x04: HAVE ALL/NONE, REJECT REQUEST, ...
    bool dht = false;                // byte 7, 0x01: the peer runs a DHT node
    bool operator==(const PeerFeatures&) const = default;
};
// The 8 reserved bytes announcing `features`.
std::string ReservedBytes(const PeerFeatures& features);
// What we announce: the extension protocol and the fast extension always, our own exchange when
// the person has it on, the DHT while our node runs.
std::string ReservedBytes(bool ownExchange, bool dht = false);
// Each bit is read on its own, whatever the other bytes hold: clients set many more.
PeerFeatures ReadPeerFeatures(std::string_view reserved);
// Header, 8 reserved bytes, 20-byte info hash, 20-byte peer id. Fields of the wrong size are cut
// or padded with zero bytes so the result is always kHandshakeLength bytes.
std::string BuildHandshake(std::string_view reserved, std::string_view infoHash,
                           std::string_view peerId);

enum class HandshakeParse { NeedMore, Failed, Complete };

struct HandshakeFields {
    std::string reserved;  // 8 bytes
    std::string infoHash;  // 20 bytes
    std::string peerId;    // 20 bytes
};

// Reads the handshake at the front of what has arrived so far. Fails as soon as the header bytes
// seen differ from ProtocolHeader, so a stranger is dropped without waiting for 68 bytes. Bytes
// after the first kHandshakeLength are not looked at: they belong to the first messages.
[[nodiscard]] HandshakeParse ParseHandshake(std::string_view buffered, HandshakeFields& out);

// ---- framing ----

// Length prefix plus payload. Payloads are never near 4 GiB.
std::string FrameMessage(std::string_view payload);
void AppendFramed(std::string& out, std::string_view payload);

enum class CutResult { Ok, TooLong };

// Moves every complete message at the front of `input` into `out` (appended, without its length
// prefix; an empty one is a keep-alive) and leaves an incomplete tail in `input`. `cut` is the
// number of messages moved by this call. A length prefix above `maxLength` returns TooLong at
// once, before any byte of that message is waited for; the messages in front of it are still
// moved. The caller then closes the connection.
[[nodiscard]] CutResult CutMessages(std::string& input, uint32_t maxLength,
                                    std::vector<std::string>& out, size_t& cut);

// The longest message a peer may send: a whole slice with its PIECE header, or our torrent's
// bitfield, with room to spare. Anything longer closes the connection.
uint32_t MaxMessageLength(uint32_t bitfieldBytes);

// ---- payloads (without the length prefix) ----

std::string BuildSimple(MessageId id);  // CHOKE .. UNINTERESTED
std::string BuildHave(uint32_t index);
std::string BuildBitfield(std::string_view bits);
std::string BuildRequest(uint32_t index, uint32_t begin, uint32_t length);
std::string BuildCancel(uint32_t index, uint32_t begin, uint32_t length);
std::string BuildPiece(uint32_t index, uint32_t begin, std::string_view data);
std::string BuildExtension(uint8_t subId, std::string_view body);
// The fast extension's answer to a request we will not serve.
std::string BuildReject(uint32_t index, uint32_t begin, uint32_t length);

// The framed PIECE message appended to `out`: the upload path sends slices straight from here
// without building the payload first.
void AppendPieceMessage(std::string& out, uint32_t index, uint32_t begin, std::string_view data);

// ---- peer exchange: the body of the extension message that lists peers ----

struct PeerExchangeEntry {
    std::string peerId;   // 20 bytes
    std::string address;  // dotted IPv4 text
    uint32_t port = 0;    // where the peer listens, as sent (the reader checks the range)
};

// Each entry as peer id, address length byte, address text, u32 big-endian listen port. An entry
// the format cannot carry (a peer id of another size, an address over 15 bytes) is left out.
std::string BuildPeerExchange(const std::vector<PeerExchangeEntry>& entries);
// The entries at the front of `body`. Reading stops at a truncated entry, an address length over
// 15 or address text that is not dotted IPv4: the list cannot be trusted past it. The entries
// before it are kept.
[[nodiscard]] std::vector<PeerExchangeEntry> ParsePeerExchange(std::string_view body);

// ---- decoding ----

// Message id 9 with a 2-byte body is another client's DHT port, never our own extension (whose
// shortest message, a sub-id alone, has a 1-byte body).
bool IsDhtPortMessage(std::string_view message);
// The UDP port of the sender's DHT node (id 9, 2-byte big-endian body), and its reading: 0 when
// `message` is not one or names port 0.
std::string BuildDhtPort(uint16_t port);
uint16_t ReadDhtPort(std::string_view message);

struct WireMessage {
    int id = -1;          // the id byte as a signed 8-bit value; -1 for a keep-alive
    uint32_t index = 0;   // HAVE, REQUEST, PIECE, CANCEL, fast ones; EXTENSION: the sub-id;
                          // EXTENDED: its id
    uint32_t begin = 0;   // REQUEST, PIECE, CANCEL, REJECT REQUEST
    uint32_t length = 0;  // REQUEST, CANCEL, REJECT REQUEST
    // PIECE: the slice; BITFIELD: the bits; EXTENSION, EXTENDED: the body. Points into the
    // message.
    std::string_view data;
};

enum class DecodeStatus { KeepAlive, Ignored, Ok, Malformed };

// One message as cut by CutMessages. Ids outside 0..9, 20 and the fast extension's are Ignored
// (id still set); a message too short for its fixed fields is Malformed and the caller closes
// the connection. Extra bytes after the fixed fields of the field-only messages are tolerated.
[[nodiscard]] DecodeStatus DecodeMessage(std::string_view message, WireMessage& out);

// SUGGEST PIECE .. ALLOWED FAST. The caller reads them only from a peer whose handshake set the
// fast bit; from any other they are ids we do not know.
bool IsFastMessage(int id);

}  // namespace velbrook
