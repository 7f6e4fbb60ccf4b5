#include "rpc/RpcRequest.h"

#include <array>
#include <cctype>

#include "metainfo/SHA1.h"

namespace velbrook {

namespace {

bool IsHex(std::string_view text) {
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

// A 40-digit info hash as 20 bytes; nothing for anything else.
std::optional<std::string> HashFromText(std::string_view text) {
    if (text.size() != 40 || !IsHex(text)) {
        return std::nullopt;
    }
    std::string lower(text);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return HexToBytes(lower);
}

bool ReadOneId(const nlohmann::json& value, IdSelection& selection) {
    if (value.is_number_integer()) {  // one too large for 64 bits names no torrent
        selection.ids.push_back(value.get<int64_t>());
        return true;
    }
    if (value.is_string()) {
        if (const auto hash = HashFromText(value.get_ref<const std::string&>())) {
            selection.hashes.push_back(*hash);
            return true;
        }
    }
    return false;
}

}  // namespace

bool JsonDepthWithin(std::string_view text, int limit) {
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) {
                return false;
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

bool ParseRpcRequest(std::string_view body, RpcRequest& request, std::string& why) {
    if (!JsonDepthWithin(body, kMaxRequestDepth)) {
        why = "request nests too deeply";
        return false;
    }
    nlohmann::json parsed = nlohmann::json::parse(body, nullptr, false);
    if (parsed.is_discarded()) {
        why = "request is not JSON";
        return false;
    }
    if (!parsed.is_object()) {
        why = "request is not a JSON object";
        return false;
    }
    if (const auto tag = parsed.find("tag"); tag != parsed.end() && tag->is_number()) {
        request.tag = *tag;
    }
    const auto method = parsed.find("method");
    if (method == parsed.end() || !method->is_string()) {
        why = "no method";
        return false;
    }
    request.method = method->get<std::string>();
    if (const auto arguments = parsed.find("arguments"); arguments != parsed.end()) {
        if (!arguments->is_object()) {
            why = "arguments are not an object";
            return false;
        }
        request.arguments = std::move(*arguments);
    }
    return true;
}

std::optional<std::string> DecodeBase64(std::string_view text) {
    static const std::array<int8_t, 256> kValues = [] {
        std::array<int8_t, 256> values{};
        values.fill(-1);
        const std::string_view alphabet =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (size_t i = 0; i < alphabet.size(); ++i) {
            values[static_cast<unsigned char>(alphabet[i])] = static_cast<int8_t>(i);
        }
        return values;
    }();
    std::string out;
    out.reserve(text.size() / 4 * 3 + 3);
    uint32_t accumulated = 0;
    int bits = 0;
    size_t digits = 0;
    size_t padding = 0;
    for (char c : text) {
        if (c == '\n' || c == '\r' || c == ' ' || c == '\t') {
            continue;
        }
        if (c == '=') {
            ++padding;
            continue;
        }
        const int8_t value = kValues[static_cast<unsigned char>(c)];
        if (value < 0 || padding > 0) {  // no digit may follow the padding
            return std::nullopt;
        }
        ++digits;
        accumulated = (accumulated << 6) | static_cast<uint32_t>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((accumulated >> bits) & 0xFF));
        }
    }
    // One digit left over carries less than a byte: no encoder ends so.
    if (digits % 4 == 1 || padding > 2 || (padding > 0 && (digits + padding) % 4 != 0)) {
        return std::nullopt;
    }
    return out;
}

std::string EncodeBase64(std::string_view bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const uint32_t v = static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << 16 |
                           static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 1])) << 8 |
                           static_cast<uint8_t>(bytes[i + 2]);
        out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63],
                kAlphabet[v & 63]};
    }
    if (i + 1 == bytes.size()) {
        const uint32_t v = static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << 16;
        out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == bytes.size()) {
        const uint32_t v = static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << 16 |
                           static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 1])) << 8;
        out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63], '='};
    }
    return out;
}

bool ReadIdSelection(const nlohmann::json& arguments, IdSelection& selection, std::string& why) {
    const auto ids = arguments.find("ids");
    if (ids == arguments.end()) {
        selection.all = true;
        return true;
    }
    if (ids->is_string() && ids->get_ref<const std::string&>() == "recently-active") {
        selection.recentlyActive = true;
        return true;
    }
    if (ids->is_array()) {
        for (const nlohmann::json& id : *ids) {
            if (!ReadOneId(id, selection)) {
                why = "invalid ids";
                return false;
            }
        }
        return true;
    }
    if (!ReadOneId(*ids, selection)) {
        why = "invalid ids";
        return false;
    }
    return true;
}

}  // namespace velbrook
