// NEON kernels of the filter chain for aarch64. Multiplies and adds stay
// apart, never fused: the same rounding as the portable path.
#include "filter/FilterKernels.h"

#if NORVANE_FILTER_NEON

#include <arm_neon.h>

#include <cmath>

namespace Norvane {
namespace filter {
namespace detail {

namespace {

// Sixteen 32-bit lanes (codes or masks) narrowed to sixteen bytes.
inline uint8x16_t packBytes(uint32x4_t a, uint32x4_t b, uint32x4_t c, uint32x4_t d) {
    const uint16x8_t lo = vcombine_u16(vmovn_u32(a), vmovn_u32(b)), hi = vcombine_u16(vmovn_u32(c), vmovn_u32(d));
    return vcombine_u8(vmovn_u16(lo), vmovn_u16(hi));
}

// The candidates of four pixels at `c` (the test of flyingCandidatesScalar)
// as a 4-bit mask.
template <int Radius>
inline unsigned flyingMask(const float* c, const ptrdiff_t offset[4], float32x4_t minStep, float32x4_t ratio) {
    const float32x4_t d = vld1q_f32(c);
    float32x4_t lo = vdupq_n_f32(INFINITY), hi = vdupq_n_f32(-INFINITY);
    for (int k = 1; k <= Radius; ++k) {
        for (int dir = 0; dir < 4; ++dir) {
            const float32x4_t a = vld1q_f32(c - k * offset[dir]), b = vld1q_f32(c + k * offset[dir]);
            lo = vminq_f32(lo, vminq_f32(a, b));
            hi = vmaxq_f32(hi, vmaxq_f32(a, b));
        }
    }
    const float32x4_t step = vmaxq_f32(vmulq_f32(d, ratio), minStep);
    uint32x4_t m = vcgtq_f32(d, vdupq_n_f32(0.0f));
    m = vandq_u32(m, vcgtq_f32(vsubq_f32(hi, d), step));
    m = vandq_u32(m, vcgtq_f32(vsubq_f32(d, lo), step));
    static const uint32_t kLaneBits[4] = {1, 2, 4, 8};
    return vaddvq_u32(vandq_u32(m, vld1q_u32(kLaneBits)));
}

// The screen over whole groups of 16 pixels, for one choice of stages;
// returns how many pixels it did.
template <bool Clear, bool Range, bool Amplitude>
size_t screenRun(const Planes& p, const ScreenSettings& s) {
    const size_t n = p.pixels();
    const float32x4_t zero = vdupq_n_f32(0.0f), infinity = vdupq_n_f32(INFINITY);
    const float32x4_t rangeMin = vdupq_n_f32(s.range.minMm), rangeMax = vdupq_n_f32(s.range.maxMm);
    const float32x4_t minAmplitude = vdupq_n_f32(s.amplitude.minAmplitude);
    const uint32x4_t noDepth = vdupq_n_u32(unsigned(InvalidReason::NO_DEPTH));
    const uint32x4_t outOfRange = vdupq_n_u32(unsigned(InvalidReason::OUT_OF_RANGE));
    const uint32x4_t lowSignal = vdupq_n_u32(unsigned(InvalidReason::LOW_SIGNAL));
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        uint32x4_t codes[4];
        for (int q = 0; q < 4; ++q) {
            float* depth = p.depth + i + 4 * q;
            const float32x4_t d = vld1q_f32(depth);
            const uint32x4_t present = vandq_u32(vcgtq_f32(d, zero), vcltq_f32(d, infinity));
            uint32x4_t code = vdupq_n_u32(0);
            if (Amplitude) {
                // Not at least the threshold: below it, or not a number.
                code = vbicq_u32(lowSignal, vcgeq_f32(vld1q_f32(p.amplitude + i + 4 * q), minAmplitude));
            }
            if (Range) code = vbslq_u32(vorrq_u32(vcltq_f32(d, rangeMin), vcgtq_f32(d, rangeMax)), outOfRange, code);
            code = vbslq_u32(present, code, noDepth);
            codes[q] = code;
            if (Clear) {
                const uint32x4_t keep = vceqq_u32(code, vdupq_n_u32(0));
                vst1q_f32(depth, vreinterpretq_f32_u32(vandq_u32(vreinterpretq_u32_f32(d), keep)));
            }
        }
        vst1q_u8(p.invalid + i, packBytes(codes[0], codes[1], codes[2], codes[3]));
    }
    return i;
}

}  // namespace

void spatialRowNeon(const float* previous, float* row, int width, float alpha, float thresholdMm) {
    const float beta = 1.0f - alpha;
    const float32x4_t a = vdupq_n_f32(alpha), b = vdupq_n_f32(beta), t = vdupq_n_f32(thresholdMm);
    const float32x4_t zero = vdupq_n_f32(0.0f);
    int i = 0;
    for (; i + 4 <= width; i += 4) {
        const float32x4_t cur = vld1q_f32(row + i), prev = vld1q_f32(previous + i);
        uint32x4_t m = vandq_u32(vcgtq_f32(cur, zero), vcgtq_f32(prev, zero));
        m = vandq_u32(m, vcltq_f32(vabsq_f32(vsubq_f32(cur, prev)), t));
        const float32x4_t s = vaddq_f32(vmulq_f32(a, cur), vmulq_f32(b, prev));
        vst1q_f32(row + i, vbslq_f32(m, s, cur));
    }
    spatialRowScalar(previous + i, row + i, width - i, alpha, thresholdMm);
}

void screenNeon(const Planes& p, const ScreenSettings& s) {
    screenSpecialised(p, s, [&](auto clear, auto range, auto amplitude) {
        return screenRun<decltype(clear)::value, decltype(range)::value, decltype(amplitude)::value>(p, s);
    });
}

int flyingCandidatesNeon(const float* centre, ptrdiff_t stride, int count, int radius, float minStepMm, float ratio,
                         int32_t* candidates) {
    const float32x4_t minStep = vdupq_n_f32(minStepMm), r = vdupq_n_f32(ratio);
    return flyingCandidatesBy4(centre, stride, count, radius, minStepMm, ratio, candidates,
                               [&](auto radiusOf, const float* c, const ptrdiff_t* offset) {
                                   return flyingMask<decltype(radiusOf)::value>(c, offset, minStep, r);
                               });
}

void temporalAverageNeon(float* depth, float* average, uint8_t* history, size_t count, float alpha, float resetMm) {
    const float32x4_t a = vdupq_n_f32(alpha), b = vdupq_n_f32(1.0f - alpha), reset = vdupq_n_f32(resetMm);
    const float32x4_t zero = vdupq_n_f32(0.0f);
    const uint8x16_t one = vdupq_n_u8(1);
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const uint8x16_t h = vld1q_u8(history + i);
        // Whether each pixel was valid in the previous capture, widened to 32-bit lanes.
        const uint8x16_t was8 = vtstq_u8(h, one);
        const uint16x8_t was16[2] = {vmovl_u8(vget_low_u8(was8)), vmovl_u8(vget_high_u8(was8))};
        uint32x4_t valid[4];
        for (int q = 0; q < 4; ++q) {
            const uint16x4_t half = (q & 1) ? vget_high_u16(was16[q >> 1]) : vget_low_u16(was16[q >> 1]);
            const uint32x4_t wasValid = vtstq_u32(vmovl_u16(half), vdupq_n_u32(1));
            float* dp = depth + i + 4 * q;
            float* ap = average + i + 4 * q;
            const float32x4_t d = vld1q_f32(dp), last = vld1q_f32(ap);
            const uint32x4_t isValid = vcgtq_f32(d, zero);
            const float32x4_t blended = vaddq_f32(vmulq_f32(a, d), vmulq_f32(b, last));
            const uint32x4_t close = vcleq_f32(vabsq_f32(vsubq_f32(d, last)), reset);
            const float32x4_t averaged = vbslq_f32(vandq_u32(wasValid, close), blended, d);
            vst1q_f32(ap, vbslq_f32(isValid, averaged, last));
            vst1q_f32(dp, vbslq_f32(isValid, averaged, d));
            valid[q] = isValid;
        }
        const uint8x16_t now = vandq_u8(packBytes(valid[0], valid[1], valid[2], valid[3]), one);
        vst1q_u8(history + i, vorrq_u8(vshlq_n_u8(h, 1), now));
    }
    temporalAverageScalar(depth + i, average + i, history + i, count - i, alpha, resetMm);
}

}  // namespace detail
}  // namespace filter
}  // namespace Norvane

#endif
