#include "platform/name_lookup.h"

#include "platform/sync.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

namespace platform {

struct NameLookup::Shared {
    std::mutex mutex;
    std::condition_variable finishedChanged;
    bool finished = false;
    int result = 0;
    std::vector<ResolvedAddress> addresses;
    std::function<void()> done; // cleared when the owner goes
};

NameLookup::NameLookup(Resolver resolver, std::function<void()> done)
    : shared_(std::make_shared<Shared>()) {
    shared_->done = std::move(done);
    std::function<void()> work = [shared = shared_, resolver = std::move(resolver)] {
        // The thread holds Winsock for itself: a worker that cleans up while the resolver still
        // works must not pull it away underneath.
        const bool started = netStartup() == 0;
        std::vector<ResolvedAddress> addresses;
        const int result = resolver(addresses);
        if (started)
            netCleanup();
        std::lock_guard<std::mutex> guard(shared->mutex);
        shared->result = result;
        shared->addresses = std::move(addresses);
        shared->finished = true;
        shared->finishedChanged.notify_all();
        // Under the lock, so that an owner that has cleared it is never called afterwards.
        if (shared->done)
            shared->done();
    };
    // Without a thread the name is looked up here and now, as it always was.
    if (runOnPoolThread(work) != 0)
        work();
}

NameLookup::~NameLookup() {
    std::lock_guard<std::mutex> guard(shared_->mutex);
    shared_->done = nullptr;
}

bool NameLookup::finished() const {
    std::lock_guard<std::mutex> guard(shared_->mutex);
    return shared_->finished;
}

bool NameLookup::waitFor(int timeoutMs) const {
    std::unique_lock<std::mutex> guard(shared_->mutex);
    const auto isFinished = [this] { return shared_->finished; };
    if (timeoutMs < 0) {
        shared_->finishedChanged.wait(guard, isFinished);
        return true;
    }
    return shared_->finishedChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                             isFinished);
}

int NameLookup::result(std::vector<ResolvedAddress>& addresses) const {
    std::lock_guard<std::mutex> guard(shared_->mutex);
    addresses = shared_->addresses;
    return shared_->result;
}

} // namespace platform
