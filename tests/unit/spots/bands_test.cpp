#include "spots/bands.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

using Radios = std::vector<std::optional<double>>;

// Which spots an SDR is sent, by the radios it serves: the bands of those reported, and every
// spot while none has brought a band.
TEST(BandFilter, PassesTheSpotsOnTheBandsOfTheRadiosItServes) {
    const struct {
        const char* what;
        Radios radios;
        double spotKHz;
        bool passes;
    } cases[] = {
        {"no radio reported yet", {std::nullopt}, 7012.0, true},
        {"on the radio's band", {14074.0}, 14350.0, true},
        {"below the band's edge", {14074.0}, 13999.9, true}, // on no band: every SDR
        {"on another band", {14074.0}, 7012.0, false},
        {"spot frequency not known", {14074.0}, 0.0, true},
        {"radio between bands", {3000.0}, 7012.0, true},
        {"one of two radios reported", {14074.0, std::nullopt}, 7012.0, false},
        {"the second radio's band", {14074.0, 7030.0}, 7012.0, true},
        {"neither radio's band", {14074.0, 7030.0}, 21012.0, false},
        {"both radios on one band", {14074.0, 14200.0}, 21012.0, false},
        {"a transverter band", {1296200.0}, 1296050.0, true},
        {"off a transverter band", {1296200.0}, 432100.0, false},
    };
    for (const auto& c : cases) {
        const BandFilter filter = BandFilter::ofRadios(c.radios);
        EXPECT_EQ(filter.passes(c.spotKHz), c.passes) << c.what;
    }
    EXPECT_TRUE(BandFilter().passesAll());
    EXPECT_EQ(BandFilter::ofRadios({std::nullopt, 3000.0}), BandFilter());
}

// A radio that moves within its band changes nothing; one that changes band does.
TEST(BandFilter, IsTheSameWhileTheRadiosStayOnTheirBands) {
    EXPECT_EQ(BandFilter::ofRadios({14001.0}), BandFilter::ofRadios({14349.0}));
    EXPECT_NE(BandFilter::ofRadios({14001.0}), BandFilter::ofRadios({7001.0}));
    EXPECT_EQ(BandFilter::ofRadios({14074.0, 14200.0}), BandFilter::ofRadios({14010.0}));
    EXPECT_EQ(BandFilter().describe(), "every band");
    EXPECT_EQ(BandFilter::ofRadios({14074.0, 1850.0}).describe(), "14 and 1.8 MHz");
}

} // namespace
