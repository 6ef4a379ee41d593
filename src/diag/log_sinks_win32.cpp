#include "diag/log_sinks.h"

#include <spdlog/sinks/win_eventlog_sink.h>

#include <windows.h>

#include "tarnwick_messages.h"

namespace tlog {

std::shared_ptr<spdlog::sinks::sink> makeEventLogSink(const char* source) {
    // Each record is one string; the executable's message table shows it as it is.
    return std::make_shared<spdlog::sinks::win_eventlog_sink_mt>(source, TARNWICK_EVENT_LOG_RECORD);
}

} // namespace tlog
