#include "diag/log_sinks.h"

#include <spdlog/sinks/win_eventlog_sink.h>

namespace tlog {

std::shared_ptr<spdlog::sinks::sink> makeEventLogSink(const char* source) {
    return std::make_shared<spdlog::sinks::win_eventlog_sink_mt>(source);
}

} // namespace tlog
