#include "platform/console.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using platform::ConsoleEvent;

// Closing the window, log-off and shutdown end the process once the handler returns: the
// handler must wait for the work to end. Ctrl+C and Ctrl+Break leave it running.
TEST(ConsoleHook, ControlTypesAreStopEvents) {
    const struct {
        DWORD type;
        ConsoleEvent event;
        bool ends;
    } cases[] = {{CTRL_C_EVENT, ConsoleEvent::ctrlC, false},
                 {CTRL_BREAK_EVENT, ConsoleEvent::ctrlBreak, false},
                 {CTRL_CLOSE_EVENT, ConsoleEvent::close, true},
                 {CTRL_LOGOFF_EVENT, ConsoleEvent::logoff, true},
                 {CTRL_SHUTDOWN_EVENT, ConsoleEvent::shutdown, true},
                 {3, ConsoleEvent::other, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        EXPECT_EQ(platform::consoleEventFor(c.type), c.event);
        EXPECT_EQ(platform::endsWhenHandled(c.event), c.ends);
    }
}

std::atomic<int> heard{-1};

bool note(ConsoleEvent event) {
    heard.store(static_cast<int>(event));
    return true;
}

// The system's own delivery: Ctrl+Break reaches the hook as such, and handled, it does not end
// the process.
TEST(ConsoleHook, CtrlBreakReachesTheHook) {
    if (GetConsoleWindow() == nullptr && !AllocConsole())
        GTEST_SKIP() << "no console here";
    platform::ConsoleCtrlHook hook;
    ASSERT_TRUE(hook.install(note));
    ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, 0));
    for (int i = 0; i < 500 && heard.load() < 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(heard.load(), static_cast<int>(ConsoleEvent::ctrlBreak));
}

} // namespace
