#include "bridge/fft.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <vector>

namespace {

using Transform = bool (*)(float*, std::uint32_t);

struct Named {
    const char* name;
    Transform run;
    SimdPath path;
};

// Every code path on this machine; fftWith refuses a path the processor lacks.
std::vector<Named> transforms() {
    std::vector<Named> all = {{"fft", fft, SimdPath::plain},
                              {"fftReference", fftReference, SimdPath::plain}};
    if (simdPathAvailable(SimdPath::sse2))
        all.push_back({"sse2",
                       [](float* s, std::uint32_t n) { return fftWith(SimdPath::sse2, s, n); },
                       SimdPath::sse2});
    if (simdPathAvailable(SimdPath::avx))
        all.push_back({"avx",
                       [](float* s, std::uint32_t n) { return fftWith(SimdPath::avx, s, n); },
                       SimdPath::avx});
    return all;
}

const std::vector<Named> kTransforms = transforms();

std::vector<float> randomBlock(std::uint32_t count, unsigned seed, float amplitude = 1.0f) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(-amplitude, amplitude);
    std::vector<float> v(2 * static_cast<std::size_t>(count));
    for (float& x : v)
        x = dist(gen);
    return v;
}

// e^(2*pi*i*n*bin/4096), computed in double and rounded.
std::vector<float> tone(int bin) {
    std::vector<float> v(2 * 4096);
    const double pi = 3.14159265358979323846;
    for (int n = 0; n < 4096; ++n) {
        const double phase =
            2 * pi * static_cast<double>((static_cast<long>(n) * bin) % 4096) / 4096;
        v[2 * n] = static_cast<float>(std::cos(phase));
        v[2 * n + 1] = static_cast<float>(std::sin(phase));
    }
    return v;
}

// Straight DFT in double precision with the same 1/N scale.
std::vector<std::complex<double>> dft(const std::vector<float>& x, std::uint32_t n) {
    const double pi = 3.14159265358979323846;
    std::vector<std::complex<double>> kernel(n);
    for (std::uint32_t i = 0; i < n; ++i)
        kernel[i] = std::polar(1.0, -2 * pi * i / n);
    std::vector<std::complex<double>> out(n);
    for (std::uint32_t k = 0; k < n; ++k) {
        std::complex<double> sum = 0;
        for (std::uint32_t t = 0; t < n; ++t)
            sum += std::complex<double>(x[2 * t], x[2 * t + 1]) *
                   kernel[(static_cast<std::uint64_t>(t) * k) % n];
        out[k] = sum / static_cast<double>(n);
    }
    return out;
}

std::size_t loudestBin(const std::vector<float>& v) {
    std::size_t best = 0;
    float bestPower = -1.0f;
    for (std::size_t k = 0; k < v.size() / 2; ++k) {
        const float p = v[2 * k] * v[2 * k] + v[2 * k + 1] * v[2 * k + 1];
        if (p > bestPower) {
            bestPower = p;
            best = k;
        }
    }
    return best;
}

TEST(Fft, RefusedArgumentsLeaveTheDataUntouched) {
    const std::uint32_t refused[] = {0, 1, 3, 6, 12, 16385, 32768, 0x80000000u};
    for (const Named& t : kTransforms) {
        for (std::uint32_t count : refused) {
            const std::vector<float> original = randomBlock(32768, count);
            std::vector<float> data = original;
            EXPECT_FALSE(t.run(data.data(), count)) << t.name << " count " << count;
            EXPECT_EQ(0, std::memcmp(original.data(), data.data(), data.size() * sizeof(float)))
                << t.name << " count " << count;
        }
        EXPECT_FALSE(t.run(nullptr, 4096)) << t.name;
        EXPECT_FALSE(t.run(nullptr, 0)) << t.name;
    }
}

TEST(Fft, CountTwoIsHalfSumAndHalfDifference) {
    for (const Named& t : kTransforms) {
        float data[4] = {3.0f, 5.0f, 1.0f, -2.0f};
        ASSERT_TRUE(t.run(data, 2)) << t.name;
        EXPECT_EQ(2.0f, data[0]) << t.name;
        EXPECT_EQ(1.5f, data[1]) << t.name;
        EXPECT_EQ(1.0f, data[2]) << t.name;
        EXPECT_EQ(3.5f, data[3]) << t.name;
    }
}

TEST(Fft, ConstantBlockLandsInBinZero) {
    for (const Named& t : kTransforms) {
        std::vector<float> v(2 * 4096);
        for (std::size_t n = 0; n < 4096; ++n)
            v[2 * n] = 1.0f;
        ASSERT_TRUE(t.run(v.data(), 4096)) << t.name;
        EXPECT_EQ(1.0f, v[0]) << t.name;
        EXPECT_EQ(0.0f, v[1]) << t.name;
        for (std::size_t i = 2; i < v.size(); ++i)
            ASSERT_LE(std::fabs(v[i]), 1e-6f) << t.name << " at " << i;
    }
}

TEST(Fft, UnitImpulseSpreadsEvenly) {
    for (const Named& t : kTransforms) {
        std::vector<float> v(2 * 4096);
        v[0] = 1.0f;
        ASSERT_TRUE(t.run(v.data(), 4096)) << t.name;
        for (std::size_t k = 0; k < 4096; ++k) {
            ASSERT_NEAR(1.0 / 4096, v[2 * k], 1e-9) << t.name << " bin " << k;
            ASSERT_NEAR(0.0, v[2 * k + 1], 1e-9) << t.name << " bin " << k;
        }
    }
}

TEST(Fft, TonesLandInTheirBins) {
    for (const Named& t : kTransforms) {
        for (int bin : {100, -100}) {
            std::vector<float> v = tone(bin);
            ASSERT_TRUE(t.run(v.data(), 4096));
            const std::size_t expected = bin > 0 ? 100 : 3996;
            EXPECT_EQ(expected, loudestBin(v)) << t.name << " tone " << bin;
            EXPECT_NEAR(1.0, v[2 * expected], 1e-4) << t.name << " tone " << bin;
            EXPECT_NEAR(0.0, v[2 * expected + 1], 1e-4) << t.name << " tone " << bin;
            for (std::size_t k = 0; k < 4096; ++k) {
                if (k == expected)
                    continue;
                ASSERT_LT(std::hypot(v[2 * k], v[2 * k + 1]), 1e-4) << t.name << " bin " << k;
            }
        }
    }
}

TEST(Fft, RandomBlocksMatchADoublePrecisionDft) {
    for (std::uint32_t count : {4u, 8u, 64u, 512u, 4096u}) {
        const std::vector<float> input = randomBlock(count, 7 * count + 1);
        const std::vector<std::complex<double>> expected = dft(input, count);
        double peak = 0;
        for (const auto& e : expected)
            peak = std::max(peak, std::abs(e));
        for (const Named& t : kTransforms) {
            std::vector<float> v = input;
            ASSERT_TRUE(t.run(v.data(), count));
            double worst = 0;
            for (std::uint32_t k = 0; k < count; ++k)
                worst = std::max(
                    worst, std::abs(std::complex<double>(v[2 * k], v[2 * k + 1]) - expected[k]));
            EXPECT_LE(worst, 1e-4 * peak) << t.name << " count " << count;
        }
    }
}

// The fast paths must not be "close": every bit of every value equals the plain transform.
TEST(Fft, FastPathsAreBitIdenticalToTheReference) {
    std::size_t checked = 0;
    for (const Named& t : kTransforms) {
        if (t.run == fftReference)
            continue;
        for (std::uint32_t count = 2; count <= 16384; count *= 2) {
            for (unsigned seed = 0; seed < 3; ++seed) {
                const float amplitude = seed == 2 ? 1e30f : 1.0f;
                std::vector<float> a = randomBlock(count, 1000 * count + seed, amplitude);
                if (seed == 1) {
                    // Zeros of both signs and subnormals exercise the signs and the rounding.
                    for (std::size_t i = 0; i < a.size(); i += 7)
                        a[i] = (i % 2) ? -0.0f : 0.0f;
                    for (std::size_t i = 3; i < a.size(); i += 11)
                        a[i] = std::numeric_limits<float>::denorm_min() * static_cast<float>(i % 5);
                }
                std::vector<float> b = a;
                ASSERT_TRUE(t.run(a.data(), count)) << t.name;
                ASSERT_TRUE(fftReference(b.data(), count));
                ASSERT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * sizeof(float)))
                    << t.name << " count " << count << " seed " << seed;
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 0u);
}

// Windowing inside the first pass must give what windowing first and transforming gives.
TEST(Fft, WindowAndFftEqualsWindowThenFft) {
    auto window = std::make_unique<FftWindow>();
    fillFftWindow(*window);
    for (SimdPath path : {SimdPath::plain, SimdPath::sse2, SimdPath::avx}) {
        if (!simdPathAvailable(path))
            continue;
        for (unsigned seed = 0; seed < 3; ++seed) {
            const std::vector<float> input = randomBlock(4096, 77 + seed, seed == 2 ? 1e30f : 1.0f);
            auto fused = std::make_unique<IqBlock>();
            std::copy(input.begin(), input.end(), fused->data.begin());
            auto separate = std::make_unique<IqBlock>(*fused);
            ASSERT_TRUE(windowAndFftWith(path, *window, *fused));
            applyFftWindow(*window, *separate);
            ASSERT_TRUE(fftReference(separate->data.data(), 4096));
            ASSERT_EQ(0, std::memcmp(fused->data.data(), separate->data.data(), IqBlock::kBytes))
                << "path " << static_cast<int>(path) << " seed " << seed;
        }
    }
    auto block = std::make_unique<IqBlock>();
    block->data[0] = 1.0f;
    windowAndFft(*window, *block);
    EXPECT_FLOAT_EQ(static_cast<float>((*window)[0]) / 4096, block->data[2 * 17]);
}

TEST(Fft, PathsThisBuildCanRun) {
    EXPECT_TRUE(simdPathAvailable(SimdPath::plain));
#if defined(__SSE2__)
    EXPECT_TRUE(simdPathAvailable(SimdPath::sse2));
#endif
    if (!simdPathAvailable(SimdPath::avx)) {
        float data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        EXPECT_FALSE(fftWith(SimdPath::avx, data, 4));
        EXPECT_EQ(1.0f, data[0]);
    }
}

TEST(Fft, BiggestCountIsTransformed) {
    std::vector<float> v(2 * 16384);
    const double pi = 3.14159265358979323846;
    for (int n = 0; n < 16384; ++n) {
        v[2 * n] = static_cast<float>(std::cos(2 * pi * n * 5000 / 16384.0));
        v[2 * n + 1] = static_cast<float>(std::sin(2 * pi * n * 5000 / 16384.0));
    }
    ASSERT_TRUE(fft(v.data(), 16384));
    EXPECT_EQ(5000u, loudestBin(v));
    EXPECT_NEAR(1.0, v[2 * 5000], 1e-3);
}

TEST(FftWindow, EndsMiddleAndSymmetry) {
    auto window = std::make_unique<FftWindow>();
    fillFftWindow(*window);
    const FftWindow& w = *window;
    EXPECT_NEAR(0.00099923, w[0], 1e-8);
    EXPECT_NEAR(0.00099923, w[4095], 1e-8);
    EXPECT_NEAR(2.7542278, w[2047], 1e-7);
    EXPECT_NEAR(2.7542278, w[2048], 1e-7);
    EXPECT_EQ(w[2047], *std::max_element(w.begin(), w.end()));
    for (std::size_t i = 0; i < 4096; ++i)
        ASSERT_NEAR(w[i], w[4095 - i], 1e-12) << i;
    // Rising to the middle: the shape is a window, not noise.
    for (std::size_t i = 1; i < 2048; ++i)
        ASSERT_GT(w[i], w[i - 1]) << i;
}

TEST(FftWindow, ProductsAreRoundedToFloatWithTheWeightRoundedFirst) {
    auto window = std::make_unique<FftWindow>();
    fillFftWindow(*window);
    auto before = std::make_unique<IqBlock>();
    std::mt19937 gen(5);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (float& x : before->data)
        x = dist(gen);
    for (SimdPath path : {SimdPath::plain, SimdPath::sse2, SimdPath::avx}) {
        auto block = std::make_unique<IqBlock>(*before);
        if (!applyFftWindowWith(path, *window, *block))
            continue;
        for (std::size_t i = 0; i < 4096; ++i) {
            const float weight = static_cast<float>((*window)[i]);
            ASSERT_EQ(before->data[2 * i] * weight, block->data[2 * i]) << i;
            ASSERT_EQ(before->data[2 * i + 1] * weight, block->data[2 * i + 1]) << i;
        }
    }
    auto block = std::make_unique<IqBlock>(*before);
    applyFftWindow(*window, *block);
    EXPECT_EQ(before->data[4000] * static_cast<float>((*window)[2000]), block->data[4000]);
}

} // namespace
