// Fuzz target: arbitrary bytes as the body of a ut_metadata message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "peer/Extended.h"
#include "peer/PeerLinks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velbrook;
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    MetadataMessage message;
    if (!ParseMetadataMessage(body, message)) {
        return 0;
    }
    // The piece bytes are the tail of the body, never outside it; the index fits a dictionary
    // we would take.
    if (uint64_t{message.piece} * kMetadataPieceSize >= kMaxMetadataSize ||
        (!message.data.empty() && message.data.data() + message.data.size() != body.end())) {
        std::abort();
    }
    if (message.type == MetadataType::Data) {
        MetadataMessage again;
        const std::string rebuilt =
            BuildMetadataData(message.piece, message.totalSize, message.data);
        if (!ParseMetadataMessage(rebuilt, again) || again.piece != message.piece ||
            again.totalSize != message.totalSize || again.data != message.data) {
            std::abort();
        }
    }
    return 0;
}
