#include "platform/console.h"

#include <windows.h>

#include <atomic>

namespace platform {

namespace {

// The system keeps a plain function pointer, so the handler it forwards to lives here.
std::atomic<ConsoleHandler> installedHandler{nullptr};

BOOL WINAPI forwardControl(DWORD type) {
    ConsoleHandler handler = installedHandler.load();
    if (handler == nullptr)
        return FALSE;
    // FALSE lets the next handler, finally the system's default, deal with the event.
    return handler(type == CTRL_C_EVENT ? ConsoleEvent::ctrlC : ConsoleEvent::other) ? TRUE : FALSE;
}

} // namespace

struct ConsoleCtrlHook::Impl {};

ConsoleCtrlHook::ConsoleCtrlHook() = default;

bool ConsoleCtrlHook::install(ConsoleHandler handler) {
    if (impl_ || handler == nullptr)
        return false;
    // One hook per process: the control handler is process-wide state.
    ConsoleHandler expected = nullptr;
    if (!installedHandler.compare_exchange_strong(expected, handler))
        return false;
    if (!SetConsoleCtrlHandler(forwardControl, TRUE)) {
        installedHandler.store(nullptr);
        return false;
    }
    impl_ = std::make_unique<Impl>();
    return true;
}

void ConsoleCtrlHook::remove() {
    if (!impl_)
        return;
    SetConsoleCtrlHandler(forwardControl, FALSE);
    installedHandler.store(nullptr);
    impl_.reset();
}

ConsoleCtrlHook::~ConsoleCtrlHook() {
    remove();
}

} // namespace platform
