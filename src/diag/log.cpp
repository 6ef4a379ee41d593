#include "diag/log.h"

#include "diag/log_sinks.h"
#include "platform/files.h"
#include "platform/paths.h"

#include <spdlog/details/os.h>
#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace tlog {

namespace {

class AppendFileSink;

struct Logger {
    int maxSeverity = 0;
    Target second = Target::none;
    std::shared_ptr<AppendFileSink> fileSink;
    std::shared_ptr<spdlog::logger> file;    // full line layout
    std::shared_ptr<spdlog::logger> message; // the message alone
    std::shared_ptr<spdlog::logger> failure; // failures in the console: on standard error
};

std::mutex setupMutex;
std::atomic<Logger*> active{nullptr};
std::unique_ptr<Logger> owned;

std::unique_ptr<spdlog::formatter> layout(const char* pattern, const char* lineEnd = "\n") {
    return std::make_unique<spdlog::pattern_formatter>(pattern, spdlog::pattern_time_type::local,
                                                       std::string(lineEnd));
}

// The log file, opened through the platform's own path form (a folder name that the ANSI code
// page cannot spell still works on Windows), and rolled over once it passes its limit.
class AppendFileSink final : public spdlog::sinks::base_sink<std::mutex> {
public:
    AppendFileSink(platform::UniqueFile file, std::filesystem::path path, std::uint64_t limit)
        : file_(std::move(file)), path_(std::move(path)), limit_(limit), nextRollAt_(limit) {
        begin();
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        if (!file_ && !reopen(msg.time))
            return;
        spdlog::memory_buf_t formatted;
        formatter_->format(msg, formatted);
        size_ += std::fwrite(formatted.data(), 1, formatted.size(), file_.get());
        if (size_ > nextRollAt_)
            rollOver();
    }
    void flush_() override {
        if (file_)
            std::fflush(file_.get());
    }

public:
    // What went wrong with the file itself, for the log to say once the record that met it is
    // written: a record cannot be logged from inside the sink.
    std::vector<std::string> takeProblems() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(problems_, {});
    }

private:
    // The log file is UTF-8; a new or empty file starts with the byte-order mark.
    void begin() {
        std::fseek(file_.get(), 0, SEEK_END);
        const long at = std::ftell(file_.get());
        size_ = at > 0 ? static_cast<std::uint64_t>(at) : 0;
        if (size_ == 0)
            size_ += std::fwrite("\xEF\xBB\xBF", 1, 3, file_.get());
    }

    // Windows moves no open file: it is closed first, and opened again whatever the move did.
    // A move that fails (another program holds the older file) is tried again once the file has
    // grown by another tenth of the limit, and said once, in the log itself: a service shows no
    // standard error.
    void rollOver() {
        file_.reset();
        const platform::FileError moved =
            platform::moveReplacing(path_, rolledOverPath(path_), platform::HeldFile::tryOnce);
        errno = 0;
        file_ = platform::openFile(path_, "ab");
        if (!file_) {
            const platform::FileError error{"fopen", static_cast<unsigned long>(errno)};
            problems_.push_back("Cannot open log file " + platform::utf8Path(path_) +
                                " again after rolling it over (" + platform::describe(error) +
                                "); trying again every 10 seconds");
            reopenAt_ = spdlog::log_clock::now() + std::chrono::seconds(10);
            return;
        }
        begin();
        if (!moved) {
            nextRollAt_ = limit_;
            moveReported_ = false;
            return;
        }
        nextRollAt_ = size_ + limit_ / 10 + 1;
        if (!moveReported_)
            problems_.push_back("Cannot roll over log file " + platform::utf8Path(path_) + " (" +
                                platform::describe(moved) +
                                "); it grows past its limit until it can");
        moveReported_ = true;
    }

    // A log that could not be opened again after a roll-over is tried again now and then, so
    // that a folder that was out of reach for a moment does not end the log for the whole run.
    bool reopen(spdlog::log_clock::time_point now) {
        if (now < reopenAt_)
            return false;
        reopenAt_ = now + std::chrono::seconds(10);
        file_ = platform::openFile(path_, "ab");
        if (!file_)
            return false;
        begin();
        problems_.push_back("Log file " + platform::utf8Path(path_) +
                            " is open again; the records in between are not in it");
        return true;
    }

    platform::UniqueFile file_;
    spdlog::log_clock::time_point reopenAt_{};
    std::filesystem::path path_;
    std::uint64_t limit_;
    std::uint64_t nextRollAt_;
    std::uint64_t size_ = 0;
    bool moveReported_ = false;
    std::vector<std::string> problems_;
};

std::shared_ptr<spdlog::logger>
messageLogger(const char* name, std::shared_ptr<spdlog::sinks::sink> sink, const char* lineEnd) {
    sink->set_formatter(layout("%v", lineEnd));
    auto logger = std::make_shared<spdlog::logger>(name, std::move(sink));
    logger->set_level(spdlog::level::trace);
    logger->flush_on(spdlog::level::trace);
    return logger;
}

} // namespace

void configure(const Config& config) {
    std::lock_guard<std::mutex> guard(setupMutex);
    if (active.load() != nullptr)
        return;
    auto logger = std::make_unique<Logger>();
    logger->maxSeverity = config.maxSeverity;
    logger->second = config.second;

    if (!config.filePath.empty()) {
        errno = 0;
        if (platform::UniqueFile file = platform::openFile(config.filePath, "ab")) {
            auto sink = std::make_shared<AppendFileSink>(std::move(file), config.filePath,
                                                         config.rollOverBytes);
            sink->set_formatter(layout("%Y-%m-%d %H:%M:%S.%e %v"));
            logger->fileSink = sink;
            logger->file = std::make_shared<spdlog::logger>("tarnwick-file", sink);
            logger->file->set_level(spdlog::level::trace);
            logger->file->flush_on(spdlog::level::trace);
        } else {
            const platform::FileError error{"fopen", static_cast<unsigned long>(errno)};
            std::fflush(stdout);
            std::fprintf(stderr, "Cannot open log file %s (%s)\n",
                         platform::consolePath(config.filePath).c_str(),
                         platform::describe(error).c_str());
        }
    }

    if (config.second == Target::console) {
        logger->message = messageLogger("tarnwick-message",
                                        std::make_shared<spdlog::sinks::stdout_sink_mt>(), "\n");
        logger->failure = messageLogger("tarnwick-failure",
                                        std::make_shared<spdlog::sinks::stderr_sink_mt>(), "\n");
    } else if (config.second == Target::eventLog) {
        // An event is one entry of its own: it takes the message without a line end.
        logger->message = messageLogger("tarnwick-message", makeEventLogSink("Tarnwick"), "");
    }

    owned = std::move(logger);
    active.store(owned.get());
}

std::filesystem::path rolledOverPath(const std::filesystem::path& filePath) {
    std::filesystem::path rolled = filePath.parent_path() / filePath.stem();
    rolled += ".1";
    rolled += filePath.extension();
    return rolled;
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

bool excepted(const Logger& logger, Except except) {
    return (except == Except::console && logger.second == Target::console) ||
           (except == Except::eventLog && logger.second == Target::eventLog);
}

void writeFile(Logger& logger, Severity severity, const char* function, int line,
               std::string_view message) {
    if (logger.file) {
        logger.file->log(spdlogLevel(severity), "{:<5} [{}] [{}@{}] {}", severityName(severity),
                         spdlog::details::os::thread_id(), function, line, message);
    }
}

// What the file met while it took a record, said as a failure of its own: at ERROR in the file
// when it can be written, and on the console or in the event log.
void reportFileProblems(Logger& logger) {
    thread_local bool reporting = false;
    if (!logger.fileSink || reporting)
        return;
    reporting = true;
    for (const std::string& problem : logger.fileSink->takeProblems())
        failure("tlog::AppendFileSink", __LINE__, problem);
    reporting = false;
}

} // namespace

void write(Severity severity, const char* function, int line, std::string_view message,
           Except except) {
    Logger* logger = active.load();
    if (logger == nullptr)
        return;
    writeFile(*logger, severity, function, line, message);
    if (logger->message && !excepted(*logger, except))
        logger->message->log(spdlogLevel(severity), "{}", message);
    reportFileProblems(*logger);
}

void failure(const char* function, int line, std::string_view message, Except except) {
    Logger* logger = active.load();
    // Standard output may hold earlier lines still; they come first.
    std::fflush(stdout);
    if (logger == nullptr) {
        if (except != Except::console) {
            std::fputs(std::string(message).append("\n").c_str(), stderr);
            std::fflush(stderr);
        }
        return;
    }
    writeFile(*logger, Severity::error, function, line, message);
    if (!excepted(*logger, except)) {
        if (logger->failure)
            logger->failure->log(spdlog::level::err, "{}", message);
        else if (logger->message)
            logger->message->log(spdlog::level::err, "{}", message);
    }
    reportFileProblems(*logger);
}

std::string escapeControls(std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            shown += "\\x";
            shown += kHex[byte >> 4];
            shown += kHex[byte & 0xf];
        } else {
            shown += c;
        }
    }
    return shown;
}

void resetForTesting() {
    std::lock_guard<std::mutex> guard(setupMutex);
    active.store(nullptr);
    owned.reset();
}

} // namespace tlog
