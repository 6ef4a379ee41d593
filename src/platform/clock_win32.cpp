#include "platform/clock.h"

#include <windows.h>

#include <ctime>

namespace platform {

std::int64_t epochSeconds() {
    return static_cast<std::int64_t>(_time64(nullptr));
}

std::uint32_t tickMillis() {
    return static_cast<std::uint32_t>(GetTickCount());
}

std::int64_t steadyMillis() {
    return static_cast<std::int64_t>(GetTickCount64());
}

UtcTime utcNow() {
    SYSTEMTIME st{};
    GetSystemTime(&st);
    UtcTime t;
    t.year = st.wYear;
    t.month = st.wMonth;
    t.day = st.wDay;
    t.hour = st.wHour;
    t.minute = st.wMinute;
    t.second = st.wSecond;
    t.milliseconds = st.wMilliseconds;
    return t;
}

void sleepMillis(std::uint32_t milliseconds) {
    Sleep(milliseconds);
}

} // namespace platform
