// The N1MM+ spectrum datagram: band edges, scaling text and one row of levels from a spectrum.
#pragma once

#include "bridge/iq_block.h"
#include "bridge/simd_path.h"
#include "settings/settings.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The XML text of one spectrum datagram, UTF-8, sent without a terminating zero.
using SpectrumPacket = std::string;

// What a packet is built from besides the spectrum. Views only: nothing is copied per block.
struct SpectrumInputs {
    std::int32_t ddsFrequency = 0;  // SDR receiver centre, Hz
    std::int32_t n1mmFrequency = 0; // N1MM+ radio 1, tens of Hz
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

// Builds the packet from a transformed block in natural bin order. levelOffset is subtracted
// from every level and then replaced by the offset for the next packet. A sample size outside
// 1..4096 is used as its nearest valid value.
SpectrumPacket makeSpectrumXml(const IqBlock& spectrum, const SpectrumInputs& in,
                               std::int32_t& levelOffset);
