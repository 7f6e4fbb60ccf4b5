// Our node in a private DHT of python3-libtorrent sessions on 127.0.0.1.
#include "dht/DhtNode.h"

#include <gtest/gtest.h>

#include <sstream>

#include "metainfo/SHA1.h"
#include "support/ChildProcess.h"
#include "support/Loopback.h"
#include "support/TempDir.h"

using namespace velbrook;

namespace {

std::vector<std::string> StatusLines(const std::string& path, const std::string& kind) {
    std::vector<std::string> lines;
    std::istringstream in(test::ReadFile(path));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(kind + " ", 0) == 0) {
            lines.push_back(line.substr(kind.size() + 1));
        }
    }
    return lines;
}

}  // namespace

TEST(DhtInterop, FindsALibtorrentSeederAndIsFoundByLibtorrent) {
    test::TempDir dir;
    const std::string status = dir / "status";
    test::ChildProcess swarm({"/usr/bin/python3",
                              std::string(VELBROOK_SOURCE_DIR) + "/tests/dht/lt_dht_swarm.py",
                              dir.Dir()});
    Reactor reactor;
    ASSERT_TRUE(test::RunUntil(
        reactor, [&] { return !StatusLines(status, "seed").empty(); }, 60));
    std::istringstream nodes(StatusLines(status, "nodes").at(0));
    DhtOptions options;
    options.ipv6 = false;
    for (std::string port; nodes >> port;) {
        options.routers.push_back("127.0.0.1:" + port);
    }
    std::istringstream seed(StatusLines(status, "seed").at(0));
    std::string seedHex;
    std::string seedPort;
    seed >> seedHex >> seedPort;
    DhtNode node(reactor, options);
    std::string why;
    ASSERT_TRUE(node.Start(why)) << why;

    // The seeder's own DHT announce comes when its session is ready: ask until it is there.
    const std::string seedHash = HexToBytes(seedHex);
    const std::string ourHash = SHA1::Digest("velbrook interop");
    bool foundSeeder = false;
    std::unique_ptr<DhtSearch> search;
    bool searching = false;
    // One lookup every two seconds at most: libtorrent blocks an address that asks it more
    // than 5 times a second, and every node here shares 127.0.0.1.
    auto last = std::chrono::steady_clock::now() - std::chrono::seconds(2);
    const auto start = [&](const std::string& hash, uint16_t port) {
        if (std::chrono::steady_clock::now() - last < std::chrono::seconds(2)) {
            return;
        }
        last = std::chrono::steady_clock::now();
        searching = true;
        search = node.FindPeers(
            hash, port,
            [&](const std::vector<DhtPeer>& peers) {
                for (const DhtPeer& peer : peers) {
                    foundSeeder = foundSeeder || (peer.address == "127.0.0.1" &&
                                                  std::to_string(peer.port) == seedPort);
                }
            },
            [&] { searching = false; });
    };
    EXPECT_TRUE(test::RunUntil(
        reactor,
        [&] {
            if (!searching && !foundSeeder) {
                start(seedHash, 0);
            }
            return foundSeeder;
        },
        90));

    // Announced at 4242 under a hash of our own; libtorrent's get_peers finds it.
    test::WriteFile(dir / "ask", BytesToHex(ourHash) + "\n");
    const std::string wanted = BytesToHex(ourHash) + " 127.0.0.1:4242";
    EXPECT_TRUE(test::RunUntil(
        reactor,
        [&] {
            if (!searching) {
                start(ourHash, 4242);
            }
            const std::vector<std::string> found = StatusLines(status, "found");
            return std::find(found.begin(), found.end(), wanted) != found.end();
        },
        90));
    EXPECT_GT(node.NodeCount(), 0u);
}
