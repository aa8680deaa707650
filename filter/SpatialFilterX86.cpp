// SSE2 (part of every x86-64 CPU) vertical step of the spatial filter.
#include "filter/SpatialFilterSimd.h"

#if NORVANE_FILTER_X86

#include <emmintrin.h>

#include <cmath>

namespace Norvane {
namespace filter {
namespace detail {

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
        _mm_storeu_ps(row + i, _mm_or_ps(_mm_and_ps(m, s), _mm_andnot_ps(m, cur)));
    }
    for (; i < width; ++i) {
        const float cur = row[i], prev = previous[i];
        if (cur > 0.0f && prev > 0.0f && std::fabs(cur - prev) < thresholdMm) row[i] = alpha * cur + beta * prev;
    }
}

}  // namespace detail
}  // namespace filter
}  // namespace Norvane

#endif
