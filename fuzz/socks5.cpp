// Fuzz target: arbitrary bytes as a SOCKS5 proxy's replies, arriving in reads of varying size,
// and as the names and credentials the requests are built from.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "net/Socks5.h"

namespace {

using namespace velbrook;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

using Parser = Socks5Reply (*)(std::string_view);

// Fed a read at a time, a reply is decided once and for all: more bytes never change the verdict,
// and an accepted reply never claims bytes that have not arrived.
void Feed(Parser parse, std::string_view stream, uint32_t seed) {
    Socks5Reply decided;
    for (size_t buffered = 0; buffered <= stream.size();) {
        const Socks5Reply reply = parse(stream.substr(0, buffered));
        if (decided.status != Socks5Status::NeedMore) {
            Check(reply.status == decided.status && reply.length == decided.length &&
                  reply.code == decided.code);
        }
        decided = reply;
        Check(reply.status != Socks5Status::Accepted ||
              (reply.length >= 2 && reply.length <= buffered && reply.length <= 4 + 256 + 2));
        // A reply is never longer than its largest form: undecided past it would be a hang.
        Check(reply.status != Socks5Status::NeedMore || buffered < 4 + 1 + 255 + 2);
        if (buffered == stream.size()) {
            break;
        }
        seed = seed * 1103515245u + 12345u;
        buffered = std::min(stream.size(), buffered + 1 + (seed >> 16) % 7);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);
    Feed(ParseSocks5MethodReply, stream, data[0]);
    Feed(ParseSocks5AuthReply, stream, data[0]);
    Feed(ParseSocks5ConnectReply, stream, data[0]);

    // The same bytes as a user name and password (split by the first byte), or a host name.
    const size_t cut = std::min<size_t>(data[0], stream.size());
    const std::string_view user = stream.substr(0, cut);
    const std::string_view password = stream.substr(cut);
    std::string out;
    if (BuildSocks5Auth(user, password, out)) {
        Check(user.size() <= 255 && password.size() <= 255);
        Check(out.size() == 3 + user.size() + password.size());
        Check(out.substr(2, user.size()) == user && out.substr(3 + user.size()) == password);
    } else {
        Check(user.size() > 255 || password.size() > 255);
    }
    if (BuildSocks5ConnectName(stream, 6881, out)) {
        Check(out.size() == 7 + stream.size() && static_cast<uint8_t>(out[4]) == stream.size());
        Check(ParseSocks5ConnectReply(std::string("\x05\x00\x00", 3) + out.substr(3)).length ==
              out.size());
    }
    if (BuildSocks5ConnectIPv4(stream, 6881, out)) {
        Check(out.size() == 10 && stream.size() >= 7 && stream.size() <= 15);
    }
    return 0;
}
