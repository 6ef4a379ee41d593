#include "spots/spot_look.h"

#include "spots/n1mm_datagram.h"
#include "spots/spot_relay.h"
#include "spots/spot_samples.h"
#include "spots/tci_spot_commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

namespace {

TEST(SpotColour, EachStatusWordHasItsSetting) {
    BridgeSettings settings;
    settings.SpotBusyColour = 1;
    settings.SpotBustColour = 2;
    settings.SpotCQColour = 3;
    settings.SpotDupeColour = 4;
    settings.SpotSingleMultColour = 5;
    settings.SpotDoubleMultColour = 6;
    settings.SpotNewQSOColour = 7;
    EXPECT_EQ(spotColour("busy", settings), 1);
    EXPECT_EQ(spotColour("bust", settings), 2);
    EXPECT_EQ(spotColour("cq", settings), 3);
    EXPECT_EQ(spotColour("dupe", settings), 4);
    EXPECT_EQ(spotColour("single mult", settings), 5);
    EXPECT_EQ(spotColour("double mult", settings), 6);
    EXPECT_EQ(spotColour("new qso", settings), 7);
    // Anything else, including N1MM+'s "qtc", gets the new-QSO colour.
    EXPECT_EQ(spotColour("qtc", settings), 7);
    EXPECT_EQ(spotColour("<none>", settings), 7);
    EXPECT_EQ(spotColour("", settings), 7);
    EXPECT_EQ(spotColour("Dupe", settings), 7);
    EXPECT_EQ(spotColour("dupe ", settings), 7);
}

TEST(SpotMode, MarkersInOrder) {
    EXPECT_STREQ(spotMode("heard on cw"), "cw");
    EXPECT_STREQ(spotMode("TNX CW QSO"), "cw");
    EXPECT_STREQ(spotMode("25 WPM CQ"), "cw");
    EXPECT_STREQ(spotMode("RTTY contest"), "rtty");
    EXPECT_STREQ(spotMode("USB PSK"), "usb");
    EXPECT_STREQ(spotMode("PSK31 LSB"), "lsb");
    EXPECT_STREQ(spotMode("PSK31"), "psk");
    EXPECT_STREQ(spotMode("RTTY and CW"), "cw");
    EXPECT_STREQ(spotMode("rtty usb"), "unk"); // markers are case-sensitive
    EXPECT_STREQ(spotMode("<none>"), "unk");
    EXPECT_STREQ(spotMode(""), "unk");
}

TEST(SpotText, PlaceholdersAndUnknownOnes) {
    SpotFields fields = fieldsFor("K1ABC", "add");
    fields.spottercall = "G4XYZ";
    fields.status = "double mult";
    fields.timestamp = "2026/12/09 07:05:59";
    const struct {
        const char* text;
        std::string filled;
    } cases[] = {
        {"{comment}", "CQ"},
        {"{call} de {spotter} {time}: {comment} [{status}]",
         "K1ABC de G4XYZ 0705: CQ [double mult]"},
        {"}{time}{", "}0705{"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(spotText(c.text, fields), c.filled) << c.text;
    fields.timestamp = "yesterday";
    EXPECT_EQ(spotText("[{time}]", fields), "[]");
    // A huge comment named many times is cut as one would be.
    fields.comment = std::string(5000, 'x');
    EXPECT_LE(spotText("{comment}{comment}{comment}", fields).size(), 2 * kTciCommandLimit);
    fields.comment = "CQ";
    fields.status = "new qso";
    EXPECT_EQ(spotCommand(*buildSpotEntry(fields, BridgeSettings{}, 0,
                                          SpotLook{"{spotter}: {comment}", {}})),
              "spot:K1ABC,unk,14025000,4283541759,G4XYZ: CQ;");

    const struct {
        const char* text;
        std::optional<std::string> unknown;
    } checks[] = {
        {"{comment} {call}", std::nullopt}, {"plain", std::nullopt},  {"} {", "{"},
        {"{Comment}", "{Comment}"},         {"{call}{qrg}", "{qrg}"}, {"{call", "{call"},
    };
    for (const auto& c : checks) {
        EXPECT_EQ(unknownSpotTextPlaceholder(c.text), c.unknown) << c.text;
        BridgeSettings settings;
        settings.SpotText = c.text;
        std::string problem;
        const SpotLook look = spotLook(settings, problem);
        EXPECT_EQ(problem.empty(), !c.unknown) << c.text;
        EXPECT_EQ(look.text, c.unknown ? "{comment}" : c.text);
    }
}

} // namespace
