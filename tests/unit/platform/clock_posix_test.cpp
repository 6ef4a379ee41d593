#include "platform/clock.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::int64_t monotonicMillis() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Where the machine has slept for a day (a time namespace whose boot clock runs a day ahead of
// its monotonic clock), spot ages and intervals count that day.
TEST(ClockTest, SteadyClockCountsTheTimeTheMachineSlept) {
    constexpr std::int64_t kDayMs = 86400000;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::FILE* offsets = nullptr;
        if (unshare(CLONE_NEWTIME) != 0 ||
            (offsets = std::fopen("/proc/self/timens_offsets", "w")) == nullptr)
            _exit(77);
        const bool set = std::fputs("boottime 86400 0\n", offsets) >= 0;
        if (std::fclose(offsets) != 0 || !set)
            _exit(77);
        // The namespace is its children's.
        const pid_t inside = fork();
        if (inside == 0) {
            const std::int64_t ahead = platform::steadyMillis() - monotonicMillis();
            const std::uint32_t tickAhead =
                platform::tickMillis() - static_cast<std::uint32_t>(monotonicMillis());
            _exit(ahead >= kDayMs - 1000 && ahead <= kDayMs + 1000 && tickAhead >= kDayMs - 1000 &&
                          tickAhead <= kDayMs + 1000
                      ? 0
                      : 1);
        }
        int status = 0;
        _exit(inside > 0 && waitpid(inside, &status, 0) == inside && WIFEXITED(status)
                  ? WEXITSTATUS(status)
                  : 2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no time namespace may be made here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the steady clock does not count the day slept";
}

} // namespace
