// Any input either fails to load or loads into a tree whose written form loads again.
#include "persist/CXML.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velbrook::CXML tree;
    if (!tree.LoadFromMemory(std::string_view(reinterpret_cast<const char*>(data), size))) {
        return 0;
    }
    // The same declaration SaveFile writes: the body is GB18030.
    std::string written = "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n";
    tree.WriteTo(written, 0);
    velbrook::CXML again;
    if (!again.LoadFromMemory(written)) {
        std::abort();
    }
    // A second pass must be stable: what was read back writes the same bytes.
    std::string rewritten = "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n";
    again.WriteTo(rewritten, 0);
    if (rewritten != written) {
        std::abort();
    }
    return 0;
}
