#include "spots/spot_store.h"

#include "diag/log.h"
#include "platform/paths.h"

#include "temp_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
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
    for (const std::string& call : pending.link(1).calls())
        commands.push_back("TCI 2 " + spotDeleteCommand(call));
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

// A power cut that kept one page of the journal from the disk, while later ones reached it: the
// next run uses every whole record after the hole, says so and keeps a copy of the journal.
TEST(SpotStore, AJournalWithAHoleOfZerosLosesNothingAfterIt) {
    TempFolder folder;
    const path document = folder.path() / kSpotStateFileName;
    const path journal = folder.path() / "Tarnwick.spots.0.journal";
    {
        BridgeRun killed(document);
        for (int i = 0; i < 150; ++i)
            killed.table.add(spotOf("K" + std::to_string(i), 7000.0 + i));
        killed.store.flush();
    }
    std::string text = testfiles::readAll(journal);
    const std::size_t end = text.find('\0');
    ASSERT_GT(end, 3u * 4096u);
    // The calls whose records lie wholly outside the page.
    std::vector<std::string> kept;
    for (std::size_t at = text.find('\n') + 1; at < end; at = text.find('\n', at) + 1) {
        if (text.find('\n', at) < 4096 || at >= 8192)
            kept.push_back(text.substr(at + 14, text.find('"', at + 14) - at - 14));
    }
    text.replace(4096, 4096, 4096, '\0');
    std::ofstream(journal, std::ios::binary) << text;
    ASSERT_GT(kept.size(), 70u);
    BridgeRun again(document);
    std::vector<std::string> calls;
    for (const SpotEntry& e : again.table)
        calls.push_back(e.dxcall);
    EXPECT_EQ(calls, kept);
    EXPECT_EQ(testfiles::readAll(folder.path() / "Tarnwick.spots.0.journal.bad"), text);
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

std::uintmax_t journalBytes(const path& folder) {
    std::uintmax_t bytes = 0;
    std::error_code gone;
    for (const auto& entry : testfiles::fs::directory_iterator(folder))
        if (entry.path().extension() == ".journal")
            bytes += entry.file_size(gone);
    return bytes;
}

// While the document cannot be replaced, spots flow: each fold starts a fresh journal with the
// whole state, and the journals before it go, so that they stay within a bound that follows the
// table, not the run. A kill meanwhile loses nothing, over the document as it was, for either
// SDR; the failure is said once while it lasts, and once when it clears.
TEST(SpotStore, WhileTheDocumentIsHeldTheJournalsStayBoundedAndAKillLosesNothing) {
    TempFolder folder;
    const path document = folder.path() / kSpotStateFileName;
    const path log = folder.path() / "Tarnwick.log";
    AheadClock clock;
    {
        BridgeRun first(document);
        for (int i = 0; i < 300; ++i)
            first.table.add(spotOf("OLD" + std::to_string(i), 3500.0 + i));
        first.pending.remember("GONE");
        first.store.close(first.table, first.pending);
    }
    tlog::resetForTesting();
    tlog::configure({0, log, tlog::Target::none});
    const auto flood = [&clock](BridgeRun& run, int changes) {
        for (int i = 0; i < changes; ++i) {
            const std::string call = "K" + std::to_string(i % 500);
            if (i % 7 == 0) {
                run.table.remove(call);
                run.pending.remember(call);
            } else if (i % 11 == 0) {
                run.pending.link(1).forget(call); // the second SDR heard the deletion
            } else {
                run.pending.forget(call);
                run.table.add(spotOf(call, 7000.0 + i % 1000));
            }
            run.store.flush();
            if (i % 50 == 0) {
                clock.aheadMs += 100;
                run.store.service(run.table, run.pending);
            }
        }
    };
    // A moment without changes, as before any kill: the store's thread catches up with a flood
    // far faster than N1MM+ sends.
    const auto quiet = [&clock, &folder](BridgeRun& run, const std::function<bool()>& done) {
        for (int i = 0; i < 500 && (i < 5 || !done()); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            clock.aheadMs += 100;
            run.store.service(run.table, run.pending);
        }
    };
    const auto fewJournals = [&folder] {
        return journalBytes(folder.path()) <= 2 * SpotStore::kJournalRoom;
    };
    std::vector<std::string> before;
    std::optional<testfiles::HeldAgainstReplacement> held;
    {
        BridgeRun killed(document, 256u * 1024u, clock, 2);
        held.emplace(document);
        for (int i = 0; i < 300; i += 2)
            killed.table.remove("OLD" + std::to_string(i));
        killed.pending.forget("GONE");
        flood(killed, 120000);
        quiet(killed, fewJournals);
        EXPECT_TRUE(fewJournals()) << journalBytes(folder.path());
        before = picture(killed.table, killed.pending);
    }
    held.reset();
    const std::string said = testfiles::readAll(log);
    {
        BridgeRun again(document, 256u * 1024u, clock, 2);
        EXPECT_EQ(picture(again.table, again.pending), before);
        // The document that folds the journals found is written before it is held again.
        quiet(again, [&folder] { return journalBytes(folder.path()) <= SpotStore::kJournalRoom; });
        held.emplace(document);
        flood(again, 5000);
        quiet(again, [&log, &said] {
            return testfiles::readAll(log).find("Could not save", said.size()) != std::string::npos;
        });
        held.reset();
        quiet(again, [&log, &said] {
            return testfiles::readAll(log).find(" again\n", said.size()) != std::string::npos;
        });
        before = picture(again.table, again.pending);
    }
    BridgeRun last(document, SpotStore::kFoldBytes, platform::systemClock(), 2);
    EXPECT_EQ(picture(last.table, last.pending), before);
    const std::string cleared = testfiles::readAll(log).substr(said.size());
    tlog::resetForTesting();
    const auto count = [](const std::string& lines, const std::string& text) {
        std::size_t n = 0;
        for (std::size_t at = lines.find(text); at != std::string::npos;
             at = lines.find(text, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count(said, "Could not save the spots"), 1u) << said;
    EXPECT_EQ(count(said, "cannot be replaced"), 1u) << said;
    EXPECT_EQ(count(cleared, " again\n"), 1u) << cleared;
}

// Every open of a journal, with its allocation and mapping, hangs as on a network folder that
// stalled, except on the loop's thread, where it is only counted: the loop must make none.
class HangingDisk {
public:
    HangingDisk() {
        std::lock_guard<std::mutex> lock(mutex_);
        loop_ = std::this_thread::get_id();
        hanging_ = true;
        onLoop_ = 0;
        hung_ = 0;
        platform::MappedFile::setOpenHookForTesting(&open);
    }
    ~HangingDisk() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            hanging_ = false;
            changed_.notify_all();
        }
        platform::MappedFile::setOpenHookForTesting(nullptr);
    }
    int onLoop() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return onLoop_;
    }
    int hung() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return hung_;
    }

private:
    static void open(const platform::Path&) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (std::this_thread::get_id() == loop_) {
            ++onLoop_;
            return;
        }
        ++hung_;
        changed_.wait(lock, [] { return !hanging_; });
    }
    static inline std::mutex mutex_;
    static inline std::condition_variable changed_;
    static inline std::thread::id loop_;
    static inline bool hanging_ = false;
    static inline int onLoop_ = 0;
    static inline int hung_ = 0;
};

// While the disk of the journal hangs, the loop goes on: it makes no journal, gives none room and
// maps none itself, whatever the store's thread has not done; the changes wait in memory within
// their bound and then for a document. A stop that cannot wait for the disk leaves the folder's
// lock held until the last save ends.
TEST(SpotStore, WhileItsDiskHangsTheLoopOpensNoFileAndTheLockOutlivesTheStop) {
    TempFolder folder;
    const path document = folder.path() / kSpotStateFileName;
    const path lockFile = folder.path() / "Tarnwick.lock";
    AheadClock clock;
    std::optional<HangingDisk> disk;
    {
        BridgeRun run(document, SpotStore::kFoldBytes, clock);
        disk.emplace();
        for (int i = 0; i < 7000; ++i) {
            SpotEntry spot = spotOf("K" + std::to_string(i % 3000), 7000.0 + i);
            spot.comment.assign(600, 'x');
            run.table.add(std::move(spot));
            run.store.flush();
            if (i % 100 == 0) {
                clock.aheadMs += 1000;
                run.store.service(run.table, run.pending);
            }
        }
        EXPECT_EQ(disk->onLoop(), 0);
        EXPECT_EQ(disk->hung(), 1);
        auto held =
            std::make_shared<platform::FileLock>(platform::FileLock::tryLock(lockFile, true));
        EXPECT_FALSE(run.store.close(run.table, run.pending, held));
        held.reset();
        EXPECT_EQ(platform::FileLock::tryLock(lockFile, false).state(),
                  platform::FileLock::State::heldElsewhere);
    }
    // The store is gone; its thread is still in the open that hangs.
    EXPECT_EQ(platform::FileLock::tryLock(lockFile, false).state(),
              platform::FileLock::State::heldElsewhere);
    disk.reset();
    platform::FileLock::State lock = platform::FileLock::State::heldElsewhere;
    for (int i = 0; i < 1000 && lock == platform::FileLock::State::heldElsewhere; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        lock = platform::FileLock::tryLock(lockFile, false).state();
    }
    EXPECT_EQ(lock, platform::FileLock::State::held);
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
