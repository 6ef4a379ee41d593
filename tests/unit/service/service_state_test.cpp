#include "bridge/orvex.h"
#include "diag/log.h"
#include "service/service_base.h"
#include "service/wide_text.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using service::State;

struct Event {
    std::wstring source;
    std::wstring text;
    std::uint16_t type;
};

class RecordingSink : public service::StatusSink {
public:
    void setStatus(const service::Status& status) override {
        std::lock_guard<std::mutex> guard(mutex);
        reports.push_back(status);
    }
    void logEvent(const wchar_t* source, const std::wstring& message, std::uint16_t type) override {
        std::lock_guard<std::mutex> guard(mutex);
        events.push_back({source, message, type});
    }
    std::vector<State> states() const {
        std::vector<State> result;
        for (const auto& report : reports)
            result.push_back(report.currentState);
        return result;
    }

    mutable std::mutex mutex;
    std::vector<service::Status> reports;
    std::vector<Event> events;
};

// How one On* operation ends.
struct Outcome {
    std::optional<ServiceErrorCode> code;
    bool otherException = false;
    void apply() const {
        if (code)
            throw *code;
        if (otherException)
            throw std::runtime_error("not an error code");
    }
};

class TestService : public CServiceBase {
public:
    TestService() : CServiceBase(L"Tarnwick") {
        resetCheckPointForTesting();
        attachStatusSink(&sink);
    }

    using CServiceBase::Continue;
    using CServiceBase::handleControl;
    using CServiceBase::Pause;
    using CServiceBase::Shutdown;
    using CServiceBase::Start;
    using CServiceBase::Stop;
    using CServiceBase::WorkerEnded;

    void start() {
        wchar_t name[] = L"Tarnwick";
        wchar_t* argv[] = {name, nullptr};
        Start(1, argv);
    }

    RecordingSink sink;
    Outcome onStart, onStop, onPause, onContinue, onShutdown;
    std::function<void()> duringStart;
    int stops = 0, pauses = 0, continues = 0, shutdowns = 0;

protected:
    void OnStart(std::uint32_t argc, wchar_t** argv) override {
        EXPECT_EQ(argc, 1u);
        EXPECT_STREQ(argv[0], L"Tarnwick");
        if (duringStart)
            duringStart();
        onStart.apply();
    }
    void OnStop() override {
        ++stops;
        onStop.apply();
    }
    void OnPause() override {
        ++pauses;
        onPause.apply();
    }
    void OnContinue() override {
        ++continues;
        onContinue.apply();
    }
    void OnShutdown() override {
        ++shutdowns;
        onShutdown.apply();
    }
};

TEST(ServiceState, StartsWithCheckPointOneThenRunsWithZero) {
    TestService s;
    s.start();
    ASSERT_EQ(s.sink.reports.size(), 2u);
    const auto& pending = s.sink.reports[0];
    EXPECT_EQ(pending.currentState, State::startPending);
    EXPECT_EQ(pending.checkPoint, 1u);
    EXPECT_EQ(pending.serviceType, 0x10u);
    EXPECT_EQ(pending.controlsAccepted, 5u);
    EXPECT_EQ(pending.waitHint, 0u);
    EXPECT_EQ(s.sink.reports[1].currentState, State::running);
    EXPECT_EQ(s.sink.reports[1].checkPoint, 0u);
    EXPECT_EQ(s.sink.reports[1].win32ExitCode, 0u);
    EXPECT_TRUE(s.sink.events.empty());
}

TEST(ServiceState, StopTakesTheNextCheckPointThenStopsCleanly) {
    TestService s;
    s.start();
    s.handleControl(service::kControlStop);
    EXPECT_EQ(s.stops, 1);
    ASSERT_EQ(s.sink.reports.size(), 4u);
    EXPECT_EQ(s.sink.reports[2].currentState, State::stopPending);
    EXPECT_EQ(s.sink.reports[2].checkPoint, 2u);
    EXPECT_EQ(s.sink.reports[3].currentState, State::stopped);
    EXPECT_EQ(s.sink.reports[3].checkPoint, 0u);
    EXPECT_EQ(s.sink.reports[3].win32ExitCode, 0u);
    EXPECT_EQ(s.status().currentState, State::stopped);
    EXPECT_EQ(s.serviceExitCode(), 0u);
}

TEST(ServiceState, StartErrorCodeGoesToTheEventLogAndStopsWithThatCode) {
    TestService s;
    s.onStart.code = 8;
    s.start();
    ASSERT_EQ(s.sink.events.size(), 1u);
    EXPECT_EQ(s.sink.events[0].text, L"Service Start failed w/err 0x00000008");
    EXPECT_EQ(s.sink.events[0].source, L"Tarnwick");
    EXPECT_EQ(s.sink.events[0].type, service::kEventError);
    EXPECT_EQ(s.sink.states(), (std::vector<State>{State::startPending, State::stopped}));
    EXPECT_EQ(s.sink.reports.back().win32ExitCode, 8u);
    EXPECT_EQ(s.sink.reports.back().checkPoint, 0u);
}

TEST(ServiceState, StartFailingOtherwiseStopsWithExitCodeZero) {
    TestService s;
    s.onStart.otherException = true;
    s.start();
    ASSERT_EQ(s.sink.events.size(), 1u);
    EXPECT_EQ(s.sink.events[0].text, L"Service failed to start.");
    EXPECT_EQ(s.sink.reports.back().currentState, State::stopped);
    EXPECT_EQ(s.sink.reports.back().win32ExitCode, 0u);
}

TEST(ServiceState, StopFailingWhileRunningReportsRunningAgainAndCanBeRetried) {
    TestService s;
    s.start();
    s.onStop.code = 0x5B4;
    s.handleControl(service::kControlStop);
    ASSERT_EQ(s.sink.events.size(), 1u);
    EXPECT_EQ(s.sink.events[0].text, L"Service Stop failed w/err 0x000005b4");
    EXPECT_EQ(s.sink.states(), (std::vector<State>{State::startPending, State::running,
                                                   State::stopPending, State::running}));
    EXPECT_EQ(s.sink.reports[2].checkPoint, 2u);
    EXPECT_EQ(s.sink.reports[3].checkPoint, 0u);

    s.onStop = {};
    s.handleControl(service::kControlStop);
    EXPECT_EQ(s.sink.reports[4].currentState, State::stopPending);
    EXPECT_EQ(s.sink.reports[4].checkPoint, 3u);
    EXPECT_EQ(s.sink.reports.back().currentState, State::stopped);
}

TEST(ServiceState, StopFailingOtherwiseGoesBackToTheRememberedState) {
    TestService s;
    s.start();
    s.handleControl(service::kControlPause);
    s.onStop.otherException = true;
    s.handleControl(service::kControlStop);
    EXPECT_EQ(s.sink.events.back().text, L"Service failed to stop.");
    EXPECT_EQ(s.sink.reports.back().currentState, State::paused);
}

TEST(ServiceState, InterrogateAndUnknownControlsDoNothing) {
    TestService s;
    s.start();
    s.handleControl(service::kControlInterrogate);
    s.handleControl(0x80);
    s.handleControl(0);
    EXPECT_EQ(s.sink.reports.size(), 2u);
    EXPECT_TRUE(s.sink.events.empty());
    EXPECT_EQ(s.stops + s.pauses + s.continues + s.shutdowns, 0);
}

TEST(ServiceState, PauseAndContinueCountCheckPointsAndFallBackOnFailure) {
    TestService s;
    s.start();
    s.handleControl(service::kControlPause);
    s.handleControl(service::kControlContinue);
    ASSERT_EQ(s.sink.reports.size(), 6u);
    EXPECT_EQ(s.sink.reports[2].currentState, State::pausePending);
    EXPECT_EQ(s.sink.reports[2].checkPoint, 2u);
    // Only running and stopped take 0; paused is counted like a pending state.
    EXPECT_EQ(s.sink.reports[3].currentState, State::paused);
    EXPECT_EQ(s.sink.reports[3].checkPoint, 3u);
    EXPECT_EQ(s.sink.reports[4].currentState, State::continuePending);
    EXPECT_EQ(s.sink.reports[5].currentState, State::running);

    s.onPause.code = 1;
    s.handleControl(service::kControlPause);
    EXPECT_EQ(s.sink.events.back().text, L"Service Pause failed w/err 0x00000001");
    EXPECT_EQ(s.sink.reports.back().currentState, State::running);

    s.onPause = {};
    s.handleControl(service::kControlPause);
    s.onContinue.otherException = true;
    s.handleControl(service::kControlContinue);
    EXPECT_EQ(s.sink.events.back().text, L"Service failed to resume.");
    EXPECT_EQ(s.sink.reports.back().currentState, State::paused);
}

TEST(ServiceState, ShutdownIsStopPendingWithAWaitHintThenStoppedButAFailureStaysPending) {
    TestService failing;
    failing.start();
    failing.onShutdown.code = 0x15;
    failing.handleControl(service::kControlShutdown);
    EXPECT_EQ(failing.sink.events.back().text, L"Service Shutdown failed w/err 0x00000015");
    EXPECT_EQ(failing.sink.states(),
              (std::vector<State>{State::startPending, State::running, State::stopPending}));

    TestService s;
    s.start();
    s.handleControl(service::kControlShutdown);
    EXPECT_EQ(s.shutdowns, 1);
    EXPECT_EQ(s.stops, 0);
    ASSERT_EQ(s.sink.reports.size(), 4u);
    EXPECT_EQ(s.sink.reports[2].currentState, State::stopPending);
    EXPECT_EQ(s.sink.reports[2].checkPoint, 2u);
    EXPECT_EQ(s.sink.reports[2].waitHint, service::kShutdownWaitMs);
    EXPECT_EQ(s.sink.reports.back().currentState, State::stopped);
    EXPECT_EQ(s.sink.reports.back().checkPoint, 0u);
    EXPECT_EQ(s.sink.reports.back().win32ExitCode, 0u);
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The bridge itself as the service: its log tells whether the worker ran its own shutdown.
class BridgeService : public Orvex {
public:
    using CServiceBase::handleControl;
    using CServiceBase::Start;

    // Notes what the log holds when each state is reported.
    class Sink : public RecordingSink {
    public:
        explicit Sink(const std::string& log) : log_(log) {}
        void setStatus(const service::Status& status) override {
            RecordingSink::setStatus(status);
            logAtReport.push_back(fileText(log_));
        }
        std::vector<std::string> logAtReport;

    private:
        std::string log_;
    };
};

TEST(ServiceState, ShutdownControlStopsTheBridgeWorkerBeforeStoppedIsReported) {
    // Made before the bridge, so that it goes after it.
    static const testfiles::TempFolder folder;
    const std::string log = (folder.path() / "Tarnwick.log").string();
    tlog::resetForTesting();
    // The worker thread may still be returning after it signalled: the bridge outlives the test.
    static BridgeService bridge;
    bridge.settings.N1MMSpotPort = 0;
    bridge.settings.TCIPort = "1"; // nothing listens there: the worker keeps trying
    bridge.settings.Debug = 5;
    bridge.settings.logFile = log;
    BridgeService::Sink sink(log);
    bridge.attachStatusSink(&sink);

    wchar_t name[] = L"Tarnwick";
    wchar_t* argv[] = {name, nullptr};
    bridge.Start(1, argv);
    ASSERT_EQ(sink.states(), (std::vector<State>{State::startPending, State::running}));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (fileText(log).find("Start main program loop.") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_NE(fileText(log).find("Start main program loop."), std::string::npos) << fileText(log);

    bridge.handleControl(service::kControlShutdown);
    bridge.attachStatusSink(nullptr);
    tlog::resetForTesting();
    std::filesystem::remove(log);

    ASSERT_EQ(sink.states(), (std::vector<State>{State::startPending, State::running,
                                                 State::stopPending, State::stopped}));
    EXPECT_EQ(sink.reports[2].waitHint, service::kShutdownWaitMs);
    EXPECT_EQ(sink.logAtReport[2].find("Exiting ..."), std::string::npos);
    // By the stopped report the worker has closed everything, as it does for a stop.
    const std::string& atStopped = sink.logAtReport[3];
    EXPECT_NE(atStopped.find("Service is Stopping"), std::string::npos) << atStopped;
    EXPECT_NE(atStopped.find("Exiting ..."), std::string::npos) << atStopped;
    EXPECT_NE(atStopped.find("Signalling service stopped"), std::string::npos) << atStopped;
    EXPECT_EQ(sink.reports[3].win32ExitCode, 0u);
    EXPECT_FALSE(bridge.workerFailed());
}

TEST(ServiceState, WorkerEndingByItselfStopsTheServiceWithTheReason) {
    TestService s;
    s.start();
    s.WorkerEnded(10048, "Bind failed with error code :10048");
    ASSERT_EQ(s.sink.events.size(), 1u);
    EXPECT_EQ(s.sink.events[0].text,
              L"Service Work failed w/err 0x00002740: Bind failed with error code :10048");
    EXPECT_EQ(s.sink.events[0].type, service::kEventError);
    const auto& last = s.sink.reports.back();
    EXPECT_EQ(last.currentState, State::stopped);
    EXPECT_EQ(last.win32ExitCode, service::kErrorServiceSpecific);
    EXPECT_EQ(last.serviceSpecificExitCode, 10048u);
    EXPECT_NE(s.serviceExitCode(), 0u);

    // A stop that arrives afterwards still stops the work but reports nothing more.
    const std::size_t reports = s.sink.reports.size();
    s.handleControl(service::kControlStop);
    EXPECT_EQ(s.stops, 1);
    EXPECT_EQ(s.sink.reports.size(), reports);
}

TEST(ServiceState, WorkerEndingWithoutACodeStillReportsAFailure) {
    TestService s;
    s.start();
    s.WorkerEnded(0, "");
    EXPECT_EQ(s.sink.events.back().text, L"Service Work failed w/err 0x00000001");
    EXPECT_EQ(s.sink.reports.back().win32ExitCode, service::kErrorServiceSpecific);
    EXPECT_EQ(s.sink.reports.back().serviceSpecificExitCode, 1u);
}

TEST(ServiceState, WorkerEndingDuringStartIsNotOverwrittenByRunning) {
    TestService s;
    s.duringStart = [&s] { s.WorkerEnded(98, "Bind failed"); };
    s.start();
    EXPECT_EQ(s.sink.states(), (std::vector<State>{State::startPending, State::stopped}));
    EXPECT_EQ(s.status().currentState, State::stopped);
}

TEST(ServiceState, WorkerEndingInConsoleModeDoesNothing) {
    TestService s;
    s.attachStatusSink(nullptr);
    s.WorkerEnded(5, "whatever");
    EXPECT_EQ(s.status().currentState, State::startPending);
    EXPECT_TRUE(s.sink.events.empty());
}

TEST(ServiceState, StopRacingTheWorkersOwnEndReportsStoppedOnce) {
    for (int round = 0; round < 50; ++round) {
        TestService s;
        s.start();
        std::atomic<bool> go{false};
        std::thread worker([&] {
            while (!go) {
            }
            s.WorkerEnded(7, "gone");
        });
        go = true;
        s.handleControl(service::kControlStop);
        worker.join();
        int stoppedReports = 0;
        for (const auto& report : s.sink.reports)
            stoppedReports += report.currentState == State::stopped;
        ASSERT_EQ(stoppedReports, 1) << "round " << round;
        ASSERT_EQ(s.sink.reports.back().currentState, State::stopped);
    }
}

TEST(ServiceEventText, IsCutToTheBufferOf260WideCharacters) {
    EXPECT_EQ(service::errorEventText(L"Service Start", 0xDEADBEEF),
              L"Service Start failed w/err 0xdeadbeef");
    const std::wstring step(300, L's');
    const std::wstring text = service::errorEventText(step.c_str(), 8);
    EXPECT_EQ(text.size(), 259u);
    EXPECT_EQ(text, step.substr(0, 259));
    const std::wstring fits(259 - 27, L'x');
    EXPECT_EQ(service::errorEventText(fits.c_str(), 1), fits + L" failed w/err 0x00000001");
}

TEST(ServiceWideText, RoundTripsUtf8AndReplacesBrokenSequences) {
    const std::string text = "Port belegt \xE2\x80\x93 \xC3\xBC \xE2\x82\xAC \xF0\x9D\x84\x9E";
    const std::wstring wide = service::widenUtf8(text);
    EXPECT_EQ(wide.size(), sizeof(wchar_t) == 2 ? 20u : 19u);
    EXPECT_EQ(service::narrowUtf8(wide), text);

    EXPECT_EQ(service::widenUtf8("a\xFF"
                                 "b"),
              L"a\xFFFD"
              L"b");
    EXPECT_EQ(service::widenUtf8("\xE2\x82"), L"\xFFFD");       // cut short
    EXPECT_EQ(service::widenUtf8("\xC0\xAF"), L"\xFFFD\xFFFD"); // overlong
    EXPECT_EQ(service::widenUtf8("\xED\xA0\x80"), L"\xFFFD");   // surrogate
}

} // namespace
