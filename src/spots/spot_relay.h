// The spot relay's pure pieces: the N1MM+ datagram reader, the spot's colour, mode and SDR
// frequency, the TCI spot command texts and the table of live spots with its expiry sweep.
#pragma once

#include "settings/settings.h"

#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The kind of a mode, as far as a worked station goes: a CW QSO does not work a phone spot.
enum class ModeKind { unknown, cw, phone, digital };

// A QSO from N1MM+'s log that marks a live spot as worked: only what the mark needs, and what a
// later replace or delete of the QSO needs.
struct QsoMark {
    std::string id;   // N1MM+'s ID of the QSO
    std::string band; // MHz, as N1MM+ wrote it
    ModeKind kind = ModeKind::unknown;
    std::int64_t stamp = -1; // its time stamp as a comparable number; -1 when there is none
};

// One live spot, fields in the order N1MM+ and the relay fill them.
struct SpotEntry {
    std::string StationName;
    std::string dxcall;
    std::string frequency; // kHz, as received
    std::string spottercall;
    std::string comment;
    std::string action;
    std::string status;
    std::string statuslist;
    std::string timestamp;
    std::string mode;          // "cw", "rtty", "usb", "lsb", "psk" or "unk"
    double frequencyHz = 0.0;  // after the transverter rule
    std::int64_t colour = 0;   // ARGB
    std::int64_t received = 0; // seconds on the loop's clock, which only the running bridge knows
    bool hidden = false;       // kept, but not shown on the panorama
    double n1mmKHz = 0.0;      // as N1MM+ gave it, before the transverter rule; 0: not known
    ModeKind kind = ModeKind::unknown;
    std::int64_t stamp = -1;    // the spot's time stamp as a comparable number; -1: none
    std::vector<QsoMark> marks; // the QSOs that worked it, oldest first
};

// The text of a missing element, or of one whose first child is not text.
inline constexpr const char* kNoneText = "<none>";

// No TCI command that the bridge sends is longer than this many bytes: some servers drop long
// text messages, and no real spot needs more than a few dozen bytes.
inline constexpr std::size_t kTciCommandLimit = 1024;
// A longer call sign is not a call sign: such a spot is refused.
inline constexpr std::size_t kCallSignLimit = 64;
// What an entry keeps of the fields that nothing reads once it is built (the line logged on
// arrival shows them whole): short enough to live inside the string object itself, so that
// 20,000 entries of hostile text cost no more than 20,000 of N1MM+'s.
inline constexpr std::size_t kLogFieldLimit = 15;

// The nine text fields of a `spot` element, as received.
struct SpotFields {
    std::string StationName;
    std::string dxcall;
    std::string frequency;
    std::string spottercall;
    std::string comment;
    std::string action;
    std::string status;
    std::string statuslist;
    std::string timestamp;
    std::string mode = kNoneText; // N1MM+'s own, when it sends one
};

// The fields of a logged QSO that the bridge reads (`contactinfo`, `contactreplace`,
// `contactdelete`).
struct ContactFields {
    enum class Kind { info, replace, remove } kind = Kind::info;
    std::string ID;
    std::string call;
    std::string band;
    std::string rxfreq;
    std::string mode;
    std::string timestamp;
};

// The two fields of a `RadioInfo` element that the bridge reads.
struct RadioFields {
    std::string RadioNr;
    std::string Freq;
};

enum class N1mmDatagramKind {
    malformed, // not well-formed XML
    radio,     // a top-level RadioInfo element
    spot,      // a top-level spot element (and no RadioInfo)
    contact,   // a top-level contactinfo, contactreplace or contactdelete element
    nothing,   // well-formed, but none of these
};

struct N1mmDatagram {
    N1mmDatagramKind kind = N1mmDatagramKind::nothing;
    RadioFields radio;     // filled for radio
    SpotFields spot;       // filled for spot
    ContactFields contact; // filled for contact
};

// How spots look on the panorama: the text each carries, and the statuses kept off it.
struct SpotLook {
    std::string text = "{comment}";
    std::vector<std::string> hiddenStatuses; // lower case, without blanks around them
};

// The look the settings ask for. A SpotText with a placeholder that is not one of {comment},
// {spotter}, {status}, {time} and {call} leaves the default text, and problem says why.
SpotLook spotLook(const BridgeSettings& settings, std::string& problem);
// The first placeholder of a template that is not one of the five; empty when there is none.
std::optional<std::string> unknownSpotTextPlaceholder(std::string_view text);
// The template filled from a datagram's fields, cut once it is longer than any command holds.
std::string spotText(std::string_view text, const SpotFields& fields);
// Whether a status is one of the hidden ones, whatever its case and blanks around it.
bool hiddenStatus(std::string_view status, const SpotLook& look);

// Reads one datagram, taken as text up to its first zero byte.
N1mmDatagram readN1mmDatagram(std::string_view bytes);

// Leading number of a text: optional blanks, an optional sign, then the number; the rest is
// ignored. Empty when the text does not begin with a number or the number is out of range.
// The spot frequency: a decimal number with '.' as its point; only finite results count.
std::optional<double> leadingDouble(std::string_view text);
// Radio 1's Freq and the dds frequency: every ',' becomes '.' first, then the leading integer.
std::optional<std::int32_t> leadingInteger(std::string_view text);

// The colour setting for a status word; a status outside the seven words gets the new-QSO colour.
std::int64_t spotColour(std::string_view status, const BridgeSettings& settings);

// The TCI mode word chosen by markers in the comment.
const char* spotMode(std::string_view comment);

// The first transverter in list order whose rf is not above the frequency shifts it to
// its IF; otherwise the frequency stays (kHz in, kHz out).
double transverterShift(double kHz, const std::vector<TransverterEntry>& transverters);

// A whole entry from a datagram's fields, received at now, within the bounds of
// boundSpotEntry. Empty when the frequency cannot be used (it does not begin with a number, or
// the shifted value in Hz is not finite).
std::optional<SpotEntry> buildSpotEntry(const SpotFields& fields, const BridgeSettings& settings,
                                        std::int64_t now, const SpotLook& look = SpotLook());

// The longest start of text of at most maxBytes bytes that does not end inside a UTF-8 sequence.
std::string_view utf8Prefix(std::string_view text, std::size_t maxBytes);

// Cuts what an entry keeps, each at a character boundary: the fields used only in the log to
// kLogFieldLimit bytes, the comment to what its command has room for. Whatever arrives, an entry
// then holds a few kilobytes at most. The call sign is left alone: it is refused, not cut.
void boundSpotEntry(SpotEntry& entry);

// Text from outside placed into a TCI command: each ';' and each control character becomes a
// blank, so that a comment cannot end the command early and smuggle in one of its own, and what
// is not UTF-8 (a spot kept by an older build) is mended as the datagram reader mends it.
std::string tciSafeText(std::string_view text);

// "spot:" dxcall "," mode "," Hz "," colour "," comment ";" with the Hz rounded to whole hertz
// and the comment cut at a character boundary so that the whole text is at most
// kTciCommandLimit bytes. The dxcall must be at most kCallSignLimit bytes, as in the table.
std::string spotCommand(const SpotEntry& entry);
// "spot_delete:" dxcall ";".
std::string spotDeleteCommand(std::string_view dxcall);

// Hears each change to the live spots and to the pending deletions as it is made, so that the
// change can be kept where a killed process cannot lose it. Each call says where a call sign now
// stands, whatever it stood at before.
class SpotStateListener {
public:
    virtual ~SpotStateListener() = default;
    // The call is live with this spot (new, or replacing its old one).
    virtual void spotIs(const SpotEntry& entry) = 0;
    // The call is not live.
    virtual void spotRemoved(const std::string& dxcall) = 0;
    // The call's deletion waits for the SDR to hear it.
    virtual void deletionPending(const std::string& dxcall) = 0;
    // The call's deletion waits no more: heard, pushed out by newer ones, or live again.
    virtual void deletionSettled(const std::string& dxcall) = 0;
};

// Live spots in insertion order, at most one per dxcall (compared exactly), and at most kLimit.
class SpotTable {
public:
    using const_iterator = std::list<SpotEntry>::const_iterator;

    // A big contest's band map holds a few thousand spots; anything beyond this is a flood.
    static constexpr std::size_t kLimit = 20000;

    struct Added {
        bool replaced = false;            // an entry with the same dxcall was removed first
        std::optional<SpotEntry> evicted; // the oldest entry, removed to make room
        // The first eviction since the table was last below its limit: worth one warning.
        bool firstEviction = false;
    };

    SpotTable() = default;
    // The index holds iterators and views into the list: a copy would point into the original.
    SpotTable(const SpotTable&) = delete;
    SpotTable& operator=(const SpotTable&) = delete;
    SpotTable(SpotTable&&) = default;
    SpotTable& operator=(SpotTable&&) = default;

    // Removes an entry with the same dxcall, then appends this one; a new dxcall in a full table
    // first removes the oldest entry and hands it back, so that its deletion can be sent.
    Added add(SpotEntry entry);
    // True when an entry was removed.
    bool remove(const std::string& dxcall);
    const SpotEntry* find(const std::string& dxcall) const;

    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }
    void clear();

    // Removes every entry for which now is strictly later than received + lifeTime and returns
    // them in table order; the caller logs them and sends their deletions.
    std::vector<SpotEntry> expire(std::int64_t now, std::int32_t lifeTime);

    // Told of every change from now on; null: no one.
    void setListener(SpotStateListener* listener) { listener_ = listener; }

private:
    void erase(std::list<SpotEntry>::iterator entry);

    std::list<SpotEntry> entries_;
    // Each key views the dxcall of the entry it leads to, so a call is held once; a key goes
    // before its entry does.
    std::unordered_map<std::string_view, std::list<SpotEntry>::iterator> index_;
    bool overflowReported_ = false;
    SpotStateListener* listener_ = nullptr;
};

enum class SpotChange {
    added,             // a new call sign
    replaced,          // an add for a call sign already in the table
    repeated,          // an add that changes nothing the SDR shows: only the spot's age is new
    hidden,            // an add that takes a shown spot off the panorama; it stays in the table
    deleted,           // a delete, found in the table or not
    unknownAction,     // neither "add" nor "delete"; the table is untouched
    unusableFrequency, // an add whose frequency cannot be used; the table is untouched
    callTooLong,       // a dxcall over kCallSignLimit bytes, for an add or a delete; ignored
    callNotPrintable,  // a dxcall holding a control character, for an add or a delete; ignored
};

struct SpotApplied {
    SpotChange change = SpotChange::unknownAction;
    std::string command; // the text to send; empty when nothing is to be sent
    // An add to a full table: the oldest entry made room, and its deletion is to be sent.
    std::optional<SpotEntry> evicted;
    bool firstEviction = false; // worth one warning
};

// Applies a datagram's spot to the table, received at now, and gives the command that mirrors it
// to the SDR. Only an add needs a frequency: a delete works by call sign alone. A call sign over
// kCallSignLimit bytes is refused for a delete too: no spot with it was ever relayed, so the SDR
// cannot show one, and its command could be longer than a server takes. So is one holding a
// control character: its command would carry a blank there, and two such calls that differ only
// in those characters would name the same spot on the SDR.
SpotApplied applySpot(SpotTable& table, const SpotFields& fields, const BridgeSettings& settings,
                      std::int64_t now, const SpotLook& look = SpotLook());

// The command that shows the entry, or, for a hidden one, nothing.
std::string shownCommand(const SpotEntry& entry);

// Call signs whose deletion the SDR has not been seen to hear: deleted while it was not
// listening, or sent and not yet confirmed (the SDR answered nothing sent after the deletion).
// They are sent again, in the order they were deleted, when the SDR next starts and before the
// table is re-sent, so that no deleted station stays on the panorama.
class PendingDeletes {
public:
    // Room for the deletion of every live spot at once (a table that expired while the bridge
    // was stopped) and for those still waiting beside them.
    static constexpr std::size_t kLimit = SpotTable::kLimit + 5000;

    // Notes a deletion the SDR has yet to hear. True when the oldest entry had to make room, the
    // first time since the list was last empty (worth one warning).
    bool remember(const std::string& dxcall);
    // The call was added again: its new spot replaces whatever the SDR shows. True when the call
    // was pending.
    bool forget(const std::string& dxcall);
    // The deletion of a pending call went out on the connection as number `sequence` (numbers
    // grow with every deletion sent).
    void markSent(const std::string& dxcall, std::uint64_t sequence);
    // The SDR has shown that it read everything up to deletion number `sequence`.
    void confirmThrough(std::uint64_t sequence);
    // The connection was lost: whatever was sent on it may not have arrived.
    void sendingLost();
    // Every pending call in the order of deletion.
    std::vector<std::string> calls() const;
    template <typename Visit> void forEachCall(Visit visit) const {
        for (const Entry& entry : entries_)
            visit(entry.dxcall);
    }

    std::size_t size() const { return entries_.size(); }
    // Calls pushed out to make room, since the list was made.
    std::uint64_t dropped() const { return dropped_; }

    // Told of every change from now on; null: no one.
    void setListener(SpotStateListener* listener) { listener_ = listener; }

private:
    struct Entry {
        std::string dxcall;
        std::uint64_t sentAs = 0; // the sequence it went out as; 0 while not sent
    };
    // True when the call was in the list.
    bool erase(const std::string& dxcall);

    std::list<Entry> entries_;
    std::unordered_map<std::string, std::list<Entry>::iterator> index_;
    std::size_t sentCount_ = 0;
    bool overflowReported_ = false;
    std::uint64_t dropped_ = 0;
    SpotStateListener* listener_ = nullptr;
};

// The "dds" rule: the receiver's decimal text must equal the first character of the arguments
// (so only receivers 0 to 9 can match).
bool ddsForReceiver(std::string_view arguments, std::int32_t receiver);
// The whole-number rule: the receiver field (up to the first ',', blanks around it allowed) is
// the receiver's decimal number, so that receiver 1 does not take receiver 10's frequency.
bool ddsForReceiverNumber(std::string_view arguments, std::int32_t receiver);
// The frequency of a "dds" that matched: the leading integer of the text after the first ','
// (all of it without one). Empty when there is no number, which is worth a warning.
std::optional<std::int32_t> ddsFrequencyAfterReceiver(std::string_view arguments);
// ddsForReceiver, then ddsFrequencyAfterReceiver; empty when the receiver does not match.
std::optional<std::int32_t> ddsFrequencyFor(std::string_view arguments, std::int32_t receiver);
