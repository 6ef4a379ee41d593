// Installing the bridge as a systemd service: the unit file, enabled and disabled by systemctl.
#include "service/installer.h"
#include "service/systemd_unit.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace service::systemd {

namespace {

constexpr const char* kServiceName = "Tarnwick";
constexpr int kStopWaitSeconds = 60;

std::string errorText(int error) {
    return std::strerror(error);
}

// Owns one file descriptor.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

bool needsQuotes(const std::string& path) {
    return path.find_first_of(" \t\"'\\;") != std::string::npos;
}

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string unitPath(const Environment& environment) {
    return environment.unitDirectory + "/" + kUnitName;
}

// Reports a systemctl command that did not succeed; true when it did.
bool systemctlSucceeded(const Environment& environment, const std::vector<std::string>& args,
                        std::ostream& out) {
    CommandResult result = environment.systemctl(args);
    if (result.exitCode == 0)
        return true;
    out << "systemctl";
    for (const std::string& arg : args)
        out << ' ' << arg;
    if (result.exitCode < 0)
        out << " could not be run.\n";
    else
        out << " failed (exit code " << result.exitCode << ").\n";
    return false;
}

std::string activeState(const Environment& environment) {
    CommandResult result =
        environment.systemctl({"show", "--property=ActiveState", "--value", kUnitName});
    if (result.exitCode != 0)
        return {};
    std::string state = result.output;
    while (!state.empty() && (state.back() == '\n' || state.back() == '\r' || state.back() == ' '))
        state.pop_back();
    return state;
}

bool isStopped(const std::string& state) {
    return state == "inactive" || state == "failed";
}

// The states in which a stop has something to do.
bool isLive(const std::string& state) {
    return state == "active" || state == "activating" || state == "reloading" ||
           state == "deactivating";
}

void stopService(const Environment& environment, std::ostream& out) {
    if (!isLive(activeState(environment)))
        return;
    // As on Windows: nothing about stopping is written when the stop request is refused.
    if (environment.systemctl({"stop", "--no-block", kUnitName}).exitCode != 0)
        return;
    out << "Stopping " << kServiceName << "." << std::flush;
    environment.sleep(1000);
    std::string state = activeState(environment);
    // A service that never finishes stopping must not hold the removal up for ever.
    for (int waited = 1; isLive(state) && waited < kStopWaitSeconds; ++waited) {
        out << "." << std::flush;
        environment.sleep(1000);
        state = activeState(environment);
    }
    if (isStopped(state))
        out << "\n" << kServiceName << " is stopped.\n";
    else
        out << "\n" << kServiceName << " failed to stop.\n";
}

bool isExecutable(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

CommandResult runProgram(const std::string& program, const std::vector<std::string>& args) {
    CommandResult result;
    std::vector<std::string> words;
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return result;
    Fd readEnd(pipeFds[0]);
    Fd writeEnd(pipeFds[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    // Our own lines must come before whatever the child writes to the shared stderr.
    std::cout.flush();
    std::fflush(stdout);
    pid_t child = -1;
    const int spawned =
        ::posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    writeEnd.reset();
    if (spawned != 0)
        return result;

    char buffer[512];
    for (;;) {
        ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return result;
    }
    if (WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    return result;
}

void sleepMillis(unsigned milliseconds) {
    timespec delay{static_cast<time_t>(milliseconds / 1000),
                   static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
}

Environment systemEnvironment() {
    Environment environment;
    environment.systemctl = findSystemctl();
    environment.systemdRunning = ::sd_booted() > 0;
    environment.sleep = sleepMillis;
    return environment;
}

} // namespace

std::string execStartWord(const std::string& executablePath) {
    if (executablePath.empty() || executablePath.front() != '/')
        return {};
    for (char c : executablePath) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || c == '$')
            return {};
    }
    std::string word;
    const bool quoted = needsQuotes(executablePath);
    if (quoted)
        word += '"';
    for (char c : executablePath) {
        if (c == '%')
            word += "%%";
        else if (quoted && (c == '\\' || c == '"'))
            (word += '\\') += c;
        else
            word += c;
    }
    if (quoted)
        word += '"';
    return word;
}

std::optional<std::string> unitFileText(const std::string& executablePath) {
    const std::string execStart = execStartWord(executablePath);
    if (execStart.empty())
        return std::nullopt;
    return "[Unit]\n"
           "Description=Tarnwick for N1MM+ and ExpertSDR\n"
           "After=network.target\n"
           "\n"
           "[Service]\n"
           "Type=notify\n"
           "ExecStart=" +
           execStart +
           "\n"
           "Restart=on-failure\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

bool installUnit(const Environment& environment, const std::string& executablePath,
                 std::ostream& out) {
    const std::optional<std::string> text = unitFileText(executablePath);
    if (!text) {
        out << "Cannot install " << kServiceName << ": a systemd unit cannot name the executable "
            << executablePath << "\n";
        return false;
    }
    const std::string path = unitPath(environment);

    // Written beside the final name and linked into place, so that systemd never reads half a
    // file and an existing unit is never overwritten.
    std::string scratch = environment.unitDirectory + "/." + kUnitName + ".XXXXXX";
    Fd fd(::mkstemp(scratch.data()));
    if (fd.get() < 0) {
        out << "Cannot write " << path << ": " << errorText(errno) << "\n";
        return false;
    }
    int error = 0;
    if (::fchmod(fd.get(), 0644) != 0 || !writeAll(fd.get(), *text) || ::fsync(fd.get()) != 0)
        error = errno;
    fd.reset();
    if (error == 0 && ::link(scratch.c_str(), path.c_str()) != 0)
        error = errno;
    ::unlink(scratch.c_str());
    if (error == EEXIST) {
        out << "Cannot install " << kServiceName << ": " << path << " exists already.\n";
        return false;
    }
    if (error != 0) {
        out << "Cannot write " << path << ": " << errorText(error) << "\n";
        return false;
    }
    out << kServiceName << " is installed.\n";

    if (!environment.systemctl) {
        out << "systemctl was not found. To start " << kServiceName
            << " with the system, enable it by hand:\n  ln -s " << path << ' '
            << environment.unitDirectory << "/multi-user.target.wants/" << kUnitName << "\n";
        return true;
    }
    if (environment.systemdRunning)
        systemctlSucceeded(environment, {"daemon-reload"}, out);
    if (!systemctlSucceeded(environment, {"enable", kUnitName}, out))
        out << kServiceName << " will not start with the system until it is enabled: "
            << "systemctl enable " << kUnitName << "\n";
    return true;
}

bool removeUnit(const Environment& environment, std::ostream& out) {
    const std::string path = unitPath(environment);
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        const int error = errno;
        if (error == ENOENT)
            out << kServiceName << " is not installed (no " << path << ").\n";
        else
            out << "Cannot read " << path << ": " << errorText(error) << "\n";
        return false;
    }

    if (environment.systemctl) {
        if (environment.systemdRunning)
            stopService(environment, out);
        if (!systemctlSucceeded(environment, {"disable", kUnitName}, out)) {
            out << kServiceName << " is still installed.\n";
            return false;
        }
    }
    if (::unlink(path.c_str()) != 0) {
        out << "Cannot delete " << path << ": " << errorText(errno) << "\n";
        return false;
    }
    if (environment.systemctl && environment.systemdRunning)
        systemctlSucceeded(environment, {"daemon-reload"}, out);
    out << kServiceName << " is removed.\n";
    return true;
}

Systemctl findSystemctl() {
    std::vector<std::string> candidates;
    if (const char* path = std::getenv("PATH")) {
        std::string directories = path;
        std::size_t start = 0;
        while (start <= directories.size()) {
            std::size_t end = directories.find(':', start);
            if (end == std::string::npos)
                end = directories.size();
            if (end > start)
                candidates.push_back(directories.substr(start, end - start) + "/systemctl");
            start = end + 1;
        }
    }
    // sudo and service shells may run with a PATH that lacks the usual places.
    candidates.push_back("/usr/bin/systemctl");
    candidates.push_back("/bin/systemctl");
    for (const std::string& candidate : candidates) {
        if (candidate.front() == '/' && isExecutable(candidate))
            return [candidate](const std::vector<std::string>& args) {
                return runProgram(candidate, args);
            };
    }
    return {};
}

} // namespace service::systemd

namespace {

// The running executable as the kernel knows it (the counterpart of GetModuleFileNameW).
bool executablePath(std::string& path, int& error) {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n < 0) {
        error = errno;
        return false;
    }
    if (static_cast<std::size_t>(n) >= sizeof buffer) {
        error = ENAMETOOLONG;
        return false;
    }
    path.assign(buffer, static_cast<std::size_t>(n));
    return true;
}

} // namespace

void InstallService() {
    std::string path;
    int error = 0;
    if (!executablePath(path, error)) {
        std::cout << "Cannot find the path of the executable: " << std::strerror(error) << "\n";
        return;
    }
    service::systemd::installUnit(service::systemd::systemEnvironment(), path, std::cout);
    std::cout.flush();
}

void RemoveService() {
    service::systemd::removeUnit(service::systemd::systemEnvironment(), std::cout);
    std::cout.flush();
}

// syslog needs no registered source.
bool registerEventSource() {
    return true;
}
void removeEventSource() {}
