#include "metainfo/TorrentFile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>

#include "support/TempDir.h"

namespace velbrook {
namespace {

// A named pipe where a .torrent file is expected (a path a remote sends, a file swapped in a
// watched folder) is refused at once: waiting for a writer would stall the whole engine.
TEST(TorrentFile, APipeIsRefusedWithoutWaitingForAWriter) {
    test::TempDir dir;
    const std::string fifo = dir / "x.torrent";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string error;
    auto read = std::async(std::launch::async, [&] {
        std::string bytes;
        return ReadFileLimited(fifo, kMaxTorrentFileSize, bytes, error);
    });
    if (read.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        // Lets the blocked reader go, so the test ends and says why.
        const int writer = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        ::close(writer);
        ADD_FAILURE() << "the read waited for a writer";
    }
    EXPECT_FALSE(read.get());
    EXPECT_EQ(error, "not a regular file");
}

}  // namespace
}  // namespace velbrook
