#include "text/numbers.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Skips the blanks and the one optional sign that come before a number.
std::string_view afterBlanksAndSign(std::string_view text, bool& negative) {
    std::size_t at = 0;
    while (at < text.size() && isBlank(text[at])) {
        ++at;
    }
    negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    return text.substr(at);
}

} // namespace

std::optional<double> leadingDouble(std::string_view text) {
    bool negative = false;
    const std::string_view rest = afterBlanksAndSign(text, negative);
    // A digit or a point must come first; this also keeps "inf" and "nan" out.
    if (rest.empty() ||
        !(isDigit(rest[0]) || (rest[0] == '.' && rest.size() > 1 && isDigit(rest[1])))) {
        return std::nullopt;
    }
    double value = 0.0;
    const auto [end, error] =
        std::from_chars(rest.data(), rest.data() + rest.size(), value, std::chars_format::general);
    (void)end;
    if (error != std::errc() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

std::optional<std::int32_t> leadingInteger(std::string_view text) {
    // Replacing ',' by '.' cannot change a leading integer: either character ends it.
    bool negative = false;
    const std::string_view rest = afterBlanksAndSign(text, negative);
    if (rest.empty() || !isDigit(rest[0])) {
        return std::nullopt;
    }
    std::uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), magnitude);
    (void)end;
    if (error != std::errc()) {
        return std::nullopt;
    }
    const std::uint64_t limit =
        negative ? std::uint64_t{1} << 31 : std::uint64_t{std::numeric_limits<std::int32_t>::max()};
    if (magnitude > limit) {
        return std::nullopt;
    }
    const std::int64_t value =
        negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    return static_cast<std::int32_t>(value);
}
