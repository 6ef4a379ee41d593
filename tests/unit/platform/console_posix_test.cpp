#include "platform/console.h"

#include <gtest/gtest.h>

#include <csignal>

namespace {

using platform::ConsoleEvent;

// The terminal closing (SIGHUP) stops the bridge as Ctrl+C and a service stop (SIGTERM) do;
// the process goes on after the handler in every case, so nothing needs to wait in it.
TEST(ConsoleHook, SignalsAreStopEvents) {
    const struct {
        int signal;
        ConsoleEvent event;
    } cases[] = {{SIGINT, ConsoleEvent::ctrlC},
                 {SIGTERM, ConsoleEvent::terminate},
                 {SIGHUP, ConsoleEvent::close},
                 {SIGUSR1, ConsoleEvent::other}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.signal);
        EXPECT_EQ(platform::consoleEventFor(static_cast<unsigned long>(c.signal)), c.event);
        EXPECT_FALSE(platform::endsWhenHandled(c.event));
    }
}

} // namespace
