// The service base: connects one service object to the system's service manager
// (the Windows service control manager, or systemd on Linux).
#pragma once

#include <cstdint>

// Service operations signal a system failure by throwing the system's error code.
using ServiceErrorCode = std::uint32_t;

class CServiceBase {
public:
    // Runs the service dispatcher for this object; false when the process was not started by the
    // service manager (then nothing has been reported to it).
    static bool Run(CServiceBase& service);

    explicit CServiceBase(const wchar_t* serviceName);
    virtual ~CServiceBase();
    CServiceBase(const CServiceBase&) = delete;
    CServiceBase& operator=(const CServiceBase&) = delete;

    const wchar_t* serviceName() const { return serviceName_; }

protected:
    virtual void OnStart(std::uint32_t argc, wchar_t** argv);
    virtual void OnStop();
    virtual void OnPause();
    virtual void OnContinue();
    virtual void OnShutdown();

    // The service's work ended by itself (for example a start-up failure): the service reports
    // itself stopped with this exit code, and the event log says why.
    void WorkerEnded(std::uint32_t exitCode, const char* why);

private:
    const wchar_t* serviceName_;
};
