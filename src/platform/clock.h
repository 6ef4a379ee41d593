// Clocks and sleeping, as the worker loop and the IQ pacing read them.
#pragma once

#include <cstdint>

namespace platform {

// Whole seconds since the Unix epoch (_time64 on Windows).
std::int64_t epochSeconds();
// Millisecond tick that wraps after about 49 days (GetTickCount on Windows).
std::uint32_t tickMillis();

// The current UTC time broken down (GetSystemTime on Windows).
struct UtcTime {
    int year = 0, month = 0, day = 0;
    int hour = 0, minute = 0, second = 0;
    int milliseconds = 0; // 0 to 999
};
UtcTime utcNow();

// Milliseconds since the Unix epoch for a broken-down UTC time.
std::int64_t toEpochMillis(const UtcTime& time);

void sleepMillis(std::uint32_t milliseconds);

} // namespace platform
