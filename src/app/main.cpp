// Tarnwick: relays N1MM+ spots to ExpertSDR over TCI and the SDR's spectrum back to N1MM+.
#include "app/command_line.h"
#include "bridge/orvex.h"
#include "diag/log.h"
#include "platform/paths.h"
#include "service/installer.h"
#include "settings/settings.h"
#include "spots/spot_state.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <utility>

namespace {

// The one bridge object of the process, built before main runs.
Orvex bridge;

void printBanner() {
    std::fputs("Tarnwick " TARNWICK_VERSION " - N1MM+ spots and spectrum for ExpertSDR over TCI\n"
               "Console: Ctrl+C to stop. Service: --install / --remove.\n"
               "\n",
               stdout);
}

// A settings file that cannot be written is said at once on the console, before the bridge
// starts or the installer goes on, and again in the log (and a service's event log) once the
// bridge has set that up: an option given on the command line must not be lost unseen.
class SettingsFile {
public:
    explicit SettingsFile(platform::Path path) : path_(std::move(path)) {}

    void load(BridgeSettings& settings) {
        const SettingsLoad load = loadSettingsKeepingBad(path_, settings);
        if (!load.loaded)
            std::puts("Problem loading Tarnwick.xml (using defaults)");
        if (!load.keptAs.empty())
            std::printf("The settings file that did not load is kept as %s\n",
                        platform::consolePath(load.keptAs).c_str());
        // Whatever is in the file stays there: nothing is saved over it in this run.
        const char* kLeftAlone = "; it is left as it is and no settings are saved";
        if (load.readProblem) {
            mayWrite_ = false;
            tell([&](const std::string& shown) {
                return "Could not read " + shown + " (" + platform::describe(load.readProblem) +
                       ")" + kLeftAlone;
            });
        } else if (load.keepProblem) {
            mayWrite_ = false;
            tell([&](const std::string& shown) {
                return "Could not keep " + shown + ", which did not load, as " + shown + ".bad (" +
                       platform::describe(load.keepProblem) + ")" + kLeftAlone;
            });
        }
    }

    void save(const BridgeSettings& settings) {
        if (!mayWrite_)
            return;
        const platform::FileError error = saveSettings(path_, settings);
        if (!error) {
            bridge.noteSettingsProblem({});
            return;
        }
        // The second save at start-up failing as the first did is not news.
        if (told_ && told_.code == error.code && std::strcmp(told_.call, error.call) == 0)
            return;
        told_ = error;
        tell([&](const std::string& shown) { return saveFailureText(shown, error); });
    }

private:
    void tell(const std::function<std::string(const std::string& shownPath)>& text) {
        LOG_FAILURE("main", "{}", text(platform::consolePath(path_)));
        bridge.noteSettingsProblem(text(platform::utf8Path(path_)));
    }

    platform::Path path_;
    bool mayWrite_ = true;
    platform::FileError told_;
};

} // namespace

int main(int argc, char** argv) {
    const platform::Path directory = platform::executableDirectory();
    const platform::Path settingsPath = directory / "Tarnwick.xml";
    const platform::Path logPath = directory / "Tarnwick.log";

    printBanner();
    std::printf("Loading config file: %s\n", platform::consolePath(settingsPath).c_str());
    std::printf("Log file : %s\n", platform::consolePath(logPath).c_str());

    BridgeSettings& settings = bridge.settings;
    settings = BridgeSettings{};
    settings.logFile = logPath;
    settings.stateFile = directory / kSpotStateFileName;
    SettingsFile file(settingsPath);
    file.load(settings);
    file.save(settings);
    settings.interactive = false;

    const cmdline::ParseResult parsed = cmdline::parseCommandLine(argc, argv);
    if (!parsed.ok)
        std::fputs("Unable to parse command line arguments ...\n", stdout);
    std::fputs(cmdline::diagnosticsText(parsed).c_str(), stdout);
    if (cmdline::wantsUsage(parsed)) {
        std::fputs(cmdline::usageText().c_str(), stdout);
        return 0;
    }

    const cmdline::ApplyResult applied = cmdline::applyOptions(parsed, settings);
    if (applied.error) {
        std::fprintf(stderr, "%s\n", applied.error->c_str());
        return 2;
    }
    if (applied.saveAgain)
        file.save(settings);

    if (parsed.has(cmdline::kInstall)) {
        std::fputs("Trying to install Tarnwick as a service.\n", stdout);
        std::fflush(stdout);
        InstallService();
        if (!registerEventSource()) {
            std::fflush(stdout);
            std::fputs("Failed to register eventlog source.\n", stderr);
            return -1;
        }
        return 0;
    }
    if (parsed.has(cmdline::kRemove)) {
        std::fputs("Trying to remove Tarnwick service.\n", stdout);
        std::fflush(stdout);
        RemoveService();
        removeEventSource();
        return 0;
    }

    // A service whose work failed exits non-zero, so that systemd's Restart=on-failure applies.
    if (CServiceBase::Run(bridge))
        return bridge.serviceExitCode() == 0 ? 0 : 1;
    std::fputs("Running in interactive mode\n", stdout);
    std::fflush(stdout);
    settings.interactive = true;
    bridge.t();
    // A worker that could not start (a taken spot port, say) is a failure, not a clean stop.
    return bridge.workerFailed() ? 1 : 0;
}
