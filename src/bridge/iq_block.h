// One block of IQ samples: 4096 complex samples, I then Q, as 32-bit floats (32768 bytes).
#pragma once

#include <array>
#include <cstddef>

struct IqBlock {
    static constexpr std::size_t kSamples = 4096;
    static constexpr std::size_t kBytes = kSamples * 2 * sizeof(float);
    std::array<float, kSamples * 2> data{};
};
