// The service state machine, shared by the Windows and the systemd backends.
#include "service/service_base.h"

#include "service/wide_text.h"

#include <exception>

namespace service {

std::wstring errorEventText(const wchar_t* step, std::uint32_t code) {
    static const wchar_t kHex[] = L"0123456789abcdef";
    std::wstring text = step ? step : L"";
    text += L" failed w/err 0x";
    for (int shift = 28; shift >= 0; shift -= 4)
        text += kHex[(code >> shift) & 0xF];
    // The event text was formatted into a buffer of 260 wide characters.
    constexpr std::size_t kLimit = 259;
    if (text.size() > kLimit)
        text.resize(kLimit);
    return text;
}

} // namespace service

using service::State;

CServiceBase* CServiceBase::instance = nullptr;
std::atomic<std::uint32_t> CServiceBase::checkPoint{1};

CServiceBase::CServiceBase(const wchar_t* serviceName) : serviceName_(serviceName) {}

CServiceBase::~CServiceBase() {
    if (instance == this)
        instance = nullptr;
}

void CServiceBase::OnStart(std::uint32_t, wchar_t**) {}
void CServiceBase::OnStop() {}
void CServiceBase::OnPause() {}
void CServiceBase::OnContinue() {}
void CServiceBase::OnShutdown() {}

service::Status CServiceBase::status() const {
    std::lock_guard<std::mutex> guard(statusMutex_);
    return status_;
}

void CServiceBase::attachStatusSink(service::StatusSink* sink) {
    std::lock_guard<std::mutex> guard(statusMutex_);
    sink_ = sink;
}

void CServiceBase::ControlHandler(std::uint32_t control) {
    if (instance)
        instance->handleControl(control);
}

void CServiceBase::handleControl(std::uint32_t control) {
    switch (control) {
    case service::kControlStop:
        Stop();
        break;
    case service::kControlPause:
        Pause();
        break;
    case service::kControlContinue:
        Continue();
        break;
    case service::kControlShutdown:
        Shutdown();
        break;
    default:
        // Interrogate and anything unknown: the last report still stands.
        break;
    }
}

void CServiceBase::ReportStatus(State state, std::uint32_t exitCode, std::uint32_t waitHint) {
    report(state, exitCode, 0, waitHint);
}

void CServiceBase::report(State state, std::uint32_t win32ExitCode, std::uint32_t specificExitCode,
                          std::uint32_t waitHint) {
    std::lock_guard<std::mutex> guard(statusMutex_);
    // After a stopped report the service manager may already have let the process go; a late
    // report from the other thread must not bring the service back to life.
    if (stoppedReported_)
        return;
    status_.currentState = state;
    status_.win32ExitCode = win32ExitCode;
    status_.serviceSpecificExitCode = specificExitCode;
    status_.waitHint = waitHint;
    if (state == State::running || state == State::stopped)
        status_.checkPoint = 0;
    else
        status_.checkPoint = checkPoint++;
    if (state == State::stopped)
        stoppedReported_ = true;
    if (sink_)
        sink_->setStatus(status_);
}

void CServiceBase::LogEvent(const std::wstring& message, std::uint16_t type) {
    std::lock_guard<std::mutex> guard(statusMutex_);
    if (sink_)
        sink_->logEvent(serviceName_, message, type);
}

void CServiceBase::LogError(const wchar_t* step, ServiceErrorCode error) {
    LogEvent(service::errorEventText(step, error), service::kEventError);
}

void CServiceBase::Start(std::uint32_t argc, wchar_t** argv) {
    try {
        ReportStatus(State::startPending);
        OnStart(argc, argv);
        ReportStatus(State::running);
    } catch (ServiceErrorCode error) {
        LogError(L"Service Start", error);
        ReportStatus(State::stopped, error);
    } catch (...) {
        LogEvent(L"Service failed to start.", service::kEventError);
        ReportStatus(State::stopped);
    }
}

void CServiceBase::Stop() {
    const State original = status().currentState;
    try {
        ReportStatus(State::stopPending);
        OnStop();
        ReportStatus(State::stopped);
    } catch (ServiceErrorCode error) {
        LogError(L"Service Stop", error);
        ReportStatus(original);
    } catch (...) {
        LogEvent(L"Service failed to stop.", service::kEventError);
        ReportStatus(original);
    }
}

void CServiceBase::Pause() {
    try {
        ReportStatus(State::pausePending);
        OnPause();
        ReportStatus(State::paused);
    } catch (ServiceErrorCode error) {
        LogError(L"Service Pause", error);
        ReportStatus(State::running);
    } catch (...) {
        LogEvent(L"Service failed to pause.", service::kEventError);
        ReportStatus(State::running);
    }
}

void CServiceBase::Continue() {
    try {
        ReportStatus(State::continuePending);
        OnContinue();
        ReportStatus(State::running);
    } catch (ServiceErrorCode error) {
        LogError(L"Service Continue", error);
        ReportStatus(State::paused);
    } catch (...) {
        LogEvent(L"Service failed to resume.", service::kEventError);
        ReportStatus(State::paused);
    }
}

void CServiceBase::Shutdown() {
    try {
        // The system goes on once the service reports stopped, so the work must have ended by
        // then; the wait hint tells the service control manager how long that may take.
        ReportStatus(State::stopPending, 0, service::kShutdownWaitMs);
        OnShutdown();
        ReportStatus(State::stopped);
    } catch (ServiceErrorCode error) {
        // Still stop-pending: stopped would claim that the work has ended.
        LogError(L"Service Shutdown", error);
    } catch (...) {
        LogEvent(L"Service failed to shut down.", service::kEventError);
    }
}

void CServiceBase::WorkerEnded(std::uint32_t exitCode, const char* why) {
    {
        std::lock_guard<std::mutex> guard(statusMutex_);
        if (!sink_ || stoppedReported_)
            return;
    }
    const std::uint32_t specific = exitCode != 0 ? exitCode : 1;
    std::wstring text = service::errorEventText(L"Service Work", specific);
    if (why && *why) {
        text += L": ";
        text += service::widenUtf8(why);
    }
    LogEvent(text, service::kEventError);
    report(State::stopped, service::kErrorServiceSpecific, specific, 0);
}
