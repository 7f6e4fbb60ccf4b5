#include "engine/SingleInstance.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <future>

#include "support/OtherUser.h"
#include "support/TempDir.h"

namespace velbrook {
namespace {

using Role = SingleInstance::Role;

// The later copy (on a thread, as it would be in a process of its own) hears torrent by torrent
// whether the running copy listed it; its relative paths arrive absolute, with its save folder,
// and a magnet link as it is, on one line.
TEST(SingleInstance, TheHandingCopyHearsWhichTorrentsWereListed) {
    test::TempDir profile;
    SingleInstance running(profile.Dir());
    ASSERT_EQ(running.Claim({}), Role::Primary);
    auto later = std::async(std::launch::async, [&profile] {
        SingleInstance copy(profile.Dir());
        return std::make_pair(
            copy.Claim({"/in/good.torrent", "rel/bad.torrent", "magnet:?xt=x&dn=a\nb"}, "/save"),
            copy.NotListed());
    });
    std::vector<HandedTorrent> opened;
    while (later.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) {
        running.Serve([&](const HandedTorrent& torrent) {
            opened.push_back(torrent);
            return torrent.path.ends_with("good.torrent") || torrent.path.starts_with("magnet:");
        });
    }
    const std::string bad = std::filesystem::current_path().string() + "/rel/bad.torrent";
    EXPECT_EQ(later.get(), std::make_pair(Role::HandedOff, std::vector<std::string>{bad}));
    ASSERT_EQ(opened.size(), 3u);
    EXPECT_EQ(opened[1].path, bad);
    EXPECT_EQ(opened[1].saveFolder, "/save");
    EXPECT_EQ(opened[2].path, "magnet:?xt=x&dn=a%0Ab");
}

// A profile that cannot be written is named as such, not taken for a copy out of reach.
TEST(SingleInstance, AProfileThatCannotBeWrittenIsSaidToBeSo) {
    test::TempDir profile;
    ASSERT_EQ(::chmod(profile.Dir().c_str(), 0555), 0);
    SingleInstance copy(profile.Dir());
    Role role = Role::Primary;
    test::AsOtherUser([&] { role = copy.Claim({"/in/a.torrent"}); });
    EXPECT_EQ(role, Role::Unwritable);
    EXPECT_EQ(copy.WriteError(), EACCES);
}

}  // namespace
}  // namespace velbrook
