// Fuzz target: arbitrary bytes as a tracker's HTTP answer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tracker/HttpClient.h"

namespace {

bool EndsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

bool StartsWith(std::string_view text, std::string_view start) {
    return text.substr(0, start.size()) == start;
}

std::string Lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using velbrook::HttpAnswerKind;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const velbrook::HttpAnswer answer = velbrook::ParseHttpAnswer(input);
    const size_t bodyStart = velbrook::FindHttpBody(input);
    // The client searches for the header's end as bytes arrive, skipping what it has searched.
    bool sound = true;
    for (const size_t arrived : {size / 3, size / 2, size - std::min<size_t>(size, 2)}) {
        if (velbrook::FindHttpBody(input.substr(0, arrived)) == std::string_view::npos)
            sound = sound &&
                    velbrook::FindHttpBody(input, std::max<size_t>(arrived, 3) - 3) == bodyStart;
    }
    // Whatever the parser returns is a piece of what came in, never something made up.
    sound = sound && (answer.kind == HttpAnswerKind::Empty) == input.empty();
    switch (answer.kind) {
    case HttpAnswerKind::Body: {
        // The body sits after a blank line, cut to the Content-Length when there is one.
        const std::string_view rest = input.substr(bodyStart);
        uint64_t length = 0;
        const size_t expected = velbrook::FindContentLength(input.substr(0, bodyStart), length)
                                    ? static_cast<size_t>(std::min<uint64_t>(length, rest.size()))
                                    : rest.size();
        const std::string_view header = input.substr(0, bodyStart);
        sound = sound && StartsWith(rest, answer.body) && answer.body.size() == expected &&
                (EndsWith(header, "\r\n\r\n") || EndsWith(header, "\n\n"));
        break;
    }
    case HttpAnswerKind::RejectedLine:
    case HttpAnswerKind::Redirect: {
        // The line comes from the header: before the first blank line of either kind.
        const size_t blank = std::min(input.find("\r\n\r\n"), input.find("\n\n"));
        sound = sound && blank != std::string_view::npos &&
                input.substr(0, blank + 2).find(answer.line) != std::string_view::npos &&
                answer.line.find("\r\n") == std::string::npos &&
                answer.line.find(answer.url) != std::string::npos;
        if (answer.kind == HttpAnswerKind::Redirect) {
            // A real Location header, and wherever it points is either absolute already or made
            // absolute on the answering server.
            std::string name = Lower(answer.line.substr(0, answer.line.find(':')));
            name.erase(0, name.find_first_not_of(" \t\r"));
            name.erase(name.find_last_not_of(" \t\r") + 1);
            sound = sound && name == "location";
            for (const char* from :
                 {"http://tracker.example:6969/a/b?x=1", "https://tracker.example/a/b?x=1"}) {
                velbrook::HttpUrl base;
                sound = sound && velbrook::SplitHttpUrl(from, base);
                const std::string target = velbrook::ResolveLocation(base, answer.url);
                sound = sound && (StartsWith(answer.url, target) ||
                                  StartsWith(target, base.secure ? "https:" : "http:"));
            }
        } else {
            sound = sound && answer.url.empty();
        }
        break;
    }
    case HttpAnswerKind::NoBlankLine:
        sound = sound && bodyStart == std::string_view::npos;
        break;
    case HttpAnswerKind::Empty:
        break;
    }
    if (!sound)
        std::abort();
    return 0;
}
