// A stored file that cannot be read is moved out of the way instead of being written over, so
// whatever it still holds can be recovered by hand.
#pragma once

#include <string>

namespace velbrook {

// Renames `path` to "<path>.unreadable-<date>-<time>" (with a counter after a copy kept earlier
// in the same second; an earlier copy is never replaced). The new name, or empty with `error`
// saying why it could not be moved.
std::string KeepAside(const std::string& path, std::string& error);

// Why a file that is there could not be read as `kind` (a list, settings), in a few words: the
// system's reason when it cannot even be opened, else that it is not well formed.
std::string UnreadableReason(const std::string& path, const std::string& kind);

}  // namespace velbrook
