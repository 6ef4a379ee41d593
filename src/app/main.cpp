// Tarnwick: relays N1MM+ spots to ExpertSDR over TCI and the SDR's spectrum back to N1MM+.
#include "app/command_line.h"
#include "app/settings.h"
#include "bridge/orvex.h"
#include "platform/paths.h"
#include "service/installer.h"

#include <cstdio>
#include <string>

namespace {

// The one bridge object of the process, built before main runs.
Orvex bridge;

void printBanner() {
    std::fputs("Tarnwick " TARNWICK_VERSION " - N1MM+ spots and spectrum for ExpertSDR over TCI\n"
               "Console: Ctrl+C to stop. Service: --install / --remove.\n"
               "\n",
               stdout);
}

} // namespace

int main(int argc, char** argv) {
    const std::string directory = platform::executableDirectory();
    const char separator = platform::directorySeparator();
    const std::string settingsPath = directory + separator + "Tarnwick.xml";
    const std::string logPath = directory + separator + "Tarnwick.log";

    printBanner();
    std::printf("Loading config file: %s\n", settingsPath.c_str());
    std::printf("Log file : %s\n", logPath.c_str());

    BridgeSettings& settings = bridge.settings;
    settings = BridgeSettings{};
    settings.logFile = logPath;
    if (!loadSettings(settingsPath, settings))
        std::puts("Problem loading Tarnwick.xml (using defaults)");
    bridge.noteSettingsSave(settingsPath, saveSettings(settingsPath, settings));
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
        bridge.noteSettingsSave(settingsPath, saveSettings(settingsPath, settings));

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
