// The spectrum's arithmetic: the Blackman-Nuttall window and an in-place radix-2 complex FFT.
// Every build rounds the same way (no fused multiply-add), so a block gives the same spectrum
// on Linux and on Windows, at any optimisation level.
#pragma once

#include "bridge/iq_block.h"

#include <array>
#include <cstdint>

// Rotation of one butterfly span of 2^(k+1) points: cos and -sin of 2*pi / 2^(k+1).
extern const float cosTable[14];
extern const float sinTable[14];

// One window weight per sample of a block.
using FftWindow = std::array<double, IqBlock::kSamples>;

// Fills the window: four-term Blackman-Nuttall, symmetric over 4096 points, scaled for a gain
// of about 1 on a steady tone.
void fillFftWindow(FftWindow& window);

// Multiplies I and Q of every sample by its weight rounded to a float.
void applyFftWindow(const FftWindow& window, IqBlock& block);

// Forward transform of count complex samples (I then Q floats) in place, scaled by 1/count,
// natural bin order. Refuses (false, data untouched) a null pointer and any count that is not
// a power of two from 2 to 16384.
bool fft(float* samples, std::uint32_t count);

// The same transform written plainly, one butterfly at a time. fft gives bit for bit the same
// result, only faster; this one is kept as its yardstick.
bool fftReference(float* samples, std::uint32_t count);
