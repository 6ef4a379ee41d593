// The service base under systemd: Type=notify readiness through sd_notify, SIGTERM as the stop
// control, syslog as the event log.
#include "service/service_base.h"

#include "service/wide_text.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <time.h>
#include <unistd.h>

using service::State;

namespace {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_;
};

// SIGTERM (systemd's stop) and SIGINT arrive on a descriptor instead of in a handler. They are
// blocked before OnStart, so every thread the service starts inherits the block.
class StopSignals {
public:
    StopSignals() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGINT);
        error_ = ::pthread_sigmask(SIG_BLOCK, &set_, &previous_);
        if (error_ != 0)
            return;
        blocked_ = true;
        fd_ = ::signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK);
        if (fd_ < 0)
            error_ = errno;
    }
    ~StopSignals() {
        if (fd_ >= 0)
            ::close(fd_);
        if (!blocked_)
            return;
        // A late stop request means nothing now that the service has stopped; take it
        // before unblocking, or it would end the process by its default action.
        timespec noWait{};
        while (::sigtimedwait(&set_, nullptr, &noWait) > 0) {
        }
        ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    int fd() const { return fd_; }
    int error() const { return error_; }

    // True when a stop signal was waiting.
    bool take() {
        signalfd_siginfo info;
        for (;;) {
            ssize_t n = ::read(fd_, &info, sizeof info);
            if (n == static_cast<ssize_t>(sizeof info))
                return true;
            if (n < 0 && errno == EINTR)
                continue;
            return false;
        }
    }

private:
    sigset_t set_;
    sigset_t previous_;
    bool blocked_ = false;
    int fd_ = -1;
    int error_ = 0;
};

std::string notifyText(const service::Status& status) {
    switch (status.currentState) {
    case State::startPending:
        return "STATUS=Starting";
    case State::running:
        return "READY=1\nSTATUS=Running";
    case State::stopPending:
        return "STOPPING=1\nSTATUS=Stopping";
    case State::pausePending:
        return "STATUS=Pausing";
    case State::paused:
        return "STATUS=Paused";
    case State::continuePending:
        return "STATUS=Continuing";
    case State::stopped:
        break;
    }
    char text[96];
    if (status.win32ExitCode == service::kErrorServiceSpecific)
        std::snprintf(text, sizeof text, "STATUS=Stopped after a failure (code 0x%08lx)",
                      static_cast<unsigned long>(status.serviceSpecificExitCode));
    else if (status.win32ExitCode != 0)
        std::snprintf(text, sizeof text, "STATUS=Stopped after a failure (error 0x%08lx)",
                      static_cast<unsigned long>(status.win32ExitCode));
    else
        std::snprintf(text, sizeof text, "STATUS=Stopped");
    return text;
}

int syslogPriority(std::uint16_t type) {
    switch (type) {
    case service::kEventError:
        return LOG_ERR;
    case service::kEventWarning:
        return LOG_WARNING;
    default:
        return LOG_INFO;
    }
}

class SystemdSink : public service::StatusSink {
public:
    explicit SystemdSink(int wakeFd) : wakeFd_(wakeFd) {}

    void setStatus(const service::Status& status) override {
        ::sd_notify(0, notifyText(status).c_str());
        // The stop may come from the worker's own thread; the waiting loop must look again.
        if (status.currentState == State::stopped && wakeFd_ >= 0) {
            const std::uint64_t one = 1;
            while (::write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
            }
        }
    }

    void logEvent(const wchar_t* source, const std::wstring& message, std::uint16_t type) override {
        // openlog keeps the pointer: the name must outlive every later syslog call.
        static const std::string ident = service::narrowUtf8(source ? source : L"");
        static const bool opened = (::openlog(ident.c_str(), LOG_PID, LOG_DAEMON), true);
        (void)opened;
        ::syslog(LOG_DAEMON | syslogPriority(type), "%s", service::narrowUtf8(message).c_str());
    }

private:
    int wakeFd_;
};

} // namespace

void CServiceBase::ServiceMain(std::uint32_t argc, wchar_t** argv) {
    // The stop signals stand in for RegisterServiceCtrlHandlerW; Run has set them up already.
    instance->Start(argc, argv);
}

bool CServiceBase::Run(CServiceBase& service) {
    const char* notifySocket = std::getenv("NOTIFY_SOCKET");
    if (!notifySocket || !*notifySocket)
        return false;
    instance = &service;

    StopSignals signals;
    Fd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    const int wakeError = wake.valid() ? 0 : errno;
    SystemdSink sink(wake.get());
    service.attachStatusSink(&sink);
    struct Detach {
        CServiceBase& service;
        ~Detach() { service.attachStatusSink(nullptr); }
    } detach{service};

    if (signals.fd() < 0 || !wake.valid()) {
        // Without a way to hear the stop request the work must not start.
        const int error = signals.error() != 0 ? signals.error() : wakeError;
        service.LogError(L"Service Main", static_cast<ServiceErrorCode>(error));
        service.ReportStatus(State::stopped, static_cast<std::uint32_t>(error));
        return true;
    }

    std::wstring name = service.serviceName();
    wchar_t* argv[] = {name.data(), nullptr};
    ServiceMain(1, argv);

    while (service.status().currentState != State::stopped) {
        pollfd fds[2] = {{signals.fd(), POLLIN, 0}, {wake.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            // The wait itself broke: stop the work cleanly rather than leave it unattended.
            service.LogError(L"Service Wait", static_cast<ServiceErrorCode>(errno));
            service.Stop();
            break;
        }
        if (fds[1].revents & POLLIN) {
            std::uint64_t count = 0;
            (void)!::read(wake.get(), &count, sizeof count);
        }
        if ((fds[0].revents & POLLIN) && signals.take())
            ControlHandler(service::kControlStop);
    }
    return true;
}
