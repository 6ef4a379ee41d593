#include "bridge/fft.h"

#include <array>
#include <cmath>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#if defined(__GNUC__)
#include <immintrin.h>
#define TARNWICK_FFT_AVX 1
#endif
#endif

namespace {

constexpr std::uint32_t kMaxCount = 16384;

bool accepted(const float* samples, std::uint32_t count) {
    return samples != nullptr && count >= 2 && count <= kMaxCount && (count & (count - 1)) == 0;
}

int stageCount(std::uint32_t count) {
    return static_cast<int>(std::log10(static_cast<double>(count)) / std::log10(2.0) + 0.5);
}

// The twiddle of one stage, advanced by one rotation per step. This recurrence, not a fresh
// cos/sin per step, defines the transform's values, its drift included.
struct Twiddle {
    float re = 1.0f;
    float im = 0.0f;
    constexpr void advance(float c, float r) {
        const float nextRe = re * c - im * r;
        const float nextIm = re * r + im * c;
        re = nextRe;
        im = nextIm;
    }
};

// One stage of decimation in frequency, butterfly by butterfly.
void plainStage(float* samples, std::uint32_t count, std::uint32_t span, int table) {
    const std::uint32_t half = span / 2;
    const float c = cosTable[table];
    const float r = sinTable[table];
    Twiddle w;
    for (std::uint32_t j = 0; j < half; ++j) {
        for (std::uint32_t p = j; p < count; p += span) {
            float* a = samples + 2 * p;
            float* b = samples + 2 * (p + half);
            const float dRe = a[0] - b[0];
            const float dIm = a[1] - b[1];
            a[0] = a[0] + b[0];
            a[1] = a[1] + b[1];
            b[0] = dRe * w.re - dIm * w.im;
            b[1] = dRe * w.im + dIm * w.re;
        }
        w.advance(c, r);
    }
}

// Gold-Rader bit reversal.
void plainReorder(float* samples, std::uint32_t count) {
    std::uint32_t j = 1;
    for (std::uint32_t i = 1; i < count; ++i) {
        if (i < j) {
            std::swap(samples[2 * (i - 1)], samples[2 * (j - 1)]);
            std::swap(samples[2 * (i - 1) + 1], samples[2 * (j - 1) + 1]);
        }
        std::uint32_t k = count / 2;
        while (k < j) {
            j -= k;
            k /= 2;
        }
        j += k;
    }
}

void plainScale(float* samples, std::uint32_t count) {
    const float scale = static_cast<float>(1.0 / count);
    for (std::uint32_t i = 0; i < 2 * count; ++i)
        samples[i] = samples[i] * scale;
}

#if defined(__SSE2__)

// The fast path keeps the samples "block split" between its first and last pass: each run of
// four complex samples is stored as their four real parts, then their four imaginary parts, in
// the same 32 bytes. Then one register holds one part of four samples, and a butterfly needs
// no shuffling: re = d.re*w.re - d.im*w.im and im = d.re*w.im + d.im*w.re, operand for operand
// as the plain code writes them, so every rounding is the same.

// The twiddles of every span from 4 to 4096 points, run through the same float recurrence at
// compile time, so no call waits on that serial chain.
constexpr std::uint32_t kTableSpan = 4096;
constexpr std::uint32_t kTableTwiddles = kTableSpan; // span L from index L/2, L/2 entries

struct TwiddleTables {
    float re[kTableTwiddles];
    float im[kTableTwiddles];
};

constexpr TwiddleTables makeTwiddleTables() {
    TwiddleTables t{};
    for (int k = 1; (2u << k) <= kTableSpan; ++k) {
        Twiddle w;
        for (std::uint32_t j = 0, at = 1u << k; j < (1u << k); ++j, ++at) {
            t.re[at] = w.re;
            t.im[at] = w.im;
            w.advance(cosTable[k], sinTable[k]);
        }
    }
    return t;
}

alignas(16) constexpr TwiddleTables kTwiddles = makeTwiddleTables();

// Twiddle j of a span sits at index span/2 + j; for spans of 8 and more that is a multiple of
// 4, so four twiddles load as one aligned register.
struct Twiddles {
    const float* re;
    const float* im;
    explicit Twiddles(std::uint32_t span)
        : re(kTwiddles.re + span / 2), im(kTwiddles.im + span / 2) {}
};

struct Split {
    __m128 re;
    __m128 im;
};

template <bool Interleaved> inline Split load(const float* p) {
    const __m128 a = _mm_loadu_ps(p);
    const __m128 b = _mm_loadu_ps(p + 4);
    if (Interleaved)
        return {_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)),
                _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1))};
    return {a, b};
}

inline void store(float* p, Split x) {
    _mm_storeu_ps(p, x.re);
    _mm_storeu_ps(p + 4, x.im);
}

inline Split add(Split a, Split b) {
    return {_mm_add_ps(a.re, b.re), _mm_add_ps(a.im, b.im)};
}

// (a - b) * w, with w taken four at a time from a twiddle table.
inline Split rotatedDifference(Split a, Split b, const float* wRe, const float* wIm) {
    const __m128 dRe = _mm_sub_ps(a.re, b.re);
    const __m128 dIm = _mm_sub_ps(a.im, b.im);
    const __m128 re = _mm_load_ps(wRe);
    const __m128 im = _mm_load_ps(wIm);
    return {_mm_sub_ps(_mm_mul_ps(dRe, re), _mm_mul_ps(dIm, im)),
            _mm_add_ps(_mm_mul_ps(dRe, im), _mm_mul_ps(dIm, re))};
}

// One stage of a span from 8 to 4096 points; Interleaved reads the caller's layout.
template <bool Interleaved>
void stageRadix2(float* samples, std::uint32_t count, std::uint32_t span) {
    const std::uint32_t h = span; // half a span, in floats
    const Twiddles w(span);
    for (std::uint32_t g = 0; g < 2 * count; g += 2 * span) {
        float* p = samples + g;
        for (std::uint32_t o = 0; o < h; o += 8) {
            const Split x = load<Interleaved>(p + o);
            const Split y = load<Interleaved>(p + o + h);
            store(p + o, add(x, y));
            store(p + o + h, rotatedDifference(x, y, w.re + o / 2, w.im + o / 2));
        }
    }
}

// Four window weights, each rounded to a float, for the block at sample w.
inline __m128 windowWeights(const double* w) {
    return _mm_movelh_ps(_mm_cvtpd_ps(_mm_loadu_pd(w)), _mm_cvtpd_ps(_mm_loadu_pd(w + 2)));
}

// A block as the first pass reads it, windowed on the way in when Windowed (the block starts at
// sample 'at'): each product is the sample times its weight rounded to a float, as
// applyFftWindow computes it.
template <bool Interleaved, bool Windowed>
inline Split loadBlock(const float* p, const double* window, std::uint32_t at) {
    Split x = load<Interleaved>(p);
    if (Windowed) {
        const __m128 w = windowWeights(window + at);
        x.re = _mm_mul_ps(x.re, w);
        x.im = _mm_mul_ps(x.im, w);
    }
    return x;
}

// Two stages at once, spans 4*quarter and 2*quarter (quarter from 4 to 1024): each element is
// loaded and stored once for both. The butterflies are exactly those of the two stages done
// one after the other.
template <bool Interleaved, bool Windowed>
void stageRadix4(float* samples, std::uint32_t count, std::uint32_t quarter, const double* window) {
    const std::uint32_t span = 4 * quarter;
    const std::uint32_t q = 2 * quarter; // a quarter span, in floats
    const Twiddles outer(span);
    const Twiddles inner(span / 2);
    for (std::uint32_t g = 0; g < 2 * count; g += 2 * span) {
        float* p = samples + g;
        for (std::uint32_t o = 0; o < q; o += 8) {
            const std::uint32_t j = o / 2;
            const std::uint32_t at = g / 2 + j;
            const Split x0 = loadBlock<Interleaved, Windowed>(p + o, window, at);
            const Split x1 = loadBlock<Interleaved, Windowed>(p + o + q, window, at + quarter);
            const Split x2 =
                loadBlock<Interleaved, Windowed>(p + o + 2 * q, window, at + 2 * quarter);
            const Split x3 =
                loadBlock<Interleaved, Windowed>(p + o + 3 * q, window, at + 3 * quarter);
            const Split s0 = add(x0, x2);
            const Split d0 = rotatedDifference(x0, x2, outer.re + j, outer.im + j);
            const Split s1 = add(x1, x3);
            const Split d1 =
                rotatedDifference(x1, x3, outer.re + j + quarter, outer.im + j + quarter);
            store(p + o, add(s0, s1));
            store(p + o + q, rotatedDifference(s0, s1, inner.re + j, inner.im + j));
            store(p + o + 2 * q, add(d0, d1));
            store(p + o + 3 * q, rotatedDifference(d0, d1, inner.re + j, inner.im + j));
        }
    }
}

#if defined(TARNWICK_FFT_AVX)

// The same two stages at once with AVX, when the processor has it: one 256-bit register holds a
// whole block, four real parts in its low half and four imaginary parts in its high half.
// Products and sums stay separate instructions (no FMA), so the roundings are the plain code's.
#define TARNWICK_AVX __attribute__((target("avx"), always_inline)) inline

// Twiddles four at a time as whole registers: (four w.re | the same four) and (their -w.im | w.im).
// Span L (8 to 4096) starts at float L - 8, twiddle j (a multiple of 4) 2j floats further on.
struct WideTwiddleTables {
    float re[2 * kTableSpan - 8];
    float im[2 * kTableSpan - 8];
};

constexpr WideTwiddleTables makeWideTwiddleTables() {
    WideTwiddleTables t{};
    for (std::uint32_t span = 8; span <= kTableSpan; span *= 2) {
        for (std::uint32_t j = 0; j < span / 2; ++j) {
            const std::uint32_t at = span - 8 + 2 * (j & ~3u) + (j & 3u);
            t.re[at] = kTwiddles.re[span / 2 + j];
            t.re[at + 4] = kTwiddles.re[span / 2 + j];
            t.im[at] = -kTwiddles.im[span / 2 + j];
            t.im[at + 4] = kTwiddles.im[span / 2 + j];
        }
    }
    return t;
}

alignas(32) constexpr WideTwiddleTables kWideTwiddles = makeWideTwiddleTables();

template <bool Interleaved, bool Windowed>
TARNWICK_AVX __m256 avxLoadBlock(const float* p, const double* window, std::uint32_t at) {
    if (!Interleaved)
        return _mm256_loadu_ps(p);
    const __m128 a = _mm_loadu_ps(p);
    const __m128 b = _mm_loadu_ps(p + 4);
    const __m256 x =
        _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0))),
                             _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)), 1);
    if (!Windowed)
        return x;
    const __m128 w = _mm256_cvtpd_ps(_mm256_loadu_pd(window + at)); // four weights as floats
    return _mm256_mul_ps(x, _mm256_insertf128_ps(_mm256_castps128_ps256(w), w, 1));
}

// d * w = d * (w.re | w.re) + swap(d) * (-w.im | w.im): d.re*w.re - d.im*w.im in the low half,
// d.im*w.re + d.re*w.im in the high half, each product rounded as the plain code rounds it
// (adding a negated product equals subtracting it, and the high half's operands in the other
// order give the same sum, as no NaN comes in; see fastFft).
TARNWICK_AVX __m256 avxRotate(__m256 d, __m256 re, __m256 im) {
    const __m256 swapped = _mm256_permute2f128_ps(d, d, 0x01);
    return _mm256_add_ps(_mm256_mul_ps(d, re), _mm256_mul_ps(swapped, im));
}

TARNWICK_AVX __m256 avxRotatedDifference(__m256 a, __m256 b, const float* re, const float* im) {
    return avxRotate(_mm256_sub_ps(a, b), _mm256_load_ps(re), _mm256_load_ps(im));
}

template <bool Interleaved, bool Windowed>
__attribute__((target("avx"))) void stageRadix4Avx(float* samples, std::uint32_t count,
                                                   std::uint32_t quarter, const double* window) {
    const std::uint32_t span = 4 * quarter;
    // A quarter span in floats; in the wide tables twiddle j + quarter also lies q floats on.
    const std::uint32_t q = 2 * quarter;
    const float* outerRe = kWideTwiddles.re + (span - 8);
    const float* outerIm = kWideTwiddles.im + (span - 8);
    const float* innerRe = kWideTwiddles.re + (span / 2 - 8);
    const float* innerIm = kWideTwiddles.im + (span / 2 - 8);
    for (std::uint32_t g = 0; g < 2 * count; g += 2 * span) {
        float* p = samples + g;
        for (std::uint32_t o = 0; o < q; o += 8) {
            const std::uint32_t at = g / 2 + o / 2;
            const __m256 x0 = avxLoadBlock<Interleaved, Windowed>(p + o, window, at);
            const __m256 x1 = avxLoadBlock<Interleaved, Windowed>(p + o + q, window, at + quarter);
            const __m256 x2 =
                avxLoadBlock<Interleaved, Windowed>(p + o + 2 * q, window, at + 2 * quarter);
            const __m256 x3 =
                avxLoadBlock<Interleaved, Windowed>(p + o + 3 * q, window, at + 3 * quarter);
            const __m256 s0 = _mm256_add_ps(x0, x2);
            const __m256 d0 = avxRotatedDifference(x0, x2, outerRe + o, outerIm + o);
            const __m256 s1 = _mm256_add_ps(x1, x3);
            const __m256 d1 = avxRotatedDifference(x1, x3, outerRe + o + q, outerIm + o + q);
            _mm256_storeu_ps(p + o, _mm256_add_ps(s0, s1));
            _mm256_storeu_ps(p + o + q, avxRotatedDifference(s0, s1, innerRe + o, innerIm + o));
            _mm256_storeu_ps(p + o + 2 * q, _mm256_add_ps(d0, d1));
            _mm256_storeu_ps(p + o + 3 * q, avxRotatedDifference(d0, d1, innerRe + o, innerIm + o));
        }
    }
}

void stageRadix4Avx(float* samples, std::uint32_t count, std::uint32_t quarter, bool interleaved,
                    const double* window) {
    if (window != nullptr)
        stageRadix4Avx<true, true>(samples, count, quarter, window);
    else if (interleaved)
        stageRadix4Avx<true, false>(samples, count, quarter, nullptr);
    else
        stageRadix4Avx<false, false>(samples, count, quarter, nullptr);
}

#else

void stageRadix4Avx(float*, std::uint32_t, std::uint32_t, bool, const double*) {} // never chosen

#endif

// The last two stages (spans 4 and 2) and the 1/count scale (the same two roundings as scaling
// afterwards) for eight samples held as two blocks at p. Result q[k] holds samples k and k + 4
// as (re, im) pairs, back in the interleaved layout.
struct LastStageConstants {
    __m128 re4;
    __m128 im4;
    __m128 re2;
    __m128 im2;
    __m128 scale;
    explicit LastStageConstants(std::uint32_t count) {
        // Lanes hold samples 0 and 1 of both blocks: twiddles 0 and 1 of span 4, twice. Span 2
        // has one twiddle, the recurrence's start (1, 0).
        const Twiddles w4(4);
        re4 = _mm_setr_ps(w4.re[0], w4.re[1], w4.re[0], w4.re[1]);
        im4 = _mm_setr_ps(w4.im[0], w4.im[1], w4.im[0], w4.im[1]);
        re2 = _mm_set1_ps(1.0f);
        im2 = _mm_set1_ps(0.0f);
        scale = _mm_set1_ps(static_cast<float>(1.0 / count));
    }
};

inline Split rotatedDifference(Split a, Split b, __m128 re, __m128 im) {
    const __m128 dRe = _mm_sub_ps(a.re, b.re);
    const __m128 dIm = _mm_sub_ps(a.im, b.im);
    return {_mm_sub_ps(_mm_mul_ps(dRe, re), _mm_mul_ps(dIm, im)),
            _mm_add_ps(_mm_mul_ps(dRe, im), _mm_mul_ps(dIm, re))};
}

// Samples k and k + 4 of a group of eight, as (re, im) pairs.
struct Group {
    __m128 q0;
    __m128 q1;
    __m128 q2;
    __m128 q3;
};

inline Group lastStages(const float* p, const LastStageConstants& c) {
    const Split b0 = load<false>(p);     // samples 0..3
    const Split b1 = load<false>(p + 8); // samples 4..7
    // Span 4: sample k with k + 2, for k = 0, 1 of each block.
    const Split a{_mm_movelh_ps(b0.re, b1.re), _mm_movelh_ps(b0.im, b1.im)}; // 0 1 4 5
    const Split b{_mm_movehl_ps(b1.re, b0.re), _mm_movehl_ps(b1.im, b0.im)}; // 2 3 6 7
    const Split s = add(a, b);                                               // new 0 1 4 5
    const Split d = rotatedDifference(a, b, c.re4, c.im4);                   // new 2 3 6 7
    // Span 2: sample k with k + 1, for k = 0, 2, 4, 6.
    const Split e{_mm_shuffle_ps(s.re, d.re, _MM_SHUFFLE(2, 0, 2, 0)),
                  _mm_shuffle_ps(s.im, d.im, _MM_SHUFFLE(2, 0, 2, 0))}; // 0 4 2 6
    const Split f{_mm_shuffle_ps(s.re, d.re, _MM_SHUFFLE(3, 1, 3, 1)),
                  _mm_shuffle_ps(s.im, d.im, _MM_SHUFFLE(3, 1, 3, 1))}; // 1 5 3 7
    const Split sum = add(e, f);                                        // new 0 4 2 6
    const Split diff = rotatedDifference(e, f, c.re2, c.im2);           // new 1 5 3 7
    const __m128 sumRe = _mm_mul_ps(sum.re, c.scale);
    const __m128 sumIm = _mm_mul_ps(sum.im, c.scale);
    const __m128 diffRe = _mm_mul_ps(diff.re, c.scale);
    const __m128 diffIm = _mm_mul_ps(diff.im, c.scale);
    return {_mm_unpacklo_ps(sumRe, sumIm), _mm_unpacklo_ps(diffRe, diffIm),
            _mm_unpackhi_ps(sumRe, sumIm), _mm_unpackhi_ps(diffRe, diffIm)};
}

// The last stages for any count, leaving bit-reversed order.
void stagesLast(float* samples, std::uint32_t count) {
    const LastStageConstants c(count);
    for (std::uint32_t g = 0; g < 2 * count; g += 16) {
        float* p = samples + g;
        const Group r = lastStages(p, c);
        _mm_storeu_ps(p, _mm_movelh_ps(r.q0, r.q1));      // 0 1
        _mm_storeu_ps(p + 4, _mm_movelh_ps(r.q2, r.q3));  // 2 3
        _mm_storeu_ps(p + 8, _mm_movehl_ps(r.q1, r.q0));  // 4 5
        _mm_storeu_ps(p + 12, _mm_movehl_ps(r.q3, r.q2)); // 6 7
    }
}

inline void storeLow(float* p, __m128 v) {
    _mm_storel_pi(reinterpret_cast<__m64*>(p), v);
}
inline void storeHigh(float* p, __m128 v) {
    _mm_storeh_pi(reinterpret_cast<__m64*>(p), v);
}

constexpr std::uint32_t kReverse3[8] = {0, 4, 2, 6, 1, 5, 3, 7};

// Writes a group's eight results to their bit-reversed places: 'to' is the place of sample 0,
// and sample k lies kReverse3[k] rows of 512 samples (1024 floats) further on.
inline void storeReversed(float* to, const Group& r) {
    storeLow(to, r.q0);             // 0
    storeHigh(to + 1024 * 1, r.q0); // 4
    storeLow(to + 1024 * 4, r.q1);  // 1
    storeHigh(to + 1024 * 5, r.q1); // 5
    storeLow(to + 1024 * 2, r.q2);  // 2
    storeHigh(to + 1024 * 3, r.q2); // 6
    storeLow(to + 1024 * 6, r.q3);  // 3
    storeHigh(to + 1024 * 7, r.q3); // 7
}

// For 4096 points the last stages write straight to the bit-reversed places, with no separate
// pass of swaps. Index bits [h:3][m:6][l:3] reverse to [rev l][rev m][rev h], so the 64 samples
// with middle bits m land exactly on those with middle bits rev(m): such a pair of sets is read,
// transformed and written in place, one set held in a small buffer meanwhile.
void stagesLastInOrder4096(float* samples) {
    const LastStageConstants c(4096);
    Group held[8]; // one set
    for (std::uint32_t m = 0; m < 64; ++m) {
        std::uint32_t mr = 0;
        for (int bit = 0; bit < 6; ++bit)
            mr |= ((m >> bit) & 1u) << (5 - bit);
        if (mr < m)
            continue; // done with its partner
        for (std::uint32_t h = 0; h < 8; ++h)
            held[h] = lastStages(samples + 2 * (h * 512 + m * 8), c);
        if (mr != m) {
            // Set m has been read: set rev(m) goes straight to its places there.
            for (std::uint32_t h = 0; h < 8; ++h)
                storeReversed(samples + 2 * (m * 8 + kReverse3[h]),
                              lastStages(samples + 2 * (h * 512 + mr * 8), c));
        }
        // Set rev(m) has been read too: set m's results go to their places there.
        for (std::uint32_t h = 0; h < 8; ++h)
            storeReversed(samples + 2 * (mr * 8 + kReverse3[h]), held[h]);
    }
}

#if defined(TARNWICK_FFT_AVX)

// The last stages eight lanes wide: the two blocks of a group, re | im each, give the same
// Group as lastStages.
struct WideLastStageConstants {
    __m256 re4;
    __m256 im4;
    __m256 re2; // span 2's one twiddle, (1, 0), laid out as avxRotate takes it
    __m256 im2;
    __m256 scale;
};

__attribute__((target("avx"))) inline WideLastStageConstants wideLastStageConstants() {
    const Twiddles w4(4);
    return {_mm256_setr_ps(w4.re[0], w4.re[1], w4.re[0], w4.re[1], w4.re[0], w4.re[1], w4.re[0],
                           w4.re[1]),
            _mm256_setr_ps(-w4.im[0], -w4.im[1], -w4.im[0], -w4.im[1], w4.im[0], w4.im[1], w4.im[0],
                           w4.im[1]),
            _mm256_set1_ps(1.0f),
            _mm256_setr_ps(-0.0f, -0.0f, -0.0f, -0.0f, 0.0f, 0.0f, 0.0f, 0.0f),
            _mm256_set1_ps(static_cast<float>(1.0 / 4096))};
}

// Eight samples as (re, im) pairs: u holds samples 0 4 | 1 5, v holds 2 6 | 3 7.
struct WideGroup {
    __m256 u;
    __m256 v;
};

TARNWICK_AVX WideGroup lastStagesAvx(const float* p, const WideLastStageConstants& c) {
    const __m256 x = _mm256_loadu_ps(p);                               // samples 0..3, re | im
    const __m256 y = _mm256_loadu_ps(p + 8);                           // samples 4..7
    const __m256 a = _mm256_shuffle_ps(x, y, _MM_SHUFFLE(1, 0, 1, 0)); // 0 1 4 5
    const __m256 b = _mm256_shuffle_ps(x, y, _MM_SHUFFLE(3, 2, 3, 2)); // 2 3 6 7
    const __m256 s = _mm256_add_ps(a, b);                              // new 0 1 4 5
    const __m256 d = avxRotate(_mm256_sub_ps(a, b), c.re4, c.im4);     // new 2 3 6 7
    const __m256 e = _mm256_shuffle_ps(s, d, _MM_SHUFFLE(2, 0, 2, 0)); // 0 4 2 6
    const __m256 f = _mm256_shuffle_ps(s, d, _MM_SHUFFLE(3, 1, 3, 1)); // 1 5 3 7
    const __m256 sum = _mm256_mul_ps(_mm256_add_ps(e, f), c.scale);
    // Span 2 rotates by (1, 0) and only then scales. Rotating by (scale, 0) instead is not the
    // same: x*s - y*0 settles the sign of a zero after x*s has underflowed, where the plain code
    // settles it before.
    const __m256 diff = _mm256_mul_ps(avxRotate(_mm256_sub_ps(e, f), c.re2, c.im2), c.scale);
    const __m256 re = _mm256_permute2f128_ps(sum, diff, 0x20); // re: 0 4 2 6 | 1 5 3 7
    const __m256 im = _mm256_permute2f128_ps(sum, diff, 0x31); // im: the same samples
    return {_mm256_unpacklo_ps(re, im), _mm256_unpackhi_ps(re, im)};
}

TARNWICK_AVX __m256 pairsLow(__m256 a, __m256 b) {
    return _mm256_castpd_ps(_mm256_unpacklo_pd(_mm256_castps_pd(a), _mm256_castps_pd(b)));
}

TARNWICK_AVX __m256 pairsHigh(__m256 a, __m256 b) {
    return _mm256_castpd_ps(_mm256_unpackhi_pd(_mm256_castps_pd(a), _mm256_castps_pd(b)));
}

// Writes one set of eight groups (held as u, v per group) to its bit-reversed places, whole
// rows at a time: sample l of group h goes to row rev(l), column rev(h), where 'to' is the
// row-0 place of the set and rows lie 512 samples (1024 floats) apart.
TARNWICK_AVX void storeSetReversed(float* to, const float* held) {
    // Columns 0-3 take groups 0 4 2 6, columns 4-7 groups 1 5 3 7.
    for (int half = 0; half < 2; ++half) {
        const float* a = held + 16 * half; // group 0 or 1
        const float* b = a + 16 * 4;       // group 4 or 5
        const float* c = a + 16 * 2;       // group 2 or 3
        const float* d = a + 16 * 6;       // group 6 or 7
        float* row = to + 4 * 2 * half;
        for (int part = 0; part < 2; ++part) { // u: samples 0 4 | 1 5, v: 2 6 | 3 7
            const __m256 ab = _mm256_loadu_ps(a + 8 * part);
            const __m256 bb = _mm256_loadu_ps(b + 8 * part);
            const __m256 cb = _mm256_loadu_ps(c + 8 * part);
            const __m256 db = _mm256_loadu_ps(d + 8 * part);
            const __m256 lowAB = pairsLow(ab, bb);   // a0 b0 | a1 b1 (part 0)
            const __m256 lowCD = pairsLow(cb, db);   // c0 d0 | c1 d1
            const __m256 highAB = pairsHigh(ab, bb); // a4 b4 | a5 b5
            const __m256 highCD = pairsHigh(cb, db); // c4 d4 | c5 d5
            // Sample l: 0 1 4 5 (part 0) or 2 3 6 7 (part 1); rows rev(l).
            const std::uint32_t l0 = 2 * part;
            _mm256_storeu_ps(row + 1024 * kReverse3[l0],
                             _mm256_permute2f128_ps(lowAB, lowCD, 0x20));
            _mm256_storeu_ps(row + 1024 * kReverse3[l0 + 1],
                             _mm256_permute2f128_ps(lowAB, lowCD, 0x31));
            _mm256_storeu_ps(row + 1024 * kReverse3[l0 + 4],
                             _mm256_permute2f128_ps(highAB, highCD, 0x20));
            _mm256_storeu_ps(row + 1024 * kReverse3[l0 + 5],
                             _mm256_permute2f128_ps(highAB, highCD, 0x31));
        }
    }
}

// As stagesLastInOrder4096, eight lanes wide, and each set written a row at a time.
__attribute__((target("avx"))) void stagesLastInOrder4096Avx(float* samples) {
    const WideLastStageConstants c = wideLastStageConstants();
    float held[8 * 16];    // set m: eight groups, u then v
    float partner[8 * 16]; // set rev(m)
    for (std::uint32_t m = 0; m < 64; ++m) {
        std::uint32_t mr = 0;
        for (int bit = 0; bit < 6; ++bit)
            mr |= ((m >> bit) & 1u) << (5 - bit);
        if (mr < m)
            continue; // done with its partner
        for (std::uint32_t h = 0; h < 8; ++h) {
            const WideGroup g = lastStagesAvx(samples + 2 * (h * 512 + m * 8), c);
            _mm256_storeu_ps(held + 16 * h, g.u);
            _mm256_storeu_ps(held + 16 * h + 8, g.v);
        }
        if (mr != m) {
            for (std::uint32_t h = 0; h < 8; ++h) {
                const WideGroup g = lastStagesAvx(samples + 2 * (h * 512 + mr * 8), c);
                _mm256_storeu_ps(partner + 16 * h, g.u);
                _mm256_storeu_ps(partner + 16 * h + 8, g.v);
            }
            storeSetReversed(samples + 2 * (m * 8), partner);
        }
        storeSetReversed(samples + 2 * (mr * 8), held);
    }
}

#undef TARNWICK_AVX

#else

void stagesLastInOrder4096Avx(float*) {} // never chosen

#endif

// Spans of 16 points and more down to 8, as pairs of stages where possible; the first pass
// reads interleaved samples, the others the split layout.
// The window, when given, is applied by the first pass, which must then be a pair of stages.
void middleStages(float* samples, std::uint32_t count, std::uint32_t span, bool avx,
                  const double* window) {
    bool first = true;
    if ((span & 0xAAAAu) != 0) { // an odd number of stages down to span 8
        stageRadix2<true>(samples, count, span);
        span /= 2;
        first = false;
    }
    for (; span >= 16; span /= 4) {
        const std::uint32_t quarter = span / 4;
        if (avx)
            stageRadix4Avx(samples, count, quarter, first, first ? window : nullptr);
        else if (first && window != nullptr)
            stageRadix4<true, true>(samples, count, quarter, window);
        else if (first)
            stageRadix4<true, false>(samples, count, quarter, nullptr);
        else
            stageRadix4<false, false>(samples, count, quarter, nullptr);
        first = false;
    }
}

// Whether any of the floats (a multiple of 32) is a NaN. A comparison of two registers finds a
// NaN in either; two running masks let the loads go at full speed.
bool holdsNaN(const float* p, std::uint32_t floats) {
    __m128 a = _mm_setzero_ps();
    __m128 b = _mm_setzero_ps();
    for (std::uint32_t i = 0; i < floats; i += 16) {
        a = _mm_or_ps(a, _mm_cmpunord_ps(_mm_loadu_ps(p + i), _mm_loadu_ps(p + i + 4)));
        b = _mm_or_ps(b, _mm_cmpunord_ps(_mm_loadu_ps(p + i + 8), _mm_loadu_ps(p + i + 12)));
    }
    return _mm_movemask_ps(_mm_or_ps(a, b)) != 0;
}

#if defined(TARNWICK_FFT_AVX)

__attribute__((target("avx"))) bool holdsNaNAvx(const float* p, std::uint32_t floats) {
    __m256 a = _mm256_setzero_ps();
    __m256 b = _mm256_setzero_ps();
    for (std::uint32_t i = 0; i < floats; i += 32) {
        a = _mm256_or_ps(
            a, _mm256_cmp_ps(_mm256_loadu_ps(p + i), _mm256_loadu_ps(p + i + 8), _CMP_UNORD_Q));
        b = _mm256_or_ps(b, _mm256_cmp_ps(_mm256_loadu_ps(p + i + 16), _mm256_loadu_ps(p + i + 24),
                                          _CMP_UNORD_Q));
    }
    return _mm256_movemask_ps(_mm256_or_ps(a, b)) != 0;
}

#else

bool holdsNaNAvx(const float* p, std::uint32_t floats) {
    return holdsNaN(p, floats);
}

#endif

// Declines (false, data untouched) a block that holds a NaN, which the plain code must then
// transform. Where two NaNs meet, a sum or product keeps the first operand's sign and payload,
// and the compiler is free to swap the operands of either, so only the very same code gives the
// same NaNs. Without a NaN coming in, the only NaN that can arise (from infinities) is the one
// default NaN, and no bit depends on the order of operands.
bool fastFft(float* samples, std::uint32_t count, bool avx, const double* window = nullptr) {
    if (avx ? holdsNaNAvx(samples, 2 * count) : holdsNaN(samples, 2 * count))
        return false;
    const int stages = stageCount(count);
    int s = 0;
    // Spans beyond the compile-time tables (8192 and 16384 points) take the plain stage.
    for (; (count >> s) > kTableSpan; ++s)
        plainStage(samples, count, count >> s, stages - 1 - s);
    middleStages(samples, count, count >> s, avx, window);
    if (count == 4096 && avx) {
        stagesLastInOrder4096Avx(samples);
    } else if (count == 4096) {
        stagesLastInOrder4096(samples);
    } else {
        stagesLast(samples, count);
        plainReorder(samples, count);
    }
    return true;
}

#endif

} // namespace

void fillFftWindow(FftWindow& window) {
    // The exponent sits one unit in the last place beyond -0.44; the divisor must match it.
    const std::uint64_t exponentBits = 0xBFDC28F5C28F5C2AULL;
    double exponent;
    std::memcpy(&exponent, &exponentBits, sizeof exponent);
    const double divisor = std::pow(10.0, exponent);
    const double twoPi = 6.283185307179586;
    const double fourPi = 12.566370614359172;
    const double sixPi = 18.84955592153876;
    for (std::size_t i = 0; i < window.size(); ++i) {
        const double x = static_cast<double>(i);
        double t = 0.3635819 - 0.4891775 * std::cos(x * twoPi / 4095);
        t = 0.1365995 * std::cos(x * fourPi / 4095) + t;
        t = t - 0.0106411 * std::cos(x * sixPi / 4095);
        window[i] = t / divisor;
    }
}

#if defined(TARNWICK_FFT_AVX)

namespace {

// Four weights rounded to floats at once: w0 w0 w1 w1 | w2 w2 w3 w3 against I Q I Q | I Q I Q.
__attribute__((target("avx"))) void applyFftWindowAvx(const double* window, float* samples) {
    for (std::size_t i = 0; i < IqBlock::kSamples; i += 4) {
        const __m128 w = _mm256_cvtpd_ps(_mm256_loadu_pd(window + i));
        const __m256 weights = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_unpacklo_ps(w, w)),
                                                    _mm_unpackhi_ps(w, w), 1);
        _mm256_storeu_ps(samples + 2 * i, _mm256_mul_ps(_mm256_loadu_ps(samples + 2 * i), weights));
    }
}

} // namespace

#endif

bool applyFftWindowWith(SimdPath path, const FftWindow& window, IqBlock& block) {
    if (!simdPathAvailable(path))
        return false;
    float* samples = block.data.data();
#if defined(TARNWICK_FFT_AVX)
    if (path == SimdPath::avx) {
        applyFftWindowAvx(window.data(), samples);
        return true;
    }
#endif
#if defined(__SSE2__)
    if (path == SimdPath::sse2) {
        for (std::size_t i = 0; i < window.size(); i += 2) {
            const __m128 w = _mm_cvtpd_ps(_mm_loadu_pd(window.data() + i)); // w0, w1, 0, 0
            const __m128 weights = _mm_unpacklo_ps(w, w);                   // w0, w0, w1, w1
            _mm_storeu_ps(samples + 2 * i, _mm_mul_ps(_mm_loadu_ps(samples + 2 * i), weights));
        }
        return true;
    }
#endif
    for (std::size_t i = 0; i < window.size(); ++i) {
        const float w = static_cast<float>(window[i]);
        samples[2 * i] = samples[2 * i] * w;
        samples[2 * i + 1] = samples[2 * i + 1] * w;
    }
    return true;
}

void applyFftWindow(const FftWindow& window, IqBlock& block) {
    applyFftWindowWith(bestSimdPath(), window, block);
}

bool fftReference(float* samples, std::uint32_t count) {
    if (!accepted(samples, count))
        return false;
    const int stages = stageCount(count);
    for (int s = 0; s < stages; ++s)
        plainStage(samples, count, count >> s, stages - 1 - s);
    plainReorder(samples, count);
    plainScale(samples, count);
    return true;
}

bool fftWith(SimdPath path, float* samples, std::uint32_t count) {
    if (!accepted(samples, count) || !simdPathAvailable(path))
        return false;
    // Below 16 points the split layout has nothing to work on.
    if (path == SimdPath::plain || count < 16)
        return fftReference(samples, count);
#if defined(__SSE2__)
    if (fastFft(samples, count, path == SimdPath::avx))
        return true;
#endif
    return fftReference(samples, count);
}

bool fft(float* samples, std::uint32_t count) {
    return fftWith(bestSimdPath(), samples, count);
}

bool windowAndFftWith(SimdPath path, const FftWindow& window, IqBlock& block) {
    if (!simdPathAvailable(path))
        return false;
    float* samples = block.data.data();
    const auto count = static_cast<std::uint32_t>(IqBlock::kSamples);
#if defined(__SSE2__)
    // Weights are finite and above zero: a windowed sample is a NaN exactly where it was one.
    if (path != SimdPath::plain && fastFft(samples, count, path == SimdPath::avx, window.data()))
        return true;
#endif
    applyFftWindowWith(SimdPath::plain, window, block);
    return fftReference(samples, count);
}

void windowAndFft(const FftWindow& window, IqBlock& block) {
    windowAndFftWith(bestSimdPath(), window, block);
}
