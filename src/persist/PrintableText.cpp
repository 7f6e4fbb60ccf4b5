#include "persist/PrintableText.h"

#include "persist/TextCodec.h"

namespace velbrook {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

std::string Clean(std::string_view raw, bool keepNewlines) {
    while (!raw.empty() && (raw.back() == '\n' || raw.back() == '\r')) {
        raw.remove_suffix(1);
    }
    const std::string text = ReplaceInvalidUtf8(raw);
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (keepNewlines && c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            continue;  // "\r\n" ends a line as "\n" does
        }
        if ((c < 0x20 && !(keepNewlines && c == '\n')) || c == 0x7F) {
            out += kReplacement;
        } else if (c == 0xC2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            // U+0080..U+009F, the C1 controls: U+009B starts a sequence just as ESC [ does.
            out += kReplacement;
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace

std::string PrintableLine(std::string_view text) {
    return Clean(text, false);
}

std::string PrintableLines(std::string_view text) {
    return Clean(text, true);
}

}  // namespace velbrook
