#include "platform/clock.h"

namespace platform {

// Days from 1970-01-01 to a civil date (proleptic Gregorian calendar).
static std::int64_t daysFromCivil(std::int64_t year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const int shiftedMonth = month + (month > 2 ? -3 : 9);
    const std::int64_t dayOfYear = (153 * shiftedMonth + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

namespace {

class SystemClock final : public Clock {
public:
    std::int64_t steadyMillis() const override { return platform::steadyMillis(); }
    std::int64_t wallSeconds() const override { return epochSeconds(); }
};

} // namespace

const Clock& systemClock() {
    static const SystemClock clock;
    return clock;
}

bool waitUntil(const std::function<bool()>& done, std::int64_t limitMs, const Clock& clock,
               std::uint32_t stepMs) {
    const std::int64_t start = clock.steadyMillis();
    while (!done()) {
        if (clock.steadyMillis() - start >= limitMs)
            return false;
        sleepMillis(stepMs);
    }
    return true;
}

std::int64_t toEpochMillis(const UtcTime& t) {
    const std::int64_t days = daysFromCivil(t.year, t.month, t.day);
    const std::int64_t seconds = days * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
    return seconds * 1000 + t.milliseconds;
}

} // namespace platform
