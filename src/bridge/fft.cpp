#include "bridge/fft.h"

#include <cmath>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Nearest floats to cos(2*pi / 2^(k+1)) and -sin(2*pi / 2^(k+1)); the first two of each are exact.
const float cosTable[14] = {-1.0f,        0.0f,         0.707106769f, 0.923879504f, 0.980785251f,
                            0.99518472f,  0.99879545f,  0.999698818f, 0.999924719f, 0.999981165f,
                            0.999995291f, 0.999998808f, 0.999999702f, 0.99999994f};
const float sinTable[14] = {0.0f,           -1.0f,          -0.707106769f,   -0.382683426f,
                            -0.195090324f,  -0.0980171412f, -0.0490676761f,  -0.024541229f,
                            -0.0122715384f, -0.00613588467f, -0.00306795677f, -0.00153398013f,
                            -0.000766990299f, -0.000383495179f};

namespace {

constexpr std::uint32_t kMaxCount = 16384;

bool accepted(const float* samples, std::uint32_t count) {
    return samples != nullptr && count >= 2 && count <= kMaxCount && (count & (count - 1)) == 0;
}

int stageCount(std::uint32_t count) {
    return static_cast<int>(std::log10(static_cast<double>(count)) / std::log10(2.0) + 0.5);
}

// The twiddle of one stage, advanced by one rotation: this recurrence (not a fresh cos/sin per
// step) is what defines the transform's values, drift included.
struct Twiddle {
    float re = 1.0f;
    float im = 0.0f;
    void advance(float c, float r) {
        const float nextRe = re * c - im * r;
        const float nextIm = re * r + im * c;
        re = nextRe;
        im = nextIm;
    }
};

// Gold-Rader bit reversal followed by the 1/count scale.
void reorderAndScaleScalar(float* samples, std::uint32_t count) {
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
    const float scale = static_cast<float>(1.0 / count);
    for (std::uint32_t i = 0; i < 2 * count; ++i)
        samples[i] *= scale;
}

#if defined(__SSE2__)

// Twiddles are kept as (re, re) and (-im, im) per complex value, so one butterfly pair needs two
// loads, two products and one sum for d * w: re = d.re*w.re - d.im*w.im, im = d.im*w.re +
// d.re*w.im. Each product is the scalar one bit for bit; adding a negated product equals
// subtracting it.
constexpr std::uint32_t kChunk = 64;

struct TwiddleChunk {
    alignas(16) float re[2 * kChunk];  // w.re, w.re per twiddle
    alignas(16) float im[2 * kChunk];  // -w.im, w.im per twiddle
    // Writes n twiddles, leaving the recurrence ready for the next chunk.
    void fill(Twiddle& w, std::uint32_t n, float c, float r) {
        for (std::uint32_t j = 0; j < n; ++j) {
            re[2 * j] = w.re;
            re[2 * j + 1] = w.re;
            im[2 * j] = -w.im;
            im[2 * j + 1] = w.im;
            w.advance(c, r);
        }
    }
};

inline __m128 rotate(__m128 d, const float* re, const float* im) {
    const __m128 swapped = _mm_shuffle_ps(d, d, _MM_SHUFFLE(2, 3, 0, 1));
    return _mm_add_ps(_mm_mul_ps(d, _mm_load_ps(re)), _mm_mul_ps(swapped, _mm_load_ps(im)));
}

// One stage of span 2*half over the whole array (half >= 2), two butterflies per step.
void stageRadix2(float* samples, std::uint32_t count, std::uint32_t half, float c, float r) {
    const std::uint32_t span = 2 * half;
    const std::uint32_t chunk = half < kChunk ? half : kChunk;
    TwiddleChunk tw;
    Twiddle w;
    for (std::uint32_t j0 = 0; j0 < half; j0 += chunk) {
        tw.fill(w, chunk, c, r);
        for (std::uint32_t g = 0; g < count; g += span) {
            float* a = samples + 2 * (g + j0);
            float* b = a + 2 * half;
            for (std::uint32_t j = 0; j < chunk; j += 2) {
                const __m128 x = _mm_loadu_ps(a + 2 * j);
                const __m128 y = _mm_loadu_ps(b + 2 * j);
                _mm_storeu_ps(a + 2 * j, _mm_add_ps(x, y));
                _mm_storeu_ps(b + 2 * j, rotate(_mm_sub_ps(x, y), tw.re + 2 * j, tw.im + 2 * j));
            }
        }
    }
}

// Two stages at once, spans 4*quarter and 2*quarter (quarter >= 2): each element is loaded and
// stored once for both. The butterflies are exactly those of the two stages done one by one.
void stageRadix4(float* samples, std::uint32_t count, std::uint32_t quarter, float c1, float r1,
                 float c2, float r2) {
    const std::uint32_t span = 4 * quarter;
    const std::uint32_t chunk = quarter < kChunk ? quarter : kChunk;
    TwiddleChunk first;   // first stage, j
    TwiddleChunk second;  // first stage, j + quarter
    TwiddleChunk inner;   // second stage, j
    Twiddle wFirst;
    Twiddle wSecond;
    for (std::uint32_t j = 0; j < quarter; ++j)
        wSecond.advance(c1, r1);
    Twiddle wInner;
    for (std::uint32_t j0 = 0; j0 < quarter; j0 += chunk) {
        first.fill(wFirst, chunk, c1, r1);
        second.fill(wSecond, chunk, c1, r1);
        inner.fill(wInner, chunk, c2, r2);
        for (std::uint32_t g = 0; g < count; g += span) {
            float* p0 = samples + 2 * (g + j0);
            float* p1 = p0 + 2 * quarter;
            float* p2 = p1 + 2 * quarter;
            float* p3 = p2 + 2 * quarter;
            for (std::uint32_t j = 0; j < chunk; j += 2) {
                const std::uint32_t o = 2 * j;
                const __m128 x0 = _mm_loadu_ps(p0 + o);
                const __m128 x1 = _mm_loadu_ps(p1 + o);
                const __m128 x2 = _mm_loadu_ps(p2 + o);
                const __m128 x3 = _mm_loadu_ps(p3 + o);
                const __m128 s0 = _mm_add_ps(x0, x2);
                const __m128 d0 = rotate(_mm_sub_ps(x0, x2), first.re + o, first.im + o);
                const __m128 s1 = _mm_add_ps(x1, x3);
                const __m128 d1 = rotate(_mm_sub_ps(x1, x3), second.re + o, second.im + o);
                _mm_storeu_ps(p0 + o, _mm_add_ps(s0, s1));
                _mm_storeu_ps(p1 + o, rotate(_mm_sub_ps(s0, s1), inner.re + o, inner.im + o));
                _mm_storeu_ps(p2 + o, _mm_add_ps(d0, d1));
                _mm_storeu_ps(p3 + o, rotate(_mm_sub_ps(d0, d1), inner.re + o, inner.im + o));
            }
        }
    }
}

// The last two stages (spans 4 and 2) on groups of four samples held in two registers.
void stagesLast(float* samples, std::uint32_t count, float c4, float r4, float c2, float r2) {
    TwiddleChunk span4;
    Twiddle w4;
    span4.fill(w4, 2, c4, r4);
    TwiddleChunk span2;
    Twiddle w2;
    span2.fill(w2, 1, c2, r2);
    // Both lanes hold a butterfly of span 2, and each uses that stage's first twiddle.
    span2.re[2] = span2.re[0];
    span2.re[3] = span2.re[1];
    span2.im[2] = span2.im[0];
    span2.im[3] = span2.im[1];
    for (std::uint32_t g = 0; g < count; g += 4) {
        float* p = samples + 2 * g;
        const __m128 x = _mm_loadu_ps(p);      // samples g, g+1
        const __m128 y = _mm_loadu_ps(p + 4);  // samples g+2, g+3
        const __m128 s = _mm_add_ps(x, y);
        const __m128 d = rotate(_mm_sub_ps(x, y), span4.re, span4.im);
        const __m128 a = _mm_movelh_ps(s, d);  // g, g+2 after the first stage
        const __m128 b = _mm_movehl_ps(d, s);  // g+1, g+3
        const __m128 sum = _mm_add_ps(a, b);
        const __m128 diff = rotate(_mm_sub_ps(a, b), span2.re, span2.im);
        _mm_storeu_ps(p, _mm_movelh_ps(sum, diff));
        _mm_storeu_ps(p + 4, _mm_movehl_ps(diff, sum));
    }
}

void reorderAndScale(float* samples, std::uint32_t count) {
    // Swapping whole complex values as 64-bit words keeps the bits as they are.
    std::uint32_t j = 1;
    for (std::uint32_t i = 1; i < count; ++i) {
        if (i < j) {
            double t;
            double u;
            std::memcpy(&t, samples + 2 * (i - 1), sizeof t);
            std::memcpy(&u, samples + 2 * (j - 1), sizeof u);
            std::memcpy(samples + 2 * (i - 1), &u, sizeof u);
            std::memcpy(samples + 2 * (j - 1), &t, sizeof t);
        }
        std::uint32_t k = count / 2;
        while (k < j) {
            j -= k;
            k /= 2;
        }
        j += k;
    }
    const __m128 scale = _mm_set1_ps(static_cast<float>(1.0 / count));
    for (std::uint32_t i = 0; i < 2 * count; i += 4)
        _mm_storeu_ps(samples + i, _mm_mul_ps(_mm_loadu_ps(samples + i), scale));
}

#endif

}  // namespace

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

void applyFftWindow(const FftWindow& window, IqBlock& block) {
    float* samples = block.data.data();
#if defined(__SSE2__)
    for (std::size_t i = 0; i < window.size(); i += 2) {
        const __m128 w = _mm_cvtpd_ps(_mm_loadu_pd(window.data() + i));  // w0, w1, 0, 0
        const __m128 weights = _mm_unpacklo_ps(w, w);                     // w0, w0, w1, w1
        _mm_storeu_ps(samples + 2 * i, _mm_mul_ps(_mm_loadu_ps(samples + 2 * i), weights));
    }
#else
    for (std::size_t i = 0; i < window.size(); ++i) {
        const float w = static_cast<float>(window[i]);
        samples[2 * i] = samples[2 * i] * w;
        samples[2 * i + 1] = samples[2 * i + 1] * w;
    }
#endif
}

bool fftReference(float* samples, std::uint32_t count) {
    if (!accepted(samples, count))
        return false;
    const int stages = stageCount(count);
    for (int s = 0; s < stages; ++s) {
        const std::uint32_t span = count >> s;
        const std::uint32_t half = span / 2;
        const float c = cosTable[stages - 1 - s];
        const float r = sinTable[stages - 1 - s];
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
    reorderAndScaleScalar(samples, count);
    return true;
}

bool fft(float* samples, std::uint32_t count) {
#if defined(__SSE2__)
    if (!accepted(samples, count))
        return false;
    const int stages = stageCount(count);
    if (count == 2) {
        // One butterfly with the twiddle (1, 0); the plain code is as fast as any.
        return fftReference(samples, count);
    }
    int s = 0;
    if ((stages - 2) % 2 != 0) {
        stageRadix2(samples, count, count / 2, cosTable[stages - 1], sinTable[stages - 1]);
        s = 1;
    }
    for (; stages - s > 2; s += 2) {
        const std::uint32_t quarter = (count >> s) / 4;
        stageRadix4(samples, count, quarter, cosTable[stages - 1 - s], sinTable[stages - 1 - s],
                    cosTable[stages - 2 - s], sinTable[stages - 2 - s]);
    }
    stagesLast(samples, count, cosTable[1], sinTable[1], cosTable[0], sinTable[0]);
    reorderAndScale(samples, count);
    return true;
#else
    return fftReference(samples, count);
#endif
}
