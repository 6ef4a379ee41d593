#include "bridge/tci_message.h"
#include "spots/n1mm_datagram.h"
#include "spots/spot_look.h"
#include "spots/spot_relay.h"
#include "spots/spot_table.h"
#include "spots/tci_spot_commands.h"
#include "text/numbers.h"
#include "text/utf8.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

namespace {

const char* const kSpotDatagram = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
                                  "<spot>\r\n"
                                  "  <app>N1MM</app>\r\n"
                                  "  <StationName>CONTEST-PC</StationName>\r\n"
                                  "  <dxcall>DL1ABC</dxcall>\r\n"
                                  "  <frequency>14025.1</frequency>\r\n"
                                  "  <spottercall>G4XYZ</spottercall>\r\n"
                                  "  <comment>CW 28 WPM CQ</comment>\r\n"
                                  "  <action>add</action>\r\n"
                                  "  <status>double mult</status>\r\n"
                                  "  <statuslist>double mult,new qso</statuslist>\r\n"
                                  "  <timestamp>2024-03-02 12:34:56</timestamp>\r\n"
                                  "</spot>\r\n";

const char* const kRadioDatagram = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
                                   "<RadioInfo>\r\n"
                                   "  <app>N1MM</app>\r\n"
                                   "  <StationName>CONTEST-PC</StationName>\r\n"
                                   "  <RadioNr>1</RadioNr>\r\n"
                                   "  <Freq>1420000</Freq>\r\n"
                                   "  <TXFreq>1420000</TXFreq>\r\n"
                                   "  <Mode>USB</Mode>\r\n"
                                   "  <IsRunning>False</IsRunning>\r\n"
                                   "</RadioInfo>\r\n";

SpotFields fieldsFor(const std::string& dxcall, const std::string& action,
                     const std::string& frequency = "14025.0") {
    SpotFields fields;
    fields.StationName = "PC";
    fields.dxcall = dxcall;
    fields.frequency = frequency;
    fields.spottercall = "G4XYZ";
    fields.comment = "CQ";
    fields.action = action;
    fields.status = "new qso";
    fields.statuslist = "new qso";
    fields.timestamp = "t";
    return fields;
}

SpotEntry entryFor(const std::string& dxcall, std::int64_t received = 1000,
                   const std::string& action = "add") {
    SpotEntry entry;
    entry.dxcall = dxcall;
    entry.action = action;
    entry.mode = "cw";
    entry.frequencyHz = 14025000.0;
    entry.received = received;
    return entry;
}

std::vector<std::string> callsIn(const SpotTable& table) {
    std::vector<std::string> calls;
    for (const SpotEntry& entry : table) {
        calls.push_back(entry.dxcall);
    }
    return calls;
}

// --- datagram reader -------------------------------------------------------------------------

TEST(N1mmDatagramReader, ReadsASpotWithItsDeclaration) {
    const N1mmDatagram datagram = readN1mmDatagram(kSpotDatagram);
    ASSERT_EQ(datagram.kind, N1mmDatagramKind::spot);
    const SpotFields& spot = datagram.spot;
    EXPECT_EQ(spot.StationName, "CONTEST-PC");
    EXPECT_EQ(spot.dxcall, "DL1ABC");
    EXPECT_EQ(spot.frequency, "14025.1");
    EXPECT_EQ(spot.spottercall, "G4XYZ");
    EXPECT_EQ(spot.comment, "CW 28 WPM CQ");
    EXPECT_EQ(spot.action, "add");
    EXPECT_EQ(spot.status, "double mult");
    EXPECT_EQ(spot.statuslist, "double mult,new qso");
    EXPECT_EQ(spot.timestamp, "2024-03-02 12:34:56");
}

TEST(N1mmDatagramReader, ReadsARadioBroadcast) {
    const N1mmDatagram datagram = readN1mmDatagram(kRadioDatagram);
    ASSERT_EQ(datagram.kind, N1mmDatagramKind::radio);
    EXPECT_EQ(datagram.radio.RadioNr, "1");
    EXPECT_EQ(datagram.radio.Freq, "1420000");
    EXPECT_EQ(leadingInteger(datagram.radio.Freq), 1420000);
}

TEST(N1mmDatagramReader, RadioInfoIsLookedForFirst) {
    const N1mmDatagram datagram = readN1mmDatagram(
        "<spot><dxcall>K1ABC</dxcall></spot><RadioInfo><RadioNr>2</RadioNr></RadioInfo>");
    ASSERT_EQ(datagram.kind, N1mmDatagramKind::radio);
    EXPECT_EQ(datagram.radio.RadioNr, "2");
    EXPECT_EQ(datagram.radio.Freq, kNoneText);
}

TEST(N1mmDatagramReader, MissingOrNonTextChildrenReadAsNone) {
    const N1mmDatagram datagram =
        readN1mmDatagram("<spot><dxcall>K1ABC</dxcall><comment/><status></status>"
                         "<frequency><b>7000</b></frequency><action>add</action></spot>");
    ASSERT_EQ(datagram.kind, N1mmDatagramKind::spot);
    EXPECT_EQ(datagram.spot.dxcall, "K1ABC");
    EXPECT_EQ(datagram.spot.comment, "<none>");
    EXPECT_EQ(datagram.spot.status, "<none>");
    EXPECT_EQ(datagram.spot.frequency, "<none>");
    EXPECT_EQ(datagram.spot.spottercall, "<none>");
    EXPECT_EQ(datagram.spot.timestamp, "<none>");
}

TEST(N1mmDatagramReader, DecodesEntitiesAndStopsAtTheFirstZeroByte) {
    const std::string bytes =
        std::string("<spot><comment>CQ &amp; 5NN</comment></spot>") + '\0' + "<RadioInfo/>";
    const N1mmDatagram datagram = readN1mmDatagram(bytes);
    ASSERT_EQ(datagram.kind, N1mmDatagramKind::spot);
    EXPECT_EQ(datagram.spot.comment, "CQ & 5NN");
}

// Each ill-formed part becomes one U+FFFD per maximal subpart, in every field, so that the table,
// the log and the command all carry the same valid text; a stored comment is mended on the way
// out too.
TEST(N1mmDatagramReader, TextThatIsNotUtf8IsMended) {
    const std::string bad = "\xEF\xBF\xBD";
    const struct {
        const char* name;
        std::string comment; // as it stands in the datagram
        std::string read;
    } cases[] = {
        {"valid", "Caf\xC3\xA9 \xE2\x9C\x93 \xF0\x9F\x93\xBB &#xE9;",
         "Caf\xC3\xA9 \xE2\x9C\x93 \xF0\x9F\x93\xBB \xC3\xA9"},
        {"Latin-1 byte", "Caf\xE9 59", "Caf" + bad + " 59"},
        {"truncated", "a\xE2\x82 b\xF0\x9F\x93", "a" + bad + " b" + bad},
        {"overlong", "\xC0\xAF\xE0\x80\xAF", bad + bad + bad + bad + bad},
        {"surrogate reference", "x&#xD800;y", "x" + bad + bad + bad + "y"},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80\xF5", bad + bad + bad + bad + bad},
        {"reference beyond U+10FFFF", "&#x110000;.", bad + bad + bad + bad + "."},
    };
    BridgeSettings settings;
    for (const auto& c : cases) {
        const N1mmDatagram datagram =
            readN1mmDatagram("<spot><dxcall>DL\xC4</dxcall><frequency>14025</frequency><comment>" +
                             c.comment + "</comment><action>add</action></spot>");
        ASSERT_EQ(datagram.kind, N1mmDatagramKind::spot) << c.name;
        EXPECT_EQ(datagram.spot.comment, c.read) << c.name;
        EXPECT_EQ(datagram.spot.dxcall, "DL" + bad) << c.name;
        SpotTable table;
        const SpotApplied applied = applySpot(table, datagram.spot, settings, 0);
        EXPECT_EQ(applied.command, "spot:DL" + bad + ",unk,14025000," +
                                       std::to_string(settings.SpotNewQSOColour) + "," + c.read +
                                       ";")
            << c.name;
        ASSERT_NE(table.find("DL" + bad), nullptr) << c.name;
        EXPECT_EQ(table.find("DL" + bad)->comment, c.read) << c.name;
    }
    SpotEntry stored = entryFor("OLD\xE9");
    stored.comment = "Caf\xE9";
    EXPECT_EQ(spotCommand(stored), "spot:OLD" + bad + ",cw,14025000,0,Caf" + bad + ";");
    EXPECT_EQ(spotDeleteCommand("OLD\xE9"), "spot_delete:OLD" + bad + ";");
}

TEST(N1mmDatagramReader, TellsMalformedFromUninteresting) {
    EXPECT_EQ(readN1mmDatagram("<spot><dxcall>K1ABC</spot>").kind, N1mmDatagramKind::malformed);
    EXPECT_EQ(readN1mmDatagram("not xml at all <").kind, N1mmDatagramKind::malformed);
    EXPECT_EQ(readN1mmDatagram("").kind, N1mmDatagramKind::malformed);
    EXPECT_EQ(readN1mmDatagram("<?xml version=\"1.0\"?><AppInfo><app>N1MM</app></AppInfo>").kind,
              N1mmDatagramKind::nothing);
    // Only top-level elements count.
    EXPECT_EQ(readN1mmDatagram("<outer><spot><dxcall>K1ABC</dxcall></spot></outer>").kind,
              N1mmDatagramKind::nothing);
}

// N1MM+'s Contacts broadcast: the fields the marks need, and "<none>" for one that is missing.
TEST(N1mmDatagramReader, ReadsTheThreeContactKinds) {
    const struct {
        const char* root;
        ContactFields::Kind kind;
    } cases[] = {{"contactinfo", ContactFields::Kind::info},
                 {"contactreplace", ContactFields::Kind::replace},
                 {"contactdelete", ContactFields::Kind::remove}};
    for (const auto& c : cases) {
        const std::string text = std::string("<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<") +
                                 c.root +
                                 "><app>N1MM</app><call>K1ABC</call><band>3.5</band>"
                                 "<rxfreq>352500</rxfreq><ID>a1b2</ID><sntnr>5</sntnr>"
                                 "<timestamp>2026-12-09 14:05:23</timestamp></" +
                                 c.root + ">";
        const N1mmDatagram datagram = readN1mmDatagram(text);
        ASSERT_EQ(datagram.kind, N1mmDatagramKind::contact) << c.root;
        const ContactFields& f = datagram.contact;
        EXPECT_EQ(f.kind, c.kind);
        EXPECT_EQ(std::vector<std::string>({f.ID, f.call, f.band, f.rxfreq, f.mode, f.timestamp}),
                  std::vector<std::string>(
                      {"a1b2", "K1ABC", "3.5", "352500", kNoneText, "2026-12-09 14:05:23"}));
    }
}

// --- numbers -----------------------------------------------------------------------------------

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

// --- colour, mode, transverter ------------------------------------------------------------

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

// --- command texts -------------------------------------------------------------------------

// Every spot command fits in kTciCommandLimit bytes: the comment is cut at a character boundary,
// as late as it can be, whatever the call sign, frequency and colour take.
TEST(SpotCommand, CutsTheCommentToFitTheLimit) {
    const auto repeated = [](const std::string& text, std::size_t times) {
        std::string out;
        for (std::size_t i = 0; i < times; ++i)
            out += text;
        return out;
    };
    const struct {
        const char* what;
        std::string dxcall;
        double hz;
        std::int64_t colour;
        std::string comment;
        std::size_t length; // of the whole command
    } cases[] = {
        {"short", "K1ABC", 14025000.0, 5, "CQ", 28},
        {"ASCII fills it", "K1ABC", 14025000.0, 5, std::string(5000, 'x'), 1024},
        {"two-byte characters", "K1ABC", 14025000.0, 5, "x" + repeated("\xc3\xa9", 700), 1023},
        {"four-byte characters", "K1ABC", 14025000.0, 5, repeated("\xf0\x9d\x84\x9e", 300), 1022},
        {"longest head", std::string(kCallSignLimit, 'W'), -std::numeric_limits<double>::max(),
         std::numeric_limits<std::int64_t>::min(), "x" + repeated("\xe2\x82\xac", 400), 1022},
        {"hostile", "K1ABC", 14025000.0, 5, repeated(";\r\xc3\xa9", 500), 1024},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SpotEntry entry = entryFor(c.dxcall);
        entry.frequencyHz = c.hz;
        entry.colour = c.colour;
        entry.comment = c.comment;
        const std::string command = spotCommand(entry);
        EXPECT_EQ(command.size(), c.length);
        ASSERT_LE(command.size(), kTciCommandLimit);
        ASSERT_EQ(command.back(), ';');
        // The text before the comment is whole, and the comment is a safe start of the original
        // that ends before a character's first byte.
        const std::string head = "spot:" + c.dxcall + ",cw,";
        ASSERT_EQ(command.compare(0, head.size(), head), 0);
        const std::size_t start = command.find(',', command.find(',', head.size()) + 1) + 1;
        const std::string kept = command.substr(start, command.size() - start - 1);
        EXPECT_EQ(kept, tciSafeText(c.comment.substr(0, kept.size())));
        if (kept.size() < c.comment.size()) {
            EXPECT_NE(static_cast<unsigned char>(c.comment[kept.size()]) & 0xC0, 0x80);
        }
    }

    EXPECT_EQ(utf8Prefix("ab\xc3\xa9", 3), "ab");
    EXPECT_EQ(utf8Prefix("ab\xc3\xa9", 4), "ab\xc3\xa9");
    EXPECT_EQ(utf8Prefix("\xc3\xa9", 0), "");
    // Not UTF-8: a run of continuation bytes longer than any character is cut where it must be.
    EXPECT_EQ(utf8Prefix("a\x80\x80\x80\x80\x80", 4), "a\x80\x80\x80");
}

TEST(SpotCommand, ByteForByte) {
    SpotEntry entry = entryFor("DL1ABC");
    entry.comment = "CQ TEST, 5NN";
    entry.colour = 0xFF51A8FF;
    EXPECT_EQ(spotCommand(entry), "spot:DL1ABC,cw,14025000,4283541759,CQ TEST, 5NN;");

    entry.comment = kNoneText;
    entry.colour = -1;
    EXPECT_EQ(spotCommand(entry), "spot:DL1ABC,cw,14025000,-1,<none>;");

    EXPECT_EQ(spotDeleteCommand("DL1ABC"), "spot_delete:DL1ABC;");
}

TEST(SpotCommand, RoundsToWholeHertz) {
    SpotEntry entry = entryFor("K1ABC");
    auto frequencyText = [&](double hz) {
        entry.frequencyHz = hz;
        const std::string command = spotCommand(entry);
        const std::size_t start = command.find(",cw,") + 4;
        return command.substr(start, command.find(',', start) - start);
    };
    EXPECT_EQ(frequencyText(14074000.4), "14074000");
    EXPECT_EQ(frequencyText(14074000.6), "14074001");
    EXPECT_EQ(frequencyText(1296000000000.0), "1296000000000");
    EXPECT_EQ(frequencyText(-0.3), "0");
    EXPECT_EQ(frequencyText(-7000.0), "-7000");
}

TEST(SpotCommand, HostileTextCannotEndTheCommandEarly) {
    SpotEntry entry = entryFor("K1ABC;spot_clear;\r\n");
    entry.comment = "CQ; spot_clear";
    entry.mode = "cw";
    entry.colour = 5;
    const std::string command = spotCommand(entry);
    EXPECT_EQ(command, "spot:K1ABC spot_clear   ,cw,14025000,5,CQ  spot_clear;");
    EXPECT_EQ(std::count(command.begin(), command.end(), ';'), 1);

    // The SDR splits it into one spot command carrying the whole text.
    const TciMessage seen = splitTciMessage(command);
    EXPECT_EQ(seen.name, "spot");
    EXPECT_EQ(seen.arguments, command.substr(5, command.size() - 6));

    EXPECT_EQ(spotDeleteCommand("K1ABC;spot_clear"), "spot_delete:K1ABC spot_clear;");
    EXPECT_EQ(tciSafeText(std::string("a\0b\x1f\x7f,c:d\xc3\xa9", 11)), "a b  ,c:d\xc3\xa9");
}

// --- table -------------------------------------------------------------------------------

TEST(SpotTable, AddReplacesAtTheEndAndDeleteRemoves) {
    SpotTable table;
    EXPECT_FALSE(table.add(entryFor("A")).replaced);
    EXPECT_FALSE(table.add(entryFor("B")).replaced);
    EXPECT_FALSE(table.add(entryFor("C")).replaced);
    SpotEntry newer = entryFor("B", 2000);
    newer.frequencyHz = 7000000.0;
    EXPECT_TRUE(table.add(newer).replaced);
    EXPECT_EQ(callsIn(table), (std::vector<std::string>{"A", "C", "B"}));
    EXPECT_EQ(table.size(), 3u);
    ASSERT_NE(table.find("B"), nullptr);
    EXPECT_EQ(table.find("B")->frequencyHz, 7000000.0);
    EXPECT_EQ(table.find("B")->received, 2000);

    EXPECT_EQ(table.find("b"), nullptr); // keys are case-sensitive
    EXPECT_EQ(table.find("B "), nullptr);
    EXPECT_FALSE(table.remove("b"));
    EXPECT_TRUE(table.remove("A"));
    EXPECT_FALSE(table.remove("A"));
    EXPECT_EQ(callsIn(table), (std::vector<std::string>{"C", "B"}));

    table.clear();
    EXPECT_TRUE(table.empty());
    EXPECT_EQ(table.find("C"), nullptr);
    EXPECT_FALSE(table.add(entryFor("C")).replaced);
    EXPECT_EQ(table.size(), 1u);
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

// The SDR must hear every deletion: one it has not been seen to hear is sent again at its next
// start.
TEST(PendingDeletes, StayUntilTheSdrHasShownItReadThem) {
    PendingDeletes pending;
    for (const char* call : {"A", "B", "C", "D"})
        pending.remember(call);
    pending.markSent("B", 1);
    pending.markSent("D", 2);
    pending.forget("C");       // added again: its new spot replaces it
    pending.confirmThrough(1); // answered a ping sent after B and before D
    EXPECT_EQ(pending.calls(), (std::vector<std::string>{"A", "D"}));
    pending.markSent("A", 3);
    pending.sendingLost();     // the connection died before anything answered
    pending.confirmThrough(3); // nothing sent on the lost connection counts
    EXPECT_EQ(pending.calls(), (std::vector<std::string>{"A", "D"}));
    pending.remember("A"); // deleted again: now the latest deletion
    EXPECT_EQ(pending.calls(), (std::vector<std::string>{"D", "A"}));
    pending.markSent("D", 4);
    pending.markSent("A", 5);
    pending.confirmThrough(5);
    EXPECT_EQ(pending.size(), 0u);
}

TEST(PendingDeletes, DropsTheOldestPastTheLimitWithOneWarning) {
    PendingDeletes pending;
    int warnings = 0;
    for (std::size_t i = 0; i < PendingDeletes::kLimit + 5; ++i)
        warnings += pending.remember("CALL" + std::to_string(i));
    EXPECT_EQ(warnings, 1);
    const std::vector<std::string> calls = pending.calls();
    ASSERT_EQ(calls.size(), PendingDeletes::kLimit);
    EXPECT_EQ(calls.front(), "CALL5");
    EXPECT_EQ(calls.back(), "CALL" + std::to_string(PendingDeletes::kLimit + 4));
    // Once heard and emptied, a new overflow is worth a new warning.
    for (const std::string& call : calls)
        pending.markSent(call, 1);
    pending.confirmThrough(1);
    for (std::size_t i = 0; i <= PendingDeletes::kLimit; ++i)
        warnings += pending.remember("NEW" + std::to_string(i));
    EXPECT_EQ(warnings, 2);
}

// Every change to the table and the list is told as it is made, each as where its call now
// stands; moving a call within the list or clearing nothing tells nothing.
TEST(SpotStateListener, HearsEveryChange) {
    struct Recorder final : SpotStateListener {
        std::string heard;
        void spotIs(const SpotEntry& e) override { heard += " +" + e.dxcall; }
        void spotRemoved(const std::string& call) override { heard += " -" + call; }
        void deletionPending(const std::string& call) override { heard += " ?" + call; }
        void deletionSettled(const std::string& call) override { heard += " !" + call; }
    } recorder;
    SpotTable table;
    PendingDeletes pending;
    for (std::size_t i = 0; i < SpotTable::kLimit; ++i)
        table.add(entryFor("S" + std::to_string(i), i < 2 ? 0 : 5000));
    for (std::size_t i = 0; i < PendingDeletes::kLimit; ++i)
        pending.remember("P" + std::to_string(i));
    table.setListener(&recorder);
    pending.setListener(&recorder);
    const struct {
        const char* what;
        void (*step)(SpotTable&, PendingDeletes&);
        const char* heard;
    } steps[] = {
        {"add to a full table", [](SpotTable& t, PendingDeletes&) { t.add(entryFor("N")); },
         " -S0 +N"},
        {"replace", [](SpotTable& t, PendingDeletes&) { t.add(entryFor("N", 2000)); }, " +N"},
        {"remove", [](SpotTable& t, PendingDeletes&) { t.remove("N"), t.remove("N"); }, " -N"},
        {"expire", [](SpotTable& t, PendingDeletes&) { t.expire(4000, 100); }, " -S1"},
        {"remember in a full list", [](SpotTable&, PendingDeletes& p) { p.remember("X"); },
         " !P0 ?X"},
        {"remember again", [](SpotTable&, PendingDeletes& p) { p.remember("P5"); }, " ?P5"},
        {"forget", [](SpotTable&, PendingDeletes& p) { p.forget("X"), p.forget("X"); }, " !X"},
        {"confirm", [](SpotTable&, PendingDeletes& p) { p.markSent("P1", 1), p.confirmThrough(1); },
         " !P1"},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.what);
        recorder.heard.clear();
        s.step(table, pending);
        EXPECT_EQ(recorder.heard, s.heard);
    }
    EXPECT_EQ(pending.dropped(), 1u);
}

// A flood of new call signs cannot grow the table: the oldest spot makes room, and its deletion
// is for the caller to send. One warning per overflow: again only once the table was below its
// limit.
TEST(SpotTable, HoldsAtMostItsLimitAndHandsBackTheOldest) {
    const BridgeSettings settings;
    SpotTable table;
    const auto add = [&](const std::string& call) {
        return applySpot(table, fieldsFor(call, "add"), settings, 1000);
    };
    for (std::size_t i = 0; i < SpotTable::kLimit; ++i)
        EXPECT_FALSE(add("CALL" + std::to_string(i)).evicted);
    ASSERT_EQ(table.size(), SpotTable::kLimit);

    const struct {
        const char* step; // "+CALL" adds, "-CALL" deletes
        const char* evicted;
        bool warn;
        const char* first; // the oldest call afterwards
    } steps[] = {
        {"+NEW1", "CALL0", true, "CALL1"},  {"+NEW2", "CALL1", false, "CALL2"},
        {"+CALL5", "", false, "CALL2"}, // a replacement needs no room
        {"-CALL9", "", false, "CALL2"}, // below the limit again
        {"+NEW3", "", false, "CALL2"},      {"+NEW4", "CALL2", true, "CALL3"},
        {"+NEW5", "CALL3", false, "CALL4"},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.step);
        const std::string call = s.step + 1;
        const SpotApplied applied =
            applySpot(table, fieldsFor(call, s.step[0] == '+' ? "add" : "delete"), settings, 1000);
        EXPECT_EQ(applied.evicted ? applied.evicted->dxcall : "", s.evicted);
        EXPECT_EQ(applied.firstEviction, s.warn);
        EXPECT_LE(table.size(), SpotTable::kLimit);
        EXPECT_EQ(table.begin()->dxcall, s.first);
        if (applied.evicted) {
            EXPECT_EQ(table.find(applied.evicted->dxcall), nullptr);
        }
    }
    EXPECT_EQ(table.size(), SpotTable::kLimit);
}

TEST(SpotTable, ExpiryIsStrictlyAfterTheLifetime) {
    const std::int64_t t = 1700000000;
    SpotTable table;
    table.add(entryFor("A", t));
    table.add(entryFor("B", t + 100));
    table.add(entryFor("C", t));

    EXPECT_TRUE(table.expire(t + 7200, 7200).empty());
    EXPECT_EQ(table.size(), 3u);

    const std::vector<SpotEntry> expired = table.expire(t + 7201, 7200);
    ASSERT_EQ(expired.size(), 2u);
    EXPECT_EQ(expired[0].dxcall, "A");
    EXPECT_EQ(expired[1].dxcall, "C");
    EXPECT_EQ(expired[0].received, t);
    EXPECT_EQ(callsIn(table), (std::vector<std::string>{"B"}));
    EXPECT_EQ(table.find("A"), nullptr);
    EXPECT_FALSE(table.add(entryFor("A", t + 7201)).replaced); // the index forgot it too

    EXPECT_EQ(table.expire(t + 100 + 7201, 7200).size(), 1u);
    EXPECT_EQ(callsIn(table), (std::vector<std::string>{"A"}));
}

TEST(SpotTable, ExpiryAtTheEdgesOfTheRanges) {
    constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t min = std::numeric_limits<std::int64_t>::min();
    SpotTable table;
    table.add(entryFor("FUTURE", max));
    table.add(entryFor("PAST", min));
    const std::vector<SpotEntry> expired = table.expire(max, 7200);
    ASSERT_EQ(expired.size(), 1u);
    EXPECT_EQ(expired[0].dxcall, "PAST");

    // A negative lifetime expires everything not far in the future.
    table.add(entryFor("NOW", 50));
    EXPECT_EQ(table.expire(50, -1).size(), 1u);
    EXPECT_EQ(table.expire(min, std::numeric_limits<std::int32_t>::min()).size(), 0u);
    EXPECT_EQ(callsIn(table), (std::vector<std::string>{"FUTURE"}));
}

TEST(SpotTable, MovesKeepTheIndexValid) {
    static_assert(!std::is_copy_constructible_v<SpotTable>);
    SpotTable table;
    table.add(entryFor("A"));
    table.add(entryFor("B"));
    SpotTable moved(std::move(table));
    EXPECT_TRUE(moved.add(entryFor("A")).replaced);
    EXPECT_EQ(callsIn(moved), (std::vector<std::string>{"B", "A"}));
    SpotTable assigned;
    assigned = std::move(moved);
    EXPECT_TRUE(assigned.remove("B"));
    EXPECT_EQ(callsIn(assigned), (std::vector<std::string>{"A"}));
}

TEST(SpotTable, ManyDistinctCallsKeepTheirOrder) {
    SpotTable table;
    for (int i = 0; i < 5000; ++i) {
        table.add(entryFor("CALL" + std::to_string(i)));
    }
    for (int i = 0; i < 5000; i += 2) {
        EXPECT_TRUE(table.add(entryFor("CALL" + std::to_string(i))).replaced);
    }
    ASSERT_EQ(table.size(), 5000u);
    std::vector<std::string> expected;
    for (int i = 1; i < 5000; i += 2) {
        expected.push_back("CALL" + std::to_string(i));
    }
    for (int i = 0; i < 5000; i += 2) {
        expected.push_back("CALL" + std::to_string(i));
    }
    EXPECT_EQ(callsIn(table), expected);
}

// --- dds ------------------------------------------------------------------------------------

TEST(DdsFrequency, OnlyTheConfiguredSingleDigitReceiver) {
    EXPECT_EQ(ddsFrequencyFor("0,14074000", 0), 14074000);
    EXPECT_EQ(ddsFrequencyFor("1,7074000", 0), std::nullopt);
    EXPECT_EQ(ddsFrequencyFor("1,7074000", 1), 7074000);
    EXPECT_EQ(ddsFrequencyFor("0,14,074", 0), 14);
    EXPECT_EQ(ddsFrequencyFor("0", 0), 0); // no ',': all of the text
    EXPECT_EQ(ddsFrequencyFor("", 0), std::nullopt);

    // Receiver 12 never matches, not even a message for receiver 12.
    EXPECT_EQ(ddsFrequencyFor("12,14074000", 12), std::nullopt);
    EXPECT_EQ(ddsFrequencyFor("1,14074000", 12), std::nullopt);
    EXPECT_FALSE(ddsForReceiver("12,14074000", 12));
    EXPECT_FALSE(ddsForReceiver("-,1", -1));

    // Matched but not a number: worth the caller's warning.
    EXPECT_TRUE(ddsForReceiver("0,abc", 0));
    EXPECT_EQ(ddsFrequencyFor("0,abc", 0), std::nullopt);
    EXPECT_EQ(ddsFrequencyFor("0,", 0), std::nullopt);
}

} // namespace
