#include "spots/spot_table.h"

#include "spots/spot_relay.h"
#include "spots/spot_samples.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

namespace {

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

// The SDR must hear every deletion: one it has not been seen to hear is sent again at its next
// start.
TEST(LinkDeletes, StayUntilTheSdrHasShownItReadThem) {
    LinkDeletes pending;
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

// Two SDR programs: a deletion is owed to each, and each SDR's confirmation settles only its own.
// A second list that is not in use stays empty.
TEST(PendingDeletes, EachLinksSdrHearsItsOwn) {
    PendingDeletes pending(2);
    pending.remember("A");
    pending.remember("B");
    pending.link(1).markSent("A", 1);
    pending.link(1).confirmThrough(1);
    EXPECT_EQ(pending.link(0).calls(), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(pending.link(1).calls(), (std::vector<std::string>{"B"}));
    EXPECT_EQ(pending.size(), 3u);
    EXPECT_TRUE(pending.forget("A")); // live again: neither SDR is to delete it
    EXPECT_FALSE(pending.forget("A"));
    EXPECT_EQ(pending.link(0).calls(), (std::vector<std::string>{"B"}));
    pending.useLinks(1);
    pending.remember("C");
    EXPECT_EQ(pending.link(1).size(), 0u);
    EXPECT_EQ(pending.size(), 2u);
}

TEST(LinkDeletes, DropsTheOldestPastTheLimitWithOneWarning) {
    LinkDeletes pending;
    int warnings = 0;
    for (std::size_t i = 0; i < LinkDeletes::kLimit + 5; ++i)
        warnings += pending.remember("CALL" + std::to_string(i));
    EXPECT_EQ(warnings, 1);
    const std::vector<std::string> calls = pending.calls();
    ASSERT_EQ(calls.size(), LinkDeletes::kLimit);
    EXPECT_EQ(calls.front(), "CALL5");
    EXPECT_EQ(calls.back(), "CALL" + std::to_string(LinkDeletes::kLimit + 4));
    // Once heard and emptied, a new overflow is worth a new warning.
    for (const std::string& call : calls)
        pending.markSent(call, 1);
    pending.confirmThrough(1);
    for (std::size_t i = 0; i <= LinkDeletes::kLimit; ++i)
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
        void deletionPending(std::size_t link, const std::string& call) override {
            heard += " ?" + call + (link == 0 ? "" : "@2");
        }
        void deletionSettled(std::size_t link, const std::string& call) override {
            heard += " !" + call + (link == 0 ? "" : "@2");
        }
    } recorder;
    SpotTable table;
    LinkDeletes pending;
    for (std::size_t i = 0; i < SpotTable::kLimit; ++i)
        table.add(entryFor("S" + std::to_string(i), i < 2 ? 0 : 5000));
    for (std::size_t i = 0; i < LinkDeletes::kLimit; ++i)
        pending.remember("P" + std::to_string(i));
    table.setListener(&recorder);
    pending.setListener(&recorder);
    const struct {
        const char* what;
        void (*step)(SpotTable&, LinkDeletes&);
        const char* heard;
    } steps[] = {
        {"add to a full table", [](SpotTable& t, LinkDeletes&) { t.add(entryFor("N")); },
         " -S0 +N"},
        {"replace", [](SpotTable& t, LinkDeletes&) { t.add(entryFor("N", 2000)); }, " +N"},
        {"remove", [](SpotTable& t, LinkDeletes&) { t.remove("N"), t.remove("N"); }, " -N"},
        {"expire", [](SpotTable& t, LinkDeletes&) { t.expire(4000, 100); }, " -S1"},
        {"remember in a full list", [](SpotTable&, LinkDeletes& p) { p.remember("X"); }, " !P0 ?X"},
        {"remember again", [](SpotTable&, LinkDeletes& p) { p.remember("P5"); }, " ?P5"},
        {"forget", [](SpotTable&, LinkDeletes& p) { p.forget("X"), p.forget("X"); }, " !X"},
        {"confirm", [](SpotTable&, LinkDeletes& p) { p.markSent("P1", 1), p.confirmThrough(1); },
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

} // namespace
