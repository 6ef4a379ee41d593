#include "spots/spots.h"

#include "temp_folder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

SpotFields spotFields(const std::string& call, const std::string& status) {
    SpotFields f;
    f.dxcall = call;
    f.frequency = "14025.0";
    f.comment = "CW";
    f.action = "add";
    f.status = status;
    return f;
}

} // namespace

// The spots kept between runs are shown or hidden as SpotHiddenStatuses says at the next start,
// and a worked mark comes through as well.
TEST(Spots, KeptSpotsFollowTheHiddenStatusesOfTheNextRun) {
    testfiles::TempFolder folder;
    BridgeSettings settings;
    settings.stateFile = folder.path() / "Tarnwick.spots.xml";
    settings.SpotHiddenStatuses = "busy";
    // Arrival on the loop's clock, which counts from the machine's start: not 0, which is older
    // than SpotLifeTime on a machine up for more than two hours.
    const std::int64_t now = platform::systemClock().steadyMillis() / 1000;
    {
        Spots spots(settings);
        spots.open(platform::systemClock());
        spots.takeSpot(spotFields("BUSY", "busy"), now);
        spots.takeSpot(spotFields("CQ", "cq"), now);
        spots.takeSpot(spotFields("WORKED", "cq"), now);
        const std::vector<SpotSend> sends = spots.takeContact(
            {ContactFields::Kind::info, "q1", "WORKED", "14", "0", "CW", "2026-12-09 14:00:00"});
        ASSERT_EQ(sends.size(), 1u);
        EXPECT_EQ(spots.table().find("WORKED")->colour, settings.SpotDupeColour);
        spots.close();
    }
    settings.SpotHiddenStatuses = "cq, dupe";
    Spots again(settings);
    again.open(platform::systemClock());
    ASSERT_EQ(again.size(), 3u);
    EXPECT_FALSE(again.table().find("BUSY")->hidden);
    EXPECT_TRUE(again.table().find("CQ")->hidden);
    EXPECT_TRUE(again.table().find("WORKED")->hidden);
    EXPECT_EQ(again.table().find("WORKED")->colour, settings.SpotDupeColour);
    again.close();
}
