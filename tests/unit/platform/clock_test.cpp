#include "platform/clock.h"

#include <gtest/gtest.h>

namespace {

using namespace platform;

TEST(ClockTest, TickAdvancesAcrossASleep) {
    std::uint32_t before = tickMillis();
    sleepMillis(20);
    std::uint32_t elapsed = tickMillis() - before; // unsigned: correct across a wrap
    // GetTickCount moves in steps of up to about 16 ms.
    EXPECT_GE(elapsed, 10u);
    EXPECT_LT(elapsed, 5000u);
}

// A clock on which every reading is a second later than the last: a sleep takes an age.
class SlowSleepClock final : public Clock {
public:
    std::int64_t steadyMillis() const override { return readings++ * 1000; }
    std::int64_t wallSeconds() const override { return 0; }
    mutable std::int64_t readings = 0;
};

// The limit is what the clock says has passed, however few sleeps that took.
TEST(ClockTest, WaitUntilEndsAtTheLimitOnTheClockOrWhenDone) {
    SlowSleepClock clock;
    int asked = 0;
    EXPECT_FALSE(waitUntil([&] { return ++asked > 1000; }, 4500, clock, 1));
    EXPECT_EQ(clock.readings, 6); // the start, then once after each of 5 sleeps
    EXPECT_EQ(asked, 5);

    clock.readings = 0;
    asked = 0;
    EXPECT_TRUE(waitUntil([&] { return ++asked == 3; }, 4500, clock, 1));
    EXPECT_EQ(asked, 3);
}

TEST(ClockTest, UtcTimeAndEpochSecondsAgree) {

    std::int64_t seconds = epochSeconds();
    UtcTime now = utcNow();
    // Between 2020-01-01 and 2100-01-01.
    EXPECT_GT(seconds, 1577836800);
    EXPECT_LT(seconds, 4102444800);
    EXPECT_GE(now.milliseconds, 0);
    EXPECT_LE(now.milliseconds, 999);
    EXPECT_GE(now.month, 1);
    EXPECT_LE(now.month, 12);
    EXPECT_GE(now.day, 1);
    EXPECT_LE(now.day, 31);
    EXPECT_LE(now.hour, 23);
    EXPECT_LE(now.minute, 59);
    EXPECT_LE(now.second, 60);

    // Both clocks tell the same time of day (allowing for a second boundary in between).
    std::int64_t secondOfDay = ((seconds % 86400) + 86400) % 86400;
    std::int64_t utcSecondOfDay = now.hour * 3600 + now.minute * 60 + now.second;
    std::int64_t difference = (utcSecondOfDay - secondOfDay + 86400) % 86400;
    EXPECT_LE(difference, 2);
}

} // namespace
