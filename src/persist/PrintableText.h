// Text from a peer, a tracker or a file, made safe to print on a terminal or show in a view.
#pragma once

#include <string>
#include <string_view>

namespace velbrook {

// Every control character (C0, DEL and C1) and every invalid UTF-8 sequence becomes U+FFFD, so
// that an escape sequence a tracker or a torrent carries can neither retitle a terminal nor
// clear it. Line ends at the end of the text are dropped first: a log line's "\r\n" is not part
// of what it says.
std::string PrintableLine(std::string_view text);
// The same for a text of several lines (a message): its "\n"s stay.
std::string PrintableLines(std::string_view text);

}  // namespace velbrook
