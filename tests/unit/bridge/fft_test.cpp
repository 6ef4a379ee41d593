#include "bridge/fft.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
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

std::uint32_t bitsOf(float f) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

// Sample 0 meets only the twiddle (1, 0), so every bin is exactly the impulse / 4096 and +0,
// even the smallest subnormal. Values and bits are fixed at compile time, so a run that flushed
// subnormals to zero, on the way in or out, cannot agree with itself.
TEST(Fft, UnitImpulseSpreadsEvenly) {
    constexpr float kSmallest = std::numeric_limits<float>::denorm_min();
    constexpr float kImpulses[][2] = {{1.0f, 1.0f / 4096}, {4096 * kSmallest, kSmallest}};
    for (const Named& t : kTransforms) {
        for (const auto& [impulse, bin] : kImpulses) {
            std::vector<float> v(2 * 4096);
            v[0] = impulse;
            ASSERT_TRUE(t.run(v.data(), 4096)) << t.name;
            for (std::size_t k = 0; k < 4096; ++k) {
                ASSERT_EQ(bitsOf(bin), bitsOf(v[2 * k])) << t.name << " bin " << k;
                ASSERT_EQ(0u, bitsOf(v[2 * k + 1])) << t.name << " bin " << k;
            }
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

// Kinds of input the fast paths must treat exactly as the plain transform does, drawn one value
// at a time: ordinary and huge values, values that overflow on the way, subnormals, zeros of
// both signs, infinities, and NaNs of either sign, quiet or signalling, with assorted payloads.
struct InputKind {
    const char* name;
    float (*draw)(std::mt19937&, std::size_t toEnd); // toEnd: 0 for the block's last float
};

float uniform(std::mt19937& gen) {
    return std::uniform_real_distribution<float>(-1.0f, 1.0f)(gen);
}

bool oneIn(std::mt19937& gen, unsigned n) {
    return gen() % n == 0;
}

float infinity(std::mt19937& gen) {
    return (oneIn(gen, 2) ? -1 : 1) * std::numeric_limits<float>::infinity();
}

float fromBits(std::uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

const InputKind kInputKinds[] = {
    {"uniform", [](std::mt19937& g, std::size_t) { return uniform(g); }},
    {"large", [](std::mt19937& g, std::size_t) { return 1e30f * uniform(g); }},
    {"overflowing", [](std::mt19937& g, std::size_t) { return 3e38f * uniform(g); }},
    {"dense subnormals",
     [](std::mt19937& g, std::size_t) {
         return static_cast<float>(1e-42 * std::normal_distribution<double>()(g));
     }},
    {"signed zeros", [](std::mt19937& g, std::size_t) { return oneIn(g, 2) ? -0.0f : 0.0f; }},
    {"sprinkled zeros and subnormals",
     [](std::mt19937& g, std::size_t) {
         if (oneIn(g, 4))
             return oneIn(g, 2) ? -0.0f : 0.0f;
         if (oneIn(g, 4))
             return std::numeric_limits<float>::denorm_min() *
                    static_cast<float>(static_cast<int>(g() % 9) - 4);
         return uniform(g);
     }},
    {"infinities",
     [](std::mt19937& g, std::size_t) { return oneIn(g, 8) ? infinity(g) : uniform(g); }},
    {"NaNs",
     [](std::mt19937& g, std::size_t) {
         if (oneIn(g, 8)) // any sign and payload, the quiet bit set or not
             return fromBits(0x7F800000u | (g() & 0x807FFFFFu) | 1u);
         return oneIn(g, 16) ? infinity(g) : uniform(g);
     }},
    // A few NaNs right at the end, where a search that stops short misses them.
    {"NaNs last",
     [](std::mt19937& g, std::size_t toEnd) {
         return toEnd < 4 ? fromBits(0x7FC00000u | (g() & 0x803FFFFFu)) : uniform(g);
     }},
};

std::vector<float> inputOf(const InputKind& kind, std::size_t floats, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<float> v(floats);
    for (std::size_t i = 0; i < floats; ++i)
        v[i] = kind.draw(gen, floats - 1 - i);
    return v;
}

// Empty when the bits agree; otherwise where and how they first differ.
std::string bitDifference(const float* a, const float* b, std::size_t floats) {
    for (std::size_t i = 0; i < floats; ++i) {
        if (bitsOf(a[i]) != bitsOf(b[i])) {
            char text[64];
            std::snprintf(text, sizeof text, "float %u: %08x, plain %08x", static_cast<unsigned>(i),
                          static_cast<unsigned>(bitsOf(a[i])), static_cast<unsigned>(bitsOf(b[i])));
            return text;
        }
    }
    return "";
}

// The fast paths must not be "close": every bit of every value equals the plain transform, for
// every input, through each entry point.
TEST(Fft, FastPathsAreBitIdenticalToTheReference) {
    auto window = std::make_unique<FftWindow>();
    fillFftWindow(*window);
    std::size_t checked = 0;
    for (const InputKind& kind : kInputKinds) {
        for (unsigned seed = 0; seed < 2; ++seed) {
            for (const Named& t : kTransforms) {
                if (t.run == fftReference)
                    continue;
                for (std::uint32_t count = 2; count <= 16384; count *= 2) {
                    std::vector<float> a = inputOf(kind, 2 * count, 1000 * count + seed);
                    std::vector<float> b = a;
                    ASSERT_TRUE(t.run(a.data(), count)) << t.name;
                    ASSERT_TRUE(fftReference(b.data(), count));
                    ASSERT_EQ("", bitDifference(a.data(), b.data(), a.size()))
                        << t.name << ", " << kind.name << ", count " << count << ", seed " << seed;
                    ++checked;
                }
            }
            // The window's entry points against windowing plainly and the plain transform.
            const std::vector<float> input = inputOf(kind, 2 * IqBlock::kSamples, 77 + seed);
            auto windowed = std::make_unique<IqBlock>();
            std::copy(input.begin(), input.end(), windowed->data.begin());
            ASSERT_TRUE(applyFftWindowWith(SimdPath::plain, *window, *windowed));
            auto transformed = std::make_unique<IqBlock>(*windowed);
            ASSERT_TRUE(fftReference(transformed->data.data(), 4096));
            for (SimdPath path : {SimdPath::plain, SimdPath::sse2, SimdPath::avx}) {
                if (!simdPathAvailable(path))
                    continue;
                auto block = std::make_unique<IqBlock>();
                std::copy(input.begin(), input.end(), block->data.begin());
                auto fused = std::make_unique<IqBlock>(*block);
                ASSERT_TRUE(applyFftWindowWith(path, *window, *block));
                ASSERT_TRUE(windowAndFftWith(path, *window, *fused));
                ASSERT_EQ("", bitDifference(block->data.data(), windowed->data.data(),
                                            2 * IqBlock::kSamples))
                    << "applyFftWindow, path " << static_cast<int>(path) << ", " << kind.name;
                ASSERT_EQ("", bitDifference(fused->data.data(), transformed->data.data(),
                                            2 * IqBlock::kSamples))
                    << "windowAndFft, path " << static_cast<int>(path) << ", " << kind.name;
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
