#include "spots/n1mm_datagram.h"

#include "spots/spot_relay.h"
#include "spots/spot_samples.h"
#include "spots/spot_table.h"
#include "spots/tci_spot_commands.h"
#include "text/numbers.h"

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

} // namespace
