// One remote-control request as it arrives: bounded JSON, the method, its arguments and tag,
// and the readers of the argument values whose form the protocol leaves loose.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace velbrook {

// Deeper JSON is refused before it is parsed: no request of the protocol nests more than a few
// levels, and freeing a deep tree recurses once per level.
constexpr int kMaxRequestDepth = 32;

struct RpcRequest {
    std::string method;
    nlohmann::json arguments = nlohmann::json::object();
    nlohmann::json tag;  // null when the request had none; echoed in the answer otherwise
};

// True when no array or object in `text` lies deeper than `limit` (strings are skipped, so a
// bracket inside one does not count).
bool JsonDepthWithin(std::string_view text, int limit);

// Reads `{method, arguments, tag}`. False, with why, for text that is not JSON, nests too deep,
// is not an object, has no text method, or has arguments that are not an object. A tag that is
// not a number is dropped, as the protocol allows numbers only.
bool ParseRpcRequest(std::string_view body, RpcRequest& request, std::string& why);

// Standard base64, padding optional, line breaks and spaces ignored; nothing on any other
// character or a length no encoder writes.
std::optional<std::string> DecodeBase64(std::string_view text);

std::string EncodeBase64(std::string_view bytes);

// Which torrents `ids` names. Absent: all of them. A number, a 40-digit hash, the text
// "recently-active", or an array of numbers and hashes. Hashes come back as 20 bytes.
struct IdSelection {
    bool all = false;
    bool recentlyActive = false;
    std::vector<int64_t> ids;
    std::vector<std::string> hashes;
};
// False, with why, when `ids` has a form the protocol does not know.
bool ReadIdSelection(const nlohmann::json& arguments, IdSelection& selection, std::string& why);

}  // namespace velbrook
