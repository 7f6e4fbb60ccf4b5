#include "storage/RateMeter.h"

#include <gtest/gtest.h>

namespace velbrook {
namespace {

TEST(RateMeter, AveragesOverAWindowPulledBackToTenSecondsWithoutOverflow) {
    int64_t now = 0;
    RateMeter meter([&] { return now; });
    EXPECT_EQ(meter.Update(1000), 0u);  // no time has passed
    now = 2;
    EXPECT_EQ(meter.Update(1000), 500u);  // the first call's bytes are not in the rate
    now = 11;
    EXPECT_EQ(meter.Update(0), 90u);  // window start moves to 1
    now = 12;
    EXPECT_EQ(meter.Update(0), 81u);  // and to 2
    for (int s = 13; s <= 40; ++s) {
        now = s;
        meter.Update(UINT32_MAX / 4);
    }
    EXPECT_EQ(meter.Total(), 2000 + int64_t{28} * (UINT32_MAX / 4));
    EXPECT_GT(meter.GetRate(), UINT32_MAX / 8);
}

}  // namespace
}  // namespace velbrook
