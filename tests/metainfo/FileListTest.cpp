#include "metainfo/FileList.h"

#include <gtest/gtest.h>

#include "metainfo/KeyPathMap.h"
#include "persist/CXML.h"
#include "support/MetainfoBuilder.h"

namespace velbrook {
namespace {

using test::Metainfo;

bool Parse(const std::string& bencode, FileList& files, std::string* hex = nullptr) {
    KeyPathMap map;
    EXPECT_TRUE(map.Decode(bencode));
    if (hex) {
        EXPECT_TRUE(map.GetString("__InfoHashHex__", *hex));
    }
    return files.FromKeyPathMap(map);
}

TEST(FileList, RefusesLayoutsThatCannotDescribeRealData) {
    const std::pair<const char*, Metainfo> cases[] = {
        {"zero length", {.length = 0}},
        {"negative length", {.length = -5}},
        {"zero piece length", {.pieceLength = 0}},
        {"negative piece length", {.pieceLength = -16384, .hashBytes = 20}},
        {"piece length over 128 MiB", {.pieceLength = (int64_t{128} << 20) + 1}},
        // The low 32 bits of this are 16384; only the full value may decide.
        {"piece length aliasing 32 bits", {.pieceLength = (int64_t{1} << 32) + 16384}},
        {"one hash short", {.length = 40000, .hashBytes = 40}},
        {"one hash too many", {.hashBytes = 40}},
        {"ragged hashes", {.hashBytes = 21}},
        {"negative file length", {.files = {{10, {"a"}}, {-1, {"b"}}}, .hashBytes = 20}},
        {"only empty files", {.files = {{0, {"a"}}}}},
        {"total overflows",
         {.files = {{INT64_MAX, {"a"}}, {INT64_MAX, {"b"}}},
          .pieceLength = 1 << 20,
          .hashBytes = 0}},
    };
    for (const auto& [what, metainfo] : cases) {
        FileList files;
        EXPECT_FALSE(Parse(metainfo.Encode(), files)) << what;
        EXPECT_FALSE(files.RefusalReason().empty()) << what;
    }
    FileList noName;
    EXPECT_FALSE(Parse(
        "d4:infod6:lengthi5e12:piece lengthi4e6:pieces20:" + std::string(20, 'h') + "ee", noName));
}

TEST(FileList, NamesStayInsideTheSaveFolderAsValidUtf8) {
    FileList files;
    std::string hex;
    ASSERT_TRUE(Parse(Metainfo{.name = "..",
                               .files = {{1, {"..", "x"}},
                                         {1, {".", "", "y/../z"}},
                                         {1, {"..", "."}},
                                         {1, {"tab\tname\x7f"}}}}
                          .Encode(),
                      files, &hex));
    // An unusable torrent name becomes the info hash, so files still get a folder of their own.
    EXPECT_EQ(files.m_saveName, hex);
    ASSERT_EQ(files.m_files.size(), 4u);
    EXPECT_EQ(files.m_files[0]->m_relativePathName, hex + "/x");
    EXPECT_EQ(files.m_files[1]->m_relativePathName, hex + "/y_.._z");
    EXPECT_EQ(files.m_files[2]->m_relativePathName, hex);  // every component dropped
    EXPECT_EQ(files.m_files[3]->m_relativePathName, hex + "/tab_name_");

    const std::pair<std::string, std::string> names[] = {
        {"/etc/passwd", "_etc_passwd"},
        {"caf\xc3\xa9 \xe4\xb8\xad", "caf\xc3\xa9 \xe4\xb8\xad"},
        {"\xd6\xd0\xce\xc4.txt", "\xe4\xb8\xad\xe6\x96\x87.txt"},  // GB2312 bytes of "中文"
        {"a\xff"
         "b",
         "a\xef\xbf\xbd"
         "b"},
    };
    for (const auto& [raw, expected] : names) {
        FileList single;
        ASSERT_TRUE(Parse(Metainfo{.name = raw}.Encode(), single));
        EXPECT_EQ(single.m_files[0]->m_relativePathName, expected);
    }
}

// The status file keeps the layout; offsets past 4 GiB must come back whole.
TEST(FileList, XmlRoundTripKeepsLargeOffsets) {
    FileList files;
    const int64_t big = 5000000000;
    ASSERT_TRUE(Parse(Metainfo{.name = "d",
                               .files = {{big, {"a"}}, {3000000000, {"sub", "b"}}},
                               .pieceLength = 1 << 22}
                          .Encode(),
                      files));
    files.m_savePath = "/home/u/Downloads/";
    FileList back;
    back.FromXml(*files.ToXml());
    EXPECT_EQ(back.m_totalLength, big + 3000000000);
    EXPECT_EQ(back.m_pieceLength, 1 << 22);
    EXPECT_EQ(back.m_savePath, "/home/u/Downloads/");
    EXPECT_FALSE(back.m_singleFile);
    ASSERT_EQ(back.m_files.size(), 2u);
    EXPECT_EQ(back.m_files[1]->m_relativePathName, "d/sub/b");
    EXPECT_EQ(back.m_files[1]->m_startAt, big);
    EXPECT_EQ(back.m_files[1]->m_size, 3000000000);
}

}  // namespace
}  // namespace velbrook
