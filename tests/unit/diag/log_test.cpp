#include "diag/log.h"

#include "temp_folder.h"
#include "websocket/ws_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Each test writes in a folder of its own: test processes run side by side.
class LogFile : public ::testing::Test {
protected:
    void SetUp() override { tlog::resetForTesting(); }
    // The logger is dropped before the folder goes.
    void TearDown() override { tlog::resetForTesting(); }

    void configure(int maxSeverity, std::uint64_t rollOverBytes = tlog::kRollOverBytes) {
        tlog::configure({maxSeverity, path_, tlog::Target::none, rollOverBytes});
    }

    std::string contents(const fs::path& path) const { return testfiles::readAll(path); }
    std::string contents() const { return contents(path_); }

    std::vector<std::string> lines() const {
        std::string text = contents();
        if (text.rfind("\xEF\xBB\xBF", 0) == 0)
            text.erase(0, 3);
        std::vector<std::string> out;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }

    testfiles::TempFolder folder_;
    const fs::path path_ = folder_.path() / "Tarnwick.log";
};

TEST_F(LogFile, LineCarriesTimeSeverityThreadFunctionAndLine) {
    configure(5);
    LOG_DEBUG("Orvex::t", "Bind to UDP port for N1MM spots: {}", 12062);
    const int line = __LINE__ - 1;

    std::vector<std::string> written = lines();
    ASSERT_EQ(written.size(), 1u);
    const std::regex layout(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} DEBUG \[\d+\] )"
                            R"(\[Orvex::t@(\d+)\] Bind to UDP port for N1MM spots: 12062$)");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(written[0], match, layout)) << written[0];
    EXPECT_EQ(std::stoi(match[1]), line);
}

TEST_F(LogFile, SeverityNamesArePaddedToFive) {
    configure(6);
    LOG_NONE("F", "a");
    LOG_FATAL("F", "b");
    LOG_ERROR("F", "c");
    LOG_WARN("F", "d");
    LOG_INFO("F", "e");
    LOG_DEBUG("F", "f");
    LOG_VERB("F", "g");
    std::vector<std::string> written = lines();
    ASSERT_EQ(written.size(), 7u);
    const char* expected[] = {"NONE  [", "FATAL [", "ERROR [", "WARN  [",
                              "INFO  [", "DEBUG [", "VERB  ["};
    for (std::size_t i = 0; i < written.size(); ++i)
        EXPECT_EQ(written[i].substr(24, 7), expected[i]) << written[i];
}

TEST_F(LogFile, NewFileStartsWithByteOrderMarkAndIsAppendedTo) {
    configure(4);
    LOG_INFO("F", "first");
    tlog::resetForTesting();
    configure(4);
    LOG_INFO("F", "second");

    std::string text = contents();
    ASSERT_EQ(text.rfind("\xEF\xBB\xBF", 0), 0u);
    EXPECT_EQ(text.find("\xEF\xBB\xBF", 3), std::string::npos) << "one mark only";
    std::vector<std::string> written = lines();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_NE(written[0].find("first"), std::string::npos);
    EXPECT_NE(written[1].find("second"), std::string::npos);
    EXPECT_EQ(text.find('\r'), std::string::npos) << "lines end with a bare newline";
}

TEST_F(LogFile, SeverityFilterFollowsTheDebugSetting) {
    configure(3);
    LOG_NONE("F", "none");
    LOG_ERROR("F", "error");
    LOG_WARN("F", "warning");
    LOG_INFO("F", "info");
    LOG_DEBUG("F", "debug");
    std::vector<std::string> written = lines();
    ASSERT_EQ(written.size(), 3u);
    EXPECT_NE(written[2].find("warning"), std::string::npos);
    EXPECT_FALSE(tlog::enabled(tlog::Severity::info));
}

TEST_F(LogFile, NoneIsWrittenAtLevelZeroAndNothingWhenNegative) {
    configure(0);
    LOG_NONE("F", "always");
    LOG_FATAL("F", "not at zero");
    EXPECT_EQ(lines().size(), 1u);

    tlog::resetForTesting();
    fs::remove(path_);
    configure(-1);
    LOG_NONE("F", "never");
    EXPECT_TRUE(lines().empty());
}

// A failure that the user must see is written whatever the Debug level, labelled ERROR.
TEST_F(LogFile, FailureIsWrittenAtEveryDebugLevel) {
    for (int level : {-1, 0, 6}) {
        tlog::resetForTesting();
        fs::remove(path_);
        configure(level);
        LOG_FAILURE("Orvex::t", "Tarnwick stopped: {}", "the spot port 1 could not be bound");
        const std::vector<std::string> written = lines();
        ASSERT_EQ(written.size(), 1u) << "Debug " << level;
        EXPECT_EQ(written[0].substr(24, 7), "ERROR [") << written[0];
        EXPECT_NE(written[0].find("] Tarnwick stopped: the spot port 1 could not be bound"),
                  std::string::npos)
            << written[0];
    }
}

// Past its limit the file becomes Tarnwick.1.log, replacing the older one, and a new file begins
// with its mark; no record is lost or split between the two.
TEST_F(LogFile, RollsOverToTheFirstOldFilePastItsLimit) {
    EXPECT_EQ(tlog::rolledOverPath(path_), folder_.path() / "Tarnwick.1.log");
    EXPECT_EQ(tlog::rolledOverPath("Tarnwick"), "Tarnwick.1");
    configure(4, 300);
    for (int i = 0; i < 5; ++i)
        LOG_INFO("F", "record {} {}", i, std::string(60, 'x')); // about 120 bytes each
    const std::string older = contents(folder_.path() / "Tarnwick.1.log");
    const std::string newer = contents();
    ASSERT_EQ(older.rfind("\xEF\xBB\xBF", 0), 0u);
    ASSERT_EQ(newer.rfind("\xEF\xBB\xBF", 0), 0u);
    EXPECT_NE(older.find("record 2 "), std::string::npos) << "three records pass 300 bytes";
    EXPECT_EQ(older.find("record 3 "), std::string::npos);
    EXPECT_NE(newer.find("record 3 "), std::string::npos);
    EXPECT_EQ(newer.find("record 0 "), std::string::npos);

    for (int i = 5; i < 8; ++i)
        LOG_INFO("F", "record {} {}", i, std::string(60, 'x'));
    const std::string replaced = contents(folder_.path() / "Tarnwick.1.log");
    EXPECT_EQ(replaced.find("record 0 "), std::string::npos) << "the older file is replaced";
    EXPECT_NE(replaced.find("record 5 "), std::string::npos);
    EXPECT_NE(contents().find("record 7 "), std::string::npos);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_.path()), fs::directory_iterator()), 2);
}

// A roll-over that fails (Tarnwick.1.log held, or in the way) is said in the log itself at ERROR,
// once, where a service's event log shows it too; the log goes on in the file it has.
TEST_F(LogFile, ARollOverThatFailsIsSaidInTheLogOnce) {
    std::ofstream(folder_.path() / "Tarnwick.1.log", std::ios::binary) << "older";
    testfiles::HeldAgainstReplacement held(folder_.path() / "Tarnwick.1.log");
    configure(4, 300);
    for (int i = 0; i < 12; ++i)
        LOG_INFO("F", "record {} {}", i, std::string(60, 'x'));
    const std::vector<std::string> written = lines();
    std::vector<std::string> said;
    for (const std::string& line : written)
        if (line.find("Cannot roll over log file") != std::string::npos)
            said.push_back(line);
    ASSERT_EQ(said.size(), 1u) << contents();
    EXPECT_EQ(said[0].substr(24, 7), "ERROR [") << said[0];
    EXPECT_NE(written.back().find("record 11 "), std::string::npos);
}

// Text from a peer cannot write a line of its own that passes for a record of the bridge.
TEST_F(LogFile, PeerTextShowsControlCharactersAsHex) {
    configure(5);
    LOG_DEBUG("Orvex::t", "<:{}\t{}",
              tlog::peer("cq\n2026-01-01 00:00:00.000 NONE  [1] [Orvex::t@1] forged"),
              tlog::peer("a\tb\x7f\x01\xc3\xa9"));
    const std::vector<std::string> written = lines();
    ASSERT_EQ(written.size(), 1u);
    const std::string tail = "] <:cq\\x0a2026-01-01 00:00:00.000 NONE  [1] [Orvex::t@1] forged"
                             "\ta\\x09b\\x7f\\x01\xc3\xa9";
    EXPECT_EQ(written[0].substr(written[0].size() - tail.size()), tail);
}

TEST(Log, FailureBeforeConfigurationGoesToStandardError) {
    tlog::resetForTesting();
    wstest::StderrCapture err;
    LOG_FAILURE("main", "Could not save the settings to {}", "X");
    LOG_FAILURE_EXCEPT(tlog::Except::console, "main", "told on the console already");
    EXPECT_EQ(err.text(), "Could not save the settings to X\n");
}

TEST(Log, NothingIsWrittenBeforeConfiguration) {
    tlog::resetForTesting();
    EXPECT_FALSE(tlog::configured());
    EXPECT_FALSE(tlog::enabled(tlog::Severity::none));
}

} // namespace
