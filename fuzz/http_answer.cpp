// Fuzz target: arbitrary bytes as a tracker's HTTP answer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tracker/HttpClient.h"

namespace {

bool EndsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using velbrook::HttpAnswerKind;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const velbrook::HttpAnswer answer = velbrook::ParseHttpAnswer(input);
    // Whatever the parser returns is a piece of what came in, never something made up.
    bool sound = (answer.kind == HttpAnswerKind::Empty) == input.empty();
    switch (answer.kind) {
    case HttpAnswerKind::Body: {
        // The body sits after a blank line, so the header before it holds one.
        const std::string_view header = input.substr(0, size - answer.body.size());
        sound = sound && EndsWith(input, answer.body) &&
                (EndsWith(header, "\r\n\r\n") || EndsWith(header, "\n\n"));
        break;
    }
    case HttpAnswerKind::RejectedLine:
    case HttpAnswerKind::Redirect: {
        // The line comes from the header: before the first blank line of either kind.
        const size_t blank = std::min(input.find("\r\n\r\n"), input.find("\n\n"));
        sound = sound && blank != std::string_view::npos &&
                input.substr(0, blank + 2).find(answer.line) != std::string_view::npos &&
                answer.line.find("\r\n") == std::string::npos && EndsWith(answer.line, answer.url);
        if (answer.kind == HttpAnswerKind::Redirect)
            sound = sound && answer.line.find("Location") != std::string::npos;
        else
            sound = sound && answer.url.empty();
        break;
    }
    case HttpAnswerKind::NoBlankLine:
        sound = sound && input.find("\n\n") == std::string_view::npos &&
                input.find("\r\n\r\n") == std::string_view::npos;
        break;
    case HttpAnswerKind::Empty:
        break;
    }
    if (!sound)
        std::abort();
    return 0;
}
