#include "spots/worked.h"

#include "spots/spot_relay.h"
#include "spots/tci_spot_commands.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

SpotFields spotFields(const std::string& call, const std::string& khz, const std::string& comment,
                      const std::string& timestamp = "2026/12/09 14:00:00",
                      const std::string& status = "cq") {
    SpotFields f;
    f.dxcall = call;
    f.frequency = khz;
    f.comment = comment;
    f.action = "add";
    f.status = status;
    f.timestamp = timestamp;
    return f;
}

ContactFields contact(ContactFields::Kind kind, const std::string& id, const std::string& call,
                      const std::string& band = "14", const std::string& mode = "CW",
                      const std::string& timestamp = "2026-12-09 14:10:00") {
    return ContactFields{kind, id, call, band, "0", mode, timestamp};
}

} // namespace

// A QSO on band B in mode M works the spot of its call when the spot's N1MM+ frequency lies on
// B and its mode is of M's kind; a spot of unknown kind is worked by any mode on its band.
TEST(Worked, BandAndModeKindRule) {
    const struct {
        const char* khz;
        const char* comment;  // gives the spot's mode
        const char* spotMode; // N1MM+'s own, which goes first
        const char* band;
        const char* qsoMode;
        bool worked;
    } cases[] = {
        {"14025.3", "CW", "", "14", "CW", true},
        {"14025.3", "CW", "", "7", "CW", false},     // another band
        {"14025.3", "CW", "", "14", "USB", false},   // CW spot, phone QSO
        {"14250.0", "USB", "", "14", "LSB", true},   // both phone
        {"14080.0", "RTTY", "", "14", "FT8", true},  // both digital
        {"14080.0", "", "", "14", "FT8", true},      // the spot's kind is unknown
        {"14080.0", "", "SSB", "14", "FT8", false},  // N1MM+'s own mode says phone
        {"14074.0", "CW", "FT8", "14", "FT8", true}, // ... and goes before the comment
        {"14350.0", "", "", "14", "USB", true},      // the band's upper edge
        {"14000.0", "", "", "14", "CW", true},       // and its lower
        {"14350.1", "", "", "14", "USB", false},
        {"5351.5", "CW", "", "5", "CW", true}, // 60 m
        {"5249.9", "CW", "", "5", "CW", false},
        {"1999.9", "CW", "", "1.8", "CW", true}, // 160 m, region 2's top
        {"10120.0", "CW", "", "10", "CW", true}, // WARC
        {"18100.0", "", "", "18", "RTTY", true},
        {"24940.0", "", "", "24", "CW", true},
        {"10120.0", "CW", "", "14", "CW", false},
        {"432100.0", "CW", "", "432", "CW", true}, // before the transverter rule
        {"14025.3", "CW", "", "9", "CW", false},   // no such band
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.khz) + " " + c.comment + "/" + c.spotMode + " on " + c.band +
                     " " + c.qsoMode);
        SpotFields fields = spotFields("K1ABC", c.khz, c.comment);
        if (*c.spotMode != '\0')
            fields.mode = c.spotMode;
        SpotTable table;
        const BridgeSettings settings;
        applySpot(table, fields, settings, 0);
        const ContactApplied applied = applyContact(
            table, contact(ContactFields::Kind::info, "Q1", "K1ABC", c.band, c.qsoMode), settings,
            SpotLook());
        EXPECT_EQ(applied.restyled.size(), c.worked ? 1u : 0u);
        EXPECT_EQ(table.find("K1ABC")->colour,
                  c.worked ? settings.SpotDupeColour : settings.SpotCQColour);
    }
}

// Marks follow the QSO through its edits and deletion, and through the spot's own datagrams.
TEST(Worked, ReplaceDeleteRepeatsAndHiddenDupes) {
    BridgeSettings settings;
    settings.SpotDupeColour = 4;
    settings.SpotCQColour = 3;
    settings.SpotNewQSOColour = 7;
    settings.SpotHiddenStatuses = "busy";
    std::string problem;
    const SpotLook look = spotLook(settings, problem);
    using Kind = ContactFields::Kind;
    const std::string a = "spot:K1ABC,cw,14025000,";
    const std::string b = "spot:DL1XYZ,cw,14030000,";
    const struct {
        const char* what;
        std::optional<SpotFields> spot;
        ContactFields qso;
        std::vector<std::string> sent; // the commands the change gives
    } steps[] = {
        {"spots", spotFields("K1ABC", "14025.0", "CW"), {}, {a + "3,CW;"}},
        {"", spotFields("DL1XYZ", "14030.0", "CW", "2026/12/09 14:00:00", "busy"), {}, {}},
        {"worked", {}, contact(Kind::info, "Q1", "K1ABC"), {a + "4,CW;"}},
        {"the same again", {}, contact(Kind::info, "Q1", "K1ABC"), {}},
        {"a repeat spotted before the QSO", spotFields("K1ABC", "14025.0", "CW"), {}, {}},
        {"a second QSO on another band", {}, contact(Kind::info, "Q2", "K1ABC", "7"), {}},
        {"the second QSO edited onto 20 m", {}, contact(Kind::replace, "Q2", "K1ABC"), {}},
        {"the first deleted: the second still works it", {}, contact(Kind::remove, "Q1", ""), {}},
        {"the second edited to another call",
         {},
         contact(Kind::replace, "Q2", "DL1XYZ"),
         {a + "3,CW;"}}, // DL1XYZ stays hidden
        {"deleted", {}, contact(Kind::remove, "Q2", ""), {}},
        {"worked again", {}, contact(Kind::info, "Q3", "K1ABC"), {a + "4,CW;"}},
        {"spotted after the QSO: N1MM+'s status wins",
         spotFields("K1ABC", "14025.0", "CW", "2026/12/09 14:20:00"),
         {},
         {a + "3,CW;"}},
        {"DL1XYZ shown", spotFields("DL1XYZ", "14030.0", "CW"), {}, {b + "3,CW;"}},
        {"worked", {}, contact(Kind::info, "Q4", "DL1XYZ", "14", "CW", "no time"), {b + "4,CW;"}},
        {"no times to compare: N1MM+'s status wins",
         spotFields("DL1XYZ", "14030.0", "CW", "2026/12/09 14:00:00", "new qso"),
         {},
         {b + "7,CW;"}},
        {"without an ID", {}, contact(Kind::info, "", "K1ABC"), {}},
        {"without a mode", {}, contact(Kind::info, "Q5", "K1ABC", "14", "<none>"), {}},
    };
    SpotTable table;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        std::vector<std::string> sent;
        if (step.spot) {
            const SpotApplied applied = applySpot(table, *step.spot, settings, 0, look);
            if (!applied.command.empty())
                sent.push_back(applied.command);
        } else {
            for (const auto& spot : applyContact(table, step.qso, settings, look).restyled)
                sent.push_back(spot.shown ? spotCommand(*table.find(spot.dxcall))
                                          : spotDeleteCommand(spot.dxcall));
        }
        EXPECT_EQ(sent, step.sent);
    }

    // A worked spot counts as a dupe for the hidden statuses.
    settings.SpotHiddenStatuses = "Dupe";
    const SpotLook hideDupes = spotLook(settings, problem);
    const ContactApplied hidden =
        applyContact(table, contact(Kind::info, "Q6", "K1ABC"), settings, hideDupes);
    ASSERT_EQ(hidden.restyled.size(), 1u);
    EXPECT_FALSE(hidden.restyled[0].shown);
    EXPECT_TRUE(table.find("K1ABC")->hidden);
    EXPECT_EQ(readMarks(marksText(table.find("K1ABC")->marks))->size(), 1u);
}

TEST(Worked, MarksTextAndTimeStamps) {
    const std::vector<QsoMark> marks = {{"a1-B2", "1.8", ModeKind::cw, 20261209140500},
                                        {"c3", "432", ModeKind::unknown, -1}};
    const std::optional<std::vector<QsoMark>> back = readMarks(marksText(marks));
    ASSERT_TRUE(back);
    ASSERT_EQ(back->size(), 2u);
    EXPECT_EQ((*back)[1].band, "432");
    EXPECT_EQ((*back)[0].stamp, 20261209140500);
    for (const char* damaged : {"a b", "a 14 cw", "a 14 voice 1", "a&b 14 cw 1", "a 99 cw 1",
                                "a 14 cw 1 more", "a 14 cw x"})
        EXPECT_FALSE(readMarks(damaged)) << damaged;
    EXPECT_EQ(stampNumber("2026/12/09 14:05:23"), stampNumber("2026-12-09 14:05:23"));
    EXPECT_LT(*stampNumber("2026/12/09 14:05:23"), *stampNumber("2026/12/09 14:05:24"));
    EXPECT_FALSE(stampNumber("2026/13/09 14:05:23"));
    EXPECT_FALSE(stampNumber("14:05"));
}
