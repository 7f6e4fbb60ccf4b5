#include "persist/PrintableText.h"

#include <gtest/gtest.h>

namespace velbrook {
namespace {

const std::string kR = "\xEF\xBF\xBD";  // U+FFFD

// What a hostile tracker or torrent would put on a terminal (a new window title, a cleared
// screen, the same through the one-byte C1 introducer, bytes that are not UTF-8) is replaced;
// readable text in any script passes, and only a log line's line end goes.
TEST(PrintableText, ControlsAndBrokenBytesAreReplacedTextStays) {
    EXPECT_EQ(PrintableLine("\x1b]0;owned\x07\x1b[2J"), kR + "]0;owned" + kR + kR + "[2J");
    EXPECT_EQ(PrintableLine("a\xC2\x9B"
                            "2J\x7F\x9B\xFF"),
              "a" + kR + "2J" + kR + kR + kR);
    EXPECT_EQ(PrintableLine(std::string("t\tn\nz\0", 6)), "t" + kR + "n" + kR + "z" + kR);
    EXPECT_EQ(PrintableLine("下载 ü \xC2\xA0ok\r\n"), "下载 ü \xC2\xA0ok");
    EXPECT_EQ(PrintableLines("Unable:\r\n\nwhy\x1b[2J\n"), "Unable:\n\nwhy" + kR + "[2J");
}

}  // namespace
}  // namespace velbrook
