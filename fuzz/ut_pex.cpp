// Fuzz target: arbitrary bytes as the body of a ut_pex message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "net/Address.h"
#include "peer/Extended.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velbrook;
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    PexMessage message;
    if (!ParsePex(body, message)) {
        return 0;
    }
    if (message.added.size() > kMaxPexPeers || message.dropped.size() > kMaxPexPeers) {
        std::abort();
    }
    for (const auto* list : {&message.added, &message.dropped}) {
        for (const PexPeer& peer : *list) {
            if (peer.port == 0 || !IsNumericAddress(peer.address)) {
                std::abort();
            }
        }
    }
    // What we read, we can pass on: it reads back the same.
    PexMessage again;
    if (!ParsePex(BuildPex(message), again) || again.added != message.added ||
        again.dropped != message.dropped) {
        std::abort();
    }
    return 0;
}
