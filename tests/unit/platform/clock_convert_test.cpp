#include "platform/clock.h"

#include <gtest/gtest.h>

namespace {

TEST(ClockConvert, BrokenDownUtcTimeToEpochMillis) {
    EXPECT_EQ(platform::toEpochMillis({1970, 1, 1, 0, 0, 0, 0}), 0);
    EXPECT_EQ(platform::toEpochMillis({2000, 2, 29, 12, 0, 0, 5}), 951825600005);
    EXPECT_EQ(platform::toEpochMillis({2026, 12, 8, 14, 47, 0, 999}), 1796741220999);
}

TEST(ClockConvert, AgreesWithTheEpochClock) {
    const std::int64_t before = platform::epochSeconds();
    const std::int64_t millis = platform::toEpochMillis(platform::utcNow());
    const std::int64_t after = platform::epochSeconds();
    EXPECT_GE(millis / 1000, before);
    EXPECT_LE(millis / 1000, after);
}

} // namespace
