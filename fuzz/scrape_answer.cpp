// Fuzz target: arbitrary bytes as an HTTP tracker's scrape answer; the first 20 bytes name the
// torrent asked about.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tracker/TrackerAnswer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string_view hash = input.substr(0, 20);
    const velbrook::ScrapeAnswer answer =
        velbrook::ReadScrapeAnswer(input.substr(hash.size()), hash);
    if ((!answer.decoded && (answer.found || answer.hasFailure)) || answer.complete < 0 ||
        answer.incomplete < 0 || answer.downloaded < 0) {
        std::abort();
    }
    // The scrape URL rule on the same bytes: only ever "announce" becoming "scrape".
    const std::string url = velbrook::ScrapeUrlFor(input);
    if (!url.empty() && url.size() + 2 != input.size()) {
        std::abort();
    }
    return 0;
}
