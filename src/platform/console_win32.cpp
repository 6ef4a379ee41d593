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
    return handler(consoleEventFor(type)) ? TRUE : FALSE;
}

} // namespace

ConsoleEvent consoleEventFor(unsigned long code) {
    switch (code) {
    case CTRL_C_EVENT:
        return ConsoleEvent::ctrlC;
    case CTRL_BREAK_EVENT:
        return ConsoleEvent::ctrlBreak;
    case CTRL_CLOSE_EVENT:
        return ConsoleEvent::close;
    case CTRL_LOGOFF_EVENT:
        return ConsoleEvent::logoff;
    case CTRL_SHUTDOWN_EVENT:
        return ConsoleEvent::shutdown;
    default:
        return ConsoleEvent::other;
    }
}

// Whatever the handler returns for these, the system then ends the process.
bool endsWhenHandled(ConsoleEvent event) {
    return event == ConsoleEvent::close || event == ConsoleEvent::logoff ||
           event == ConsoleEvent::shutdown;
}

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
