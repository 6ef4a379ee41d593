// The console control hook: Ctrl+C and every other way of ending the console reach the bridge as
// an event, never inside a signal handler.
#pragma once

#include <memory>

namespace platform {

enum class ConsoleEvent {
    ctrlC,     // Ctrl+C; SIGINT
    ctrlBreak, // Ctrl+Break
    close,     // the console window was closed; SIGHUP: the terminal is gone
    logoff,    // the user logs off
    shutdown,  // the system shuts down
    terminate, // SIGTERM
    other,
};

// The event that the platform's own code stands for: a control type (CTRL_C_EVENT and so on) on
// Windows, a signal number on POSIX.
ConsoleEvent consoleEventFor(unsigned long code);

// True where the system ends the process as soon as the handler returns (Windows: the window
// closed, log-off, shutdown), so that a handler must finish its work before it returns.
bool endsWhenHandled(ConsoleEvent event);

// Called on a thread of its own; true when the event was handled.
using ConsoleHandler = bool (*)(ConsoleEvent);

// SetConsoleCtrlHandler on Windows. On POSIX, SIGINT, SIGTERM and SIGHUP are blocked and a
// dedicated thread takes them with sigwait, then calls the handler as the Windows console thread
// would.
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
