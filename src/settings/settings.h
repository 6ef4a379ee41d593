// The settings record and its file, Tarnwick.xml beside the executable.
#pragma once

#include "platform/files.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A frequency at or above rf (kHz) is shown to the SDR at ifreq plus its distance above rf.
struct TransverterEntry {
    double rf = 0.0;
    double ifreq = 0.0;
};

// Field names follow the file's element names.
struct BridgeSettings {
    std::int32_t N1MMSpotPort = 12062;
    std::string TCIHost = "127.0.0.1";
    std::string TCIPort = "40001";
    std::int64_t SpotBusyColour = 0xFF4D4D4D;
    std::int64_t SpotBustColour = 0xFF4D4D4D;
    std::int64_t SpotCQColour = 0xFF51A8FF;
    std::int64_t SpotDupeColour = 0xFF4D4D4D;
    std::int64_t SpotSingleMultColour = 0xFFFF0000;
    std::int64_t SpotDoubleMultColour = 0xFF0D9D0D;
    std::int64_t SpotNewQSOColour = 0xFF51A8FF;
    std::int32_t Debug = 0;
    platform::Path logFile;
    platform::Path stateFile; // the live spots between runs; not persisted here
    bool interactive = false;
    std::int32_t SpotLifeTime = 7200;
    bool SpectrumDisplayEnabled = false;
    std::int32_t SpectrumReceiverNumber = 0;
    std::string SpectrumScalingFactor = "0.3";
    std::string SpectrumDisplayHost = "127.0.0.1";
    std::string SpectrumDisplayPort = "13064";
    std::int32_t SpectrumSampleRate = 48000;
    std::int32_t SpectrumSampleSize = 512;
    std::int32_t SpectrumFrequency = 3;
    std::int32_t SpectrumCorrection = 40;
    // Elements that only a file which holds them has, and that only such a file gets back, so
    // that a station that never asked for them keeps its file as it is. Text as written: the
    // bridge reads and checks them when it starts (each spectrum the mean of every block since
    // the last, a second SDR program, a second spectrum for an SO2R or SO2V station, and the
    // names that N1MM+'s spectrum windows pick their source by).
    std::optional<std::string> SpectrumAveraging;
    // A second SDR program's TCI server, for a station with two SDR radios: both must be there.
    std::optional<std::string> TCI2Host;
    std::optional<std::string> TCI2Port;
    std::optional<std::string> SpectrumName;
    std::optional<std::string> Spectrum2ReceiverNumber;
    std::optional<std::string> Spectrum2Name;
    std::optional<std::string> Spectrum2RadioNr;
    // How spots look on the panorama: the template of their text, and the N1MM+ statuses whose
    // spots are kept off it (comma-separated).
    std::optional<std::string> SpotText;
    std::optional<std::string> SpotHiddenStatuses;
    // "true": each SDR program is sent only the spots on its N1MM+ radios' bands.
    std::optional<std::string> SpotOnlyRadioBands;
    std::vector<TransverterEntry> Transverters{{1296000.0, 144000.0}, {432000.0, 28000.0}};
};

// Reads the file over the record; true when read through. Fields read before a failure stay.
bool loadSettings(const platform::Path& path, BridgeSettings& settings);
// The same for the file's text.
bool loadSettingsText(std::string_view text, BridgeSettings& settings);

// What start-up's load found.
struct SettingsLoad {
    bool loaded = false;             // read through
    platform::Path keptAs;           // where a file that did not load was kept (empty: nowhere)
    platform::FileError readProblem; // the file is there but could not be read
    platform::FileError keepProblem; // it did not load and could not be kept
};

// Start-up's load: loadSettings, and a file that is there but does not load is first kept as
// path + ".bad" (replacing an older one), so that the defaults written over it lose nothing.
// A missing or empty file has nothing to keep. After a read or keep problem the file must not be
// written over.
SettingsLoad loadSettingsKeepingBad(const platform::Path& path, BridgeSettings& settings);

// Writes the whole record to the file (platform::replaceFileContents). On failure the old file
// stays whole (unless it had to be written in place: see FileError::partial).
platform::FileError saveSettings(const platform::Path& path, const BridgeSettings& settings,
                                 const platform::FileWriter& write = platform::writeToDisk);

// The one line that tells the user that a save failed, naming the file and the reason.
std::string saveFailureText(std::string_view shownPath, const platform::FileError& error);

// A value as it is used: without the blanks and line breaks around it that a hand edit may
// leave (TCIHost, TCIPort, SpectrumDisplayHost, SpectrumDisplayPort). The file keeps them.
std::string trimBlanks(std::string_view text);

// The exact bytes that saveSettings writes ('\n' line endings on every platform).
std::string settingsDocument(const BridgeSettings& settings);
