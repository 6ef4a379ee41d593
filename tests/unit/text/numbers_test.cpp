#include "text/numbers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

namespace {

TEST(LeadingNumbers, IntegersAsTheRadioAndDdsUseThem) {
    EXPECT_EQ(leadingInteger("1420000"), 1420000);
    EXPECT_EQ(leadingInteger("  -12abc"), -12);
    EXPECT_EQ(leadingInteger("+7"), 7);
    EXPECT_EQ(leadingInteger("14,074"), 14);
    EXPECT_EQ(leadingInteger("0x10"), 0);
    EXPECT_EQ(leadingInteger("2147483647"), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(leadingInteger("-2147483648"), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(leadingInteger("2147483648"), std::nullopt);
    EXPECT_EQ(leadingInteger("-2147483649"), std::nullopt);
    EXPECT_EQ(leadingInteger("99999999999999999999999999"), std::nullopt);
    EXPECT_EQ(leadingInteger("<none>"), std::nullopt);
    EXPECT_EQ(leadingInteger(""), std::nullopt);
    EXPECT_EQ(leadingInteger("+-5"), std::nullopt);
    EXPECT_EQ(leadingInteger("-"), std::nullopt);
}

TEST(LeadingNumbers, SpotFrequencies) {
    EXPECT_EQ(leadingDouble("144300.5"), 144300.5);
    EXPECT_EQ(leadingDouble(" 14074.0 kHz"), 14074.0);
    EXPECT_EQ(leadingDouble(".5"), 0.5);
    EXPECT_EQ(leadingDouble("-3.25"), -3.25);
    EXPECT_EQ(leadingDouble("14,074"), 14.0); // the point is '.', a comma ends the number
    EXPECT_EQ(leadingDouble("1e3"), 1000.0);
    EXPECT_EQ(leadingDouble("<none>"), std::nullopt);
    EXPECT_EQ(leadingDouble(""), std::nullopt);
    EXPECT_EQ(leadingDouble("."), std::nullopt);
    EXPECT_EQ(leadingDouble("inf"), std::nullopt);
    EXPECT_EQ(leadingDouble("nan"), std::nullopt);
    EXPECT_EQ(leadingDouble("1e999"), std::nullopt);
}

} // namespace
