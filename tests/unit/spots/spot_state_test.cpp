#include "spots/spot_state.h"

#include <gtest/gtest.h>

#include <iterator>
#include <limits>
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
    for (std::string_view call : pending.link(0).calls())
        text += " " + std::string(call);
    return text + " | expired " + std::to_string(load.expired) + ", refused " +
           std::to_string(load.refused);
}

std::string shortestHz(const SpotEntry& e) {
    return std::to_string(static_cast<long long>(e.frequencyHz));
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
    pending.link(0).markSent("GONE", 1); // handed to the SDR, not yet known to have been heard
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
    const std::vector<std::string> calls = pending.link(0).calls();
    ASSERT_EQ(calls.size(), PendingDeletes::kLimit);
    EXPECT_EQ(calls.front(), "P11");
    EXPECT_EQ(std::vector<std::string_view>(calls.end() - 6, calls.end()),
              (std::vector<std::string_view>{"S0", "S1", "S2", "S3", "S4", "S5"}));
}

} // namespace

namespace {

// Whatever a spot holds, the bridge loads what it wrote: the same commands for the same calls,
// byte for byte. Every deletion that a load owes the SDR is kept, or said to be dropped.
TEST(SpotState, WhatIsWrittenLoads) {
    const std::string quotes(2000, '"');
    const std::string worstCall(kCallSignLimit, '"');
    const struct {
        const char* what;
        std::size_t spots;
        std::string call;    // numbered per spot
        std::string comment; // cut to what its command holds
        std::size_t pending;
        std::int64_t down; // seconds between the save and the load
        const char* outcome;
    } cases[] = {
        {"worst escapes", 200, worstCall.substr(8), quotes, 0, 60, "200 spots, 0 deletions"},
        {"control characters", 3, "A\r\nB\t&<>", "x", 1, 60, "3 spots, 1 deletions"},
        {"15,000 expired", 15000, "K", "CW", 0, 7300, "0 spots, 15000 deletions"},
        {"more deletions than kept", SpotTable::kLimit, "K", "CW", PendingDeletes::kLimit, 7300,
         "0 spots, 25000 deletions, 20000 dropped"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SpotTable table;
        PendingDeletes pending;
        for (std::size_t i = 0; i < c.spots; ++i) {
            SpotEntry e = entry(c.call + std::to_string(i), 5000, c.comment, "cw", 14025000.0);
            e.hidden = i % 2 == 1; // kept off the panorama, and after the load too
            e.n1mmKHz = 14025.3;
            e.kind = ModeKind::digital;
            e.status = "double mult";
            if (i % 3 == 0)
                e.marks = {{"Q" + std::to_string(i), "14", ModeKind::cw, 20261209140500},
                           {"R", "1.8", ModeKind::unknown, -1}};
            boundSpotEntry(e);
            table.add(std::move(e));
        }
        for (std::size_t i = 0; i < c.pending; ++i)
            pending.remember(c.call + "P" + std::to_string(i));
        std::vector<std::string> commands;
        const auto saved = [](const SpotEntry& e) {
            return shownCommand(e) + marksText(e.marks) + e.status + modeKindWord(e.kind) +
                   std::to_string(e.n1mmKHz);
        };
        for (const SpotEntry& e : table)
            commands.push_back(saved(e));
        const std::string text = spotStateDocument(spotStateImage(table, pending, 5000, kSaved, 7));
        EXPECT_LE(text.size(), 1024 + c.spots * kSavedSpotLimit + c.pending * kSavedDeletionLimit);
        SpotTable loadedTable;
        PendingDeletes loadedPending;
        const SpotStateLoad load =
            loadSpotState(text, loadedTable, loadedPending, 7200, kLoopNow, kSaved + c.down);
        ASSERT_EQ(load.status, SpotStateStatus::loaded) << load.reason;
        EXPECT_EQ(load.generation, 7u);
        std::string outcome = std::to_string(loadedTable.size()) + " spots, " +
                              std::to_string(loadedPending.size()) + " deletions";
        if (load.dropped > 0)
            outcome += ", " + std::to_string(load.dropped) + " dropped";
        EXPECT_EQ(outcome, c.outcome);
        if (loadedTable.size() == table.size()) {
            std::vector<std::string> loaded;
            for (const SpotEntry& e : loadedTable)
                loaded.push_back(saved(e));
            EXPECT_EQ(loaded, commands);
            EXPECT_NE(loadedTable.find(c.call + "0"), nullptr);
            EXPECT_EQ(loadedPending.link(0).calls(), pending.link(0).calls());
        }
    }

    // The bounds that the load limit counts on hold for the worst of everything.
    SpotEntry worst = entry(worstCall, 0, quotes, "unk", -1.7976931348623157e308);
    worst.colour = std::numeric_limits<std::int64_t>::min();
    worst.hidden = true;
    worst.status = std::string(kLogFieldLimit, '"');
    worst.n1mmKHz = -1.7976931348623157e308;
    worst.marks.assign(kMarksPerSpot,
                       QsoMark{std::string(kQsoIdLimit, 'x'), "10368.000000000", ModeKind::digital,
                               std::numeric_limits<std::int64_t>::min()});
    boundSpotEntry(worst);
    EXPECT_LE(journalSpotRecord(worst, std::numeric_limits<std::int64_t>::max(),
                                std::numeric_limits<std::int64_t>::min())
                  .size(),
              kSavedSpotLimit);
    EXPECT_LE(journalRecord(JournalMark::pending, worstCall).size(), kSavedDeletionLimit);
}

// Two SDR programs: each link's deletions come back to it, from the document and from the journal;
// a run with one link keeps the first link's as they are. The second link's records name no
// "dxcall" and are deletions by name, so that a build that knows one link refuses each as a record
// without a call, and keeps the rest as a one-link run of this build does.
TEST(SpotState, EachLinksDeletionsComeBackToIt) {
    SpotTable table;
    PendingDeletes pending(2);
    table.add(entry("LIVE", 5000, "CQ", "cw", 7000000.0));
    for (const char* call : {"BOTH", "ONE", "TWO", "GONE"})
        pending.remember(call);
    pending.link(0).forget("TWO");
    pending.link(1).forget("ONE");
    pending.link(1).forget("GONE");
    const std::string document = spotStateDocument(spotStateImage(table, pending, 5000, kSaved, 0));
    std::string journal = journalHeader() + journalSpotRecord(*table.find("LIVE"), 5000, kSaved);
    for (const char* call : {"BOTH", "ONE", "TWO", "GONE"})
        for (std::size_t link : {0, 1})
            journal += journalRecord(JournalMark::pending, call, link);
    for (const auto& [call, link] : {std::pair{"TWO", 0}, {"ONE", 1}, {"GONE", 1}})
        journal += journalRecord(JournalMark::settled, call, link);

    using Calls = std::vector<std::string>;
    for (const std::size_t links : {2, 1}) {
        SCOPED_TRACE(std::to_string(links) + " link(s)");
        SpotTable loadedTable;
        PendingDeletes loaded(links);
        const SpotStateLoad load =
            loadSpotState(document, loadedTable, loaded, 7200, kLoopNow, kSaved);
        SpotTable replayedTable;
        PendingDeletes replayed(links);
        SpotJournalReader reader(replayedTable, replayed, 7200, kLoopNow, kSaved);
        reader.feed(journal);
        const JournalReplay replay = reader.finish();
        EXPECT_EQ(load.refused + replay.refused, 0u);
        for (const PendingDeletes* p : {&loaded, &replayed}) {
            EXPECT_EQ(p->link(0).calls(), (Calls{"BOTH", "ONE", "GONE"}));
            EXPECT_EQ(p->link(1).calls(), links == 2 ? (Calls{"BOTH", "TWO"}) : Calls{});
        }
        EXPECT_NE(loadedTable.find("LIVE"), nullptr);
        EXPECT_NE(replayedTable.find("LIVE"), nullptr);
    }

    std::size_t secondLinks = 0;
    for (const std::string& text : {document, journal}) {
        std::size_t at = 0;
        for (std::size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
            const std::string line = text.substr(at, end - at);
            if (line.find("link=") == std::string::npos)
                continue;
            ++secondLinks;
            EXPECT_EQ(line.find("dxcall="), std::string::npos) << line;
            EXPECT_TRUE(line.find("<PendingDelete ") != std::string::npos ||
                        line.find("<Settled ") != std::string::npos)
                << line;
        }
    }
    EXPECT_EQ(secondLinks, 2u + 4u + 2u);

    // A fresh journal with the whole state, over that document: the second SDR has heard TWO
    // since, and owes it no more.
    const SpotStateImage saved = spotStateImage(table, pending, 5000, kSaved, 0);
    pending.link(1).forget("TWO");
    std::string whole = journalHeader();
    writeJournalSnapshot(spotStateImage(table, pending, 5000, kSaved, 1), {&saved},
                         [&whole](std::string_view piece) { whole += piece; });
    SpotTable wholeTable;
    PendingDeletes wholePending(2);
    loadSpotState(document, wholeTable, wholePending, 7200, kLoopNow, kSaved);
    SpotJournalReader reader(wholeTable, wholePending, 7200, kLoopNow, kSaved);
    reader.feed(whole);
    reader.finish();
    EXPECT_EQ(wholePending.link(0).calls(), (Calls{"BOTH", "ONE", "GONE"}));
    EXPECT_EQ(wholePending.link(1).calls(), Calls{"BOTH"});
}

// A journal replayed over what the document gave: its records in order, up to the first that is
// not whole, and past a hole of zeros (pages lost to a power cut) the whole records after it. It
// is read in pieces of any size.
TEST(SpotState, JournalReplay) {
    SpotEntry a = entry("A", 5000, "CQ", "cw", 7000000.0);
    const std::string spotA = journalSpotRecord(a, 5000, kSaved);
    a.frequencyHz = 7001000.0;
    const std::string movedA = journalSpotRecord(a, 5010, kSaved + 10);
    const std::string spotB = journalSpotRecord(entry("B", 5000, "", "cw", 1.0), 5000, kSaved);
    const std::string oldC = journalSpotRecord(entry("C", 0, "", "cw", 1.0), 5000, kSaved);
    const std::string head = journalHeader();
    const std::string page(4096, '\0');
    const std::string holeAt = std::to_string(head.size() + spotA.size());
    const std::string cutAt = std::to_string(head.size() + spotA.size() + 4);
    const std::string cutB = std::to_string(spotB.size() - 6);
    const struct {
        const char* what;
        std::string text;
        std::string outcome;
    } cases[] = {
        {"in order",
         head + spotA + spotB + movedA + journalRecord(JournalMark::pending, "B") +
             journalRecord(JournalMark::settled, "P") + journalRecord(JournalMark::removed, "Z"),
         "A:7001000 | B | 6 used"},
        {"expired while down", head + oldC, "Z:1 | P C | 1 used, 1 expired"},
        {"a torn last record", head + spotA + spotB.substr(0, 30),
         "Z:1 A:7000000 | P | 1 used, torn"},
        {"damaged in the middle", head + spotA + "<Spot dxcall=\"B\"\n" + spotB,
         "Z:1 A:7000000 | P | 1 used, damaged at line 3"},
        {"no line end in sight", head + std::string(kSavedSpotLimit + 1, ' '),
         "Z:1 | P | 0 used, damaged at line 2"},
        {"not a journal", "<TarnwickSpots version=\"1\" saved=\"0\">\n" + spotA,
         "Z:1 | P | 0 used, foreign"},
        {"empty", "", "Z:1 | P | 0 used"},
        {"the room past the last record", head + spotA + page, "Z:1 A:7000000 | P | 1 used"},
        {"a hole between records", head + spotA + page + spotB + page,
         "Z:1 A:7000000 B:1 | P | 2 used, 4096 zeros at " + holeAt + ", 1 used after, 0 cut"},
        {"a hole that cuts records",
         head + spotA + spotB.substr(0, 4) + page + spotB.substr(10) + movedA,
         "Z:1 A:7001000 | P | 2 used, 4096 zeros at " + cutAt + ", 1 used after, " + cutB + " cut"},
        {"a hole where the header was", page + spotB.substr(7) + spotB,
         "Z:1 B:1 | P | 1 used, 4096 zeros at 0, 1 used after, " +
             std::to_string(spotB.size() - 7) + " cut"},
    };
    for (const auto& c : cases) {
        for (const std::size_t piece : {std::size_t{7}, c.text.size() + 1}) {
            SCOPED_TRACE(std::string(c.what) + " in pieces of " + std::to_string(piece));
            SpotTable table;
            PendingDeletes pending;
            table.add(entry("Z", 0, "", "cw", 1.0));
            pending.remember("P");
            SpotJournalReader reader(table, pending, 7200, kLoopNow, kSaved + 7100);
            for (std::size_t at = 0; at < c.text.size(); at += piece)
                reader.feed(std::string_view(c.text).substr(at, piece));
            const JournalReplay replay = reader.finish();
            std::string outcome;
            for (const SpotEntry& e : table)
                outcome += (outcome.empty() ? "" : " ") + e.dxcall +
                           (e.frequencyHz > 1.0 ? ":" + shortestHz(e) : ":1");
            outcome += " |";
            for (const std::string& call : pending.link(0).calls())
                outcome += " " + call;
            outcome += " | " + std::to_string(replay.records) + " used";
            if (replay.expired > 0)
                outcome += ", " + std::to_string(replay.expired) + " expired";
            if (replay.torn)
                outcome += ", torn";
            if (replay.damagedAt > 0)
                outcome += ", damaged at line " + std::to_string(replay.damagedAt);
            if (replay.foreign)
                outcome += ", foreign";
            if (replay.holes > 0)
                outcome += ", " + std::to_string(replay.holeBytes) + " zeros at " +
                           std::to_string(replay.holeAt) + ", " +
                           std::to_string(replay.usedAfterHole) + " used after, " +
                           std::to_string(replay.cutBytes) + " cut";
            EXPECT_EQ(outcome, c.outcome);
        }
    }
}

} // namespace
