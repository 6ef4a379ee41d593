#include "platform/sync.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace platform {

struct Lock::Impl {
    std::mutex mutex;
};

Lock::Lock() : impl_(std::make_unique<Impl>()) {}
Lock::~Lock() = default;
void Lock::lock() {
    impl_->mutex.lock();
}
void Lock::unlock() {
    impl_->mutex.unlock();
}

struct ManualResetEvent::Impl {
    mutable std::mutex mutex;
    std::condition_variable signalled;
    bool set = false;
};

ManualResetEvent::ManualResetEvent() : impl_(std::make_unique<Impl>()) {}
ManualResetEvent::~ManualResetEvent() = default;

void ManualResetEvent::set() {
    {
        std::lock_guard<std::mutex> guard(impl_->mutex);
        impl_->set = true;
    }
    impl_->signalled.notify_all();
}

void ManualResetEvent::reset() {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    impl_->set = false;
}

bool ManualResetEvent::isSet() const {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    return impl_->set;
}

bool ManualResetEvent::wait() {
    std::unique_lock<std::mutex> guard(impl_->mutex);
    impl_->signalled.wait(guard, [this] { return impl_->set; });
    return true;
}

bool ManualResetEvent::waitFor(unsigned long timeoutMs) {
    std::unique_lock<std::mutex> guard(impl_->mutex);
    return impl_->signalled.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                     [this] { return impl_->set; });
}

unsigned long runOnPoolThread(std::function<void()> fn) {
    try {
        std::thread(std::move(fn)).detach();
        return 0;
    } catch (const std::system_error& e) {
        return static_cast<unsigned long>(e.code().value());
    }
}

} // namespace platform
