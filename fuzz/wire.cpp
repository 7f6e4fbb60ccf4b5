// Fuzz target: arbitrary bytes as what a peer sends after connecting: the handshake, then
// messages arriving in reads of varying size, each cut and decoded; and as a peer exchange list.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "net/Address.h"
#include "peer/Wire.h"

namespace {

using namespace velbrook;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool Inside(std::string_view part, std::string_view whole) {
    return part.empty() || (part.data() >= whole.data() &&
                            part.data() + part.size() <= whole.data() + whole.size());
}

// Whatever decodes must rebuild into the same leading bytes: nothing read from the wrong
// offset, nothing read from outside the message.
void CheckDecoded(std::string_view message) {
    WireMessage msg;
    const DecodeStatus status = DecodeMessage(message, msg);
    if (message.empty()) {
        Check(status == DecodeStatus::KeepAlive);
        return;
    }
    Check(msg.id == static_cast<int8_t>(message[0]));
    if ((msg.id < 0 || msg.id > kExtension) && msg.id != kExtended) {
        Check(status == DecodeStatus::Ignored);
        return;
    }
    if (status == DecodeStatus::Malformed) {
        const size_t need = msg.id == kHave                               ? 5
                            : msg.id == kRequest || msg.id == kCancel     ? 13
                            : msg.id == kPiece                            ? 9
                            : msg.id == kExtension || msg.id == kExtended ? 2
                                                                          : 0;
        Check(message.size() < need);
        return;
    }
    Check(status == DecodeStatus::Ok);
    Check(Inside(msg.data, message));
    std::string rebuilt;
    switch (msg.id) {
    case kHave:
        rebuilt = BuildHave(msg.index);
        break;
    case kBitfield:
        rebuilt = BuildBitfield(msg.data);
        break;
    case kRequest:
        rebuilt = BuildRequest(msg.index, msg.begin, msg.length);
        break;
    case kCancel:
        rebuilt = BuildCancel(msg.index, msg.begin, msg.length);
        break;
    case kPiece:
        Check(msg.data.size() == message.size() - 9);
        rebuilt = BuildPiece(msg.index, msg.begin, msg.data);
        break;
    case kExtension:
        Check(msg.index < 256);
        rebuilt = BuildExtension(static_cast<uint8_t>(msg.index), msg.data);
        break;
    case kExtended:
        Check(msg.index < 256);
        rebuilt = std::string{static_cast<char>(kExtended), static_cast<char>(msg.index)};
        rebuilt += msg.data;
        break;
    default:
        rebuilt = BuildSimple(static_cast<MessageId>(msg.id));
        break;
    }
    Check(message.substr(0, rebuilt.size()) == rebuilt);
    const bool variable =
        msg.id == kBitfield || msg.id == kPiece || msg.id == kExtension || msg.id == kExtended;
    Check(!variable || rebuilt.size() == message.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte only seeds the read sizes, so one stream is tried with many splits.
    uint32_t seed = data[0] * 2654435761u + 1;
    auto nextChunk = [&seed] {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        // Mostly small reads, which split prefixes and headers, sometimes a full socket read.
        return seed % 8 == 0 ? kMaxReadChunk : 1 + seed % 97;
    };
    const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);

    // As a peer exchange list: what is read rebuilds into the bytes it was read from.
    const std::vector<PeerExchangeEntry> exchanged = ParsePeerExchange(stream);
    const std::string listed = BuildPeerExchange(exchanged);
    Check(stream.substr(0, listed.size()) == listed);
    for (const PeerExchangeEntry& entry : exchanged) {
        Check(entry.peerId.size() == 20 && IsNumericAddress(entry.address));
    }

    // The handshake, a read at a time: once Failed, a longer buffer never passes.
    size_t buffered = 0;
    HandshakeFields fields;
    HandshakeParse state = HandshakeParse::NeedMore;
    while (state == HandshakeParse::NeedMore && buffered < stream.size()) {
        buffered = std::min(stream.size(), buffered + nextChunk());
        state = ParseHandshake(stream.substr(0, buffered), fields);
        Check(state != HandshakeParse::Complete || buffered >= kHandshakeLength);
    }
    Check(state == ParseHandshake(stream.substr(0, std::min(buffered, kHandshakeLength)), fields));
    if (state != HandshakeParse::Complete) {
        Check(state == HandshakeParse::Failed || stream.size() < kHandshakeLength);
        return 0;
    }
    Check(stream.substr(0, 20) == ProtocolHeader());
    Check(BuildHandshake(fields.reserved, fields.infoHash, fields.peerId) ==
          stream.substr(0, kHandshakeLength));
    (void)ReadPeerFeatures(fields.reserved);

    // Messages: every cut message must be the next bytes of the stream, in order.
    const uint32_t maxLength = (1u << 20) + 1000;
    const std::string_view messages = stream.substr(kHandshakeLength);
    std::string input;
    size_t fed = 0;
    size_t consumed = 0;
    std::vector<std::string> out;
    while (fed < messages.size()) {
        const size_t chunk = std::min(messages.size() - fed, nextChunk());
        input.append(messages.substr(fed, chunk));
        fed += chunk;
        const size_t before = input.size();
        size_t cut = 0;
        out.clear();
        const CutResult result = CutMessages(input, maxLength, out, cut);
        Check(input.size() <= before);
        Check(cut == out.size());
        for (const std::string& message : out) {
            Check(message.size() <= maxLength);
            Check(messages.size() - consumed >= 4 + message.size());
            Check(ReadU32(messages.data() + consumed) == message.size());
            Check(messages.substr(consumed + 4, message.size()) == message);
            consumed += 4 + message.size();
            CheckDecoded(message);
        }
        Check(consumed + input.size() == fed);
        if (result == CutResult::TooLong) {
            Check(input.size() >= 4 && ReadU32(input.data()) > maxLength);
            return 0;
        }
        Check(input.size() < 4 || 4 + uint64_t{ReadU32(input.data())} > input.size());
    }
    return 0;
}
