#include "diag/log_sinks.h"

#include <spdlog/sinks/syslog_sink.h>

#include <syslog.h>

namespace tlog {

std::shared_ptr<spdlog::sinks::sink> makeEventLogSink(const char* source) {
    return std::make_shared<spdlog::sinks::syslog_sink_mt>(source, LOG_PID, LOG_DAEMON, false);
}

} // namespace tlog
