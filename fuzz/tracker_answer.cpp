// Fuzz target: arbitrary bytes as a tracker's answer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "net/Address.h"
#include "tracker/TrackerClient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const velbrook::TrackerAnswer answer =
        velbrook::ReadTrackerAnswer(std::string_view(reinterpret_cast<const char*>(data), size));
    // Whatever the tracker sends, we never take more peers than we are willing to connect to, and
    // every one taken is connectable. Compact entries come without a peer id.
    if (answer.peers.size() > 200 || (!answer.decoded && !answer.peers.empty())) {
        std::abort();
    }
    for (const velbrook::TrackerPeer& peer : answer.peers) {
        if ((!peer.peerId.empty() && peer.peerId.size() != 20) || peer.port == 0 ||
            peer.address.size() < 2 || peer.address.size() > 45 ||
            velbrook::CanonicalAddress(peer.address) != peer.address) {
            std::abort();
        }
    }
    return 0;
}
