// The live spots: one record per station that N1MM+ spotted, the table that holds them in the
// order they came, and the deletions that the SDR has yet to hear. The bottom of the spots: it
// knows nothing of N1MM+'s datagrams, the SDR's commands or the disk, only what a spot is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The kind of a mode, as far as a worked station goes: a CW QSO does not work a phone spot.
enum class ModeKind { unknown, cw, phone, digital };
// The kind's word in the state files, and back.
const char* modeKindWord(ModeKind kind);
std::optional<ModeKind> modeKindFromWord(std::string_view word);

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

// A longer call sign is not a call sign: such a spot is refused.
inline constexpr std::size_t kCallSignLimit = 64;
// What an entry keeps of the fields that nothing reads once it is built (the line logged on
// arrival shows them whole): short enough to live inside the string object itself, so that
// 20,000 entries of hostile text cost no more than 20,000 of N1MM+'s.
inline constexpr std::size_t kLogFieldLimit = 15;

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
    // The call's deletion waits for the SDR of TCI link number `link` (from 0) to hear it.
    virtual void deletionPending(std::size_t link, const std::string& dxcall) = 0;
    // The call's deletion waits no more for that SDR: heard, pushed out by newer ones, or live
    // again.
    virtual void deletionSettled(std::size_t link, const std::string& dxcall) = 0;
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

// Call signs whose deletion one SDR has not been seen to hear: deleted while it was not
// listening, or sent and not yet confirmed (the SDR answered nothing sent after the deletion).
// They are sent again, in the order they were deleted, when the SDR next starts and before the
// table is re-sent, so that no deleted station stays on the panorama.
class LinkDeletes {
public:
    // Room for the deletion of every live spot at once (a table that expired while the bridge
    // was stopped) and for those still waiting beside them.
    static constexpr std::size_t kLimit = SpotTable::kLimit + 5000;

    // `link` numbers the TCI link whose SDR is to hear these, from 0.
    explicit LinkDeletes(std::size_t link = 0) : link_(link) {}

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
    std::size_t link() const { return link_; }

    // Told of every change from now on; null: no one.
    void setListener(SpotStateListener* listener) { listener_ = listener; }

private:
    struct Entry {
        std::string dxcall;
        std::uint64_t sentAs = 0; // the sequence it went out as; 0 while not sent
    };
    // True when the call was in the list.
    bool erase(const std::string& dxcall);

    std::size_t link_;
    std::list<Entry> entries_;
    std::unordered_map<std::string, std::list<Entry>::iterator> index_;
    std::size_t sentCount_ = 0;
    bool overflowReported_ = false;
    std::uint64_t dropped_ = 0;
    SpotStateListener* listener_ = nullptr;
};

// The deletions that the SDRs have yet to hear: one list for each TCI link, the first link's
// first. A deletion is owed to every SDR; each link's SDR shows on its own that it heard it.
class PendingDeletes {
public:
    // A station runs one or two SDR programs.
    static constexpr std::size_t kLinkLimit = 2;
    static constexpr std::size_t kLimit = LinkDeletes::kLimit;

    explicit PendingDeletes(std::size_t links = 1);

    // The links in use; the lists of the others are emptied and stay so.
    void useLinks(std::size_t links);
    std::size_t links() const { return links_; }
    LinkDeletes& link(std::size_t index) { return lists_[index]; }
    const LinkDeletes& link(std::size_t index) const { return lists_[index]; }

    // A deletion that every link's SDR is to hear (LinkDeletes::remember, for each).
    bool remember(const std::string& dxcall);
    // The call was added again, for every link; true when it was pending for any.
    bool forget(const std::string& dxcall);

    // Deletions owed, counted once for each link that owes them.
    std::size_t size() const;
    std::uint64_t dropped() const;

    // Told of every change from now on; null: no one.
    void setListener(SpotStateListener* listener);

private:
    std::size_t links_;
    LinkDeletes lists_[kLinkLimit];
};
