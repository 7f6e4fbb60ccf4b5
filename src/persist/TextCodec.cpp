#include "persist/TextCodec.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <iconv.h>

namespace velbrook {

namespace {

constexpr char kReplacementUtf8[] = "\xEF\xBF\xBD";         // U+FFFD
constexpr char kReplacementGb18030[] = "\x84\x31\xA4\x37";  // U+FFFD

// Length of the well-formed UTF-8 sequence starting at `pos`, or 0 when it is not one. When 0,
// `*badLength` receives the length of the maximal subpart to replace (at least 1), so a
// truncated sequence becomes one U+FFFD rather than one per byte.
size_t Utf8SequenceAt(std::string_view text, size_t pos, size_t* badLength) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t lead = byte(pos);
    if (lead < 0x80) {
        return 1;
    }
    size_t need;
    uint8_t lo = 0x80;
    uint8_t hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        if (lead == 0xE0) {
            lo = 0xA0;  // overlong below U+0800
        } else if (lead == 0xED) {
            hi = 0x9F;  // UTF-16 surrogates
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        if (lead == 0xF0) {
            lo = 0x90;  // overlong below U+10000
        } else if (lead == 0xF4) {
            hi = 0x8F;  // above U+10FFFF
        }
    } else {
        *badLength = 1;
        return 0;
    }
    size_t i = pos + 1;
    for (size_t k = 0; k < need; ++k, ++i) {
        const uint8_t min = k == 0 ? lo : 0x80;
        const uint8_t max = k == 0 ? hi : 0xBF;
        if (i >= text.size() || byte(i) < min || byte(i) > max) {
            *badLength = i - pos;
            return 0;
        }
    }
    return need + 1;
}

// One conversion descriptor per direction and thread, reset before every use.
class Converter {
public:
    Converter(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    ~Converter() {
        if (Ok()) {
            iconv_close(m_cd);
        }
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool Ok() const { return m_cd != reinterpret_cast<iconv_t>(-1); }

    // Converts the whole input. Stops at the first invalid or incomplete sequence and reports
    // how many input bytes were consumed through `consumed`.
    bool Run(std::string_view in, std::string& out, size_t* consumed) {
        iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        char* src = const_cast<char*>(in.data());
        size_t srcLeft = in.size();
        std::string buffer(in.size() * 2 + 16, '\0');
        size_t used = 0;
        bool ok = true;
        bool flushing = false;
        for (;;) {
            char* dst = buffer.data() + used;
            size_t dstLeft = buffer.size() - used;
            // Once the input is used up, a call without input emits any pending shift sequence.
            const size_t rc = flushing ? iconv(m_cd, nullptr, nullptr, &dst, &dstLeft)
                                       : iconv(m_cd, &src, &srcLeft, &dst, &dstLeft);
            const int error = errno;
            used = buffer.size() - dstLeft;
            if (rc == static_cast<size_t>(-1)) {
                if (error == E2BIG) {
                    buffer.resize(buffer.size() * 2);
                    continue;
                }
                ok = false;
                break;
            }
            if (flushing) {
                break;
            }
            flushing = srcLeft == 0;
        }
        out.append(buffer.data(), used);
        *consumed = in.size() - srcLeft;
        return ok;
    }

private:
    iconv_t m_cd;
};

Converter& ToGb18030() {
    thread_local Converter converter("GB18030", "UTF-8");
    return converter;
}

Converter& FromGb18030() {
    thread_local Converter converter("UTF-8", "GB18030");
    return converter;
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t bad = 0;
        const size_t len = Utf8SequenceAt(text, pos, &bad);
        if (len == 0) {
            return false;
        }
        pos += len;
    }
    return true;
}

std::string ReplaceInvalidUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    while (pos < text.size()) {
        size_t bad = 0;
        const size_t len = Utf8SequenceAt(text, pos, &bad);
        if (len == 0) {
            out += kReplacementUtf8;
            pos += bad;
        } else {
            out.append(text.substr(pos, len));
            pos += len;
        }
    }
    return out;
}

std::string Utf8ToGb18030(std::string_view utf8) {
    const std::string valid = ReplaceInvalidUtf8(utf8);
    Converter& converter = ToGb18030();
    std::string out;
    if (!converter.Ok()) {
        return out;
    }
    std::string_view rest = valid;
    while (!rest.empty()) {
        size_t consumed = 0;
        if (converter.Run(rest, out, &consumed) || consumed >= rest.size()) {
            break;
        }
        // The input is valid UTF-8, so a stop means a code point the table lacks (such as a
        // noncharacter): write U+FFFD for it rather than dropping the rest of the text.
        size_t bad = 0;
        size_t skip = Utf8SequenceAt(rest, consumed, &bad);
        if (skip == 0) {
            skip = bad;
        }
        out += kReplacementGb18030;
        rest.remove_prefix(consumed + skip);
    }
    return out;
}

std::optional<std::string> Gb18030ToUtf8(std::string_view gb) {
    Converter& converter = FromGb18030();
    if (!converter.Ok()) {
        return std::nullopt;
    }
    std::string out;
    size_t consumed = 0;
    if (!converter.Run(gb, out, &consumed) || !IsValidUtf8(out)) {
        return std::nullopt;
    }
    return out;
}

std::string NameToUtf8(std::string_view raw) {
    if (IsValidUtf8(raw)) {
        return std::string(raw);
    }
    if (auto decoded = Gb18030ToUtf8(raw)) {
        return std::move(*decoded);
    }
    return ReplaceInvalidUtf8(raw);
}

}  // namespace velbrook
