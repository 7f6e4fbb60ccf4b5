#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "metainfo/FileList.h"
#include "metainfo/SHA1.h"
#include "persist/Settings.h"
#include "storage/FileStorage.h"
#include "support/FakeMessageHost.h"
#include "support/TempDir.h"

namespace velbrook {
namespace {

using test::FakeMessageHost;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

constexpr char kExisted[] = "File Existed!...\nDo checking and continue downloading?";
constexpr char kTooLong[] =
    "Donwload File Length biger than expected, stop to avoid damaging your file!";

// A multi-file layout "t/<name>" with the given sizes, files following each other.
void Layout(FileList& list, const std::vector<std::pair<std::string, int64_t>>& files,
            int32_t pieceLength = 16) {
    list.m_saveName = "t";
    list.m_pieceLength = pieceLength;
    list.m_singleFile = files.size() == 1;
    int64_t at = 0;
    for (const auto& [name, size] : files) {
        auto entry = std::make_unique<FileEntry>();
        entry->m_relativePathName = name;
        entry->m_startAt = at;
        entry->m_size = size;
        at += size;
        list.m_files.push_back(std::move(entry));
    }
    list.m_totalLength = at;
}

class Storage : public ::testing::Test {
protected:
    Storage() : m_settings(m_dir.Dir()) {}
    TempDir m_dir;
    Settings m_settings;
    FakeMessageHost m_host;
};

TEST_F(Storage, RangesMapAcrossFileBoundaries) {
    FileList list;
    Layout(list, {{"t/a", 10}, {"t/b", 5}, {"t/c", 20}});
    velbrook::FileStorage disk(list);
    const auto segs = list.MapRange(8, 10);
    ASSERT_EQ(segs.size(), 3u);
    EXPECT_EQ(segs[0].file, 0u);
    EXPECT_EQ(std::make_pair(segs[0].offset, segs[0].length), std::make_pair(int64_t{8}, 2u));
    EXPECT_EQ(std::make_pair(segs[1].offset, segs[1].length), std::make_pair(int64_t{0}, 5u));
    EXPECT_EQ(std::make_pair(segs[2].offset, segs[2].length), std::make_pair(int64_t{0}, 3u));

    const auto inside = list.MapRange(20, 10);
    ASSERT_EQ(inside.size(), 1u);
    EXPECT_EQ(inside[0].file, 2u);
    EXPECT_EQ(inside[0].offset, 5);
    EXPECT_EQ(inside[0].length, 10u);

    // Exactly on the boundaries: the last byte of one file, the first byte of the next.
    const auto edge = list.MapRange(9, 2);
    ASSERT_EQ(edge.size(), 2u);
    EXPECT_EQ(edge[0].offset, 9);
    EXPECT_EQ(edge[1].file, 1u);
    EXPECT_EQ(edge[1].offset, 0);
    EXPECT_EQ(list.MapRange(10, 5).size(), 1u);
    // A range past the end maps only what exists.
    const auto tail = list.MapRange(30, 10);
    ASSERT_EQ(tail.size(), 1u);
    EXPECT_EQ(tail[0].length, 5u);
}

TEST_F(Storage, WritesAndReadsAcrossFilesWithNestedFolders) {
    FileList list;
    Layout(list, {{"t/x/y/a", 10}, {"t/b", 5}, {"t/x/c", 20}});
    velbrook::FileStorage disk(list);
    bool existed = false;
    ASSERT_TRUE(disk.Prepare(m_dir.Dir(), "t", existed, true, &m_host));
    EXPECT_FALSE(existed);
    EXPECT_TRUE(m_host.m_shown.empty());
    const std::string data = "0123456789abcdefghijklmnopqrstuvwxyz!";
    ASSERT_TRUE(disk.WriteSpan(0, 35, data.data()));
    EXPECT_EQ(ReadFile(m_dir / "t/x/y/a"), "0123456789");
    EXPECT_EQ(ReadFile(m_dir / "t/b"), "abcde");
    std::string back(12, '\0');
    ASSERT_TRUE(disk.ReadSpan(8, 12, back.data()));
    EXPECT_EQ(back, "89abcdefghij");
    // Past the end of the torrent nothing backs the bytes.
    EXPECT_FALSE(disk.ReadSpan(30, 10, back.data()));
}

TEST_F(Storage, ReadPastTheWrittenEndFails) {
    FileList list;
    Layout(list, {{"t/a", 100}});
    velbrook::FileStorage disk(list);
    bool existed = false;
    ASSERT_TRUE(disk.Prepare(m_dir.Dir(), "a", existed, false, &m_host));
    ASSERT_TRUE(disk.WriteSpan(0, 10, "0123456789"));
    char buffer[20];
    EXPECT_TRUE(disk.ReadSpan(0, 10, buffer));
    EXPECT_FALSE(disk.ReadSpan(5, 10, buffer));
    EXPECT_FALSE(disk.ReadSpan(50, 10, buffer));
}

TEST_F(Storage, ExistingFilesAreKeptRefusedOrContinuedBySize) {
    WriteFile(m_dir / "t/exact", std::string(10, 'e'));
    WriteFile(m_dir / "t/short", std::string(3, 's'));
    FileList list;
    Layout(list, {{"t/exact", 10}, {"t/short", 20}, {"t/new", 30}});
    velbrook::FileStorage disk(list);
    m_host.m_answers = {MessageAnswer::Yes};
    bool existed = false;
    ASSERT_TRUE(disk.Prepare(m_dir.Dir(), "t", existed, true, &m_host));
    EXPECT_TRUE(existed);
    // Two files existed, one question.
    EXPECT_EQ(m_host.m_shown, std::vector<std::string>{kExisted});
    EXPECT_TRUE(disk.IsReadOnly(0));
    EXPECT_FALSE(disk.IsReadOnly(1));
    EXPECT_EQ(std::filesystem::file_size(m_dir / "t/short"),
              3u);  // without allocation nothing grows
    EXPECT_EQ(std::filesystem::file_size(m_dir / "t/new"), 0u);
    EXPECT_EQ(ReadFile(m_dir / "t/exact"), std::string(10, 'e'));

    WriteFile(m_dir / "u/big", std::string(11, 'b'));
    FileList tooBig;
    Layout(tooBig, {{"u/big", 10}});
    velbrook::FileStorage tooBigDisk(tooBig);
    FakeMessageHost host;
    ASSERT_FALSE(tooBigDisk.Prepare(m_dir.Dir(), "u/big", existed, false, &host));
    EXPECT_EQ(host.m_shown, std::vector<std::string>{kTooLong});
    EXPECT_EQ(ReadFile(m_dir / "u/big"), std::string(11, 'b'));  // never touched
}

TEST_F(Storage, AnsweringNoStopsBeforeAnyFileIsOpened) {
    WriteFile(m_dir / "t/one", "1");
    FileList list;
    Layout(list, {{"t/zero-missing", 5}, {"t/one", 1}});
    velbrook::FileStorage disk(list);
    m_host.m_answers = {MessageAnswer::No};
    bool existed = false;
    EXPECT_FALSE(disk.Prepare(m_dir.Dir(), "t", existed, true, &m_host));
    // The first file was prepared before the question came up at the second.
    EXPECT_TRUE(std::filesystem::exists(m_dir / "t/zero-missing"));
    EXPECT_FALSE(disk.IsOpen(1));
    EXPECT_FALSE(existed);

    // Without the setting the question is never asked.
    m_settings.SetInt(PromptExistFileFirstTime, 0);
    FakeMessageHost quiet;
    FileList again;
    Layout(again, {{"t/one", 1}});
    velbrook::FileStorage againDisk(again);
    EXPECT_TRUE(againDisk.Prepare(m_dir.Dir(), "one", existed, true, &quiet));
    EXPECT_TRUE(quiet.m_shown.empty());
}

TEST_F(Storage, AllocationReservesTheWholeFile) {
    m_settings.SetInt(AllocateBeforeDownload, 1);
    WriteFile(m_dir / "t/short", "abc");
    FileList list;
    Layout(list, {{"t/new", 1000}, {"t/short", 5000}});
    velbrook::FileStorage disk(list);
    bool existed = false;
    ASSERT_TRUE(disk.Prepare(m_dir.Dir(), "t", existed, false, &m_host));
    struct stat st {};
    ASSERT_EQ(::stat((m_dir / "t/new").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 1000);
    EXPECT_GE(st.st_blocks * 512, 1000);                         // really reserved, not a hole
    EXPECT_EQ(ReadFile(m_dir / "t/short").substr(0, 3), "abc");  // existing bytes kept
    EXPECT_EQ(std::filesystem::file_size(m_dir / "t/short"), 5000u);
}

TEST_F(Storage, ZeroLengthFilesAreCreatedAndTakeNoFurtherPart) {
    FileList list;
    Layout(list, {{"t/empty", 0}, {"t/sub/empty2", 0}, {"t/data", 4}});
    velbrook::FileStorage disk(list);
    bool existed = false;
    ASSERT_TRUE(disk.Prepare(m_dir.Dir(), "t", existed, false, &m_host));
    EXPECT_TRUE(std::filesystem::exists(m_dir / "t/empty"));
    EXPECT_TRUE(std::filesystem::exists(m_dir / "t/sub/empty2"));
    EXPECT_FALSE(disk.IsOpen(0));
    ASSERT_TRUE(disk.WriteSpan(0, 4, "data"));
    EXPECT_EQ(ReadFile(m_dir / "t/data"), "data");
}

TEST_F(Storage, MissingSaveFolderIsNotCreated) {
    FileList list;
    Layout(list, {{"t/a", 4}, {"t/b", 4}});
    velbrook::FileStorage disk(list);
    bool existed = false;
    const std::string missing = m_dir / "no/such/folder";
    EXPECT_FALSE(disk.Prepare(missing, "t", existed, false, &m_host));
    EXPECT_FALSE(std::filesystem::exists(missing));
    ASSERT_EQ(m_host.m_shown.size(), 1u) << m_host.m_shown[0];
    EXPECT_EQ(m_host.m_shown[0].rfind("Can't open file " + missing + "/t/a, error = ", 0), 0u);
    EXPECT_EQ(m_host.m_shown[0].substr(m_host.m_shown[0].size() - 2), "\r\n");
}

TEST_F(Storage, SingleFileTakesTheChosenName) {
    FileList list;
    Layout(list, {{"orig.bin", 3}});
    velbrook::FileStorage disk(list);
    bool existed = false;
    ASSERT_TRUE(disk.Prepare(m_dir.Dir(), "chosen.bin", existed, false, &m_host));
    EXPECT_EQ(list.m_savePath, m_dir / "chosen.bin");
    ASSERT_TRUE(disk.WriteSpan(0, 3, "abc"));
    EXPECT_EQ(ReadFile(m_dir / "chosen.bin"), "abc");
    EXPECT_FALSE(std::filesystem::exists(m_dir / "orig.bin"));
}

TEST_F(Storage, ChecksPiecesFromDisk) {
    FileList list;
    Layout(list, {{"t/a", 20}, {"t/b", 12}}, 16);
    velbrook::FileStorage disk(list);
    std::string data;
    for (int i = 0; i < 32; ++i) {
        data += static_cast<char>('A' + i);
    }
    list.m_pieceHashes = SHA1::Digest(data.substr(0, 16)) + SHA1::Digest(data.substr(16));
    bool existed = false;
    ASSERT_TRUE(disk.Prepare(m_dir.Dir(), "t", existed, false, &m_host));
    ASSERT_TRUE(disk.WriteSpan(0, 32, data.data()));
    EXPECT_TRUE(disk.CheckSpan(0, 16, list.PieceHash(0)));
    EXPECT_TRUE(disk.CheckSpan(16, 16, list.PieceHash(1)));  // spans both files
    const std::string hash = std::string(list.PieceHash(0));
    EXPECT_FALSE(disk.CheckSpan(0, 16, hash.substr(0, 19)));
    EXPECT_FALSE(disk.CheckSpan(0, 16, hash + "x"));
    ASSERT_TRUE(disk.WriteSpan(20, 1, "!"));  // corrupt one byte of the second piece
    EXPECT_TRUE(disk.CheckSpan(0, 16, list.PieceHash(0)));
    EXPECT_FALSE(disk.CheckSpan(16, 16, list.PieceHash(1)));
}

TEST_F(Storage, ReadOnlySwitchAndReopenOnLaterWrite) {
    FileList list;
    Layout(list, {{"t/a", 4}, {"t/b", 4}});
    velbrook::FileStorage disk(list);
    bool existed = false;
    ASSERT_TRUE(disk.Prepare(m_dir.Dir(), "t", existed, false, &m_host));
    ASSERT_TRUE(disk.WriteSpan(0, 8, "abcdefgh"));
    disk.SwitchAllToReadOnly();
    EXPECT_TRUE(disk.IsReadOnly(0));
    EXPECT_TRUE(disk.IsReadOnly(1));
    // While we only read, another reader may open the files but no writer can.
    FileList other;
    Layout(other, {{"t/a", 4}});
    velbrook::FileStorage otherDisk(other);
    EXPECT_EQ(otherDisk.OpenForCheck(m_dir.Dir()), 1u);
    otherDisk.CloseAll();
    ASSERT_TRUE(disk.WriteSpan(2, 3, "XYZ"));
    EXPECT_FALSE(disk.IsReadOnly(0));
    EXPECT_EQ(ReadFile(m_dir / "t/a"), "abXY");
    EXPECT_EQ(ReadFile(m_dir / "t/b"), "Zfgh");
}

TEST_F(Storage, AWriterLocksOthersOut) {
    FileList first;
    Layout(first, {{"t/a", 4}});
    velbrook::FileStorage firstDisk(first);
    bool existed = false;
    ASSERT_TRUE(firstDisk.Prepare(m_dir.Dir(), "t", existed, false, &m_host));
    FileList second;
    Layout(second, {{"t/a", 4}});
    velbrook::FileStorage secondDisk(second);
    FakeMessageHost host;
    EXPECT_FALSE(secondDisk.Prepare(m_dir.Dir(), "t", existed, false, &host));
    ASSERT_EQ(host.m_shown.size(), 1u);
    EXPECT_NE(host.m_shown[0].find("error = 11"), std::string::npos) << host.m_shown[0];
    EXPECT_EQ(secondDisk.OpenForCheck(m_dir.Dir()), 0u);
}

TEST_F(Storage, NamesThatLeaveTheSaveFolderAreRefused) {
    const std::string save = m_dir / "save";
    std::filesystem::create_directories(save);
    for (const std::string evil : {"../evil", "t/../../evil", "/tmp/evil-abs", "t//x", "t/./x"}) {
        FileList list;
        Layout(list, {{evil, 4}});
        velbrook::FileStorage disk(list);
        list.m_singleFile = false;  // a status file can say anything
        bool existed = false;
        FakeMessageHost host;
        EXPECT_FALSE(disk.Prepare(save, "t", existed, false, &host)) << evil;
        EXPECT_EQ(disk.OpenForCheck(save), 0u) << evil;
    }
    EXPECT_FALSE(std::filesystem::exists(m_dir / "evil"));
    EXPECT_FALSE(std::filesystem::exists("/tmp/evil-abs"));
}

TEST_F(Storage, AShortWriteIsAFailedWrite) {
    FileList list;
    Layout(list, {{"t/a", 1 << 20}});
    velbrook::FileStorage disk(list);
    bool existed = false;
    ASSERT_TRUE(disk.Prepare(m_dir.Dir(), "t", existed, false, &m_host));
    const std::string block(64 * 1024, 'x');
    // A file size limit in a child process makes the kernel cut the write short, as a full disk
    // would.
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{100000, 100000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const bool first = disk.WriteSpan(0, 65536, block.data());
        const bool second = disk.WriteSpan(65536, 65536, block.data());
        // The failure names the file and the reason, for the torrent's status text.
        const bool told = disk.LastFault().Describe() == (m_dir / "t") + ": File too large";
        ::_exit(first && !second && told ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Every storage of the process shares one bounded set of descriptors: a torrent of many files (or
// many torrents) opens its files as it uses them, the least recently used closing first.
TEST_F(Storage, OpenFilesAreBoundedAcrossTorrentsAndReopenedOnDemand) {
    const size_t limit = velbrook::FileStorage::OpenLimit();
    velbrook::FileStorage::SetOpenLimit(3);
    FileList one;
    FileList two;
    Layout(one, {{"one/a", 4}, {"one/b", 4}, {"one/c", 4}});
    Layout(two, {{"two/a", 4}, {"two/b", 4}});
    WriteFile(m_dir / "one/c", "old!");
    const auto lengths = velbrook::FileStorage(one).LengthsOnDisk(m_dir.Dir(), "");
    EXPECT_EQ(lengths, (std::vector<int64_t>{-1, -1, 4}));
    {
        velbrook::FileStorage first(one);
        velbrook::FileStorage second(two);
        bool existed = false;
        ASSERT_TRUE(first.Prepare(m_dir.Dir(), "", existed, false, &m_host));
        ASSERT_TRUE(second.Prepare(m_dir.Dir(), "", existed, false, &m_host));
        EXPECT_EQ(velbrook::FileStorage::OpenCount(), 3u);
        ASSERT_TRUE(first.WriteSpan(0, 12, "abcdefghijkl"));
        ASSERT_TRUE(second.WriteSpan(0, 8, "ABCDEFGH"));
        EXPECT_EQ(velbrook::FileStorage::OpenCount(), 3u);
        EXPECT_FALSE(first.IsOpen(0));
        char back[13] = {};
        ASSERT_TRUE(first.ReadSpan(0, 12, back));
        EXPECT_STREQ(back, "abcdefghijkl");
        EXPECT_TRUE(first.SyncAll());
    }
    EXPECT_EQ(velbrook::FileStorage::OpenCount(), 0u);
    EXPECT_EQ(ReadFile(m_dir / "two/b"), "EFGH");
    velbrook::FileStorage::SetOpenLimit(limit);
}

}  // namespace
}  // namespace velbrook
