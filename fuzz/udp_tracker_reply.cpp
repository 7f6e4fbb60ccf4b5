// Fuzz target: arbitrary bytes as a UDP tracker's reply, as heard on either socket.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tracker/UdpTracker.h"

namespace {

void Check(std::string_view datagram, bool ipv6) {
    const velbrook::UdpReply reply = velbrook::ReadUdpReply(datagram, ipv6);
    // A reply is matched to its request only when it can name one, and never claims more peers
    // than the datagram holds or we take.
    const size_t entry = ipv6 ? 18 : 6;
    if (reply.hasTransaction != (datagram.size() >= 8) ||
        reply.announce.peers.size() > velbrook::kMaxAnswerPeers ||
        (datagram.size() >= 20 && reply.announce.peers.size() > (datagram.size() - 20) / entry) ||
        reply.errorText.size() > 3 * velbrook::kMaxUdpErrorText || reply.announce.donePeers < 0 ||
        reply.announce.numPeers < 0 || reply.scrape.complete < 0 || reply.scrape.incomplete < 0 ||
        reply.scrape.downloaded < 0) {
        std::abort();
    }
    for (const velbrook::TrackerPeer& peer : reply.announce.peers) {
        if (peer.port == 0 || peer.address.empty() || !peer.peerId.empty()) {
            std::abort();
        }
    }
    for (const char c : reply.errorText) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            std::abort();  // a terminal would act on it
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view datagram(reinterpret_cast<const char*>(data), size);
    Check(datagram, false);
    Check(datagram, true);
    return 0;
}
