#include "net/EngineTimer.h"
#include "net/Reactor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <unistd.h>

namespace velbrook {
namespace {

class Owner : public TimerOwner {
public:
    std::function<void(TimerKind)> handler;
    std::map<TimerKind, int> fired;
    void OnTimer(TimerKind kind) override {
        ++fired[kind];
        if (handler)
            handler(kind);
    }
};

class EngineTimerTest : public ::testing::Test {
protected:
    bool RunUntil(const std::function<bool()>& done) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done() && std::chrono::steady_clock::now() < end)
            reactor.RunOnce(10);
        return done();
    }

    Reactor reactor;
    Owner owner;
};

TEST_F(EngineTimerTest, HandlersRestartAndStopTheirOwnTimer) {
    EngineTimer timer(owner);
    uint64_t firstId = 0;
    owner.handler = [&](TimerKind kind) {
        if (kind == kTimerUpload) {
            firstId = timer.Id();
            timer.Start(15, kTimerChoke);  // the new period and kind replace the old ones
            EXPECT_NE(timer.Id(), firstId);
            EXPECT_EQ(EngineTimer::MapSize(), 1u);
        } else {
            timer.Stop();
        }
    };
    timer.Start(10, kTimerUpload);
    EXPECT_TRUE(RunUntil([&] { return !timer.IsActive(); }));
    for (int i = 0; i < 3; ++i)
        reactor.RunOnce(20);
    EXPECT_EQ(owner.fired[kTimerUpload], 1);
    EXPECT_EQ(owner.fired[kTimerChoke], 1);
    EXPECT_EQ(EngineTimer::MapSize(), 0u);
    EXPECT_EQ(reactor.TimerCount(), 0u);

    EngineTimer::Dispatch(firstId);  // an id from before the restart finds nothing
    EXPECT_EQ(owner.fired[kTimerUpload], 1);
}

TEST_F(EngineTimerTest, StaleIdsAndUnknownKindsDispatchNothing) {
    EngineTimer timer(owner);
    timer.Start(60'000, kTimerAnnounce);
    uint64_t stale = timer.Id();
    timer.Stop();
    EngineTimer::Dispatch(stale);
    EXPECT_TRUE(owner.fired.empty());

    timer.Start(60'000, kTimerRefreshFiles);
    EngineTimer::Dispatch(stale);
    EngineTimer::Dispatch(timer.Id());
    EXPECT_EQ(owner.fired[kTimerRefreshFiles], 1);
    EXPECT_EQ(owner.fired.size(), 1u);

    owner.fired.clear();
    for (int kind : {-1, 8}) {
        timer.Start(60'000, kind);
        EngineTimer::Dispatch(timer.Id());
    }
    EXPECT_TRUE(owner.fired.empty());
    {
        EngineTimer scoped(owner);
        scoped.Start(60'000, kTimerChoke);
        EXPECT_EQ(EngineTimer::MapSize(), 2u);
    }
    EXPECT_EQ(EngineTimer::MapSize(), 1u);
    EXPECT_EQ(reactor.TimerCount(), 1u);
}

TEST_F(EngineTimerTest, AHandlerMayDestroyAnotherDueTimer) {
    Owner otherOwner;
    auto first = std::make_unique<EngineTimer>(owner);
    auto second = std::make_unique<EngineTimer>(otherOwner);
    owner.handler = [&](TimerKind) { second.reset(); };
    otherOwner.handler = [&](TimerKind) { first.reset(); };
    first->Start(10, kTimerUpload);
    second->Start(10, kTimerUpload);
    usleep(30'000);  // both are due in the same pass
    reactor.RunOnce(0);
    EXPECT_EQ(owner.fired[kTimerUpload] + otherOwner.fired[kTimerUpload], 1);
    EXPECT_NE(!first, !second);
    EXPECT_EQ(EngineTimer::MapSize(), 1u);
}

}  // namespace
}  // namespace velbrook
