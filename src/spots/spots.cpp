#include "spots/spots.h"

#include "diag/log.h"
#include "spots/spot_relay.h"
#include "spots/spot_store.h"
#include "spots/worked.h"
#include "text/utf8.h"

#include <exception>

namespace {

constexpr const char* kTag = "Orvex::t";

} // namespace

Spots::Spots(const BridgeSettings& settings) : settings_(settings) {}

Spots::~Spots() = default;

void Spots::open(const platform::Clock& clock, std::size_t links) {
    received_ = 0;
    pending_.useLinks(links);
    std::string problem;
    look_ = spotLook(settings_, problem);
    if (!problem.empty())
        LOG_NONE(kTag, "{}", problem);
    if (settings_.stateFile.empty())
        return;
    store_ = std::make_unique<SpotStore>(settings_.stateFile, clock);
    store_->open(table_, pending_, settings_.SpotLifeTime);
    table_.setListener(store_.get());
    pending_.setListener(store_.get());
    // SpotHiddenStatuses may have changed since the spots were kept: the re-send at the SDR's
    // start shows or deletes each as it says now. Only a spot whose status was kept can tell.
    std::vector<SpotEntry> restyled;
    keptLooks_.clear();
    for (const SpotEntry& entry : table_) {
        if (entry.status == kNoneText && entry.marks.empty())
            keptLooks_[entry.dxcall] = {entry.colour, entry.hidden};
        const bool hidden = hiddenStatus(entry.status, look_) ||
                            (!entry.marks.empty() && hiddenStatus("dupe", look_));
        if (entry.status != kNoneText && hidden != entry.hidden) {
            restyled.push_back(entry);
            restyled.back().hidden = hidden;
        }
    }
    for (SpotEntry& entry : restyled)
        table_.add(std::move(entry));
}

// A deletion stays pending until the SDR has shown that it heard it.
void Spots::remember(const std::string& dxcall, std::vector<SpotSend>& sends) {
    if (pending_.remember(dxcall))
        LOG_WARN(kTag,
                 "More than {} spot deletions are waiting for the SDR; the oldest are dropped",
                 PendingDeletes::kLimit);
    sends.push_back({SpotSend::Kind::deletion, dxcall});
}

// The changes go to the journal before the SDR can hear of them, so that a killed bridge never
// takes one back.
void Spots::flush() {
    if (store_)
        store_->flush();
}

std::vector<SpotSend> Spots::takeSpot(const SpotFields& f, std::int64_t now) {
    std::vector<SpotSend> sends;
    LOG_DEBUG(kTag, "<:{} {}({}): DX de {}:\t{}\t{}\t{}", tlog::peer(f.timestamp),
              tlog::peer(f.action), tlog::peer(f.status), tlog::peer(f.spottercall),
              tlog::peer(f.frequency), tlog::peer(f.dxcall), tlog::peer(f.comment));
    const SpotEntry* live = table_.find(f.dxcall);
    const std::optional<double> before =
        live != nullptr && !live->hidden ? std::optional<double>(live->n1mmKHz) : std::nullopt;
    SpotApplied applied = applySpot(table_, f, settings_, now, look_);
    // The call's spot is N1MM+'s own from here on, status and all.
    if (applied.evicted)
        keptLooks_.erase(applied.evicted->dxcall);
    for (const SpotChange changed : {SpotChange::added, SpotChange::replaced, SpotChange::repeated,
                                     SpotChange::hidden, SpotChange::deleted})
        if (applied.change == changed)
            keptLooks_.erase(f.dxcall);
    switch (applied.change) {
    case SpotChange::unknownAction:
        LOG_ERROR(kTag, "Unknown command received: {}", tlog::peer(f.action));
        return sends;
    case SpotChange::unusableFrequency:
        LOG_WARN(kTag, "Ignoring spot of {} with a frequency that is not a number: {}",
                 tlog::peer(f.dxcall), tlog::peer(f.frequency));
        return sends;
    case SpotChange::callTooLong:
        LOG_WARN(kTag, "Ignoring spot with a call sign longer than {} bytes: {}...", kCallSignLimit,
                 tlog::peer(utf8Prefix(f.dxcall, kCallSignLimit)));
        return sends;
    case SpotChange::callNotPrintable:
        LOG_WARN(kTag, "Ignoring spot with a control character in its call sign: {}",
                 tlog::peer(f.dxcall));
        return sends;
    case SpotChange::deleted:
        remember(f.dxcall, sends);
        flush();
        return sends;
    case SpotChange::repeated:
        ++received_;
        flush();
        return sends;
    case SpotChange::hidden:
        // Not pending: every start sends the deletion of each hidden spot anyway.
        ++received_;
        flush();
        sends.push_back({SpotSend::Kind::deletion, f.dxcall});
        return sends;
    case SpotChange::added:
    case SpotChange::replaced:
        break;
    }
    ++received_;
    const bool wasPending = pending_.forget(f.dxcall);
    if (applied.evicted) {
        if (applied.firstEviction)
            LOG_WARN(kTag, "More than {} spots are live; the oldest are deleted to make room",
                     SpotTable::kLimit);
        remember(applied.evicted->dxcall, sends);
    }
    flush();
    // A hidden spot is not shown; what the SDR showed of the call before must still go.
    if (!applied.command.empty())
        sends.push_back({SpotSend::Kind::spot, f.dxcall, before});
    else if (wasPending)
        sends.push_back({SpotSend::Kind::deletion, f.dxcall});
    return sends;
}

std::vector<SpotSend> Spots::takeContact(const ContactFields& f) {
    static constexpr const char* kKinds[] = {"contactinfo", "contactreplace", "contactdelete"};
    const char* kind = kKinds[static_cast<int>(f.kind)];
    std::vector<SpotSend> sends;
    const ContactApplied applied = applyContact(table_, f, settings_, look_);
    if (!applied.unusable.empty()) {
        LOG_DEBUG(kTag, "Ignoring {} of {} {}", kind,
                  tlog::peer(utf8Prefix(f.call, kCallSignLimit)), applied.unusable);
        return sends;
    }
    LOG_DEBUG(kTag, "<:{} {} {} {} {}", kind, tlog::peer(utf8Prefix(f.call, kCallSignLimit)),
              tlog::peer(utf8Prefix(f.band, kLogFieldLimit)),
              tlog::peer(utf8Prefix(f.mode, kLogFieldLimit)),
              tlog::peer(utf8Prefix(f.timestamp, kLogFieldLimit + 8)));
    for (const ContactApplied::Restyled& spot : applied.restyled) {
        const SpotEntry* entry = table_.find(spot.dxcall);
        const auto kept = keptLooks_.find(spot.dxcall);
        if (entry != nullptr && kept != keptLooks_.end() && entry->marks.empty() &&
            entry->status == kNoneText) {
            SpotEntry unworked = *entry;
            unworked.colour = kept->second.colour;
            unworked.hidden = kept->second.hidden;
            table_.add(std::move(unworked));
        }
    }
    flush();
    // A new colour leaves the spot where it was.
    for (const ContactApplied::Restyled& spot : applied.restyled) {
        const SpotEntry* entry = table_.find(spot.dxcall);
        const bool shown = entry != nullptr && !shownCommand(*entry).empty();
        sends.push_back({shown ? SpotSend::Kind::spot : SpotSend::Kind::deletion, spot.dxcall,
                         entry != nullptr ? std::optional<double>(entry->n1mmKHz) : std::nullopt});
    }
    return sends;
}

std::vector<SpotSend> Spots::expire(std::int64_t now) {
    std::vector<SpotSend> sends;
    for (const SpotEntry& entry : table_.expire(now, settings_.SpotLifeTime)) {
        LOG_DEBUG(kTag, "Spot:{} has exceeded SpotLifeTime ({}) seconds, deleting.",
                  tlog::peer(entry.dxcall), now - entry.received);
        remember(entry.dxcall, sends);
    }
    flush();
    return sends;
}

void Spots::service() {
    if (store_)
        store_->service(table_, pending_);
}

bool Spots::close(std::shared_ptr<void> hold) {
    // The clearing below is no change to keep: the next run starts where this one ends.
    table_.setListener(nullptr);
    pending_.setListener(nullptr);
    std::exception_ptr saveFailure;
    bool saved = true;
    try {
        if (store_)
            saved = store_->close(table_, pending_, std::move(hold));
    } catch (...) {
        saveFailure = std::current_exception();
    }
    store_.reset();
    LOG_DEBUG(kTag, "Clearing spots.");
    table_.clear();
    if (saveFailure)
        std::rethrow_exception(saveFailure);
    return saved;
}

void Spots::abandon() {
    table_.setListener(nullptr);
    pending_.setListener(nullptr);
    store_.reset();
}
