#include "storage/RateMeter.h"

#include <gtest/gtest.h>

#include "support/ManualClock.h"

namespace velbrook {
namespace {

using namespace std::chrono_literals;

TEST(RateMeter, AveragesOverAWindowPulledBackToTenSecondsWithoutOverflow) {
    test::ManualClock clock;
    RateMeter meter(clock);
    EXPECT_EQ(meter.Update(1000), 0u);  // no time has passed
    clock.Advance(2s);
    EXPECT_EQ(meter.Update(1000), 500u);  // the first call's bytes are not in the rate
    clock.Advance(9s);
    EXPECT_EQ(meter.Update(0), 90u);  // window start moves to 1
    clock.Advance(1s);
    EXPECT_EQ(meter.Update(0), 81u);  // and to 2
    for (int s = 13; s <= 40; ++s) {
        clock.Advance(1s);
        meter.Update(UINT32_MAX / 4);
    }
    EXPECT_EQ(meter.Total(), 2000 + int64_t{28} * (UINT32_MAX / 4));
    EXPECT_GT(meter.GetRate(), UINT32_MAX / 8);
}

// The views read rates many times a second; what they read must not depend on how often.
TEST(RateMeter, ReadingTheRateLeavesTheMeterAsItWas) {
    test::ManualClock clock;
    RateMeter meter(clock);
    meter.Update(1000);
    clock.Advance(2s);
    meter.Update(1000);
    clock.Advance(9s);
    EXPECT_EQ(meter.Rate(), 90u);
    EXPECT_EQ(meter.Rate(), 90u);
    EXPECT_EQ(meter.GetRate(), 500u);
    clock.Advance(1s);
    EXPECT_EQ(meter.Update(0), 83u);  // the window never moved to second 1
}

}  // namespace
}  // namespace velbrook
