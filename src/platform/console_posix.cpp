#include "platform/console.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <pthread.h>
#include <thread>

namespace platform {

ConsoleEvent consoleEventFor(unsigned long code) {
    switch (code) {
    case SIGINT:
        return ConsoleEvent::ctrlC;
    case SIGTERM:
        return ConsoleEvent::terminate;
    case SIGHUP:
        return ConsoleEvent::close;
    default:
        return ConsoleEvent::other;
    }
}

// The process goes on after the handler returns: the signal was taken, not delivered.
bool endsWhenHandled(ConsoleEvent) {
    return false;
}

// Signals are taken synchronously by one thread, so the handler may lock and allocate freely.
struct ConsoleCtrlHook::Impl {
    ConsoleHandler handler = nullptr;
    sigset_t signals{};
    std::atomic<bool> stopping{false};
    std::thread waiter;
};

bool ConsoleCtrlHook::install(ConsoleHandler handler) {
    if (impl_)
        return false;
    auto impl = std::make_unique<Impl>();
    impl->handler = handler;
    sigemptyset(&impl->signals);
    sigaddset(&impl->signals, SIGINT);
    sigaddset(&impl->signals, SIGTERM);
    sigaddset(&impl->signals, SIGHUP);
    if (pthread_sigmask(SIG_BLOCK, &impl->signals, nullptr) != 0)
        return false;
    Impl* raw = impl.get();
    impl->waiter = std::thread([raw] {
        for (;;) {
            int signal = 0;
            if (sigwait(&raw->signals, &signal) != 0)
                continue;
            if (raw->stopping.load())
                return;
            if (!raw->handler(consoleEventFor(static_cast<unsigned long>(signal))))
                std::_Exit(128 + signal);
        }
    });
    impl_ = std::move(impl);
    return true;
}

void ConsoleCtrlHook::remove() {
    if (!impl_)
        return;
    impl_->stopping.store(true);
    pthread_kill(impl_->waiter.native_handle(), SIGINT);
    impl_->waiter.join();
    impl_.reset();
}

ConsoleCtrlHook::ConsoleCtrlHook() = default;
ConsoleCtrlHook::~ConsoleCtrlHook() {
    remove();
}

} // namespace platform
