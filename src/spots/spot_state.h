// The spot state: the live spots and the deletions that the SDR may have missed, kept beside the
// settings file so that a restart neither forgets a spot nor leaves a stale one on the panorama.
// A document holds the whole state as it was at one moment; journals beside it hold every change
// since, one line each, appended as the changes happen. Pure: the caller reads and writes the
// files and reads the clocks.
//
// A second SDR program's deletions are kept as the first's are, in records that name its link
// (link="2") and its call under "call", not "dxcall": a build that knows one link refuses such a
// record as one without a call, and keeps the first link's spots and deletions as they are.
#pragma once

#include "spots/spot_table.h"
#include "spots/tci_spot_commands.h"
#include "spots/worked.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The document's name, in the folder of Tarnwick.xml.
inline constexpr const char* kSpotStateFileName = "Tarnwick.spots.xml";

// Where a text lies in an image's text.
struct TextSpan {
    std::size_t at = 0;
    std::size_t size = 0;
};

// A spot as a save keeps it: what its command needs, and its age.
struct SavedSpot {
    TextSpan dxcall;
    TextSpan mode;
    TextSpan comment;
    double frequencyHz = 0.0;
    std::int64_t colour = 0;
    std::int64_t age = 0;
    bool hidden = false;
    // What a QSO logged later needs to mark it, and what gives back its colour when the QSO goes.
    TextSpan status;
    TextSpan marks; // as marksText writes them
    double n1mmKHz = 0.0;
    ModeKind kind = ModeKind::unknown;
};

// The whole state at one moment, copied out of the table and the list so that the document can
// be written away from the loop while they move on. Their texts go one after another into one
// block: a plain copy, however many spots there are.
struct SpotStateImage {
    std::string text;
    std::vector<SavedSpot> spots; // in table order
    // Each link's calls, in order of deletion.
    std::vector<TextSpan> pending[PendingDeletes::kLinkLimit];
    std::int64_t wallNow = 0;     // seconds since the epoch
    std::uint64_t generation = 0; // the journals from this generation on continue it

    std::string_view operator[](TextSpan span) const {
        return std::string_view(text).substr(span.at, span.size);
    }
};

// loopNow is the loop clock's now, the clock of SpotEntry::received, which means nothing to the
// next run: the image holds ages. wallNow is saved with the document, so that the next run can
// tell how long the bridge was down.
SpotStateImage spotStateImage(const SpotTable& table, const PendingDeletes& pending,
                              std::int64_t loopNow, std::int64_t wallNow, std::uint64_t generation);

// Hands the document over in pieces of some tens of kilobytes, so that a large one is never held
// whole. Every byte of a call sign and a comment comes back as it was.
using TextSink = std::function<void(std::string_view piece)>;
void writeSpotStateDocument(const SpotStateImage& image, const TextSink& write);
// The same, whole.
std::string spotStateDocument(const SpotStateImage& image);

// The most bytes that the bridge writes for one spot or one deletion, whatever they hold: every
// byte of a call sign or a comment may take six as an entity. A document, or a journal record,
// that is longer was not written by the bridge.
inline constexpr std::size_t kSavedSpotLimit =
    512 + 6 * (kCallSignLimit + kTciCommandLimit + kLogFieldLimit) + kMarksPerSpot * 128;
inline constexpr std::size_t kSavedDeletionLimit = 128 + 6 * kCallSignLimit;
inline constexpr std::uintmax_t kSpotStateDocumentLimit =
    1024 + std::uintmax_t{SpotTable::kLimit} * kSavedSpotLimit +
    std::uintmax_t{PendingDeletes::kLimit} * kSavedDeletionLimit;

enum class SpotStateStatus {
    loaded,
    unreadable, // not well-formed, or without what every such document has
    foreign,    // some other document, or one that a later version of the program wrote
};

struct SpotStateLoad {
    SpotStateStatus status = SpotStateStatus::unreadable;
    std::string reason;           // why it was not loaded, for the one warning
    std::uint64_t generation = 0; // of the document; 0 in one that does not say
    bool generationSaid = false;  // false in a document written before there were journals
    std::size_t expired = 0;      // spots whose lifetime ended while the bridge was down
    std::size_t refused = 0;      // entries not taken as they stand: damaged, or past a limit
    std::uint64_t dropped = 0;    // deletions pushed out by later ones, past the list's limit
};

// Reads a document into an empty table and an empty pending list, with the current lifeTime, the
// new run's loop clock (loopNow) and the wall clock (wallNow). A spot is as old as it was at the
// save plus the time the bridge was down; a wall clock set back meanwhile counts as no time. A
// spot whose lifetime ended meanwhile becomes a pending deletion, after those in the document;
// so does a spot whose details are damaged, since the SDR may still show it. Whatever the
// document holds, the table and the list stay within their limits (the list drops its oldest
// calls, as it does while the bridge runs) and an entry within its bounds. Unless loaded, both
// are left untouched.
SpotStateLoad loadSpotState(std::string_view text, SpotTable& table, PendingDeletes& pending,
                            std::int32_t lifeTime, std::int64_t loopNow, std::int64_t wallNow);

// The journal: a first line that says what the file is, then one line per change, each saying
// where one call sign now stands, then zeros to the end of the room kept ahead. Replayed in order
// over the document it continues, the records give the state as it was when the last of them was
// written.
std::string journalHeader();
// The call is live with this spot; its age is taken at loopNow, and wallNow dates the record.
std::string journalSpotRecord(const SpotEntry& entry, std::int64_t loopNow, std::int64_t wallNow);
enum class JournalMark {
    removed, // the call is not live
    pending, // the call is not live, and its deletion waits for the SDR
    settled, // the call's deletion waits no more
};
// A deletion's record names its link from the second on (numbered from 0).
std::string journalRecord(JournalMark mark, std::string_view dxcall, std::size_t link = 0);

// The whole state of an image as journal records, to begin a fresh journal that makes every
// journal before it needless: replayed over a document that names no more calls than `before`
// do (or over none), they give the table and the list as the image holds them. Each call that
// `before` names and that is neither live nor pending in the image is removed and settled first,
// and a later link's deletion that the image no longer owes is settled for that link; then come
// the live spots in table order and each link's pending calls in order. A build that only
// replays journals over its document reads it as any other journal. Handed over in pieces, as
// the document is.
void writeJournalSnapshot(const SpotStateImage& image,
                          const std::vector<const SpotStateImage*>& before, const TextSink& write);

struct JournalReplay {
    std::size_t records = 0;       // records used
    std::size_t expired = 0;       // spots whose lifetime ended while the bridge was down
    std::size_t refused = 0;       // records whose details are damaged or past a limit
    bool foreign = false;          // not a journal of this program: nothing of it is used
    bool torn = false;             // the last record was cut short and is not used
    std::size_t damagedAt = 0;     // the line from which on nothing is used, when not only the last
    std::uint64_t unusedBytes = 0; // from that line, or of the torn record, to the end
    // Runs of zeros with changes after them: pages that a power cut kept from the disk.
    std::size_t holes = 0;
    std::uint64_t holeAt = 0;      // where the first begins, in bytes from the start
    std::uint64_t holeBytes = 0;   // zeros in them all
    std::size_t usedAfterHole = 0; // records used after the first
    std::uint64_t cutBytes = 0;    // of the records that they cut, which are not used
};

// Replays one journal over the table and the list, as loadSpotState reads a document, from
// pieces of the file as they are read. Records are used up to the first that is not whole: when
// that is the last, it was being written when the bridge ended. The zeros past the last record
// end it; zeros with records after them are a hole, past which the whole records are used.
// Memory stays within one record.
class SpotJournalReader {
public:
    SpotJournalReader(SpotTable& table, PendingDeletes& pending, std::int32_t lifeTime,
                      std::int64_t loopNow, std::int64_t wallNow);
    void feed(std::string_view bytes);
    JournalReplay finish();

private:
    void hole();
    void take(std::string_view bytes);
    void line(std::string_view text);
    void stop(std::size_t lineBytes);

    SpotTable& table_;
    PendingDeletes& pending_;
    std::int32_t lifeTime_;
    std::int64_t loopNow_;
    std::int64_t wallNow_;
    std::string partial_;
    std::size_t lines_ = 0;
    bool stopped_ = false;
    std::uint64_t offset_ = 0; // bytes fed so far
    std::uint64_t zeros_ = 0;  // of the run of zeros that the bytes fed so far end in
    bool cutting_ = false;     // past a hole, in the rest of a record that it cut
    std::size_t usedBeforeHole_ = 0;
    JournalReplay replay_;
};
