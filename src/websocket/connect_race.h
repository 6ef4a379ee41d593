// How one connection attempt tries the addresses of a name, in the way of RFC 8305: each address
// has a try of its own, the next one starts beside it once it has gone unanswered for 250 ms (at
// once when it fails), IPv6 and IPv4 take turns, the first try to connect wins and the others are
// given up, and the whole race ends at its time limit. Pure logic: the tries go through a
// Dialer, and the time is told to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace wsclient {

// Makes the tries, one per address index: real sockets in the client, a script in tests.
class Dialer {
public:
    enum class Outcome { pending, connected, failed };
    virtual Outcome start(std::size_t index) = 0;
    // A try that was pending, looked at again.
    virtual Outcome check(std::size_t index) = 0;
    // Gives up a pending try.
    virtual void abandon(std::size_t index) = 0;

protected:
    ~Dialer() = default;
};

class ConnectRace {
public:
    static constexpr std::int64_t kStaggerMs = 250;
    enum class Result { running, connected, refused, timedOut };

    // isIpv6[i] tells the family of address i, the addresses in the resolver's order.
    ConnectRace(const std::vector<bool>& isIpv6, std::int64_t nowMs, std::int64_t limitMs);

    // Looks at the tries out, starts those that are due, and says how the race stands; once it
    // has ended, it stays as it ended.
    Result step(Dialer& dialer, std::int64_t nowMs);
    // The address that connected.
    std::size_t winner() const { return winner_; }
    // The tries out, oldest first.
    const std::vector<std::size_t>& pending() const { return pending_; }
    // The latest time for the next step: the next try's start, or the end of the race.
    std::int64_t nextStepMs() const;

    // The order of the tries: the resolver's first family first, then the two in turn, each in
    // the resolver's order.
    static std::vector<std::size_t> interleaved(const std::vector<bool>& isIpv6);

private:
    Result finish(Dialer& dialer, Result result);

    std::vector<std::size_t> order_;
    std::size_t next_ = 0; // in order_
    std::vector<std::size_t> pending_;
    std::int64_t endMs_ = 0;
    std::int64_t nextStartMs_ = 0;
    std::size_t winner_ = 0;
    Result result_ = Result::running;
};

} // namespace wsclient
