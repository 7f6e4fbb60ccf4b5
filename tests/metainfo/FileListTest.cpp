#include "metainfo/FileList.h"

#include <gtest/gtest.h>

#include "metainfo/KeyPathMap.h"
#include "metainfo/SHA1.h"
#include "persist/CXML.h"

namespace velbrook {
namespace {

std::string S(std::string_view s) {
    return std::to_string(s.size()) + ":" + std::string(s);
}
std::string I(int64_t v) {
    return "i" + std::to_string(v) + "e";
}

struct FileSpec {
    int64_t length;
    std::vector<std::string> path;
};

// Bencoded metainfo; keys are written in sorted order like a real encoder does.
std::string SingleFile(std::string_view name, int64_t length, int64_t pieceLength,
                       int64_t hashBytes = -1) {
    if (hashBytes < 0) {
        hashBytes = 20 * ((length + pieceLength - 1) / pieceLength);
    }
    return "d8:announce" + S("http://t/a") + "4:infod6:length" + I(length) + "4:name" + S(name) +
           "12:piece length" + I(pieceLength) + "6:pieces" +
           S(std::string(static_cast<size_t>(hashBytes), 'h')) + "ee";
}

std::string MultiFile(std::string_view name, const std::vector<FileSpec>& files,
                      int64_t pieceLength, int64_t total) {
    std::string list = "l";
    for (const auto& f : files) {
        list += "d";
        if (f.length != INT64_MIN) {
            list += "6:length" + I(f.length);
        }
        list += "4:pathl";
        for (const auto& c : f.path) {
            list += S(c);
        }
        list += "ee";
    }
    list += "e";
    const int64_t pieces = total > 0 ? (total + pieceLength - 1) / pieceLength : 0;
    return "d4:infod5:files" + list + "4:name" + S(name) + "12:piece length" + I(pieceLength) +
           "6:pieces" + S(std::string(static_cast<size_t>(20 * pieces), 'h')) + "ee";
}

bool Parse(const std::string& bencode, FileList& files) {
    KeyPathMap map;
    EXPECT_TRUE(map.Decode(bencode));
    return files.FromKeyPathMap(map);
}

TEST(FileList, SingleFileTorrentIsOneEntryNamedAfterTheTorrent) {
    FileList files;
    ASSERT_TRUE(Parse(SingleFile("movie.avi", 1000, 16384), files));
    EXPECT_TRUE(files.m_singleFile);
    EXPECT_EQ(files.m_totalLength, 1000);
    EXPECT_EQ(files.m_pieceLength, 16384);
    EXPECT_EQ(files.PieceCount(), 1);
    ASSERT_EQ(files.m_files.size(), 1u);
    EXPECT_EQ(files.m_files[0]->m_relativePathName, "movie.avi");
    EXPECT_EQ(files.m_files[0]->m_startAt, 0);
    EXPECT_EQ(files.m_files[0]->m_size, 1000);
}

TEST(FileList, MultiFileEntriesFollowEachOtherUnderTheTorrentFolder) {
    FileList files;
    ASSERT_TRUE(
        Parse(MultiFile("d", {{10, {"a", "b"}}, {0, {"empty"}}, {20, {"c"}}}, 16, 30), files));
    EXPECT_FALSE(files.m_singleFile);
    EXPECT_EQ(files.m_totalLength, 30);
    EXPECT_EQ(files.PieceCount(), 2);
    ASSERT_EQ(files.m_files.size(), 3u);
    EXPECT_EQ(files.m_files[0]->m_relativePathName, "d/a/b");
    EXPECT_EQ(files.m_files[1]->m_relativePathName, "d/empty");
    EXPECT_EQ(files.m_files[1]->m_startAt, 10);
    EXPECT_EQ(files.m_files[1]->m_size, 0);
    EXPECT_EQ(files.m_files[2]->m_relativePathName, "d/c");
    EXPECT_EQ(files.m_files[2]->m_startAt, 10);
    EXPECT_EQ(files.PieceHash(1), std::string(20, 'h'));
    EXPECT_TRUE(files.PieceHash(2).empty());
}

TEST(FileList, FileListEndsAtTheFirstEntryWithoutLength) {
    FileList files;
    ASSERT_TRUE(
        Parse(MultiFile("d", {{10, {"a"}}, {INT64_MIN, {"b"}}, {20, {"c"}}}, 16, 10), files));
    ASSERT_EQ(files.m_files.size(), 1u);
    EXPECT_EQ(files.m_totalLength, 10);
}

TEST(FileList, LengthKeyMakesATorrentSingleFileEvenWithAFileList) {
    FileList files;
    const std::string both = "d4:infod5:filesld6:lengthi7e4:pathl1:xeee6:lengthi5e4:name1:n"
                             "12:piece lengthi4e6:pieces40:" +
                             std::string(40, 'h') + "ee";
    ASSERT_TRUE(Parse(both, files));
    EXPECT_TRUE(files.m_singleFile);
    ASSERT_EQ(files.m_files.size(), 1u);
    EXPECT_EQ(files.m_files[0]->m_relativePathName, "n");
}

TEST(FileList, RefusesLayoutsThatCannotDescribeRealData) {
    const std::pair<const char*, std::string> cases[] = {
        {"missing pieces", "d4:infod6:lengthi5e4:name1:n12:piece lengthi4eee"},
        {"missing name",
         "d4:infod6:lengthi5e12:piece lengthi4e6:pieces40:" + std::string(40, 'h') + "ee"},
        {"zero length", SingleFile("n", 0, 16384, 0)},
        {"negative length", SingleFile("n", -5, 16384, 0)},
        {"zero piece length", SingleFile("n", 10, 0, 20)},
        {"negative piece length", SingleFile("n", 10, -16384, 20)},
        {"piece length over 128 MiB", SingleFile("n", 10, (int64_t{128} << 20) + 1, 20)},
        // The low 32 bits of this are 16384; only the full value may decide.
        {"piece length aliasing 32 bits", SingleFile("n", 10, (int64_t{1} << 32) + 16384, 20)},
        {"one hash short", SingleFile("n", 40000, 16384, 40)},
        {"one hash too many", SingleFile("n", 10, 16384, 40)},
        {"ragged hashes", SingleFile("n", 10, 16384, 21)},
        {"negative file length", MultiFile("d", {{10, {"a"}}, {-1, {"b"}}}, 16, 9)},
        {"no files", MultiFile("d", {}, 16, 0)},
        {"only empty files", MultiFile("d", {{0, {"a"}}}, 16, 0)},
        {"total overflows", MultiFile("d", {{INT64_MAX, {"a"}}, {INT64_MAX, {"b"}}}, 1 << 20, 0)},
    };
    for (const auto& [what, bencode] : cases) {
        FileList files;
        EXPECT_FALSE(Parse(bencode, files)) << what;
        EXPECT_FALSE(files.RefusalReason().empty()) << what;
    }
}

TEST(FileList, NamesCannotLeaveTheSaveFolder) {
    const std::string bencode = MultiFile(
        "..",
        {{1, {"..", "x"}}, {1, {".", "", "y/../z"}}, {1, {"..", "."}}, {1, {"tab\tname\x7f"}}}, 16,
        4);
    KeyPathMap map;
    ASSERT_TRUE(map.Decode(bencode));
    FileList files;
    ASSERT_TRUE(files.FromKeyPathMap(map));
    // An unusable torrent name becomes the info hash, so files still get a folder of their own.
    std::string hex;
    ASSERT_TRUE(map.GetString("__InfoHashHex__", hex));
    EXPECT_EQ(files.m_saveName, hex);
    ASSERT_EQ(files.m_files.size(), 4u);
    EXPECT_EQ(files.m_files[0]->m_relativePathName, hex + "/x");
    EXPECT_EQ(files.m_files[1]->m_relativePathName, hex + "/y_.._z");
    // Every component dropped: the file is named like the torrent folder itself.
    EXPECT_EQ(files.m_files[2]->m_relativePathName, hex);
    EXPECT_EQ(files.m_files[3]->m_relativePathName, hex + "/tab_name_");

    FileList single;
    ASSERT_TRUE(Parse(SingleFile("/etc/passwd", 5, 16), single));
    EXPECT_EQ(single.m_files[0]->m_relativePathName, "_etc_passwd");
}

TEST(FileList, NamesBecomeValidUtf8) {
    const std::pair<std::string, std::string> cases[] = {
        {"caf\xc3\xa9 \xe4\xb8\xad\xe6\x96\x87", "caf\xc3\xa9 \xe4\xb8\xad\xe6\x96\x87"},
        // GB2312 bytes of the two characters "中文".
        {"\xd6\xd0\xce\xc4.txt", "\xe4\xb8\xad\xe6\x96\x87.txt"},
        // Neither UTF-8 nor GB18030: the bad bytes become U+FFFD.
        {"a\xff"
         "b",
         "a\xef\xbf\xbd"
         "b"},
    };
    for (const auto& [raw, expected] : cases) {
        FileList files;
        ASSERT_TRUE(Parse(SingleFile(raw, 5, 16), files));
        EXPECT_EQ(files.m_saveName, expected);
    }
}

TEST(FileList, XmlRoundTripKeepsLayoutAndLargeOffsets) {
    FileList files;
    const int64_t big = 5000000000;
    ASSERT_TRUE(
        Parse(MultiFile("d", {{big, {"a"}}, {3000000000, {"sub", "b"}}}, 1 << 22, big + 3000000000),
              files));
    files.m_savePath = "/home/u/Downloads/";
    auto xml = files.ToXml();
    EXPECT_EQ(xml->GetName(), "FileList");
    EXPECT_EQ(xml->GetAttribute("TotalLength"), "8000000000");

    FileList back;
    back.FromXml(*xml);
    EXPECT_EQ(back.m_totalLength, big + 3000000000);
    EXPECT_EQ(back.m_pieceLength, 1 << 22);
    EXPECT_EQ(back.m_savePath, "/home/u/Downloads/");
    EXPECT_EQ(back.m_saveName, "d");
    EXPECT_FALSE(back.m_singleFile);
    ASSERT_EQ(back.m_files.size(), 2u);
    EXPECT_EQ(back.m_files[1]->m_relativePathName, "d/sub/b");
    EXPECT_EQ(back.m_files[1]->m_startAt, big);
    EXPECT_EQ(back.m_files[1]->m_size, 3000000000);
    EXPECT_TRUE(back.PieceHash(0).empty());  // hashes are not stored

    // Only children named exactly "FileEntry" count; one entry means a single file.
    CXML element("FileList");
    element.SetAttribute("TotalLength", "7");
    auto entry = std::make_unique<CXML>("FileEntry");
    entry->SetAttribute("RelativePathName", "d/only");
    entry->SetAttribute("Size", "7");
    element.AddChild(std::move(entry));
    element.AddChild(std::make_unique<CXML>("fileentry"));
    FileList one;
    one.FromXml(element);
    ASSERT_EQ(one.m_files.size(), 1u);
    EXPECT_TRUE(one.m_singleFile);
}

}  // namespace
}  // namespace velbrook
