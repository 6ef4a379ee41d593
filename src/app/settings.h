// The settings record and its file, Tarnwick.xml beside the executable.
#pragma once

#include "platform/files.h"

#include <cstdint>
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
    std::string logFile;
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
    std::vector<TransverterEntry> Transverters{{1296000.0, 144000.0}, {432000.0, 28000.0}};
};

// Reads the file over the record; true when read through. Fields read before a failure stay.
bool loadSettings(const std::string& path, BridgeSettings& settings);
// The same for the file's text.
bool loadSettingsText(std::string_view text, BridgeSettings& settings);

// Writes the whole record to the file, replacing it in one step. A failure is not reported to the
// user: the old file stays whole and the failure is returned for the log.
platform::FileError saveSettings(const std::string& path, const BridgeSettings& settings,
                                 const platform::FileWriter& write = platform::writeToDisk);

// The exact bytes that saveSettings writes ('\n' line endings on every platform).
std::string settingsDocument(const BridgeSettings& settings);
