#include "persist/TextCodec.h"

#include <gtest/gtest.h>

namespace velbrook {
namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

TEST(TextCodecTest, Utf8IsCheckedStrictlyAndRepairedOneReplacementPerBadSubpart) {
    EXPECT_TRUE(IsValidUtf8("中文 é \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF"));
    for (const char* bad : {"\xC0\xAF", "\xE0\x80\xAF", "\xF0\x8F\xBF\xBF", "\xED\xA0\x80",
                            "\xF4\x90\x80\x80", "abc\xE4\xB8", "\x80"}) {
        EXPECT_FALSE(IsValidUtf8(bad)) << bad;
    }
    EXPECT_EQ(ReplaceInvalidUtf8("a\xE4\xB8z"), "a" + kReplacement + "z");
    EXPECT_EQ(ReplaceInvalidUtf8("\xFF\xFE"), kReplacement + kReplacement);
    EXPECT_EQ(ReplaceInvalidUtf8("\xE4\xB8\xE4\xB8\xAD"), kReplacement + "中");
    EXPECT_EQ(NameToUtf8("\xD6\xD0\xCE\xC4.txt"), "中文.txt");  // GB2312 names are read as such
    EXPECT_EQ(NameToUtf8("файл\xFF"), "файл" + kReplacement);
}

TEST(TextCodecTest, Gb18030CoversAllOfUnicodeAndRefusesBrokenInput) {
    const std::string text = "中文 café \xF0\x9F\x98\x80 €";
    const std::string gb = Utf8ToGb18030(text);
    EXPECT_EQ(gb.substr(0, 4), "\xD6\xD0\xCE\xC4");
    EXPECT_EQ(Gb18030ToUtf8(gb), text);
    // Invalid UTF-8 goes out as U+FFFD instead of cutting the text short.
    EXPECT_EQ(Gb18030ToUtf8(Utf8ToGb18030("a\xFF")), "a" + kReplacement);
    for (const char* bad : {"\x81", "ok\x81\x20", "\x84\x31\xA4", "\xFF"}) {
        EXPECT_EQ(Gb18030ToUtf8(bad), std::nullopt) << bad;
    }
}

}  // namespace
}  // namespace velbrook
