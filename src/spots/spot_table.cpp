#include "spots/spot_table.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace {

// now > received + lifeTime, worked out without forming a sum that could overflow.
bool outlived(std::int64_t received, std::int32_t lifeTime, std::int64_t now) {
    if (now >= received) {
        const std::uint64_t since =
            static_cast<std::uint64_t>(now) - static_cast<std::uint64_t>(received);
        return lifeTime < 0 || since > static_cast<std::uint64_t>(lifeTime);
    }
    const std::uint64_t ahead =
        static_cast<std::uint64_t>(received) - static_cast<std::uint64_t>(now);
    return lifeTime < 0 && ahead < static_cast<std::uint64_t>(-static_cast<std::int64_t>(lifeTime));
}

} // namespace

const char* modeKindWord(ModeKind kind) {
    switch (kind) {
    case ModeKind::cw:
        return "cw";
    case ModeKind::phone:
        return "phone";
    case ModeKind::digital:
        return "digital";
    case ModeKind::unknown:
        break;
    }
    return "unknown";
}

std::optional<ModeKind> modeKindFromWord(std::string_view word) {
    for (ModeKind kind : {ModeKind::unknown, ModeKind::cw, ModeKind::phone, ModeKind::digital})
        if (word == modeKindWord(kind))
            return kind;
    return std::nullopt;
}

SpotTable::Added SpotTable::add(SpotEntry entry) {
    Added added;
    if (entries_.size() < kLimit) {
        overflowReported_ = false;
    }
    // A replacement is one change: the entry's new state says all of it.
    const auto old = index_.find(entry.dxcall);
    added.replaced = old != index_.end();
    if (added.replaced) {
        const auto at = old->second;
        index_.erase(old);
        entries_.erase(at);
    } else if (entries_.size() >= kLimit) {
        index_.erase(entries_.front().dxcall);
        added.evicted = std::move(entries_.front());
        entries_.pop_front();
        if (listener_ != nullptr)
            listener_->spotRemoved(added.evicted->dxcall);
        added.firstEviction = !overflowReported_;
        overflowReported_ = true;
    }
    entries_.push_back(std::move(entry));
    const auto last = std::prev(entries_.end());
    index_.emplace(last->dxcall, last);
    if (listener_ != nullptr)
        listener_->spotIs(*last);
    return added;
}

bool SpotTable::remove(const std::string& dxcall) {
    const auto found = index_.find(dxcall);
    if (found == index_.end()) {
        return false;
    }
    erase(found->second);
    return true;
}

void SpotTable::erase(std::list<SpotEntry>::iterator entry) {
    if (listener_ != nullptr)
        listener_->spotRemoved(entry->dxcall);
    index_.erase(entry->dxcall);
    entries_.erase(entry);
}

const SpotEntry* SpotTable::find(const std::string& dxcall) const {
    const auto found = index_.find(dxcall);
    return found == index_.end() ? nullptr : &*found->second;
}

void SpotTable::clear() {
    while (!entries_.empty())
        erase(entries_.begin());
}

std::vector<SpotEntry> SpotTable::expire(std::int64_t now, std::int32_t lifeTime) {
    std::vector<SpotEntry> expired;
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (!outlived(it->received, lifeTime, now)) {
            ++it;
            continue;
        }
        if (listener_ != nullptr)
            listener_->spotRemoved(it->dxcall);
        index_.erase(it->dxcall);
        expired.push_back(std::move(*it));
        it = entries_.erase(it);
    }
    return expired;
}

bool LinkDeletes::remember(const std::string& dxcall) {
    // Moved to the end, quietly: the listener hears where the call ends up.
    SpotStateListener* listener = std::exchange(listener_, nullptr);
    erase(dxcall);
    listener_ = listener;
    bool warn = false;
    if (entries_.size() >= kLimit) {
        // A copy: erase must not be handed a name that lives in the entry it removes.
        const std::string oldest = entries_.front().dxcall;
        erase(oldest);
        ++dropped_;
        warn = !overflowReported_;
        overflowReported_ = true;
    }
    entries_.push_back(Entry{dxcall, 0});
    index_.emplace(dxcall, std::prev(entries_.end()));
    if (listener_ != nullptr)
        listener_->deletionPending(link_, dxcall);
    return warn;
}

bool LinkDeletes::forget(const std::string& dxcall) {
    return erase(dxcall);
}

void LinkDeletes::markSent(const std::string& dxcall, std::uint64_t sequence) {
    const auto found = index_.find(dxcall);
    if (found == index_.end())
        return;
    if (found->second->sentAs == 0)
        ++sentCount_;
    found->second->sentAs = sequence;
}

void LinkDeletes::confirmThrough(std::uint64_t sequence) {
    // Called for every answer from the SDR: nothing to walk unless something was sent.
    if (sentCount_ == 0)
        return;
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->sentAs != 0 && it->sentAs <= sequence) {
            --sentCount_;
            if (listener_ != nullptr)
                listener_->deletionSettled(link_, it->dxcall);
            index_.erase(it->dxcall);
            it = entries_.erase(it);
        } else {
            ++it;
        }
    }
    if (entries_.empty())
        overflowReported_ = false;
}

void LinkDeletes::sendingLost() {
    if (sentCount_ == 0)
        return;
    sentCount_ = 0;
    for (Entry& entry : entries_)
        entry.sentAs = 0;
}

std::vector<std::string> LinkDeletes::calls() const {
    std::vector<std::string> calls;
    calls.reserve(entries_.size());
    for (const Entry& entry : entries_)
        calls.push_back(entry.dxcall);
    return calls;
}

bool LinkDeletes::erase(const std::string& dxcall) {
    const auto found = index_.find(dxcall);
    if (found == index_.end())
        return false;
    if (listener_ != nullptr)
        listener_->deletionSettled(link_, dxcall);
    if (found->second->sentAs != 0)
        --sentCount_;
    entries_.erase(found->second);
    index_.erase(found);
    if (entries_.empty())
        overflowReported_ = false;
    return true;
}

PendingDeletes::PendingDeletes(std::size_t links) : lists_{LinkDeletes(0), LinkDeletes(1)} {
    useLinks(links);
}

void PendingDeletes::useLinks(std::size_t links) {
    links_ = std::clamp<std::size_t>(links, 1, kLinkLimit);
    for (std::size_t i = links_; i < kLinkLimit; ++i)
        lists_[i] = LinkDeletes(i);
}

bool PendingDeletes::remember(const std::string& dxcall) {
    bool warn = false;
    for (std::size_t i = 0; i < links_; ++i)
        warn = lists_[i].remember(dxcall) || warn;
    return warn;
}

bool PendingDeletes::forget(const std::string& dxcall) {
    bool was = false;
    for (std::size_t i = 0; i < links_; ++i)
        was = lists_[i].forget(dxcall) || was;
    return was;
}

std::size_t PendingDeletes::size() const {
    std::size_t total = 0;
    for (std::size_t i = 0; i < links_; ++i)
        total += lists_[i].size();
    return total;
}

std::uint64_t PendingDeletes::dropped() const {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < links_; ++i)
        total += lists_[i].dropped();
    return total;
}

void PendingDeletes::setListener(SpotStateListener* listener) {
    for (LinkDeletes& list : lists_)
        list.setListener(listener);
}
