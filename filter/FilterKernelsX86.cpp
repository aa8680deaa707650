// SSE2 (part of every x86-64 CPU) kernels of the filter chain.
#include "filter/FilterKernels.h"

#if NORVANE_FILTER_X86

#include <emmintrin.h>

#include <cmath>

namespace Norvane {
namespace filter {
namespace detail {

namespace {

inline __m128 select(__m128 mask, __m128 a, __m128 b) { return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b)); }
inline __m128i select(__m128i mask, __m128i a, __m128i b) {
    return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
}
// Sixteen lanes of 0 or -1 (or small codes) packed into sixteen bytes.
inline __m128i packBytes(__m128i a, __m128i b, __m128i c, __m128i d) {
    return _mm_packs_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
}

// The candidates of four pixels at `c` (the test of flyingCandidatesScalar)
// as a 4-bit mask.
template <int Radius>
inline int flyingMask(const float* c, const ptrdiff_t offset[4], __m128 minStep, __m128 ratio) {
    const __m128 d = _mm_loadu_ps(c);
    __m128 lo = _mm_set1_ps(INFINITY), hi = _mm_set1_ps(-INFINITY);
    for (int k = 1; k <= Radius; ++k) {
        for (int dir = 0; dir < 4; ++dir) {
            const __m128 a = _mm_loadu_ps(c - k * offset[dir]), b = _mm_loadu_ps(c + k * offset[dir]);
            lo = _mm_min_ps(lo, _mm_min_ps(a, b));
            hi = _mm_max_ps(hi, _mm_max_ps(a, b));
        }
    }
    const __m128 step = _mm_max_ps(_mm_mul_ps(d, ratio), minStep);
    __m128 m = _mm_cmpgt_ps(d, _mm_setzero_ps());
    m = _mm_and_ps(m, _mm_cmpgt_ps(_mm_sub_ps(hi, d), step));
    m = _mm_and_ps(m, _mm_cmpgt_ps(_mm_sub_ps(d, lo), step));
    return _mm_movemask_ps(m);
}

// The screen over whole groups of 16 pixels, for one choice of stages;
// returns how many pixels it did.
template <bool Clear, bool Range, bool Amplitude>
size_t screenRun(const Planes& p, const ScreenSettings& s) {
    const size_t n = p.pixels();
    const __m128 zero = _mm_setzero_ps(), infinity = _mm_set1_ps(INFINITY);
    const __m128 rangeMin = _mm_set1_ps(s.range.minMm), rangeMax = _mm_set1_ps(s.range.maxMm);
    const __m128 minAmplitude = _mm_set1_ps(s.amplitude.minAmplitude);
    const __m128i noDepth = _mm_set1_epi32(int(InvalidReason::NO_DEPTH));
    const __m128i outOfRange = _mm_set1_epi32(int(InvalidReason::OUT_OF_RANGE));
    const __m128i lowSignal = _mm_set1_epi32(int(InvalidReason::LOW_SIGNAL));
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m128i codes[4];
        for (int q = 0; q < 4; ++q) {
            float* depth = p.depth + i + 4 * q;
            const __m128 d = _mm_loadu_ps(depth);
            const __m128 present = _mm_and_ps(_mm_cmpgt_ps(d, zero), _mm_cmplt_ps(d, infinity));
            __m128i code = _mm_setzero_si128();
            if (Amplitude) {
                // Not at least the threshold: below it, or not a number.
                const __m128 low = _mm_cmpnge_ps(_mm_loadu_ps(p.amplitude + i + 4 * q), minAmplitude);
                code = _mm_and_si128(_mm_castps_si128(low), lowSignal);
            }
            if (Range) {
                const __m128 out = _mm_or_ps(_mm_cmplt_ps(d, rangeMin), _mm_cmpgt_ps(d, rangeMax));
                code = select(_mm_castps_si128(out), outOfRange, code);
            }
            code = select(_mm_castps_si128(present), code, noDepth);
            codes[q] = code;
            if (Clear) {
                const __m128 keep = _mm_castsi128_ps(_mm_cmpeq_epi32(code, _mm_setzero_si128()));
                _mm_storeu_ps(depth, _mm_and_ps(d, keep));
            }
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p.invalid + i), packBytes(codes[0], codes[1], codes[2], codes[3]));
    }
    return i;
}

}  // namespace

void spatialRowSse2(const float* previous, float* row, int width, float alpha, float thresholdMm) {
    const float beta = 1.0f - alpha;
    const __m128 a = _mm_set1_ps(alpha), b = _mm_set1_ps(beta), t = _mm_set1_ps(thresholdMm);
    const __m128 zero = _mm_setzero_ps();
    const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    int i = 0;
    for (; i + 4 <= width; i += 4) {
        const __m128 cur = _mm_loadu_ps(row + i), prev = _mm_loadu_ps(previous + i);
        __m128 m = _mm_and_ps(_mm_cmpgt_ps(cur, zero), _mm_cmpgt_ps(prev, zero));
        m = _mm_and_ps(m, _mm_cmplt_ps(_mm_and_ps(_mm_sub_ps(cur, prev), magnitude), t));
        const __m128 s = _mm_add_ps(_mm_mul_ps(a, cur), _mm_mul_ps(b, prev));
        _mm_storeu_ps(row + i, select(m, s, cur));
    }
    spatialRowScalar(previous + i, row + i, width - i, alpha, thresholdMm);
}

void screenSse2(const Planes& p, const ScreenSettings& s) {
    screenSpecialised(p, s, [&](auto clear, auto range, auto amplitude) {
        return screenRun<decltype(clear)::value, decltype(range)::value, decltype(amplitude)::value>(p, s);
    });
}

int flyingCandidatesSse2(const float* centre, ptrdiff_t stride, int count, int radius, float minStepMm, float ratio,
                         int32_t* candidates) {
    const __m128 minStep = _mm_set1_ps(minStepMm), r = _mm_set1_ps(ratio);
    return flyingCandidatesBy4(centre, stride, count, radius, minStepMm, ratio, candidates,
                               [&](auto radiusOf, const float* c, const ptrdiff_t* offset) {
                                   return flyingMask<decltype(radiusOf)::value>(c, offset, minStep, r);
                               });
}

void temporalAverageSse2(float* depth, float* average, uint8_t* history, size_t count, float alpha, float resetMm) {
    const __m128 a = _mm_set1_ps(alpha), b = _mm_set1_ps(1.0f - alpha), reset = _mm_set1_ps(resetMm);
    const __m128 zero = _mm_setzero_ps();
    const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    const __m128i one = _mm_set1_epi8(1);
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(history + i));
        // Whether each pixel was valid in the previous capture, widened to 32-bit lanes.
        const __m128i was8 = _mm_cmpeq_epi8(_mm_and_si128(h, one), one);
        const __m128i was16[2] = {_mm_unpacklo_epi8(was8, was8), _mm_unpackhi_epi8(was8, was8)};
        __m128i valid[4];
        for (int q = 0; q < 4; ++q) {
            const __m128 wasValid = _mm_castsi128_ps(
                (q & 1) ? _mm_unpackhi_epi16(was16[q >> 1], was16[q >> 1]) : _mm_unpacklo_epi16(was16[q >> 1], was16[q >> 1]));
            float* dp = depth + i + 4 * q;
            float* ap = average + i + 4 * q;
            const __m128 d = _mm_loadu_ps(dp), last = _mm_loadu_ps(ap);
            const __m128 isValid = _mm_cmpgt_ps(d, zero);
            const __m128 blended = _mm_add_ps(_mm_mul_ps(a, d), _mm_mul_ps(b, last));
            const __m128 close = _mm_cmple_ps(_mm_and_ps(_mm_sub_ps(d, last), magnitude), reset);
            const __m128 averaged = select(_mm_and_ps(wasValid, close), blended, d);
            _mm_storeu_ps(ap, select(isValid, averaged, last));
            _mm_storeu_ps(dp, select(isValid, averaged, d));
            valid[q] = _mm_castps_si128(isValid);
        }
        const __m128i now = _mm_and_si128(packBytes(valid[0], valid[1], valid[2], valid[3]), one);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(history + i), _mm_or_si128(_mm_add_epi8(h, h), now));
    }
    temporalAverageScalar(depth + i, average + i, history + i, count - i, alpha, resetMm);
}

}  // namespace detail
}  // namespace filter
}  // namespace Norvane

#endif
