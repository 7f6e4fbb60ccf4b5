#include "dht/PeerStore.h"

#include <gtest/gtest.h>

#include "dht/DhtTokens.h"
#include "support/ManualClock.h"

using namespace velbrook;

namespace {

SocketAddress Peer(int n, uint16_t port = 6881) {
    SocketAddress address;
    const std::string text = "10." + std::to_string(n / 65536 % 256) + "." +
                             std::to_string(n / 256 % 256) + "." + std::to_string(n % 256);
    EXPECT_TRUE(SocketAddress::FromText(text, port, address));
    return address;
}

std::string Hash(int n) {
    return std::string(16, 'h') + std::to_string(1000 + n);
}

}  // namespace

TEST(DhtTokens, ThePreviousSecretIsAcceptedTheOneBeforeIsNot) {
    test::ManualClock clock;
    DhtTokens tokens(clock);
    const std::string token = tokens.Make("127.0.0.1");
    EXPECT_TRUE(tokens.Accepts(token, "127.0.0.1"));
    EXPECT_FALSE(tokens.Accepts(token, "127.0.0.2"));
    clock.Advance(std::chrono::minutes(6));
    EXPECT_TRUE(tokens.Accepts(token, "127.0.0.1"));
    const std::string second = tokens.Make("127.0.0.1");
    clock.Advance(std::chrono::minutes(5));
    EXPECT_FALSE(tokens.Accepts(token, "127.0.0.1"));
    EXPECT_TRUE(tokens.Accepts(second, "127.0.0.1"));
    const std::string third = tokens.Make("127.0.0.1");
    // Idle for two periods: nothing made before passes, not even the last one made.
    clock.Advance(std::chrono::minutes(11));
    EXPECT_FALSE(tokens.Accepts(third, "127.0.0.1"));
}

TEST(PeerStore, PeersExpireAfter30MinutesAndAnswersHoldAtMost50) {
    Time now = Time() + std::chrono::hours(1);
    PeerStore store;
    for (int i = 0; i < 80; ++i) {
        store.Add(Hash(0), Peer(i), now);
    }
    store.Add(Hash(0), Peer(0, 7000), now);  // the same address at another port is another peer
    EXPECT_EQ(store.Get(Hash(0), AF_INET, now).size(), PeerStore::kMaxAnswer);
    EXPECT_TRUE(store.Get(Hash(0), AF_INET6, now).empty());
    EXPECT_EQ(store.PeerCount(), 81u);
    // Announcing again renews the peer.
    store.Add(Hash(0), Peer(5), now + std::chrono::minutes(20));
    now += PeerStore::kLifetime;
    const std::vector<SocketAddress> left = store.Get(Hash(0), AF_INET, now);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0], Peer(5));
    now += std::chrono::minutes(20);
    EXPECT_TRUE(store.Get(Hash(0), AF_INET, now).empty());
    EXPECT_EQ(store.HashCount(), 0u);
}

TEST(PeerStore, CapsDropTheOldestFirst) {
    Time now = Time() + std::chrono::hours(1);
    PeerStore store;
    for (int i = 0; i < 250; ++i) {
        store.Add(Hash(0), Peer(i), now + std::chrono::seconds(i));
    }
    EXPECT_EQ(store.PeerCount(), PeerStore::kMaxPerHash);
    // Peer 0..49 went; after the oldest 30 minutes pass, 50 more are gone.
    now += PeerStore::kLifetime + std::chrono::seconds(99);
    EXPECT_EQ(store.Get(Hash(0), AF_INET, now).size(), 50u);
    EXPECT_EQ(store.PeerCount(), 150u);

    PeerStore all;
    const Time start = Time() + std::chrono::hours(1);
    for (int i = 0; i < 2100; ++i) {
        for (int p = 0; p < 10; ++p) {
            all.Add(Hash(i), Peer(i * 10 + p), start + std::chrono::milliseconds(i * 10 + p));
        }
    }
    EXPECT_EQ(all.HashCount(), PeerStore::kMaxHashes);
    EXPECT_LE(all.PeerCount(), PeerStore::kMaxPeers);
    EXPECT_TRUE(all.Get(Hash(0), AF_INET, start).empty());
    EXPECT_EQ(all.Get(Hash(2099), AF_INET, start).size(), 10u);
}
