#include "storage/RateMeter.h"

#include <gtest/gtest.h>

#include "support/ManualClock.h"

namespace velbrook {
namespace {

using namespace std::chrono_literals;

// The views read rates many times a second (here on `read`); what they read must not depend on
// how often.
TEST(RateMeter, AveragesOverAWindowPulledBackToTenSecondsWithoutOverflow) {
    test::ManualClock clock;
    RateMeter meter(clock);
    RateMeter read(clock);
    EXPECT_EQ(meter.Update(1000), 0u);  // no time has passed
    read.Update(1000);
    clock.Advance(2s);
    EXPECT_EQ(meter.Update(1000), 500u);  // the first call's bytes are not in the rate
    read.Update(1000);
    clock.Advance(9s);
    EXPECT_EQ(meter.Update(0), 90u);  // window start moves to 1
    EXPECT_EQ(read.Rate(), 90u);
    EXPECT_EQ(read.Rate(), 90u);
    EXPECT_EQ(read.GetRate(), 500u);
    clock.Advance(1s);
    EXPECT_EQ(meter.Update(0), 81u);  // and to 2
    EXPECT_EQ(read.Update(0), 83u);   // its window never moved to second 1
    for (int s = 13; s <= 40; ++s) {
        clock.Advance(1s);
        meter.Update(UINT32_MAX / 4);
    }
    EXPECT_EQ(meter.Total(), 2000 + int64_t{28} * (UINT32_MAX / 4));
    EXPECT_GT(meter.GetRate(), UINT32_MAX / 8);
}

}  // namespace
}  // namespace velbrook
