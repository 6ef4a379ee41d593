// The console control hook: Ctrl+C reaches the bridge as an event, never inside a signal handler.
#pragma once

#include <memory>

namespace platform {

enum class ConsoleEvent { ctrlC, other };

// Called on a thread of its own; true when the event was handled.
using ConsoleHandler = bool (*)(ConsoleEvent);

// SetConsoleCtrlHandler on Windows. On POSIX, SIGINT and SIGTERM are blocked and a dedicated
// thread takes them with sigwait, then calls the handler as the Windows console thread would.
class ConsoleCtrlHook {
public:
    // Out of line in each backend: Impl is only complete there.
    ConsoleCtrlHook();
    ~ConsoleCtrlHook();
    ConsoleCtrlHook(const ConsoleCtrlHook&) = delete;
    ConsoleCtrlHook& operator=(const ConsoleCtrlHook&) = delete;

    bool install(ConsoleHandler handler);
    void remove();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace platform
