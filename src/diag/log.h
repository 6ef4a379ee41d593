// The bridge's log: one logger, severities 0 (none) to 6 (verbose), filtered by the Debug setting.
// The file gets "date time SEVER [thread] [Function@line] message"; console and event log the
// message alone.
#pragma once

#include <fmt/format.h>

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

struct Config {
    int maxSeverity = 0;  // the Debug setting
    std::string filePath; // appended to, never rolled
    Target second = Target::console;
};

// Sets up the targets; only the first call in a process has an effect.
void configure(const Config& config);
bool configured();

// True when a record of this severity would be written.
bool enabled(Severity severity);

void write(Severity severity, const char* function, int line, std::string_view message);

// "FATAL", "ERROR", "WARN", "INFO", "DEBUG", "VERB", "NONE".
const char* severityName(Severity severity);

// Drops the targets so that tests can configure again (and files can be removed).
void resetForTesting();

} // namespace tlog

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
