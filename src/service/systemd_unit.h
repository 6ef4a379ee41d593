// The Linux side of installing and removing the service: a systemd unit file and systemctl.
// The public InstallService/RemoveService use the real directory and systemctl; these take
// them as parameters so that tests can run them in a scratch directory with a stand-in.
#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace service::systemd {

inline constexpr const char* kUnitDirectory = "/etc/systemd/system";
inline constexpr const char* kUnitName = "Tarnwick.service";

// The executable as ExecStart's first word: quoted (with C escapes) when it holds blanks,
// quotes or backslashes, and '%' doubled. Empty when no unit can name it: a path that is not
// absolute, holds control characters, or a '$' (the first word must not be a variable).
std::string execStartWord(const std::string& executablePath);

// The whole unit file; nullopt when execStartWord cannot name the executable.
std::optional<std::string> unitFileText(const std::string& executablePath);

struct CommandResult {
    int exitCode = -1;  // -1: could not be run, or ended by a signal
    std::string output; // its standard output (standard error goes to ours)
};
// Runs "systemctl <args...>".
using Systemctl = std::function<CommandResult(const std::vector<std::string>& args)>;

struct Environment {
    std::string unitDirectory = kUnitDirectory;
    Systemctl systemctl; // empty when systemctl is not installed
    // False in containers and chroots: enabling and disabling still work, stopping cannot.
    bool systemdRunning = true;
    std::function<void(unsigned milliseconds)> sleep;
};

// Writes the unit (never over an existing one) and enables it; every outcome is a line on out.
// True when the unit file was written.
bool installUnit(const Environment& environment, const std::string& executablePath,
                 std::ostream& out);

// Stops the service (waiting at most 60 seconds), disables it and deletes the unit file.
// True when the unit file is gone.
bool removeUnit(const Environment& environment, std::ostream& out);

// The system's systemctl from PATH (or /usr/bin, /bin); empty when there is none.
Systemctl findSystemctl();

} // namespace service::systemd
