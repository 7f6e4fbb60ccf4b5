// Fuzz target: arbitrary bytes as the DHT node's state file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "dht/DhtState.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velbrook;
    DhtState state;
    const bool read =
        DecodeDhtState(std::string_view(reinterpret_cast<const char*>(data), size), state);
    if (read != (state.id.size() == kNodeIdSize) ||
        (state.nodes.size() + state.nodes6.size()) * 26 > size) {
        std::abort();
    }
    if (read) {
        DhtState again;
        if (!DecodeDhtState(EncodeDhtState(state), again) || again.id != state.id ||
            again.nodes.size() != state.nodes.size() ||
            again.nodes6.size() != state.nodes6.size()) {
            std::abort();
        }
    }
    return 0;
}
