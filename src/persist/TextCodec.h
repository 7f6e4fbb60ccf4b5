// Conversions between UTF-8 (the program's text) and GB18030 (the stored XML text).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velbrook {

bool IsValidUtf8(std::string_view text);
// Every invalid byte sequence becomes U+FFFD; valid text comes back unchanged.
std::string ReplaceInvalidUtf8(std::string_view text);
// UTF-8 to GB18030, which covers all of Unicode. Invalid UTF-8 is repaired first.
std::string Utf8ToGb18030(std::string_view utf8);
// GB18030 to UTF-8; nothing when the bytes are not valid GB18030.
std::optional<std::string> Gb18030ToUtf8(std::string_view gb);
// A name from an untrusted source as valid UTF-8: kept when it already is, else decoded as
// GB18030 when that succeeds, else with invalid bytes replaced by U+FFFD.
std::string NameToUtf8(std::string_view raw);

}  // namespace velbrook
