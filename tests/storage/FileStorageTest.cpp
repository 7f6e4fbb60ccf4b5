#include "storage/FileStorage.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "metainfo/FileList.h"
#include "storage/MessageHost.h"
#include "support/TempDir.h"

namespace velbrook {
namespace {

using test::ReadFile;
using test::WriteFile;

// The person in front of the screen: every message is noted.
struct FakeMessageHost : MessageHost {
    void ShowMessage(const std::string& text, MessageIcon) override { m_shown.push_back(text); }
    std::vector<std::string> m_shown;
};

// A layout "t/<name>" with the given sizes, files following each other.
void Layout(FileList& list, const std::vector<std::pair<std::string, int64_t>>& files) {
    list.m_saveName = "t";
    list.m_pieceLength = 16;
    list.m_singleFile = files.size() == 1;
    for (const auto& [name, size] : files) {
        auto entry = std::make_unique<FileEntry>();
        entry->m_relativePathName = name;
        entry->m_startAt = list.m_totalLength;
        entry->m_size = size;
        list.m_totalLength += size;
        list.m_files.push_back(std::move(entry));
    }
}

class Storage : public ::testing::Test {
protected:
    // Prepares a storage of the layout below the test folder.
    bool Prepared(FileStorage& disk, const std::string& saveName = "t",
                  FakeMessageHost* host = nullptr) {
        return disk.Prepare(m_dir.Dir(), saveName, false, host ? host : &m_host);
    }
    test::TempDir m_dir;
    FakeMessageHost m_host;
};

TEST_F(Storage, WritesAndReadsAcrossFilesWithNestedFoldersAndEmptyFiles) {
    FileList list;
    Layout(list, {{"t/x/y/a", 10}, {"t/empty", 0}, {"t/b", 5}, {"t/x/c", 20}});
    FileStorage disk(list);
    ASSERT_TRUE(Prepared(disk));
    EXPECT_TRUE(std::filesystem::exists(m_dir / "t/empty"));
    const std::string data = "0123456789abcdefghijklmnopqrstuvwxyz!";
    ASSERT_TRUE(disk.WriteSpan(0, 35, data.data()));
    EXPECT_EQ(ReadFile(m_dir / "t/x/y/a"), "0123456789");
    EXPECT_EQ(ReadFile(m_dir / "t/b"), "abcde");
    std::string back(12, '\0');
    ASSERT_TRUE(disk.ReadSpan(8, 12, back.data()));
    EXPECT_EQ(back, "89abcdefghij");
    EXPECT_FALSE(disk.ReadSpan(30, 10, back.data()));  // past the end of the torrent

    // A single file takes the name chosen for it.
    FileList single;
    Layout(single, {{"orig.bin", 3}});
    FileStorage singleDisk(single);
    ASSERT_TRUE(Prepared(singleDisk, "chosen.bin"));
    ASSERT_TRUE(singleDisk.WriteSpan(0, 3, "abc"));
    EXPECT_EQ(ReadFile(m_dir / "chosen.bin"), "abc");
    EXPECT_FALSE(std::filesystem::exists(m_dir / "orig.bin"));
}

// A file of the right size is only read, a shorter one is continued, and allocating before the
// download gives every file we write its full length at once, keeping what a partial file holds;
// without it the files grow as data arrives.
TEST_F(Storage, ExistingFilesAreKeptContinuedOrRefusedBySize) {
    WriteFile(m_dir / "t/exact", std::string(10, 'e'));
    WriteFile(m_dir / "t/short", "sss");
    FileList list;
    Layout(list, {{"t/exact", 10}, {"t/short", 20}, {"t/new", 70000}});
    FileStorage sparse(list);
    ASSERT_TRUE(Prepared(sparse));
    EXPECT_TRUE(m_host.m_shown.empty());
    EXPECT_TRUE(sparse.IsReadOnly(0));
    EXPECT_FALSE(sparse.IsReadOnly(1));
    EXPECT_EQ(ReadFile(m_dir / "t/short"), "sss");
    EXPECT_EQ(std::filesystem::file_size(m_dir / "t/new"), 0u);
    sparse.CloseAll();
    FileStorage allocated(list);
    ASSERT_TRUE(allocated.Prepare(m_dir.Dir(), "t", true, &m_host));
    EXPECT_EQ(ReadFile(m_dir / "t/exact"), std::string(10, 'e'));
    EXPECT_EQ(std::filesystem::file_size(m_dir / "t/new"), 70000u);
    EXPECT_EQ(ReadFile(m_dir / "t/short").substr(0, 3), "sss");
    EXPECT_EQ(std::filesystem::file_size(m_dir / "t/short"), 20u);

    // A file longer than the torrent says is someone else's: never touched.
    WriteFile(m_dir / "u/big", std::string(11, 'b'));
    FileList tooBig;
    Layout(tooBig, {{"u/big", 10}});
    FileStorage tooBigDisk(tooBig);
    FakeMessageHost host;
    EXPECT_FALSE(Prepared(tooBigDisk, "u/big", &host));
    EXPECT_EQ(host.m_shown.size(), 1u);
    EXPECT_EQ(ReadFile(m_dir / "u/big"), std::string(11, 'b'));
}

// Two torrents (or two copies of the program) must never write one file at once; a complete
// torrent only reads, and takes the file back for writing when it must.
TEST_F(Storage, AWriterLocksOthersOutUntilItOnlyReads) {
    FileList first;
    Layout(first, {{"t/a", 4}, {"t/b", 4}});
    FileStorage firstDisk(first);
    ASSERT_TRUE(Prepared(firstDisk));
    ASSERT_TRUE(firstDisk.WriteSpan(0, 8, "abcdefgh"));
    const auto checkers = [&] {  // how many files another storage can open to check them
        FileList list;
        Layout(list, {{"t/a", 4}, {"t/b", 4}});
        return FileStorage(list).OpenForCheck(m_dir.Dir());
    };
    EXPECT_EQ(checkers(), 0u);

    firstDisk.SwitchAllToReadOnly();
    EXPECT_EQ(checkers(), 2u);
    ASSERT_TRUE(firstDisk.WriteSpan(2, 3, "XYZ"));
    EXPECT_FALSE(firstDisk.IsReadOnly(0));
    EXPECT_EQ(ReadFile(m_dir / "t/a"), "abXY");
    EXPECT_EQ(ReadFile(m_dir / "t/b"), "Zfgh");
}

TEST_F(Storage, NamesThatLeaveTheSaveFolderAreRefused) {
    const std::string save = m_dir / "save";
    std::filesystem::create_directories(save);
    for (const std::string evil : {"../evil", "t/../../evil", "/tmp/evil-abs", "t//x", "t/./x"}) {
        FileList list;
        Layout(list, {{evil, 4}});
        FileStorage disk(list);
        list.m_singleFile = false;  // a status file can say anything
        FakeMessageHost host;
        EXPECT_FALSE(disk.Prepare(save, "t", false, &host)) << evil;
        EXPECT_EQ(disk.OpenForCheck(save), 0u) << evil;
    }
    EXPECT_FALSE(std::filesystem::exists(m_dir / "evil"));
    EXPECT_FALSE(std::filesystem::exists("/tmp/evil-abs"));
}

// A torrent refused halfway through preparing takes away the files and folders it made, and
// only those; the message names the reason in words after the cause number.
TEST_F(Storage, ARefusedPreparationLeavesNothingItMadeBehind) {
    WriteFile(m_dir / "t/kept", "mine");
    const std::string tooLong(256, 'n');  // one byte past what the file system allows
    const std::pair<std::vector<std::pair<std::string, int64_t>>, std::string> refused[] = {
        {{{"t/new/a", 4}, {"t/empty", 0}, {"t/" + tooLong, 4}},
         "Can't open file " + m_dir / "t/" + tooLong + ", error = 3: File name too long\r\n"},
        {{{"t/x/y/a", 4}, {"t/x/y/a", 4}},
         "Can't open file " + m_dir / "t/x/y/a" +
             ", error = 11: another program (or torrent) is writing it\r\n"},
    };
    for (const auto& [files, message] : refused) {
        FileList list;
        Layout(list, files);
        FileStorage disk(list);
        FakeMessageHost host;
        EXPECT_FALSE(Prepared(disk, "t", &host));
        EXPECT_EQ(host.m_shown, std::vector<std::string>{message});
        std::vector<std::string> left;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(m_dir.Dir())) {
            left.push_back(std::filesystem::relative(entry.path(), m_dir.Dir()).string());
        }
        EXPECT_EQ(left, (std::vector<std::string>{"t", "t/kept"}));
        EXPECT_EQ(ReadFile(m_dir / "t/kept"), "mine");
    }
}

}  // namespace
}  // namespace velbrook
