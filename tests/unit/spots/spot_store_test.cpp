#include "spots/spot_store.h"

#include "temp_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using testfiles::TempFolder;
using testfiles::fs::path;

SpotEntry spotOf(const std::string& call, double kHz) {
    SpotEntry e;
    e.dxcall = call;
    e.mode = "cw";
    e.comment = "CQ \"" + call + "\"";
    e.frequencyHz = kHz * 1000.0;
    e.received = platform::systemClock().steadyMillis() / 1000;
    return e;
}

// What the SDR would be sent at its next start.
std::vector<std::string> picture(const SpotTable& table, const PendingDeletes& pending) {
    std::vector<std::string> commands;
    for (const std::string& call : pending.link(0).calls())
        commands.push_back(spotDeleteCommand(call));
    for (const SpotEntry& e : table)
        commands.push_back(spotCommand(e));
    return commands;
}

std::vector<std::string> filesIn(const path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : testfiles::fs::directory_iterator(folder))
        names.push_back(entry.path().filename().u8string());
    std::sort(names.begin(), names.end());
    return names;
}

// The system's clocks, the steady one as far ahead as a test wants.
class AheadClock final : public platform::Clock {
public:
    std::int64_t steadyMillis() const override {
        return platform::systemClock().steadyMillis() + aheadMs;
    }
    std::int64_t wallSeconds() const override { return platform::systemClock().wallSeconds(); }
    std::int64_t aheadMs = 0;
};

// A store as the bridge runs it: opened, told of every change, flushed as the loop does.
struct BridgeRun {
    explicit BridgeRun(const path& document, std::uint64_t foldBytes = SpotStore::kFoldBytes,
                       const platform::Clock& clock = platform::systemClock(),
                       std::size_t links = 1)
        : pending(links), store(document, clock, foldBytes) {
        store.open(table, pending, 7200);
        table.setListener(&store);
        pending.setListener(&store);
    }
    SpotTable table;
    PendingDeletes pending;
    SpotStore store;
};

// Ended without a word (the process killed), the next run finds every change; a clean stop
// leaves the document alone, holding it all.
TEST(SpotStore, AKilledRunLosesNothingAndAStopLeavesOneDocument) {
    TempFolder folder;
    const path document = folder.path() / kSpotStateFileName;
    std::vector<std::string> before;
    {
        BridgeRun killed(document);
        killed.table.add(spotOf("A", 7000.0));
        killed.table.add(spotOf("B", 14000.0));
        killed.table.add(spotOf("A", 7001.0));
        killed.table.remove("B");
        killed.pending.remember("B");
        killed.pending.remember("C");
        killed.pending.link(0).markSent("C", 1);
        killed.pending.link(0).confirmThrough(1);
        killed.store.flush();
        before = picture(killed.table, killed.pending);
    }
    EXPECT_EQ(filesIn(folder.path()), std::vector<std::string>{"Tarnwick.spots.0.journal"});
    {
        BridgeRun again(document);
        EXPECT_EQ(picture(again.table, again.pending), before);
        again.store.close(again.table, again.pending);
    }
    EXPECT_EQ(filesIn(folder.path()), std::vector<std::string>{"Tarnwick.spots.xml"});
    BridgeRun last(document);
    EXPECT_EQ(picture(last.table, last.pending), before);
}

// Two SDR programs: killed while the second has not heard a deletion that the first has, and
// while the first has not heard one that the second has, the next run owes each its own.
TEST(SpotStore, AKillKeepsEachLinksDeletions) {
    TempFolder folder;
    const path document = folder.path() / kSpotStateFileName;
    const platform::Clock& clock = platform::systemClock();
    const std::vector<std::string> one = {"A"}, two = {"B"};
    {
        BridgeRun killed(document, SpotStore::kFoldBytes, clock, 2);
        for (const char* call : {"A", "B"}) {
            killed.table.add(spotOf(call, 7000.0));
            killed.table.remove(call);
            killed.pending.remember(call);
        }
        killed.pending.link(0).markSent("B", 1);
        killed.pending.link(0).confirmThrough(1);
        killed.pending.link(1).markSent("A", 1);
        killed.pending.link(1).confirmThrough(1);
        killed.store.flush();
    }
    BridgeRun again(document, SpotStore::kFoldBytes, clock, 2);
    EXPECT_EQ(again.pending.link(0).calls(), one);
    EXPECT_EQ(again.pending.link(1).calls(), two);
    again.store.close(again.table, again.pending);
    BridgeRun last(document, SpotStore::kFoldBytes, clock, 2);
    EXPECT_EQ(last.pending.link(0).calls(), one);
    EXPECT_EQ(last.pending.link(1).calls(), two);
}

// A document written after a journal (killed between the two) holds what the journal says: the
// journal is not replayed over it. A refused document is kept as .bad.
TEST(SpotStore, OnlyJournalsThatContinueTheDocumentAreReplayed) {
    TempFolder folder;
    const path document = folder.path() / kSpotStateFileName;
    SpotTable table;
    PendingDeletes pending;
    table.add(spotOf("A", 14100.0));
    const std::vector<std::string> saved = picture(table, pending);
    const std::int64_t loopNow = platform::systemClock().steadyMillis() / 1000;
    const std::int64_t wallNow = platform::systemClock().wallSeconds();
    std::ofstream(document, std::ios::binary)
        << spotStateDocument(spotStateImage(table, pending, loopNow, wallNow, 3));
    std::ofstream(path(folder.path() / "Tarnwick.spots.2.journal"), std::ios::binary)
        << journalHeader() << journalSpotRecord(spotOf("A", 7000.0), loopNow, wallNow)
        << journalRecord(JournalMark::pending, "B");
    std::ofstream(path(folder.path() / "Tarnwick.spots.3.journal"), std::ios::binary)
        << journalHeader() << journalSpotRecord(spotOf("C", 3500.0), loopNow, wallNow);
    table.add(spotOf("C", 3500.0));
    {
        BridgeRun run(document);
        EXPECT_EQ(picture(run.table, run.pending), picture(table, pending));
    }
    EXPECT_EQ(filesIn(folder.path()),
              (std::vector<std::string>{"Tarnwick.spots.4.journal", "Tarnwick.spots.xml"}));

    std::ofstream(document, std::ios::binary) << "<TarnwickSpots version=\"1\"";
    std::ofstream(path(folder.path() / "Tarnwick.spots.4.journal"), std::ios::binary)
        << journalHeader() << journalSpotRecord(spotOf("D", 1800.0), loopNow, wallNow);
    BridgeRun refused(document);
    EXPECT_EQ(testfiles::readAll(folder.path() / "Tarnwick.spots.xml.bad"),
              "<TarnwickSpots version=\"1\"");
    // The journal that continued it still tells where the calls it names stand.
    ASSERT_EQ(refused.table.size(), 1u);
    EXPECT_EQ(refused.table.begin()->dxcall, "D");
}

// A journal that has grown is folded into a new document while a new journal takes the changes;
// the old one goes once the document is written.
TEST(SpotStore, AJournalThatGrowsIsFolded) {
    TempFolder folder;
    const path document = folder.path() / kSpotStateFileName;
    std::vector<std::string> before;
    {
        BridgeRun run(document, 2000);
        for (int i = 0; i < 20; ++i)
            run.table.add(spotOf("K" + std::to_string(i), 7000.0 + i));
        run.store.service(run.table, run.pending);
        run.table.remove("K3");
        run.pending.remember("K3");
        run.store.service(run.table, run.pending);
        // A pass at a time, as the loop runs: the writer makes the next journal meanwhile.
        for (int i = 0; i < 500 && testfiles::fs::exists(run.store.journal(0)); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            run.store.service(run.table, run.pending);
        }
        EXPECT_EQ(filesIn(folder.path()),
                  (std::vector<std::string>{"Tarnwick.spots.1.journal", "Tarnwick.spots.xml"}));
        before = picture(run.table, run.pending);
    }
    BridgeRun again(document);
    EXPECT_EQ(picture(again.table, again.pending), before);
}

// A journal that outgrows its room gets more, ahead of the changes or, when they come faster than
// the writer, at once: a kill still loses none of them.
TEST(SpotStore, AJournalLongerThanItsRoomLosesNothing) {
    TempFolder folder;
    const path document = folder.path() / kSpotStateFileName;
    std::vector<std::string> before;
    {
        BridgeRun killed(document, 64u * 1024u * 1024u);
        for (int i = 0; i < 6000; ++i) {
            SpotEntry spot = spotOf("K" + std::to_string(i), 7000.0 + i);
            spot.comment.assign(600, 'x');
            killed.table.add(std::move(spot));
            killed.store.flush();
            if (i % 100 == 0 || i > 4000)
                killed.store.service(killed.table, killed.pending);
        }
        before = picture(killed.table, killed.pending);
    }
    EXPECT_GT(testfiles::fs::file_size(folder.path() / "Tarnwick.spots.0.journal"),
              2 * SpotStore::kJournalRoom);
    BridgeRun again(document);
    EXPECT_EQ(picture(again.table, again.pending), before);
}

// Where no journal can be made, the document is saved within five seconds of a change, so that
// a kill after that loses nothing.
TEST(SpotStore, WithoutAJournalTheDocumentIsSavedWithinFiveSeconds) {
    TempFolder folder;
    const path document = folder.path() / kSpotStateFileName;
    for (int generation = 0; generation < 4; ++generation)
        testfiles::fs::create_directory(
            folder.path() / ("Tarnwick.spots." + std::to_string(generation) + ".journal"));
    AheadClock clock;
    std::vector<std::string> before;
    {
        BridgeRun killed(document, SpotStore::kFoldBytes, clock);
        killed.table.add(spotOf("A", 7000.0));
        killed.store.service(killed.table, killed.pending);
        EXPECT_FALSE(testfiles::fs::exists(document));
        clock.aheadMs += SpotStore::kRetryMs;
        killed.store.service(killed.table, killed.pending);
        for (int i = 0; i < 500 && !testfiles::fs::exists(document); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        before = picture(killed.table, killed.pending);
    }
    BridgeRun again(document);
    EXPECT_EQ(picture(again.table, again.pending), before);
    EXPECT_EQ(again.table.size(), 1u);
}

// Journals that this build cannot use are kept as .bad; one older than a document written before
// there were journals is not replayed over it; a save's leftover temporary file goes.
TEST(SpotStore, UnusableJournalsAreKeptAndOldOnesNeverReplayedOverANewerDocument) {
    TempFolder folder;
    const path document = folder.path() / kSpotStateFileName;
    const std::int64_t loopNow = platform::systemClock().steadyMillis() / 1000;
    const std::int64_t wallNow = platform::systemClock().wallSeconds();
    SpotTable table;
    PendingDeletes pending;
    table.add(spotOf("NEW", 7000.0));
    std::string old = spotStateDocument(spotStateImage(table, pending, loopNow, wallNow, 0));
    old.erase(old.find(" generation=\"0\""), std::string(" generation=\"0\"").size());
    const auto write = [&folder](const std::string& name, const std::string& text) {
        std::ofstream(path(folder.path() / name), std::ios::binary) << text;
        return folder.path() / name;
    };
    const path older =
        write("Tarnwick.spots.5.journal",
              journalHeader() + journalSpotRecord(spotOf("OLD", 3500.0), loopNow, wallNow));
    const std::string foreign = "<SomeoneElse version=\"1\"/>\n";
    const std::string damaged =
        journalHeader() + "<Spot dxcall=\"X\"\n" + journalRecord(JournalMark::removed, "NEW");
    write("Tarnwick.spots.7.journal", foreign);
    write("Tarnwick.spots.8.journal", damaged);
    write("Tarnwick.spots.xml.4242.tmp", "cut short");
    write("Tarnwick.xml.4242.tmp", "a settings save of another process");
    const auto documentTime = testfiles::fs::last_write_time(write(kSpotStateFileName, old));
    testfiles::fs::last_write_time(older, documentTime - std::chrono::hours(1));
    {
        BridgeRun run(document);
        EXPECT_EQ(picture(run.table, run.pending), picture(table, pending));
    }
    EXPECT_EQ(testfiles::readAll(folder.path() / "Tarnwick.spots.7.journal.bad"), foreign);
    EXPECT_EQ(testfiles::readAll(folder.path() / "Tarnwick.spots.8.journal.bad"), damaged);
    const std::vector<std::string> names = filesIn(folder.path());
    EXPECT_EQ(std::count(names.begin(), names.end(), "Tarnwick.spots.xml.4242.tmp"), 0);
    EXPECT_EQ(std::count(names.begin(), names.end(), "Tarnwick.xml.4242.tmp"), 1);
}

} // namespace
