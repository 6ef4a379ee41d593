// Installing and removing the Windows service, and its event-log source in the registry.
#include "service/installer_win32.h"
#include "service/installer.h"

#include <cstdio>
#include <iterator>
#include <string>
#include <tuple>

#include <windows.h>

namespace {

constexpr const wchar_t* kServiceName = L"Tarnwick";
constexpr const wchar_t* kDisplayName = L"Tarnwick for N1MM+ and ExpertSDR";
constexpr const wchar_t* kEventSourceKey =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tarnwick";
constexpr DWORD kPathLimit = 260;
constexpr int kStopWaitSeconds = 60;
constexpr DWORD kFailureResetSeconds = 24 * 60 * 60;
constexpr DWORD kRestartDelaysMs[] = {10000, 30000, 60000};

// Service control manager and service handles, closed when they go.
class ScHandle {
public:
    explicit ScHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
    ~ScHandle() {
        if (handle_)
            CloseServiceHandle(handle_);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    SC_HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    SC_HANDLE handle_;
};

class RegKey {
public:
    RegKey() = default;
    ~RegKey() {
        if (key_)
            RegCloseKey(key_);
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    HKEY* out() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

void failure(const wchar_t* call, DWORD error) {
    std::wprintf(L"%ls failed w/err 0x%08lx\n", call, error);
}

// The running executable; false (and the error) when the path is unavailable or was cut.
bool modulePath(std::wstring& path, DWORD& error) {
    wchar_t buffer[kPathLimit];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, kPathLimit);
    if (length == 0) {
        error = GetLastError();
        return false;
    }
    // A cut path would register some other program.
    if (length >= kPathLimit) {
        error = ERROR_INSUFFICIENT_BUFFER;
        return false;
    }
    path.assign(buffer, length);
    return true;
}

// Description and recovery are extras: a service manager that refuses one (Wine refuses the
// flag) leaves a working service, so each refusal is one warning line and the install stands.
void configureService(SC_HANDLE serviceHandle) {
    auto warn = [](const wchar_t* what) {
        std::wprintf(L"Warning: %ls (ChangeServiceConfig2 failed w/err 0x%08lx)\n", what,
                     GetLastError());
    };
    SERVICE_DESCRIPTIONW description{const_cast<LPWSTR>(service::kServiceDescription)};
    if (!ChangeServiceConfig2W(serviceHandle, SERVICE_CONFIG_DESCRIPTION, &description))
        warn(L"the service has no description");
    service::FailureActions recovery;
    if (!ChangeServiceConfig2W(serviceHandle, SERVICE_CONFIG_FAILURE_ACTIONS, recovery.actions()))
        warn(L"the service will not be restarted after a failure");
    else if (!ChangeServiceConfig2W(serviceHandle, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG,
                                    recovery.flag()))
        warn(L"a stop with an error code will not count as a failure");
}

} // namespace

namespace service {

const wchar_t* const kServiceDescription =
    L"Shows the spots of N1MM+'s band map on ExpertSDR's panorama (TCI) and the SDR's spectrum "
    L"in N1MM+. Settings and log: Tarnwick.xml and Tarnwick.log beside tarnwick.exe.";

FailureActions::FailureActions() : steps_{}, actions_{}, flag_{} {
    static_assert(std::size(kRestartDelaysMs) == std::tuple_size_v<decltype(steps_)>);
    for (std::size_t i = 0; i < steps_.size(); ++i)
        steps_[i] = {SC_ACTION_RESTART, kRestartDelaysMs[i]};
    actions_.dwResetPeriod = kFailureResetSeconds;
    actions_.cActions = static_cast<DWORD>(steps_.size());
    actions_.lpsaActions = steps_.data();
    flag_.fFailureActionsOnNonCrashFailures = TRUE;
}

} // namespace service

void InstallService() {
    std::wstring path;
    DWORD error = 0;
    if (!modulePath(path, error)) {
        failure(L"GetModuleFileName", error);
        return;
    }
    // Unquoted, "C:\Program Files\Tarnwick\tarnwick.exe" would also start C:\Program.exe.
    if (path.find(L' ') != std::wstring::npos)
        path = L"\"" + path + L"\"";

    ScHandle manager(
        OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        failure(L"OpenSCManager", GetLastError());
        return;
    }
    // Restart actions may be set only through a handle that may start the service.
    ScHandle created(CreateServiceW(manager.get(), kServiceName, kDisplayName,
                                    SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG | SERVICE_START,
                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                    SERVICE_ERROR_NORMAL, path.c_str(), nullptr, nullptr, L"\0",
                                    L".\\LocalSystem", nullptr));
    if (!created) {
        failure(L"CreateService", GetLastError());
    } else {
        std::wprintf(L"%ls is installed.\n", kServiceName);
        configureService(created.get());
    }
    std::fflush(stdout);
}

void RemoveService() {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        failure(L"OpenSCManager", GetLastError());
        return;
    }
    ScHandle serviceHandle(
        OpenServiceW(manager.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!serviceHandle) {
        failure(L"OpenService", GetLastError());
        return;
    }

    SERVICE_STATUS status{};
    if (ControlService(serviceHandle.get(), SERVICE_CONTROL_STOP, &status)) {
        std::wprintf(L"Stopping %ls.", kServiceName);
        std::fflush(stdout);
        Sleep(1000);
        // A service that never finishes stopping must not hold the removal up for ever.
        int waited = 1;
        while (QueryServiceStatus(serviceHandle.get(), &status) &&
               status.dwCurrentState == SERVICE_STOP_PENDING && waited < kStopWaitSeconds) {
            std::wprintf(L".");
            std::fflush(stdout);
            Sleep(1000);
            ++waited;
        }
        if (status.dwCurrentState == SERVICE_STOPPED)
            std::wprintf(L"\n%ls is stopped.\n", kServiceName);
        else
            std::wprintf(L"\n%ls failed to stop.\n", kServiceName);
    }

    if (!DeleteService(serviceHandle.get()))
        failure(L"DeleteService", GetLastError());
    else
        std::wprintf(L"%ls is removed.\n", kServiceName);
    std::fflush(stdout);
}

bool registerEventSource() {
    std::wstring path;
    DWORD error = 0;
    if (!modulePath(path, error))
        return false;
    RegKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, key.out(), nullptr) != ERROR_SUCCESS)
        return false;
    const auto pathBytes = static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t));
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    return RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                          reinterpret_cast<const BYTE*>(path.c_str()),
                          pathBytes) == ERROR_SUCCESS &&
           RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&types), sizeof types) == ERROR_SUCCESS;
}

void removeEventSource() {
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey);
}
