#include "websocket/connect_race.h"

#include <algorithm>

namespace wsclient {

ConnectRace::ConnectRace(const std::vector<bool>& isIpv6, std::int64_t nowMs, std::int64_t limitMs)
    : order_(interleaved(isIpv6)), endMs_(nowMs + limitMs), nextStartMs_(nowMs) {}

std::vector<std::size_t> ConnectRace::interleaved(const std::vector<bool>& isIpv6) {
    std::vector<std::size_t> first, second;
    for (std::size_t i = 0; i < isIpv6.size(); ++i)
        (isIpv6[i] == isIpv6.front() ? first : second).push_back(i);
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < std::max(first.size(), second.size()); ++i) {
        if (i < first.size())
            order.push_back(first[i]);
        if (i < second.size())
            order.push_back(second[i]);
    }
    return order;
}

ConnectRace::Result ConnectRace::step(Dialer& dialer, std::int64_t nowMs) {
    if (result_ != Result::running)
        return result_;
    for (auto it = pending_.begin(); it != pending_.end();) {
        const Dialer::Outcome outcome = dialer.check(*it);
        if (outcome == Dialer::Outcome::connected) {
            winner_ = *it;
            pending_.erase(it);
            return finish(dialer, Result::connected);
        }
        if (outcome == Dialer::Outcome::failed) {
            it = pending_.erase(it);
            // A try that has failed hands over at once.
            nextStartMs_ = nowMs;
        } else {
            ++it;
        }
    }
    while (next_ < order_.size() && (pending_.empty() || nowMs >= nextStartMs_) && nowMs < endMs_) {
        const std::size_t index = order_[next_++];
        nextStartMs_ = nowMs + kStaggerMs;
        const Dialer::Outcome outcome = dialer.start(index);
        if (outcome == Dialer::Outcome::connected) {
            winner_ = index;
            return finish(dialer, Result::connected);
        }
        if (outcome == Dialer::Outcome::pending)
            pending_.push_back(index);
        else
            nextStartMs_ = nowMs; // failed as it began: the next need not wait beside the others
    }
    if (pending_.empty() && next_ == order_.size())
        return finish(dialer, Result::refused);
    if (nowMs >= endMs_)
        return finish(dialer, Result::timedOut);
    return Result::running;
}

std::int64_t ConnectRace::nextStepMs() const {
    if (next_ < order_.size() && !pending_.empty())
        return std::min(nextStartMs_, endMs_);
    return endMs_;
}

ConnectRace::Result ConnectRace::finish(Dialer& dialer, Result result) {
    for (const std::size_t index : pending_)
        dialer.abandon(index);
    pending_.clear();
    result_ = result;
    return result;
}

} // namespace wsclient
