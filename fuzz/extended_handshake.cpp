// Fuzz target: arbitrary bytes as the body of a peer's extended handshake.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "peer/Extended.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velbrook;
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    ExtendedHandshake handshake;
    if (!ParseExtendedHandshake(body, handshake)) {
        return 0;
    }
    // What the peer list shows stays short and free of control bytes; a port is a port.
    if (handshake.client.size() > kMaxClientName || size > kMaxExtendedHandshake ||
        (handshake.requestQueue && *handshake.requestQueue <= 0) ||
        (handshake.metadataSize && *handshake.metadataSize == 0)) {
        std::abort();
    }
    for (const char c : handshake.client) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            std::abort();
        }
    }
    return 0;
}
