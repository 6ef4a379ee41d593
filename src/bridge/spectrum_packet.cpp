#include "bridge/spectrum_packet.h"

#include <tinyxml2.h>

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#if defined(__GNUC__)
#include <immintrin.h>
#define TARNWICK_LEVELS_AVX 1
#endif
#endif

namespace {

constexpr std::uint32_t kBins = static_cast<std::uint32_t>(IqBlock::kSamples);

// log10 is carried in double to about 1e-15 and then rounded, so the float is log10 correctly
// rounded (short of a near tie a few times in a billion); the C libraries' log10f differ from
// each other in the last bit. Our own series rather than a library call: the same code, so the
// same bits, on Linux and Windows, and no call per bin.
//
// x = 2^e * m with m in [sqrt(1/2), sqrt(2)), then ln m = 2 atanh(s) with s = (m - 1) / (m + 1),
// |s| <= 0.1716, where nine terms reach 1e-15. The terms are summed as a tree (Estrin), not one
// long chain, and the side of sqrt(2) is chosen without a branch, so bins overlap in the
// pipeline. The scalar and the two-lane code below do the same operations in the same order.
constexpr std::uint64_t kFractionBits = 0x000FFFFFFFFFFFFFull;
constexpr std::uint64_t kSqrt2Fraction = 0x6A09E667F3BCDull; // fraction bits of sqrt(2)
constexpr double kLog10e = 0.43429448190325182765;
constexpr double kLog10of2 = 0.30102999566398119521;

inline float roundedLog10(float power) {
    const double x = power; // every float, subnormals too, is a normal double
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const std::uint64_t fraction = bits & kFractionBits;
    const std::uint64_t high = fraction > kSqrt2Fraction ? 1 : 0;
    const double e =
        static_cast<double>(static_cast<int>(bits >> 52) - 1023) + static_cast<double>(high);
    bits = fraction | (0x3FF0000000000000ull - (high << 52));
    double m;
    std::memcpy(&m, &bits, sizeof m);
    const double s = (m - 1) / (m + 1);
    const double z = s * s;
    const double z2 = z * z;
    const double z4 = z2 * z2;
    const double z8 = z4 * z4;
    const double series = ((1.0 + z * (1.0 / 3)) + z2 * (1.0 / 5 + z * (1.0 / 7))) +
                          z4 * ((1.0 / 9 + z * (1.0 / 11)) + z2 * (1.0 / 13 + z * (1.0 / 15))) +
                          z8 * (1.0 / 17);
    const double lnM = 2 * s * series;
    return static_cast<float>(e * kLog10of2 + lnM * kLog10e);
}

#if defined(__SSE2__)

// Two levels at once.
inline __m128 roundedLog10Pair(__m128 powers) {
    const __m128d x = _mm_cvtps_pd(powers);
    const __m128i bits = _mm_castpd_si128(x);
    const __m128i fraction =
        _mm_and_si128(bits, _mm_set1_epi64x(static_cast<long long>(kFractionBits)));
    const __m128d one = _mm_set1_pd(1.0);
    // m in [1, 2), halved where it lies above sqrt(2): exactly what setting the exponent does.
    __m128d m = _mm_or_pd(_mm_castsi128_pd(fraction), one);
    const __m128d high = _mm_cmpgt_pd(m, _mm_set1_pd(1.4142135623730951));
    m = _mm_or_pd(_mm_andnot_pd(high, m), _mm_and_pd(high, _mm_mul_pd(m, _mm_set1_pd(0.5))));
    const __m128i biased = _mm_shuffle_epi32(_mm_srli_epi64(bits, 52), _MM_SHUFFLE(3, 1, 2, 0));
    const __m128d e = _mm_add_pd(_mm_cvtepi32_pd(_mm_sub_epi32(biased, _mm_set1_epi32(1023))),
                                 _mm_and_pd(high, one));
    const __m128d s = _mm_div_pd(_mm_sub_pd(m, one), _mm_add_pd(m, one));
    const __m128d z = _mm_mul_pd(s, s);
    const __m128d z2 = _mm_mul_pd(z, z);
    const __m128d z4 = _mm_mul_pd(z2, z2);
    const __m128d z8 = _mm_mul_pd(z4, z4);
    const auto term = [z](double a, double b) { // a + z * b
        return _mm_add_pd(_mm_set1_pd(a), _mm_mul_pd(z, _mm_set1_pd(b)));
    };
    const __m128d low4 = _mm_add_pd(term(1.0, 1.0 / 3), _mm_mul_pd(z2, term(1.0 / 5, 1.0 / 7)));
    const __m128d high4 = _mm_mul_pd(
        z4, _mm_add_pd(term(1.0 / 9, 1.0 / 11), _mm_mul_pd(z2, term(1.0 / 13, 1.0 / 15))));
    const __m128d series =
        _mm_add_pd(_mm_add_pd(low4, high4), _mm_mul_pd(z8, _mm_set1_pd(1.0 / 17)));
    const __m128d lnM = _mm_mul_pd(_mm_mul_pd(_mm_set1_pd(2.0), s), series);
    const __m128d l =
        _mm_add_pd(_mm_mul_pd(e, _mm_set1_pd(kLog10of2)), _mm_mul_pd(lnM, _mm_set1_pd(kLog10e)));
    return _mm_cvtpd_ps(l);
}

#if defined(TARNWICK_LEVELS_AVX)

// Four levels at once, when the processor has AVX. Exponent and mantissa come from the float's
// own bits (a subnormal is first scaled up by 2^24, exactly), which gives the same e and m as
// the double's bits above; from there the same double operations, four lanes wide.
__attribute__((target("avx"))) void roundedLog10Quads(const float* powers, float* levels,
                                                      std::size_t n) {
    for (std::size_t i = 0; i + 4 <= n; i += 4) {
        __m128 x = _mm_loadu_ps(powers + i);
        const __m128 tiny = _mm_cmplt_ps(x, _mm_set1_ps(FLT_MIN));
        x = _mm_blendv_ps(x, _mm_mul_ps(x, _mm_set1_ps(16777216.0f)), tiny);
        const __m128i bits = _mm_castps_si128(x);
        __m128i e = _mm_sub_epi32(_mm_srli_epi32(bits, 23), _mm_set1_epi32(127));
        e = _mm_sub_epi32(e, _mm_and_si128(_mm_castps_si128(tiny), _mm_set1_epi32(24)));
        __m128 m = _mm_castsi128_ps(_mm_or_si128(_mm_and_si128(bits, _mm_set1_epi32(0x7FFFFF)),
                                                 _mm_set1_epi32(0x3F800000))); // [1, 2)
        // Above the float just below sqrt(2) is above sqrt(2) itself.
        const __m128 high = _mm_cmpgt_ps(m, _mm_set1_ps(1.41421353816986083984375f));
        m = _mm_blendv_ps(m, _mm_mul_ps(m, _mm_set1_ps(0.5f)), high);
        e = _mm_sub_epi32(e, _mm_castps_si128(high)); // the mask is -1 where high
        const __m256d md = _mm256_cvtps_pd(m);
        const __m256d ed = _mm256_cvtepi32_pd(e);
        const __m256d one = _mm256_set1_pd(1.0);
        const __m256d s = _mm256_div_pd(_mm256_sub_pd(md, one), _mm256_add_pd(md, one));
        const __m256d z = _mm256_mul_pd(s, s);
        const __m256d z2 = _mm256_mul_pd(z, z);
        const __m256d z4 = _mm256_mul_pd(z2, z2);
        const __m256d z8 = _mm256_mul_pd(z4, z4);
        const auto term = [z](double a, double b) __attribute__((target("avx"))) {
            return _mm256_add_pd(_mm256_set1_pd(a), _mm256_mul_pd(z, _mm256_set1_pd(b)));
        };
        const __m256d low4 =
            _mm256_add_pd(term(1.0, 1.0 / 3), _mm256_mul_pd(z2, term(1.0 / 5, 1.0 / 7)));
        const __m256d high4 =
            _mm256_mul_pd(z4, _mm256_add_pd(term(1.0 / 9, 1.0 / 11),
                                            _mm256_mul_pd(z2, term(1.0 / 13, 1.0 / 15))));
        const __m256d series =
            _mm256_add_pd(_mm256_add_pd(low4, high4), _mm256_mul_pd(z8, _mm256_set1_pd(1.0 / 17)));
        const __m256d lnM = _mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(2.0), s), series);
        const __m256d l = _mm256_add_pd(_mm256_mul_pd(ed, _mm256_set1_pd(kLog10of2)),
                                        _mm256_mul_pd(lnM, _mm256_set1_pd(kLog10e)));
        _mm_storeu_ps(levels + i, _mm256_cvtpd_ps(l));
    }
}

#endif

#endif

void roundedLog10s([[maybe_unused]] SimdPath path, const float* powers, float* levels,
                   std::size_t n) {
    std::size_t i = 0;
#if defined(TARNWICK_LEVELS_AVX)
    if (path == SimdPath::avx) {
        roundedLog10Quads(powers, levels, n);
        i = n / 4 * 4;
    }
#endif
#if defined(__SSE2__)
    for (; path != SimdPath::plain && i + 2 <= n; i += 2) {
        const __m128 p = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(powers + i));
        _mm_storel_pi(reinterpret_cast<__m64*>(levels + i), roundedLog10Pair(p));
    }
#endif
    for (; i < n; ++i)
        levels[i] = roundedLog10(powers[i]);
}

// "0," to "999," for the common levels, written four bytes at a time.
struct ShortValues {
    char text[1000][4];
    std::uint8_t length[1000];
};

constexpr ShortValues makeShortValues() {
    ShortValues t{};
    for (int v = 0; v < 1000; ++v) {
        int n = 0;
        if (v >= 100)
            t.text[v][n++] = static_cast<char>('0' + v / 100);
        if (v >= 10)
            t.text[v][n++] = static_cast<char>('0' + v / 10 % 10);
        t.text[v][n++] = static_cast<char>('0' + v % 10);
        t.text[v][n++] = ',';
        t.length[v] = static_cast<std::uint8_t>(n);
    }
    return t;
}

constexpr ShortValues kShortValues = makeShortValues();

double centreKhz(const SpectrumInputs& in) {
    double f = in.ddsFrequency / 1000.0;
    if (in.Transverters == nullptr)
        return f;
    for (const TransverterEntry& entry : *in.Transverters) {
        if (entry.ifreq <= f) {
            if (in.n1mmFrequency / 100.0 >= entry.rf)
                f = f + entry.rf - entry.ifreq;
            break;
        }
    }
    return f;
}

std::string formatKhz(double khz) {
    char text[32];
    const auto result =
        std::to_chars(text, text + sizeof text, khz, std::chars_format::general, 17);
    return std::string(text, result.ptr);
}

#if defined(__SSE2__)

// Four strongest powers in one go, of count bins each, count a multiple of 4.
inline __m128 strongestAt(const float* p) {
    return _mm_max_ps(_mm_loadu_ps(p), _mm_setzero_ps()); // a NaN lane gives 0
}

inline __m128 strongestOfEach4(const float* first, std::uint32_t count) {
    __m128 m[4];
    for (std::uint32_t g = 0; g < 4; ++g) {
        const float* p = first + g * count;
        m[g] = strongestAt(p);
        for (std::uint32_t k = 4; k < count; k += 4)
            m[g] = _mm_max_ps(_mm_loadu_ps(p + k), m[g]); // a NaN lane keeps m[g]
    }
    _MM_TRANSPOSE4_PS(m[0], m[1], m[2], m[3]);
    return _mm_max_ps(_mm_max_ps(m[0], m[1]), _mm_max_ps(m[2], m[3]));
}

#endif

// The strongest power of count bins from 'first' on. A NaN bin has no power and is passed over,
// as a bin of zero power is.
inline float strongest(const float* bins, std::uint32_t first, std::uint32_t count) {
    const float* p = bins + first;
    float best = 0.0f;
    std::uint32_t k = 0;
#if defined(__SSE2__)
    if (count >= 4) {
        __m128 b = strongestAt(p);
        for (k = 4; k + 4 <= count; k += 4)
            b = _mm_max_ps(_mm_loadu_ps(p + k), b);
        b = _mm_max_ps(b, _mm_movehl_ps(b, b));
        b = _mm_max_ps(b, _mm_shuffle_ps(b, b, _MM_SHUFFLE(1, 1, 1, 1)));
        best = _mm_cvtss_f32(b);
    }
#endif
    for (; k < count; ++k)
        best = p[k] > best ? p[k] : best;
    return best;
}

// The powers of the next n values: value by value, the strongest of the step bins after 'index'
// (modulo 4096), and 'index' moved on to the last of them. A value whose bins have no power at
// all is marked silent, and an infinite one is held at the largest float, so every power given
// to the logarithm is positive and finite. Silent values get the smallest normal float, which is
// how they count in the average.
void groupPowers(const PowerSpectrum& bins, std::uint32_t& index, std::uint32_t step,
                 std::int32_t n, float* powers, std::uint32_t* silent) {
    std::int32_t i = 0;
#if defined(__SSE2__)
    // Four values at a time while their bins lie side by side in whole quads (512 values: 8 bins).
    while (step % 4 == 0 && i + 4 <= n && (index + 1) % kBins + 4 * step <= kBins) {
        __m128 p = strongestOfEach4(bins.data() + (index + 1) % kBins, step);
        index += 4 * step;
        const __m128 none = _mm_cmpngt_ps(p, _mm_setzero_ps());
        const __m128 huge = _mm_cmpgt_ps(p, _mm_set1_ps(FLT_MAX));
        p = _mm_or_ps(_mm_andnot_ps(huge, p), _mm_and_ps(huge, _mm_set1_ps(FLT_MAX)));
        p = _mm_or_ps(_mm_andnot_ps(none, p), _mm_and_ps(none, _mm_set1_ps(FLT_MIN)));
        _mm_storeu_ps(powers + i, p);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(silent + i), _mm_castps_si128(none));
        i += 4;
    }
#endif
    for (; i < n; ++i) {
        const std::uint32_t first = (index + 1) % kBins;
        index += step;
        float p;
        if (first + step <= kBins) {
            p = strongest(bins.data(), first, step);
        } else {
            const float before = strongest(bins.data(), first, kBins - first);
            const float after = strongest(bins.data(), 0, first + step - kBins);
            p = after > before ? after : before;
        }
        silent[i] = p > 0.0f ? 0 : ~0u;
        powers[i] = p > 0.0f ? (p <= FLT_MAX ? p : FLT_MAX) : FLT_MIN;
    }
}

// Every bin's power, stored into powers or added to it.
template <bool Add> void eachBinPower(const IqBlock& spectrum, float* powers) {
    const float* x = spectrum.data.data();
    std::uint32_t k = 0;
#if defined(__SSE2__)
    for (; k + 4 <= kBins; k += 4) {
        const __m128 a = _mm_loadu_ps(x + 2 * k);
        const __m128 b = _mm_loadu_ps(x + 2 * k + 4);
        const __m128 re = _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
        const __m128 im = _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
        __m128 p = _mm_add_ps(_mm_mul_ps(re, re), _mm_mul_ps(im, im));
        if (Add)
            p = _mm_add_ps(_mm_loadu_ps(powers + k), p);
        _mm_storeu_ps(powers + k, p);
    }
#endif
    for (; k < kBins; ++k) {
        const float re = x[2 * k];
        const float im = x[2 * k + 1];
        const float p = re * re + im * im;
        powers[k] = Add ? powers[k] + p : p;
    }
}

// Walks the bins, writes the values ("12,0,7,") from 'out' on and returns the new end. Levels
// are worked out a batch at a time before the digits, so the bins do not wait on each other.
char* writeValues(const PowerSpectrum& bins, std::int32_t count, std::int32_t& levelOffset,
                  std::int32_t correction, char* out) {
    const std::uint32_t step = kBins / static_cast<std::uint32_t>(count);
    const double offset = levelOffset;
    const SimdPath path = bestSimdPath();

    constexpr std::int32_t kBatch = 64;
    alignas(16) float powers[kBatch];
    alignas(16) std::uint32_t silent[kBatch];
    alignas(16) float levels[kBatch];
    std::uint16_t shownValues[kBatch];
    std::uint32_t index = kBins / 2;
    double previous = 0.0;
    std::int32_t sum = 0;
    for (std::int32_t first = 0; first < count; first += kBatch) {
        const std::int32_t n = std::min(kBatch, count - first);
        groupPowers(bins, index, step, n, powers, silent);
        roundedLog10s(path, powers, levels, static_cast<std::size_t>(n));
        for (std::int32_t i = 0; i < n; ++i) {
            const double v = 20 * static_cast<double>(levels[i]);
            sum += static_cast<std::int32_t>(v);
            // A silent bin's level is minus infinity: below zero, so it shows the previous value.
            const double shown = silent[i] != 0 ? -1.0 : v - offset;
            previous = shown < 0 ? previous : shown;
            // Never negative and far inside 64 bits; the cast keeps the low 16 bits.
            shownValues[i] = static_cast<std::uint16_t>(static_cast<std::int64_t>(previous));
        }
        for (std::int32_t i = 0; i < n; ++i) {
            const std::uint16_t value = shownValues[i];
            if (value < 1000) {
                std::memcpy(out, kShortValues.text[value], 4);
                out += kShortValues.length[value];
            } else {
                out = std::to_chars(out, out + 5, value).ptr;
                *out++ = ',';
            }
        }
    }

    // 64-bit, then held to 32: an extreme correction setting must not overflow.
    const std::int64_t next =
        static_cast<std::int64_t>(sum / static_cast<std::int32_t>(kBins / step)) -
        static_cast<std::int64_t>(correction);
    levelOffset = static_cast<std::int32_t>(std::clamp<std::int64_t>(
        next, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
    return out;
}

} // namespace

float log10Rounded(float power) {
    return roundedLog10(power);
}

void binPowers(const IqBlock& spectrum, PowerSpectrum& powers) {
    eachBinPower<false>(spectrum, powers.data());
}

void addBinPowers(const IqBlock& spectrum, PowerSpectrum& sums) {
    eachBinPower<true>(spectrum, sums.data());
}

void meanPowers(const PowerSpectrum& sums, std::int32_t blocks, PowerSpectrum& mean) {
    const float n = static_cast<float>(blocks);
    for (std::size_t k = 0; k < kBins; ++k)
        mean[k] = sums[k] / n;
}

bool log10RoundedWith(SimdPath path, const float* powers, float* levels, std::size_t n) {
    if (!simdPathAvailable(path))
        return false;
    roundedLog10s(path, powers, levels, n);
    return true;
}

std::int32_t clampSpectrumSampleSize(std::int32_t sampleSize) {
    return std::clamp(sampleSize, kMinSpectrumSampleSize, kMaxSpectrumSampleSize);
}

SpectrumInputs spectrumInputs(const BridgeSettings& settings, std::int32_t ddsFrequency,
                              std::int32_t n1mmFrequency) {
    SpectrumInputs in;
    in.ddsFrequency = ddsFrequency;
    in.n1mmFrequency = n1mmFrequency;
    in.SpectrumSampleRate = settings.SpectrumSampleRate;
    in.SpectrumSampleSize = settings.SpectrumSampleSize;
    in.SpectrumScalingFactor = settings.SpectrumScalingFactor;
    in.SpectrumCorrection = settings.SpectrumCorrection;
    in.Transverters = &settings.Transverters;
    return in;
}

SpectrumPacket makeSpectrumXml(const IqBlock& spectrum, const SpectrumInputs& in,
                               std::int32_t& levelOffset) {
    PowerSpectrum powers;
    binPowers(spectrum, powers);
    return makeSpectrumXml(powers, in, levelOffset);
}

SpectrumPacket makeSpectrumXml(const PowerSpectrum& powers, const SpectrumInputs& in,
                               std::int32_t& levelOffset) {
    const double f = centreKhz(in);
    const double half = in.SpectrumSampleRate * 0.5 / 1000;
    const std::string low = formatKhz(f - half);
    const std::string high = formatKhz(half + f);
    const std::int32_t count = clampSpectrumSampleSize(in.SpectrumSampleSize);
    char countText[16];
    *std::to_chars(countText, countText + sizeof countText - 1, count).ptr = '\0';
    const std::string scaling(in.SpectrumScalingFactor);
    const std::string name(in.Name);

    // The printer lays out the document; the values, digits and commas that print as
    // themselves, go between the SpectrumData tags afterwards instead of through its escaping.
    tinyxml2::XMLPrinter printer;
    printer.PushDeclaration("xml version=\"1.0\" encoding=\"UTF-8\"");
    printer.OpenElement("Spectrum");
    const auto child = [&printer](const char* name, const char* text) {
        printer.OpenElement(name);
        printer.PushText(text);
        printer.CloseElement();
    };
    child("app", "WaterfallBandmap");
    child("Name", name.c_str());
    child("LowScopeFrequency", low.c_str());
    child("HighScopeFrequency", high.c_str());
    child("ScalingFactor", scaling.c_str());
    child("DataCount", countText);
    printer.OpenElement("SpectrumData");
    printer.PushText("");
    const std::size_t head = static_cast<std::size_t>(printer.CStrSize() - 1);
    printer.CloseElement();
    printer.CloseElement();
    const std::string_view document(printer.CStr(),
                                    static_cast<std::size_t>(printer.CStrSize() - 1));

    // At most "65535," per value, and room for a last four-byte write.
    const std::size_t room = head + static_cast<std::size_t>(count) * 6 + 4;
    SpectrumPacket packet;
    packet.reserve(room + document.size() - head);
    packet.resize(room);
    std::memcpy(packet.data(), document.data(), head);
    char* const values = packet.data() + head;
    char* const end = writeValues(powers, count, levelOffset, in.SpectrumCorrection, values);
    packet.resize(static_cast<std::size_t>(end - 1 - packet.data())); // no trailing ","
    packet.append(document.substr(head));
    return packet;
}
