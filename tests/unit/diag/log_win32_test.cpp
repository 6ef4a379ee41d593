#include "diag/log.h"

#include "temp_folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;

// Each event-log entry is a record's message alone. Wine traces the text that ReportEvent
// receives; the windows_event_log_text test reads that trace and fails on a trailing line end.
TEST(EventLogTarget, TakesTheMessageAlone) {
    tlog::resetForTesting();
    const testfiles::TempFolder folder;
    const std::string path = (folder.path() / "Tarnwick.log").string();
    tlog::configure({4, path, tlog::Target::eventLog});
    LOG_INFO("EventLogTest", "Tarnwick event probe");
    LOG_WARN("EventLogTest", "Tarnwick warning probe");
    tlog::resetForTesting();

    std::ifstream in(path, std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(file.find("] Tarnwick event probe\n"), std::string::npos) << file;
    EXPECT_NE(file.find("] Tarnwick warning probe\n"), std::string::npos) << file;
}

} // namespace
