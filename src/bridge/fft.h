// The spectrum's arithmetic: the Blackman-Nuttall window and an in-place radix-2 complex FFT.
// Every build rounds the same way (no fused multiply-add), so a block gives the same spectrum
// on Linux and on Windows, at any optimisation level.
#pragma once

#include "bridge/iq_block.h"
#include "bridge/simd_path.h"

#include <array>
#include <cstdint>

// Rotation of one butterfly span of 2^(k+1) points: the nearest floats to cos and -sin of
// 2*pi / 2^(k+1); the first two of each are exact. The negative sines make it a forward transform.
inline constexpr float cosTable[14] = {-1.0f,        0.0f,         0.707106769f, 0.923879504f,
                                       0.980785251f, 0.99518472f,  0.99879545f,  0.999698818f,
                                       0.999924719f, 0.999981165f, 0.999995291f, 0.999998808f,
                                       0.999999702f, 0.99999994f};
inline constexpr float sinTable[14] = {0.0f,
                                       -1.0f,
                                       -0.707106769f,
                                       -0.382683426f,
                                       -0.195090324f,
                                       -0.0980171412f,
                                       -0.0490676761f,
                                       -0.024541229f,
                                       -0.0122715384f,
                                       -0.00613588467f,
                                       -0.00306795677f,
                                       -0.00153398013f,
                                       -0.000766990299f,
                                       -0.000383495179f};

// One window weight per sample of a block.
using FftWindow = std::array<double, IqBlock::kSamples>;

// Fills the window: four-term Blackman-Nuttall, symmetric over 4096 points, scaled for a gain
// of about 1 on a steady tone.
void fillFftWindow(FftWindow& window);

// Multiplies I and Q of every sample by its weight rounded to a float.
void applyFftWindow(const FftWindow& window, IqBlock& block);

// applyFftWindow and then fft with 4096 points, in one pass less: the same bits.
void windowAndFft(const FftWindow& window, IqBlock& block);

// Forward transform of count complex samples (I then Q floats) in place, scaled by 1/count,
// natural bin order. Refuses (false, data untouched) a null pointer and any count that is not
// a power of two from 2 to 16384.
bool fft(float* samples, std::uint32_t count);

// As fft, windowAndFft and applyFftWindow on the given code path (fft takes the fastest the
// processor has); false also when the path is not available here. For tests and the benchmark.
bool fftWith(SimdPath path, float* samples, std::uint32_t count);
bool windowAndFftWith(SimdPath path, const FftWindow& window, IqBlock& block);
bool applyFftWindowWith(SimdPath path, const FftWindow& window, IqBlock& block);

// The same transform written plainly, one butterfly at a time. fft gives bit for bit the same
// result for every input, only faster (a block holding a NaN takes this code on every path);
// this one is kept as its yardstick.
bool fftReference(float* samples, std::uint32_t count);
