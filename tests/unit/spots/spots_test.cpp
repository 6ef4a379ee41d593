#include "spots/spots.h"

#include "spots/spot_state.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <fstream>
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

// A spot kept by a run that did not keep spot statuses comes back in the colour it was shown in
// once a QSO that worked it is deleted, not in the colour of a status it never had.
TEST(Spots, AKeptSpotWithoutItsStatusGetsItsOwnColourBackWhenItsQsoGoes) {
    testfiles::TempFolder folder;
    BridgeSettings settings;
    settings.stateFile = folder.path() / kSpotStateFileName;
    settings.SpotNewQSOColour = 0xFF000007;
    SpotTable table;
    SpotEntry kept;
    kept.dxcall = "K1ABC";
    kept.mode = "cw";
    kept.comment = "CW";
    kept.frequencyHz = 14025300.0;
    kept.n1mmKHz = 14025.3;
    kept.kind = ModeKind::cw;
    kept.colour = settings.SpotCQColour;
    kept.status = kNoneText;
    const std::int64_t now = platform::systemClock().steadyMillis() / 1000;
    kept.received = now;
    table.add(kept);
    std::ofstream(settings.stateFile, std::ios::binary) << spotStateDocument(
        spotStateImage(table, PendingDeletes(), now, platform::systemClock().wallSeconds(), 0));
    Spots spots(settings);
    spots.open(platform::systemClock());
    ContactFields qso{ContactFields::Kind::info, "q1", "K1ABC", "14", "0", "CW", ""};
    ASSERT_EQ(spots.takeContact(qso).size(), 1u);
    EXPECT_EQ(spots.table().find("K1ABC")->colour, settings.SpotDupeColour);
    qso.kind = ContactFields::Kind::remove;
    ASSERT_EQ(spots.takeContact(qso).size(), 1u);
    EXPECT_EQ(spots.table().find("K1ABC")->colour, settings.SpotCQColour);
    spots.close();
}
