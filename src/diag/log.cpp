#include "diag/log.h"

#include "diag/log_sinks.h"

#include <spdlog/details/os.h>
#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>

namespace tlog {

namespace {

struct Logger {
    int maxSeverity = 0;
    std::shared_ptr<spdlog::logger> file;    // full line layout
    std::shared_ptr<spdlog::logger> message; // the message alone
};

std::mutex setupMutex;
std::atomic<Logger*> active{nullptr};
std::unique_ptr<Logger> owned;

std::unique_ptr<spdlog::formatter> layout(const char* pattern, const char* lineEnd = "\n") {
    return std::make_unique<spdlog::pattern_formatter>(pattern, spdlog::pattern_time_type::local,
                                                       std::string(lineEnd));
}

// The log file is UTF-8; a new or empty file starts with the byte-order mark.
void writeByteOrderMarkIfEmpty(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "ab");
    if (f == nullptr)
        return;
    std::fseek(f, 0, SEEK_END);
    if (std::ftell(f) == 0)
        std::fwrite("\xEF\xBB\xBF", 1, 3, f);
    std::fclose(f);
}

} // namespace

void configure(const Config& config) {
    std::lock_guard<std::mutex> guard(setupMutex);
    if (active.load() != nullptr)
        return;
    auto logger = std::make_unique<Logger>();
    logger->maxSeverity = config.maxSeverity;

    if (!config.filePath.empty()) {
        writeByteOrderMarkIfEmpty(config.filePath);
        try {
            auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(config.filePath, false);
            sink->set_formatter(layout("%Y-%m-%d %H:%M:%S.%e %v"));
            logger->file = std::make_shared<spdlog::logger>("tarnwick-file", sink);
            logger->file->set_level(spdlog::level::trace);
            logger->file->flush_on(spdlog::level::trace);
        } catch (const spdlog::spdlog_ex& e) {
            std::fprintf(stderr, "Cannot open log file %s: %s\n", config.filePath.c_str(),
                         e.what());
        }
    }

    std::shared_ptr<spdlog::sinks::sink> second;
    if (config.second == Target::console)
        second = std::make_shared<spdlog::sinks::stdout_sink_mt>();
    else if (config.second == Target::eventLog)
        second = makeEventLogSink("Tarnwick");
    if (second) {
        // An event is one entry of its own: it takes the message without a line end.
        second->set_formatter(layout("%v", config.second == Target::eventLog ? "" : "\n"));
        logger->message = std::make_shared<spdlog::logger>("tarnwick-message", second);
        logger->message->set_level(spdlog::level::trace);
        logger->message->flush_on(spdlog::level::trace);
    }

    owned = std::move(logger);
    active.store(owned.get());
}

bool configured() {
    return active.load() != nullptr;
}

bool enabled(Severity severity) {
    const Logger* logger = active.load();
    return logger != nullptr && static_cast<int>(severity) <= logger->maxSeverity;
}

const char* severityName(Severity severity) {
    switch (severity) {
    case Severity::fatal:
        return "FATAL";
    case Severity::error:
        return "ERROR";
    case Severity::warning:
        return "WARN";
    case Severity::info:
        return "INFO";
    case Severity::debug:
        return "DEBUG";
    case Severity::verbose:
        return "VERB";
    case Severity::none:
        break;
    }
    return "NONE";
}

namespace {

spdlog::level::level_enum spdlogLevel(Severity severity) {
    switch (severity) {
    case Severity::fatal:
        return spdlog::level::critical;
    case Severity::error:
        return spdlog::level::err;
    case Severity::warning:
        return spdlog::level::warn;
    case Severity::info:
        return spdlog::level::info;
    case Severity::debug:
        return spdlog::level::debug;
    case Severity::verbose:
        return spdlog::level::trace;
    case Severity::none:
        break;
    }
    // Records without severity are always written; the event log shows them as information.
    return spdlog::level::info;
}

} // namespace

void write(Severity severity, const char* function, int line, std::string_view message) {
    Logger* logger = active.load();
    if (logger == nullptr)
        return;
    if (logger->file) {
        logger->file->log(spdlogLevel(severity), "{:<5} [{}] [{}@{}] {}", severityName(severity),
                          spdlog::details::os::thread_id(), function, line, message);
    }
    if (logger->message)
        logger->message->log(spdlogLevel(severity), "{}", message);
}

void resetForTesting() {
    std::lock_guard<std::mutex> guard(setupMutex);
    active.store(nullptr);
    owned.reset();
}

} // namespace tlog
