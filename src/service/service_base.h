// The service base: connects one service object to the system's service manager
// (the Windows service control manager, or systemd on Linux).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

// Service operations signal a system failure by throwing the system's error code.
using ServiceErrorCode = std::uint32_t;

namespace service {

// The service control manager's own numbers, so that the same sequences run on every platform.
enum class State : std::uint32_t {
    stopped = 1,
    startPending = 2,
    stopPending = 3,
    running = 4,
    continuePending = 5,
    pausePending = 6,
    paused = 7,
};

inline constexpr std::uint32_t kControlStop = 1;
inline constexpr std::uint32_t kControlPause = 2;
inline constexpr std::uint32_t kControlContinue = 3;
inline constexpr std::uint32_t kControlInterrogate = 4;
inline constexpr std::uint32_t kControlShutdown = 5;

inline constexpr std::uint32_t kWin32OwnProcess = 0x10;
inline constexpr std::uint32_t kAcceptStop = 1;
inline constexpr std::uint32_t kAcceptShutdown = 4;

inline constexpr std::uint16_t kEventError = 1;
inline constexpr std::uint16_t kEventWarning = 2;
inline constexpr std::uint16_t kEventInformation = 4;

// ERROR_SERVICE_SPECIFIC_ERROR: the real reason is in serviceSpecificExitCode.
inline constexpr std::uint32_t kErrorServiceSpecific = 1066;
// ERROR_TIMEOUT: the work did not end in the time given.
inline constexpr std::uint32_t kErrorTimeout = 1460;

// How long a service may take to stop at a system shutdown: Windows 10 and 11 give all services
// 5 seconds together before the system goes on, so the wait hint and the wait stay below that.
inline constexpr std::uint32_t kShutdownWaitMs = 4000;

// What is reported to the service manager (the SERVICE_STATUS record).
struct Status {
    std::uint32_t serviceType = kWin32OwnProcess;
    State currentState = State::startPending;
    std::uint32_t controlsAccepted = kAcceptStop | kAcceptShutdown;
    std::uint32_t win32ExitCode = 0;
    std::uint32_t serviceSpecificExitCode = 0;
    std::uint32_t checkPoint = 0;
    std::uint32_t waitHint = 0;
};

// Where reports and event entries go: SetServiceStatus and the event log on Windows,
// sd_notify and syslog on Linux, a recorder in tests. Failures are not noticed.
class StatusSink {
public:
    virtual ~StatusSink() = default;
    virtual void setStatus(const Status& status) = 0;
    virtual void logEvent(const wchar_t* source, const std::wstring& message,
                          std::uint16_t type) = 0;
};

// "<step> failed w/err 0x%08lx", cut to 259 characters as the 260-character buffer would.
std::wstring errorEventText(const wchar_t* step, std::uint32_t code);

} // namespace service

class CServiceBase {
public:
    // Runs the service dispatcher for this object; false when the process was not started by the
    // service manager (then nothing has been reported to it). Returns after the service stopped.
    //
    // Windows: StartServiceCtrlDispatcherW; ServiceMain runs on the dispatcher's thread and the
    // control handler on the calling thread. Linux: a service only when NOTIFY_SOCKET is set;
    // Start runs on the calling thread, which then takes SIGTERM (and SIGINT) as the stop
    // control. Both signals are blocked on the calling thread from here on, so threads started
    // by OnStart inherit the block; they are unblocked again before Run returns.
    static bool Run(CServiceBase& service);

    explicit CServiceBase(const wchar_t* serviceName);
    virtual ~CServiceBase();
    CServiceBase(const CServiceBase&) = delete;
    CServiceBase& operator=(const CServiceBase&) = delete;

    const wchar_t* serviceName() const { return serviceName_; }

    // The last status reported (or the initial one).
    service::Status status() const;
    // Non-zero when the service stopped because of a failure (the Win32 exit code reported).
    std::uint32_t serviceExitCode() const { return status().win32ExitCode; }

    // Reports and events go here from now on (null: nowhere). The backends attach their own
    // before Start; tests attach a recorder.
    void attachStatusSink(service::StatusSink* sink);

    // The control request dispatch of the registered handler: stop, pause, continue and
    // shutdown run their sequences; interrogate and anything else do nothing.
    static void ControlHandler(std::uint32_t control);
    // The service main routine: registers the control handler, then Start.
    static void ServiceMain(std::uint32_t argc, wchar_t** argv);

protected:
    virtual void OnStart(std::uint32_t argc, wchar_t** argv);
    virtual void OnStop();
    virtual void OnPause();
    virtual void OnContinue();
    virtual void OnShutdown();

    // The service's work ended by itself (for example a start-up failure): the service reports
    // itself stopped, with ERROR_SERVICE_SPECIFIC_ERROR and this code as the service-specific
    // exit code (0 is reported as 1: it is a failure either way), and the event log says why.
    // Call it after the work has released everything: once stopped is reported the service
    // manager may end the process. Does nothing once a stop has been reported, or when no
    // service manager is attached (console mode).
    void WorkerEnded(std::uint32_t exitCode, const char* why);

    // One entry in the event log under the service's name (RegisterEventSourceW, ReportEventW
    // with the service name and the message, DeregisterEventSource; syslog on Linux).
    void LogEvent(const std::wstring& message, std::uint16_t type);
    // LogEvent(errorEventText(step, error), error type).
    void LogError(const wchar_t* step, ServiceErrorCode error);

    // The state sequences around the On* operations; failures go to the event log. A shutdown is
    // reported stop-pending with a wait hint of kShutdownWaitMs, and stopped once OnShutdown
    // returns; OnShutdown must end the work within that time.
    void Start(std::uint32_t argc, wchar_t** argv);
    void Stop();
    void Pause();
    void Continue();
    void Shutdown();
    void handleControl(std::uint32_t control);

    // Stores and reports the state; pending states take the next shared check point, running
    // and stopped take 0. Nothing is reported once the service has been reported stopped.
    void ReportStatus(service::State state, std::uint32_t exitCode = 0, std::uint32_t waitHint = 0);

    // The check point counter is shared by the whole process; tests start it afresh.
    static void resetCheckPointForTesting() { checkPoint = 1; }

private:
    void report(service::State state, std::uint32_t win32ExitCode, std::uint32_t specificExitCode,
                std::uint32_t waitHint);

    static CServiceBase* instance;
    static std::atomic<std::uint32_t> checkPoint;

    const wchar_t* serviceName_;
    // Start runs on one thread, the controls on another, and the worker may report its own end:
    // reports are serialised, and none follows a stopped report.
    mutable std::mutex statusMutex_;
    service::Status status_;
    bool stoppedReported_ = false;
    service::StatusSink* sink_ = nullptr;
};
