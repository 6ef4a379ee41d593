// The systemd side of Run, against a notify socket of our own.
#include "service/service_base.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// An abstract-namespace datagram socket, as systemd's NOTIFY_SOCKET, set in the environment
// for as long as it lives.
class NotifySocket {
public:
    NotifySocket() {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        name_ = "tarnwick-notify-" + std::to_string(::getpid());
        std::copy(name_.begin(), name_.end(), address.sun_path + 1);
        const auto length =
            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name_.size());
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0;
        ::setenv("NOTIFY_SOCKET", ("@" + name_).c_str(), 1);
    }
    ~NotifySocket() {
        ::unsetenv("NOTIFY_SOCKET");
        ::close(fd_);
    }
    bool bound() const { return bound_; }

    // Every message that has arrived, without waiting for more.
    std::vector<std::string> messages() {
        std::vector<std::string> result;
        char buffer[4096];
        while (::poll(std::vector<pollfd>{{fd_, POLLIN, 0}}.data(), 1, 0) > 0) {
            ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            result.emplace_back(buffer, static_cast<std::size_t>(n));
        }
        return result;
    }

private:
    int fd_ = -1;
    bool bound_ = false;
    std::string name_;
};

bool stopSignalsBlocked() {
    sigset_t current;
    ::pthread_sigmask(SIG_BLOCK, nullptr, &current);
    return sigismember(&current, SIGTERM) == 1 || sigismember(&current, SIGINT) == 1;
}

class SignalledService : public CServiceBase {
public:
    SignalledService() : CServiceBase(L"Tarnwick") { resetCheckPointForTesting(); }

    std::function<void()> onStart;
    std::optional<ServiceErrorCode> startError;
    int stops = 0;
    bool stopSawBlockedSignals = false;
    using CServiceBase::WorkerEnded;

protected:
    void OnStart(std::uint32_t, wchar_t**) override {
        if (onStart)
            onStart();
        if (startError)
            throw *startError;
    }
    void OnStop() override {
        ++stops;
        stopSawBlockedSignals = stopSignalsBlocked();
    }
};

TEST(SystemdService, RunWithoutNotifySocketIsConsoleMode) {
    ::unsetenv("NOTIFY_SOCKET");
    SignalledService s;
    bool started = false;
    s.onStart = [&] { started = true; };
    EXPECT_FALSE(CServiceBase::Run(s));
    EXPECT_FALSE(started);
    EXPECT_EQ(s.status().currentState, service::State::startPending);
}

TEST(SystemdService, ReportsReadyThenStopsOnSigterm) {
    NotifySocket notify;
    ASSERT_TRUE(notify.bound());
    SignalledService s;
    bool blockedInStart = false;
    // The signal arrives while OnStart runs: it must wait for the loop, not kill the process.
    s.onStart = [&] {
        blockedInStart = stopSignalsBlocked();
        ::pthread_kill(::pthread_self(), SIGTERM);
    };
    ASSERT_FALSE(stopSignalsBlocked());
    EXPECT_TRUE(CServiceBase::Run(s));
    EXPECT_TRUE(blockedInStart);
    EXPECT_EQ(s.stops, 1);
    EXPECT_TRUE(s.stopSawBlockedSignals);
    EXPECT_FALSE(stopSignalsBlocked());
    EXPECT_EQ(notify.messages(),
              (std::vector<std::string>{"STATUS=Starting", "READY=1\nSTATUS=Running",
                                        "STOPPING=1\nSTATUS=Stopping", "STATUS=Stopped"}));
    EXPECT_EQ(s.serviceExitCode(), 0u);
}

TEST(SystemdService, SigintStopsItToo) {
    NotifySocket notify;
    SignalledService s;
    s.onStart = [] { ::pthread_kill(::pthread_self(), SIGINT); };
    EXPECT_TRUE(CServiceBase::Run(s));
    EXPECT_EQ(s.stops, 1);
    EXPECT_EQ(notify.messages().back(), "STATUS=Stopped");
}

TEST(SystemdService, WorkerEndingOnItsOwnEndsRunWithAFailure) {
    NotifySocket notify;
    SignalledService s;
    std::thread worker;
    s.onStart = [&] {
        worker = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            s.WorkerEnded(98, "Bind failed with error code :98");
        });
    };
    EXPECT_TRUE(CServiceBase::Run(s));
    worker.join();
    EXPECT_EQ(s.stops, 0);
    const auto messages = notify.messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "STATUS=Stopped after a failure (code 0x00000062)");
    EXPECT_EQ(s.serviceExitCode(), service::kErrorServiceSpecific);
}

TEST(SystemdService, StartFailureNeverReportsReady) {
    NotifySocket notify;
    SignalledService s;
    s.startError = 8;
    EXPECT_TRUE(CServiceBase::Run(s));
    EXPECT_EQ(notify.messages(),
              (std::vector<std::string>{"STATUS=Starting",
                                        "STATUS=Stopped after a failure (error 0x00000008)"}));
    EXPECT_EQ(s.serviceExitCode(), 8u);
}

} // namespace
