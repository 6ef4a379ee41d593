// The N1MM+ spectrum datagram: band edges, scaling text and one row of levels from a spectrum.
#pragma once

#include "bridge/iq_block.h"
#include "bridge/simd_path.h"
#include "settings/settings.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The XML text of one spectrum datagram, UTF-8, sent without a terminating zero.
using SpectrumPacket = std::string;

// The power of each bin of a transformed block, re * re + im * im rounded to float, in natural
// bin order.
using PowerSpectrum = std::array<float, IqBlock::kSamples>;

// What a packet is built from besides the spectrum. Views only: nothing is copied per block.
struct SpectrumInputs {
    std::string_view Name = "ExpertSDR"; // the source that N1MM+'s spectrum window picks
    std::int32_t ddsFrequency = 0;       // SDR receiver centre, Hz
    std::int32_t n1mmFrequency = 0;      // N1MM+ radio 1, tens of Hz
    std::int32_t SpectrumSampleRate = 48000;
    std::int32_t SpectrumSampleSize = 512; // levels per packet, 1..4096
    std::string_view SpectrumScalingFactor = "0.3";
    std::int32_t SpectrumCorrection = 40;
    const std::vector<TransverterEntry>* Transverters = nullptr; // null: none
};

constexpr std::int32_t kMinSpectrumSampleSize = 1;
constexpr std::int32_t kMaxSpectrumSampleSize = 4096;

// The nearest number of levels a packet can carry (1..4096).
std::int32_t clampSpectrumSampleSize(std::int32_t sampleSize);

// Inputs taken from the settings record; the record must outlive them.
SpectrumInputs spectrumInputs(const BridgeSettings& settings, std::int32_t ddsFrequency,
                              std::int32_t n1mmFrequency);

// log10 of a positive finite float, rounded to float the same way on every build.
float log10Rounded(float power);
// The same for n values at once on a given code path, as the packet builder does it; false
// when the path is not available here. For tests.
bool log10RoundedWith(SimdPath path, const float* powers, float* levels, std::size_t n);

// The power of every bin of a transformed block.
void binPowers(const IqBlock& spectrum, PowerSpectrum& powers);
// Adds the power of every bin of a transformed block to sums, bin by bin.
void addBinPowers(const IqBlock& spectrum, PowerSpectrum& sums);
// sums / blocks, bin by bin; blocks must be 1 or more.
void meanPowers(const PowerSpectrum& sums, std::int32_t blocks, PowerSpectrum& mean);

// Builds the packet from the powers of a spectrum. Each value shows the strongest of the bins it
// stands for: with n values of step = 4096 / n bins each, value i the bins after
// 2048 + (i - 1) * step up to 2048 + i * step (modulo 4096). levelOffset is subtracted from
// every level and then replaced by the offset for the next packet. A sample size outside
// 1..4096 is used as its nearest valid value.
SpectrumPacket makeSpectrumXml(const PowerSpectrum& powers, const SpectrumInputs& in,
                               std::int32_t& levelOffset);
// The same from a transformed block.
SpectrumPacket makeSpectrumXml(const IqBlock& spectrum, const SpectrumInputs& in,
                               std::int32_t& levelOffset);
