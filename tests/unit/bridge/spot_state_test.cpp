#include "bridge/spot_state.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr std::int64_t kSaved = 1000000; // wall clock at the save
constexpr std::int64_t kLoopNow = 50;    // the new run's loop clock at the load

std::string document(const std::string& body, const std::string& root = "TarnwickSpots",
                     const std::string& attributes = "version=\"1\" saved=\"1000000\"") {
    return "<?xml version=\"1.0\"?>\n<" + root + " " + attributes + ">\n" + body + "</" + root +
           ">\n";
}

// A saved spot; `without` names an attribute to leave out, `change` replaces one's value.
std::string spot(const std::string& call, std::int64_t age, const std::string& without = "",
                 const std::string& change = "", const std::string& value = "") {
    const std::vector<std::pair<std::string, std::string>> attributes = {
        {"dxcall", call},
        {"mode", "cw"},
        {"frequencyHz", "14025000"},
        {"colour", "5"},
        {"age", std::to_string(age)},
        {"comment", "CQ"}};
    std::string text = "<Spot";
    for (const auto& [name, usual] : attributes) {
        if (name != without)
            text += " " + name + "=\"" + (name == change ? value : usual) + "\"";
    }
    return text + "/>\n";
}

std::string pendingDelete(const std::string& call) {
    return "<PendingDelete dxcall=\"" + call + "\"/>\n";
}

SpotEntry entry(const std::string& call, std::int64_t received, const std::string& comment,
                const char* mode, double hz) {
    SpotEntry e;
    e.dxcall = call;
    e.comment = comment;
    e.mode = mode;
    e.frequencyHz = hz;
    e.colour = 0xFF51A8FF;
    e.received = received;
    return e;
}

// What a load gave, in a line: the spots in table order with their arrival on the new loop clock,
// then the pending deletions in order.
std::string outcome(const SpotStateLoad& load, const SpotTable& table,
                    const PendingDeletes& pending) {
    if (load.status != SpotStateStatus::loaded)
        return (load.status == SpotStateStatus::foreign ? "foreign: " : "unreadable: ") +
               load.reason;
    std::string text;
    for (const SpotEntry& e : table)
        text += e.dxcall + "@" + std::to_string(e.received) + " ";
    text += "| deletes";
    for (std::string_view call : pending.calls())
        text += " " + std::string(call);
    return text + " | expired " + std::to_string(load.expired) + ", refused " +
           std::to_string(load.refused);
}

std::string manySpots(std::size_t count) {
    std::string body;
    for (std::size_t i = 0; i < count; ++i)
        body += spot("S" + std::to_string(i), 0);
    return body;
}

TEST(SpotState, LoadRules) {
    const struct {
        const char* what;
        std::string text;
        std::int64_t wallNow;
        std::string outcome;
    } cases[] = {
        {"malformed", document(spot("A", 0)).substr(0, 70), kSaved,
         "unreadable: it ends before </TarnwickSpots>"},
        {"empty", "", kSaved, "unreadable: it is empty"},
        {"only a comment", "<!-- nothing -->", kSaved, "unreadable: it holds no element"},
        {"the settings file", "<Tarnwick><Debug>0</Debug></Tarnwick>", kSaved,
         "foreign: it is a <Tarnwick> document, not <TarnwickSpots>"},
        {"a later version", document(spot("A", 0), "TarnwickSpots", "version=\"2\" saved=\"1\""),
         kSaved, "foreign: it is of version 2, this program reads version 1"},
        {"no save time", document(spot("A", 0), "TarnwickSpots", "version=\"1\""), kSaved,
         "unreadable: it does not say when it was saved"},
        {"bad save time", document(spot("A", 0), "TarnwickSpots", "version=\"1\" saved=\"1x\""),
         kSaved, "unreadable: it does not say when it was saved"},
        // Read in batches, but judged whole: nothing of it is loaded.
        {"damaged far in", document(manySpots(3000) + "<Spot dxcall=\"Z\"></Spt>\n"), kSaved,
         "unreadable: it is not well-formed XML (line 3003)"},
        // A damaged spot may still be on the SDR: its deletion is sent instead.
        {"missing and damaged fields",
         document(pendingDelete("P") + pendingDelete("") + spot("A", 0) + spot("B", 0, "colour") +
                  spot("C", 0, "dxcall") + spot("D", 0, "", "mode", "fm") +
                  spot("E", 0, "", "age", "-5") + spot("F", 0, "comment") +
                  spot("G", 0, "", "frequencyHz", "1e999") + spot("H", 0, "", "age", "12s") +
                  spot("I", 0, "frequencyHz")),
         kSaved, "A@50 | deletes P B D E F G H I | expired 0, refused 9"},
        {"expired while down",
         document(pendingDelete("P") + spot("A", 100) + spot("B", 201) + spot("C", 0) +
                  pendingDelete("Q")),
         kSaved + 7100, "A@-7150 C@-7050 | deletes P Q B | expired 1, refused 0"},
        {"wall clock set back", document(spot("A", 7200) + spot("B", 7201) + spot("C", 3)),
         kSaved - 86400, "A@-7150 C@47 | deletes B | expired 1, refused 0"},
        {"down for ages", document(spot("A", 0, "", "age", "9223372036854775807")), kSaved + 5,
         "| deletes A | expired 1, refused 0"},
        // A call is live or waiting for its deletion, never both, and never twice.
        {"one call twice",
         document(pendingDelete("A") + pendingDelete("B") + spot("A", 0) + spot("B", 9000) +
                  spot("C", 0) + spot("C", 9000) + spot("D", 9000) + spot("D", 0)),
         kSaved, "A@50 D@50 | deletes B C | expired 3, refused 0"},
        // Markup that the batches must not split at: none of it is a spot of its own.
        {"markup among the spots",
         document("<!-- <Spot dxcall=\"X\"/> -->\n" + spot("A", 0) +
                  "<![CDATA[ <Spot/> ]]>\n"
                  "<Spot dxcall=\"B\" mode=\"cw\" frequencyHz=\"1\" colour=\"5\" age=\"0\" "
                  "comment=\"a/>b\"><note>kept</note></Spot>\n") +
             "<!-- after -->\n",
         kSaved, "A@50 B@50 | deletes | expired 0, refused 0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SpotTable table;
        PendingDeletes pending;
        const SpotStateLoad load = loadSpotState(c.text, table, pending, 7200, kLoopNow, c.wallNow);
        EXPECT_EQ(outcome(load, table, pending), c.outcome);
    }

    // A round trip, as the bridge leaves the file at a stop: the SDR gets the same commands, the
    // spots have aged by the time the bridge was down, and a spot deleted before the stop stays
    // deleted.
    SpotTable table;
    PendingDeletes pending;
    const std::int64_t now = 5000; // the old run's loop clock
    table.add(entry("K1ABC", now - 100, "CW 25 WPM Gr\u00fc\u00dfe", "cw", 14025300.0));
    table.add(entry("GONE", now - 50, "x", "cw", 7000000.0));
    table.add(entry("DL1<&\">", now, "QSX; <up> & \"5\"\tTNX\r\n", "usb", 144300500.25));
    table.remove("GONE");
    pending.remember("GONE");
    pending.markSent("GONE", 1); // handed to the SDR, not yet known to have been heard
    pending.remember("JA1AAA");
    std::vector<std::string> commands;
    for (const SpotEntry& e : table)
        commands.push_back(spotCommand(e));
    const std::string saved = spotStateDocument(spotStateImage(table, pending, now, kSaved, 0));
    table = SpotTable();
    pending = PendingDeletes();
    SpotStateLoad load = loadSpotState(saved, table, pending, 7200, kLoopNow, kSaved + 60);
    EXPECT_EQ(outcome(load, table, pending),
              "K1ABC@-110 DL1<&\">@-10 | deletes GONE JA1AAA | expired 0, refused 0");
    std::vector<std::string> loaded;
    for (const SpotEntry& e : table)
        loaded.push_back(spotCommand(e));
    EXPECT_EQ(loaded, commands);

    // More than the limits allow, as only a hand-edited file could hold: the spots that made room
    // for later ones are deleted, and push the oldest deletions out.
    std::string body;
    for (std::size_t i = 0; i < PendingDeletes::kLimit + 5; ++i)
        body += pendingDelete("P" + std::to_string(i));
    body += manySpots(SpotTable::kLimit + 5);
    body += spot(std::string(kCallSignLimit + 1, 'L'), 0);          // not a call sign
    body += spot("LONG", 0, "", "comment", std::string(5000, 'c')); // cut to fit
    table = SpotTable();
    pending = PendingDeletes();
    load = loadSpotState(document(body), table, pending, 7200, kLoopNow, kSaved);
    EXPECT_EQ(load.refused, 7u);
    ASSERT_EQ(table.size(), SpotTable::kLimit);
    EXPECT_EQ(table.begin()->dxcall, "S6");
    EXPECT_EQ(spotCommand(*std::prev(table.end())),
              "spot:LONG,cw,14025000,5," + std::string(999, 'c') + ";");
    const std::vector<std::string> calls = pending.calls();
    ASSERT_EQ(calls.size(), PendingDeletes::kLimit);
    EXPECT_EQ(calls.front(), "P11");
    EXPECT_EQ(std::vector<std::string_view>(calls.end() - 6, calls.end()),
              (std::vector<std::string_view>{"S0", "S1", "S2", "S3", "S4", "S5"}));
}

} // namespace
