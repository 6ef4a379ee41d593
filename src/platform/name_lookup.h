// A host name looked up on a thread of its own, so that a resolver that takes seconds to answer
// (or never does) holds up nobody.
#pragma once

#include "platform/socket.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

class NameLookup {
public:
    // Starts the resolver (resolve() with the caller's arguments, or a stand-in) on a pool
    // thread. `done` is called on that thread once the result is in, unless this object is gone
    // by then.
    using Resolver = std::function<int(std::vector<ResolvedAddress>& addresses)>;
    NameLookup(Resolver resolver, std::function<void()> done);
    // Never waits for the thread: it ends by itself once the resolver answers, and touches
    // nothing but what it shares with this object.
    ~NameLookup();
    NameLookup(const NameLookup&) = delete;
    NameLookup& operator=(const NameLookup&) = delete;

    bool finished() const;
    // Waits at most timeoutMs (negative: without limit); true once the result is in.
    bool waitFor(int timeoutMs) const;
    // Once finished: resolve()'s result, and the addresses when it is 0.
    int result(std::vector<ResolvedAddress>& addresses) const;

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

} // namespace platform
