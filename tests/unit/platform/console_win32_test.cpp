#include "platform/console.h"

#include <windows.h>

#include <gtest/gtest.h>

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

} // namespace
