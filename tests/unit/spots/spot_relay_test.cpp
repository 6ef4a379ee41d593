#include "spots/spot_relay.h"

#include "spots/n1mm_datagram.h"
#include "spots/spot_look.h"
#include "spots/spot_samples.h"
#include "spots/spot_table.h"
#include "spots/tci_spot_commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

namespace {

TEST(Transverter, FirstEntryInListOrderApplies) {
    const std::vector<TransverterEntry> twoMetres{{144000.0, 28000.0}};
    EXPECT_EQ(transverterShift(144300.5, twoMetres), 28300.5);
    EXPECT_EQ(transverterShift(144000.0, twoMetres), 28000.0); // rf equal to the value applies
    EXPECT_EQ(transverterShift(14074.0, twoMetres), 14074.0);

    const BridgeSettings defaults;
    EXPECT_EQ(transverterShift(1296200.0, defaults.Transverters), 144200.0);
    EXPECT_EQ(transverterShift(432100.0, defaults.Transverters), 28100.0);
    EXPECT_EQ(transverterShift(50100.0, defaults.Transverters), 50100.0);

    // A lower rf first hides a higher one after it: the list is never sorted.
    const std::vector<TransverterEntry> unsorted{{50000.0, 28000.0}, {144000.0, 28000.0}};
    EXPECT_EQ(transverterShift(144300.0, unsorted), 122300.0);
    EXPECT_EQ(transverterShift(144300.0, {}), 144300.0);
}

TEST(BuildSpotEntry, FillsEveryFieldAndShiftsToHertz) {
    BridgeSettings settings;
    settings.Transverters = {{144000.0, 28000.0}};
    settings.SpotDupeColour = 0x11223344;
    SpotFields fields = fieldsFor("DL1ABC", "add", "144300.5");
    fields.comment = "559 RTTY";
    fields.status = "dupe";
    const std::optional<SpotEntry> entry = buildSpotEntry(fields, settings, 1700000000);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->StationName, "PC");
    EXPECT_EQ(entry->dxcall, "DL1ABC");
    EXPECT_EQ(entry->frequency, "144300.5");
    EXPECT_EQ(entry->comment, "559 RTTY");
    EXPECT_EQ(entry->action, "add");
    EXPECT_EQ(entry->status, "dupe");
    EXPECT_EQ(entry->timestamp, "t");
    EXPECT_EQ(entry->mode, "rtty");
    EXPECT_EQ(entry->frequencyHz, 28300500.0);
    EXPECT_EQ(entry->colour, 0x11223344);
    EXPECT_EQ(entry->received, 1700000000);
    EXPECT_EQ(spotCommand(*entry), "spot:DL1ABC,rtty,28300500,287454020,559 RTTY;");

    const std::optional<SpotEntry> below =
        buildSpotEntry(fieldsFor("K1ABC", "add", "7025.5"), settings, 0);
    ASSERT_TRUE(below);
    EXPECT_EQ(below->frequencyHz, 7025500.0);
}

TEST(BuildSpotEntry, RefusesAFrequencyThatIsNotANumber) {
    const BridgeSettings settings;
    EXPECT_FALSE(buildSpotEntry(fieldsFor("K1ABC", "add", "<none>"), settings, 0));
    EXPECT_FALSE(buildSpotEntry(fieldsFor("K1ABC", "add", "fourteen"), settings, 0));
    EXPECT_FALSE(buildSpotEntry(fieldsFor("K1ABC", "add", "1e306"), settings, 0)); // inf Hz
}

// Whatever a datagram carries, an entry keeps a bounded amount of it.
TEST(BuildSpotEntry, KeepsLittleOfHugeFields) {
    const auto repeated = [](const char* text) {
        std::string out;
        for (int i = 0; i < 20000; ++i)
            out += text;
        return out;
    };
    const std::string accents = repeated("\xc3\xa9");   // two bytes each
    const std::string euros = repeated("\xe2\x82\xac"); // three bytes each
    SpotFields fields = fieldsFor("K1ABC", "add");
    for (std::string* field : {&fields.StationName, &fields.spottercall, &fields.status,
                               &fields.statuslist, &fields.timestamp})
        *field = accents;
    fields.comment = euros;
    fields.frequency = "14025.0" + std::string(60000, '0');
    const std::optional<SpotEntry> entry = buildSpotEntry(fields, BridgeSettings{}, 0);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->frequencyHz, 14025000.0);
    EXPECT_EQ(entry->frequency, "14025.0" + std::string(kLogFieldLimit - 7, '0'));
    EXPECT_EQ(entry->StationName, accents.substr(0, 14)); // 15 bytes would split a character
    EXPECT_EQ(entry->statuslist, accents.substr(0, 14));
    EXPECT_EQ(entry->comment.capacity(), entry->comment.size()); // the rest is given back
    // The comment keeps exactly what its command has room for.
    const std::string command = spotCommand(*entry);
    EXPECT_EQ(command, "spot:K1ABC,unk,14025000,4283541759," + entry->comment + ";");
    EXPECT_EQ(command.size(), 1023u); // one more character would not fit
}

TEST(SpotTable, ApplySpotGivesTheCommandForEachAction) {
    const BridgeSettings settings;
    SpotTable table;
    applySpot(table, fieldsFor("B", "add"), settings, 1000);
    applySpot(table, fieldsFor("C", "add"), settings, 1000);
    const std::string call64(64, 'W');
    // Only an add needs a frequency: a delete goes by call sign whatever its frequency says.
    const struct {
        SpotFields fields;
        SpotChange change;
        std::string command;
        std::vector<std::string> calls;
    } steps[] = {
        {fieldsFor("A", "add"),
         SpotChange::added,
         "spot:A,unk,14025000,4283541759,CQ;",
         {"B", "C", "A"}},
        {fieldsFor("B", "add", "14030"),
         SpotChange::replaced,
         "spot:B,unk,14030000,4283541759,CQ;",
         {"C", "A", "B"}},
        {fieldsFor("UNKNOWN", "delete"),
         SpotChange::deleted,
         "spot_delete:UNKNOWN;",
         {"C", "A", "B"}},
        {fieldsFor("B", "delete", "<none>"), SpotChange::deleted, "spot_delete:B;", {"C", "A"}},
        {fieldsFor("C", "delete", "fourteen"), SpotChange::deleted, "spot_delete:C;", {"A"}},
        {fieldsFor("D", "add", "<none>"), SpotChange::unusableFrequency, "", {"A"}},
        {fieldsFor("A", "update"), SpotChange::unknownAction, "", {"A"}},
        {fieldsFor("A", "update", "<none>"), SpotChange::unknownAction, "", {"A"}},
        {fieldsFor("A", "Delete"), SpotChange::unknownAction, "", {"A"}},
        // 64 bytes is still a call sign; a longer one is refused, for a delete too.
        {fieldsFor(call64, "add"),
         SpotChange::added,
         "spot:" + call64 + ",unk,14025000,4283541759,CQ;",
         {"A", call64}},
        {fieldsFor(call64 + "X", "add"), SpotChange::callTooLong, "", {"A", call64}},
        {fieldsFor(call64 + "X", "delete"), SpotChange::callTooLong, "", {"A", call64}},
        {fieldsFor(call64, "delete"), SpotChange::deleted, "spot_delete:" + call64 + ";", {"A"}},
        // Its command would name another call: "A B" and "A\r\nB" would both be "A  B".
        {fieldsFor("A\r\nB", "add"), SpotChange::callNotPrintable, "", {"A"}},
        {fieldsFor("A\x7f", "delete"), SpotChange::callNotPrintable, "", {"A"}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.fields.dxcall + " " + step.fields.action + " " + step.fields.frequency);
        const SpotApplied applied = applySpot(table, step.fields, settings, 2000);
        EXPECT_EQ(applied.change, step.change);
        EXPECT_EQ(applied.command, step.command);
        EXPECT_EQ(callsIn(table), step.calls);
    }
    EXPECT_EQ(table.find("A")->received, 2000);
}

// What the SDR shows changes, or nothing is sent: a repeat only makes the spot younger, and a
// spot that takes a hidden status leaves the panorama while it stays in the table.
TEST(SpotTable, ApplySpotSendsNothingForARepeatAndHidesHiddenStatuses) {
    BridgeSettings settings;
    settings.SpotHiddenStatuses = " Dupe ,busy,,";
    std::string problem;
    const SpotLook look = spotLook(settings, problem);
    EXPECT_EQ(look.hiddenStatuses, (std::vector<std::string>{"dupe", "busy"}));
    const auto with = [](const char* call, const char* status, const char* comment) {
        SpotFields fields = fieldsFor(call, "add");
        fields.status = status;
        fields.comment = comment;
        return fields;
    };
    const std::string shown = "spot:A,unk,14025000,4283541759,CQ;";
    const struct {
        SpotFields fields;
        SpotChange change;
        std::string command;
    } steps[] = {
        {with("A", "new qso", "CQ"), SpotChange::added, shown},
        {with("A", "new qso", "CQ"), SpotChange::repeated, ""},
        {with("A", "cq", "CQ"), SpotChange::repeated, ""}, // the same colour
        {with("A", "new qso", "CQ up"), SpotChange::replaced,
         "spot:A,unk,14025000,4283541759,CQ up;"},
        {with("A", "dupe", "CQ up"), SpotChange::hidden, "spot_delete:A;"},
        {with("A", "busy", "other"), SpotChange::repeated, ""},
        {with("A", "new qso", "CQ"), SpotChange::replaced, shown},
        {with("B", "DUPE", "CQ"), SpotChange::added, ""},
    };
    SpotTable table;
    std::int64_t now = 1000;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.fields.dxcall + " " + step.fields.status + " " + step.fields.comment);
        const SpotApplied applied = applySpot(table, step.fields, settings, ++now, look);
        EXPECT_EQ(applied.change, step.change);
        EXPECT_EQ(applied.command, step.command);
        EXPECT_EQ(table.find(step.fields.dxcall)->received, now); // the age starts afresh
    }
    EXPECT_FALSE(table.find("A")->hidden);
    EXPECT_TRUE(table.find("B")->hidden);
}

} // namespace
