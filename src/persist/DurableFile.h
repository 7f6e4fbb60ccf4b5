// Files replaced so that a crash or a full disk at any moment leaves either the old file or the
// new one, never a truncated one.
#pragma once

#include <string>
#include <string_view>

namespace velbrook {

// A file being replaced is first written as "<name>.tmp-" and six letters or digits.
inline constexpr char kReplaceTemporarySuffix[] = ".tmp-";

// Writes `data` to a temporary file beside `path` (keeping the mode of the file it replaces),
// syncs it, renames it over `path` and syncs the folder. False with errno when any step fails;
// the temporary file is then gone and `path` is as it was.
[[nodiscard]] bool ReplaceFile(const std::string& path, std::string_view data);

}  // namespace velbrook
