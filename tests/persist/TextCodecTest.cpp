#include "persist/TextCodec.h"

#include <gtest/gtest.h>

namespace velbrook {
namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

TEST(TextCodecTest, Utf8ValidationFollowsTheStrictForm) {
    EXPECT_TRUE(IsValidUtf8("plain ascii"));
    EXPECT_TRUE(IsValidUtf8("中文 é \xF0\x9F\x98\x80"));
    EXPECT_TRUE(IsValidUtf8("\xF4\x8F\xBF\xBF"));   // U+10FFFF
    EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));          // overlong '/'
    EXPECT_FALSE(IsValidUtf8("\xE0\x80\xAF"));      // overlong, three bytes
    EXPECT_FALSE(IsValidUtf8("\xF0\x8F\xBF\xBF"));  // overlong, four bytes
    EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));      // surrogate U+D800
    EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));  // U+110000
    EXPECT_FALSE(IsValidUtf8("abc\xE4\xB8"));       // truncated at the end
    EXPECT_FALSE(IsValidUtf8("\x80"));
}

TEST(TextCodecTest, ReplacementIsOnePerMaximalInvalidSubpart) {
    EXPECT_EQ(ReplaceInvalidUtf8("中文"), "中文");
    EXPECT_EQ(ReplaceInvalidUtf8("a\xE4\xB8z"), "a" + kReplacement + "z");
    EXPECT_EQ(ReplaceInvalidUtf8("\xFF\xFE"), kReplacement + kReplacement);
    EXPECT_EQ(ReplaceInvalidUtf8("\xED\xA0\x80"), kReplacement + kReplacement + kReplacement);
    EXPECT_EQ(ReplaceInvalidUtf8("\xE4\xB8\xE4\xB8\xAD"), kReplacement + "中");
}

TEST(TextCodecTest, Gb18030CoversAllOfUnicode) {
    const std::string text = "中文 café \xF0\x9F\x98\x80 €";
    const std::string gb = Utf8ToGb18030(text);
    EXPECT_EQ(gb.substr(0, 4), "\xD6\xD0\xCE\xC4");
    EXPECT_NE(gb, text);
    EXPECT_EQ(Gb18030ToUtf8(gb), text);
    // Invalid UTF-8 goes out as U+FFFD instead of cutting the text short.
    EXPECT_EQ(Gb18030ToUtf8(Utf8ToGb18030("a\xFF"
                                          "b")),
              "a" + kReplacement + "b");
}

TEST(TextCodecTest, InvalidGb18030IsRefused) {
    EXPECT_EQ(Gb18030ToUtf8("\x81"), std::nullopt);          // incomplete
    EXPECT_EQ(Gb18030ToUtf8("ok\x81\x20"), std::nullopt);    // bad trail byte
    EXPECT_EQ(Gb18030ToUtf8("\x84\x31\xA4"), std::nullopt);  // incomplete four-byte form
    EXPECT_EQ(Gb18030ToUtf8("\xFF"), std::nullopt);
}

TEST(TextCodecTest, NamesBecomeUtf8) {
    EXPECT_EQ(NameToUtf8("файл.txt"), "файл.txt");
    EXPECT_EQ(NameToUtf8("\xD6\xD0\xCE\xC4.txt"), "中文.txt");
    EXPECT_EQ(NameToUtf8("a\xFF"), "a" + kReplacement);
}

}  // namespace
}  // namespace velbrook
