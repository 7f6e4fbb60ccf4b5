// Fuzz target: arbitrary bytes through the bencode decoder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "metainfo/KeyPathMap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velbrook::KeyPathMap map;
    const bool ok = map.Decode(std::string_view(reinterpret_cast<const char*>(data), size));
    std::string hash;
    // Every successful decode that met an "info" key leaves a 20-byte hash, never another size.
    if (ok && map.GetString("__InfoHash__", hash) && hash.size() != 20) {
        std::abort();
    }
    return 0;
}
