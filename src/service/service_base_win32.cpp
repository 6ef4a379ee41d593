// The service base under the Windows service control manager.
#include "service/service_base.h"

#include <windows.h>

#include "tarnwick_messages.h"

using service::State;

namespace {

// One registered event source, deregistered when it goes.
class EventSource {
public:
    explicit EventSource(const wchar_t* name) : handle_(RegisterEventSourceW(nullptr, name)) {}
    ~EventSource() {
        if (handle_)
            DeregisterEventSource(handle_);
    }
    EventSource(const EventSource&) = delete;
    EventSource& operator=(const EventSource&) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

class ScmSink : public service::StatusSink {
public:
    void setHandle(SERVICE_STATUS_HANDLE handle) { handle_ = handle; }

    void setStatus(const service::Status& status) override {
        if (!handle_)
            return;
        SERVICE_STATUS native{};
        native.dwServiceType = status.serviceType;
        native.dwCurrentState = static_cast<DWORD>(status.currentState);
        native.dwControlsAccepted = status.controlsAccepted;
        native.dwWin32ExitCode = status.win32ExitCode;
        native.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
        native.dwCheckPoint = status.checkPoint;
        native.dwWaitHint = status.waitHint;
        SetServiceStatus(handle_, &native);
    }

    void logEvent(const wchar_t* source, const std::wstring& message, std::uint16_t type) override {
        EventSource eventSource(source);
        if (!eventSource.get())
            return;
        // The executable's message table holds the text that shows the two strings.
        const wchar_t* strings[2] = {source, message.c_str()};
        ReportEventW(eventSource.get(), type, 0, TARNWICK_EVENT_SERVICE, nullptr, 2, 0, strings,
                     nullptr);
    }

private:
    // The status handle belongs to the service control manager; it is never closed.
    SERVICE_STATUS_HANDLE handle_ = nullptr;
};

// The process has one service, so one sink that lives as long as the process.
ScmSink scmSink;

void WINAPI serviceMainEntry(DWORD argc, LPWSTR* argv) {
    CServiceBase::ServiceMain(static_cast<std::uint32_t>(argc), argv);
}

void WINAPI controlHandlerEntry(DWORD control) {
    CServiceBase::ControlHandler(static_cast<std::uint32_t>(control));
}

} // namespace

void CServiceBase::ServiceMain(std::uint32_t argc, wchar_t** argv) {
    CServiceBase& service = *instance;
    service.attachStatusSink(&scmSink);
    SERVICE_STATUS_HANDLE handle =
        RegisterServiceCtrlHandlerW(service.serviceName_, controlHandlerEntry);
    if (!handle) {
        // No state can be reported without the handle, and returning would leave the dispatcher
        // waiting for a stop that never comes: say why, and let the service control manager
        // see the process end.
        const DWORD error = GetLastError();
        service.LogError(L"RegisterServiceCtrlHandler", error);
        ExitProcess(error);
    }
    scmSink.setHandle(handle);
    service.Start(argc, argv);
}

bool CServiceBase::Run(CServiceBase& service) {
    instance = &service;
    SERVICE_TABLE_ENTRYW table[] = {
        {const_cast<LPWSTR>(service.serviceName_), serviceMainEntry},
        {nullptr, nullptr},
    };
    return StartServiceCtrlDispatcherW(table) != FALSE;
}
