// The instruction sets the spectrum code can use. Every path gives the same bits; the fastest
// one the processor has is taken, and tests run each one that is available.
#pragma once

enum class SimdPath { plain, sse2, avx };

inline bool simdPathAvailable(SimdPath path) {
    switch (path) {
    case SimdPath::plain:
        return true;
    case SimdPath::sse2:
#if defined(__SSE2__)
        return true;
#else
        return false;
#endif
    case SimdPath::avx:
#if defined(__SSE2__) && defined(__GNUC__)
        return __builtin_cpu_supports("avx");
#else
        return false;
#endif
    }
    return false;
}

inline SimdPath bestSimdPath() {
    if (simdPathAvailable(SimdPath::avx))
        return SimdPath::avx;
    if (simdPathAvailable(SimdPath::sse2))
        return SimdPath::sse2;
    return SimdPath::plain;
}
