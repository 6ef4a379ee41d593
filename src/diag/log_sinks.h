// The system's event log as a log target: the Windows event log, or syslog on POSIX.
#pragma once

#include <spdlog/sinks/sink.h>

#include <memory>

namespace tlog {

std::shared_ptr<spdlog::sinks::sink> makeEventLogSink(const char* source);

} // namespace tlog
