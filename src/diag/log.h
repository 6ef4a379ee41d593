// The bridge's log: one logger, severities 0 (none) to 6 (verbose), filtered by the Debug setting.
// The file gets "date time SEVER [thread] [Function@line] message"; console and event log the
// message alone.
#pragma once

#include <fmt/format.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace tlog {

enum class Severity {
    none = 0,
    fatal = 1,
    error = 2,
    warning = 3,
    info = 4,
    debug = 5,
    verbose = 6
};

enum class Target { console, eventLog, none };

// A log file that passes this size becomes its ".1" file (Tarnwick.1.log, replacing an older
// one) and a new one begins: a station at the highest Debug level all weekend fills no disk.
inline constexpr std::uint64_t kRollOverBytes = 50u * 1024u * 1024u;

struct Config {
    int maxSeverity = 0;            // the Debug setting
    std::filesystem::path filePath; // appended to, rolled over at rollOverBytes
    Target second = Target::console;
    std::uint64_t rollOverBytes = kRollOverBytes;
};

// Where a log file goes when it is rolled over: "Tarnwick.log" becomes "Tarnwick.1.log".
std::filesystem::path rolledOverPath(const std::filesystem::path& filePath);

// Sets up the targets; only the first call in a process has an effect.
void configure(const Config& config);
bool configured();

// True when a record of this severity would be written.
bool enabled(Severity severity);

// The second target that a record leaves out, because the user is told there another way.
enum class Except { nothing, console, eventLog };

void write(Severity severity, const char* function, int line, std::string_view message,
           Except except = Except::nothing);

// A failure that the user must see: an ERROR record to every target whatever the Debug level
// (the file; the console, on standard error; the event log). Before logging is configured the
// message goes to standard error alone (unless the console is excepted).
void failure(const char* function, int line, std::string_view message,
             Except except = Except::nothing);

// Control characters (and DEL) as \xNN, so that text from elsewhere stays on its one line.
std::string escapeControls(std::string_view text);

// Text that came from a peer (N1MM+, the SDR): formatted through escapeControls, so that a line
// break in a spot comment cannot write a line that passes for a record of the bridge.
struct PeerText {
    std::string_view text;
};
inline PeerText peer(std::string_view text) {
    return {text};
}

// "FATAL", "ERROR", "WARN", "INFO", "DEBUG", "VERB", "NONE".
const char* severityName(Severity severity);

// Drops the targets so that tests can configure again (and files can be removed).
void resetForTesting();

} // namespace tlog

template <> struct fmt::formatter<tlog::PeerText> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(const tlog::PeerText& peer, FormatContext& ctx) const {
        return fmt::formatter<std::string_view>::format(tlog::escapeControls(peer.text), ctx);
    }
};

#define TLOG_AT(severity, function, ...)                                                           \
    do {                                                                                           \
        if (::tlog::enabled(severity))                                                             \
            ::tlog::write(severity, function, __LINE__, ::fmt::format(__VA_ARGS__));               \
    } while (false)

#define LOG_NONE(function, ...) TLOG_AT(::tlog::Severity::none, function, __VA_ARGS__)
#define LOG_FATAL(function, ...) TLOG_AT(::tlog::Severity::fatal, function, __VA_ARGS__)
#define LOG_ERROR(function, ...) TLOG_AT(::tlog::Severity::error, function, __VA_ARGS__)
#define LOG_WARN(function, ...) TLOG_AT(::tlog::Severity::warning, function, __VA_ARGS__)
#define LOG_INFO(function, ...) TLOG_AT(::tlog::Severity::info, function, __VA_ARGS__)
#define LOG_DEBUG(function, ...) TLOG_AT(::tlog::Severity::debug, function, __VA_ARGS__)
#define LOG_VERB(function, ...) TLOG_AT(::tlog::Severity::verbose, function, __VA_ARGS__)

// A failure that the user must see, at every Debug level: see tlog::failure.
#define LOG_FAILURE(function, ...) ::tlog::failure(function, __LINE__, ::fmt::format(__VA_ARGS__))
// The same, leaving out one second target (a tlog::Except) where the user is told otherwise.
#define LOG_FAILURE_EXCEPT(except, function, ...)                                                  \
    ::tlog::failure(function, __LINE__, ::fmt::format(__VA_ARGS__), except)
