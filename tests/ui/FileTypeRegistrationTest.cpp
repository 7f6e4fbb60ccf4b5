#include "ui/FileTypeRegistration.h"

#include <gtest/gtest.h>

#include <string>

namespace velbrook {
namespace {

// A desktop entry quotes in two layers; a program in a folder with blanks, quotes or percent
// signs must still be the one a file manager starts.
TEST(FileTypeRegistration, TheEntryStartsTheProgramWhereverItLies) {
    const std::string entry = DesktopEntryText("/opt/My Apps/a\"b$c%/velbrook", "/i.png");
    EXPECT_NE(entry.find("\nExec=\"/opt/My Apps/a\\\\\"b\\\\$c%%/velbrook\" %U\n"),
              std::string::npos)
        << entry;
    EXPECT_NE(entry.find("\nMimeType=application/x-bittorrent;x-scheme-handler/magnet;\n"),
              std::string::npos);
    // A line break cannot be written into an entry at all.
    EXPECT_EQ(DesktopEntryText("/opt/a\nb/velbrook", "/i.png"), "");
}

}  // namespace
}  // namespace velbrook
