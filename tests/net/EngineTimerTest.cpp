#include "net/EngineTimer.h"
#include "net/Reactor.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>
#include <memory>

namespace velbrook {
namespace {

class Owner : public TimerOwner {
public:
    std::function<void()> handler;
    int fired = 0;
    void OnTimer(TimerKind) override {
        ++fired;
        handler();
    }
};

// The second timer's tick is already due when the first handler destroys it: its id must then
// find nothing, or its owner would be called after it is gone.
TEST(EngineTimer, AHandlerMayDestroyAnotherDueTimer) {
    Reactor reactor;
    Owner owner, otherOwner;
    auto first = std::make_unique<EngineTimer>(owner);
    auto second = std::make_unique<EngineTimer>(otherOwner);
    owner.handler = [&] { second.reset(); };
    otherOwner.handler = [&] { first.reset(); };
    first->Start(10, kTimerUpload);
    second->Start(10, kTimerUpload);
    usleep(30'000);  // both are due in the same pass
    reactor.RunOnce(0);
    EXPECT_EQ(owner.fired + otherOwner.fired, 1);
    EXPECT_NE(!first, !second);
    EXPECT_EQ(EngineTimer::MapSize(), 1u);
}

}  // namespace
}  // namespace velbrook
