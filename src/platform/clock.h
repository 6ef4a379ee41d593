// Clocks and sleeping, as the worker loop and the IQ pacing read them.
#pragma once

#include <cstdint>
#include <functional>

namespace platform {

// Whole seconds since the Unix epoch (_time64 on Windows).
std::int64_t epochSeconds();
// Millisecond tick that wraps after about 49 days (GetTickCount on Windows), on the same clock.
std::uint32_t tickMillis();
// Milliseconds of a clock that never jumps, never wraps and goes on while the machine sleeps
// (GetTickCount64, CLOCK_BOOTTIME), counted from an arbitrary start: for intervals and ages,
// never for the time of day.
std::int64_t steadyMillis();

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

// The two clocks the bridge's loop reads, as one object so that tests can step either. Every
// interval and every age runs on the steady clock; the wall clock only dates what outlives the
// process.
class Clock {
public:
    virtual ~Clock() = default;
    virtual std::int64_t steadyMillis() const = 0;
    virtual std::int64_t wallSeconds() const = 0;
};

// steadyMillis() and epochSeconds().
const Clock& systemClock();

// Sleeps in steps of stepMs until done() or until limitMs have passed on the clock's steady
// time. The limit is measured, not counted in sleeps: a sleep lasts as long as the system's timer
// makes it (about 15.6 ms for 10 on Windows' default). True when done() said so.
bool waitUntil(const std::function<bool()>& done, std::int64_t limitMs, const Clock& clock,
               std::uint32_t stepMs = 10);

} // namespace platform
