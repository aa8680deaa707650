// NEON vertical step of the spatial filter for aarch64.
#include "filter/SpatialFilterSimd.h"

#if NORVANE_FILTER_NEON

#include <arm_neon.h>

#include <cmath>

namespace Norvane {
namespace filter {
namespace detail {

void spatialRowNeon(const float* previous, float* row, int width, float alpha, float thresholdMm) {
    const float beta = 1.0f - alpha;
    const float32x4_t a = vdupq_n_f32(alpha), b = vdupq_n_f32(beta), t = vdupq_n_f32(thresholdMm);
    const float32x4_t zero = vdupq_n_f32(0.0f);
    int i = 0;
    for (; i + 4 <= width; i += 4) {
        const float32x4_t cur = vld1q_f32(row + i), prev = vld1q_f32(previous + i);
        uint32x4_t m = vandq_u32(vcgtq_f32(cur, zero), vcgtq_f32(prev, zero));
        m = vandq_u32(m, vcltq_f32(vabsq_f32(vsubq_f32(cur, prev)), t));
        // Multiply and add apart, never fused: the same rounding as the portable path.
        const float32x4_t s = vaddq_f32(vmulq_f32(a, cur), vmulq_f32(b, prev));
        vst1q_f32(row + i, vbslq_f32(m, s, cur));
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
