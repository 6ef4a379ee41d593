// What keeping the spots costs, for a full table (20,000 spots) of everyday comments and of the
// worst comments (as long as a command allows, every byte an entity in the file):
// - BM_Image: the copy that the loop takes when the journal is folded (on the loop);
// - BM_Document: making the document from it (on the store's thread);
// - BM_Save: writing it in one step, pushed to the disk (on the store's thread);
// - BM_Load: reading it back at the start;
// - BM_JournalRecord: one change as the loop hands it to the system, from the record to the
//   write (the loop's cost per change).
// - BM_WholeState: the whole state as journal records, written into a fresh journal at a fold
//   while the document cannot be replaced (on the store's thread; the loop's part is BM_Image).
// - BM_Contact: a QSO logged and deleted against a full table (the loop's cost per Contacts
//   datagram, which must stay within a few milliseconds).
// Run from a folder on the disk that the bridge would use: the save and the record write there.
#include "platform/files.h"
#include "spots/spot_state.h"
#include "spots/worked.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

namespace {

enum Comments { everyday, worst };

const SpotTable& fullTable(Comments comments) {
    static SpotTable tables[2];
    SpotTable& table = tables[comments];
    if (table.empty()) {
        for (std::size_t i = 0; i < SpotTable::kLimit; ++i) {
            SpotEntry entry;
            entry.dxcall = comments == worst ? std::string(59, '"') + std::to_string(i)
                                             : "DL" + std::to_string(i);
            entry.mode = "cw";
            entry.comment = comments == worst ? std::string(2000, '"') : "CW 25 WPM CQ";
            entry.frequencyHz = 14025300.0 + static_cast<double>(i);
            entry.colour = 0xFF51A8FF;
            entry.received = 5000;
            boundSpotEntry(entry);
            table.add(std::move(entry));
        }
    }
    return table;
}

const PendingDeletes& noPending() {
    static const PendingDeletes pending;
    return pending;
}

void BM_Image(benchmark::State& state) {
    const SpotTable& table = fullTable(static_cast<Comments>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(spotStateImage(table, noPending(), 6000, 1780000000, 1));
}
BENCHMARK(BM_Image)->Arg(everyday)->Arg(worst)->Unit(benchmark::kMillisecond);

void BM_Document(benchmark::State& state) {
    const SpotStateImage image = spotStateImage(fullTable(static_cast<Comments>(state.range(0))),
                                                noPending(), 6000, 1780000000, 1);
    std::size_t bytes = 0;
    for (auto _ : state) {
        bytes = 0;
        writeSpotStateDocument(image, [&bytes](std::string_view piece) { bytes += piece.size(); });
    }
    state.counters["MB"] = static_cast<double>(bytes) / 1e6;
}
BENCHMARK(BM_Document)->Arg(everyday)->Arg(worst)->Unit(benchmark::kMillisecond);

void BM_Save(benchmark::State& state) {
    const SpotStateImage image = spotStateImage(fullTable(static_cast<Comments>(state.range(0))),
                                                noPending(), 6000, 1780000000, 1);
    const platform::Path path = "spot_state_bench.xml";
    for (auto _ : state) {
        const platform::FileError error = platform::replaceFileWith(path, [&](std::FILE* file) {
            platform::FileError failed;
            writeSpotStateDocument(image, [&](std::string_view piece) {
                if (!failed)
                    failed = platform::writeToSystem(file, piece);
            });
            return failed ? failed : platform::syncToDisk(file);
        });
        if (error)
            state.SkipWithError(platform::describe(error).c_str());
    }
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}
BENCHMARK(BM_Save)->Arg(everyday)->Arg(worst)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Load(benchmark::State& state) {
    const std::string text = spotStateDocument(spotStateImage(
        fullTable(static_cast<Comments>(state.range(0))), noPending(), 6000, 1780000000, 1));
    for (auto _ : state) {
        SpotTable table;
        PendingDeletes pending;
        const SpotStateLoad load = loadSpotState(text, table, pending, 7200, 100, 1780000010);
        if (load.status != SpotStateStatus::loaded || table.size() != SpotTable::kLimit)
            state.SkipWithError("the document did not load whole");
    }
}
BENCHMARK(BM_Load)->Arg(everyday)->Arg(worst)->Unit(benchmark::kMillisecond);

void BM_JournalRecord(benchmark::State& state) {
    const SpotEntry& entry = *fullTable(static_cast<Comments>(state.range(0))).begin();
    const platform::Path path = "spot_state_bench.journal";
    platform::UniqueFile file = platform::openFile(path, "wb");
    for (auto _ : state) {
        if (platform::writeToSystem(file.get(), journalSpotRecord(entry, 6000, 1780000000)))
            state.SkipWithError("the journal could not be written");
    }
    file.reset();
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}
BENCHMARK(BM_JournalRecord)->Arg(everyday)->Arg(worst)->Unit(benchmark::kMicrosecond);

void BM_WholeState(benchmark::State& state) {
    const SpotStateImage image = spotStateImage(fullTable(static_cast<Comments>(state.range(0))),
                                                noPending(), 6000, 1780000000, 1);
    std::size_t bytes = 0;
    for (auto _ : state) {
        bytes = 0;
        writeJournalSnapshot(image, {&image},
                             [&bytes](std::string_view piece) { bytes += piece.size(); });
    }
    state.counters["MB"] = static_cast<double>(bytes) / 1e6;
}
BENCHMARK(BM_WholeState)->Arg(everyday)->Arg(worst)->Unit(benchmark::kMillisecond);

void BM_Contact(benchmark::State& state) {
    SpotTable table;
    for (std::size_t i = 0; i < SpotTable::kLimit; ++i) {
        SpotEntry entry;
        entry.dxcall = "DL" + std::to_string(i);
        entry.mode = "cw";
        entry.kind = ModeKind::cw;
        entry.comment = "CW 25 WPM CQ";
        entry.n1mmKHz = 14025.3;
        entry.frequencyHz = 14025300.0;
        table.add(std::move(entry));
    }
    const BridgeSettings settings;
    const SpotLook look;
    ContactFields qso{
        ContactFields::Kind::info, "4f1a9c0d2e3b4a5f8d7c6b5a49382716", "DL10000", "14", "0", "CW",
        "2026-12-09 14:05:23"};
    for (auto _ : state) {
        qso.kind = ContactFields::Kind::info;
        benchmark::DoNotOptimize(applyContact(table, qso, settings, look));
        qso.kind = ContactFields::Kind::remove;
        benchmark::DoNotOptimize(applyContact(table, qso, settings, look));
    }
}
BENCHMARK(BM_Contact)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
