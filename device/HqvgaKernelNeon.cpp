// NEON decode for aarch64 (Advanced SIMD with double lanes is part of every
// aarch64 CPU).
#include "device/HqvgaKernelSimd.h"

#if NORVANE_HQVGA_NEON

#include <arm_neon.h>

namespace Norvane {
namespace hqvga {
namespace detail {
namespace {

constexpr int kLanes = 8;
static_assert(kPixels % kLanes == 0 && kWidth % kLanes == 0, "the vector loops have no tail");

// tan(pi / 8) for the doubling high multiply: (2 a b) >> 16.
constexpr int16_t kTanPi8Doubling = kTanPi8Q16 / 2;
static_assert(kTanPi8Q16 % 2 == 0, "the doubling multiply needs an even constant");

inline int16x8_t negateWhere(int16x8_t v, uint16x8_t mask) {
    int16x8_t m = vreinterpretq_s16_u16(mask);
    return vsubq_s16(veorq_s16(v, m), m);
}

// Shifted samples of 8 pixels; the low 11 bits sign-extended, times 2^scaleBits.
template <int kScale>
inline int16x8_t samples(const uint8_t* p, int16x8_t negShift) {
    uint16x8_t v = vshlq_u16(vreinterpretq_u16_u8(vld1q_u8(p)), negShift);
    return vshrq_n_s16(vshlq_n_s16(vreinterpretq_s16_u16(v), kSignShift), kSignShift - kScale);
}

struct Octant {
    int16x8_t num;
    int16x8_t den;
    int16x8_t turns;
};

inline Octant octant(int16x8_t yd, int16x8_t xd) {
    int16x8_t ax = vabsq_s16(xd);
    int16x8_t ay = vabsq_s16(yd);
    int16x8_t mn = vminq_s16(ax, ay);
    int16x8_t mx = vmaxq_s16(ax, ay);
    uint16x8_t big = vcgtq_s16(mn, vqdmulhq_n_s16(mx, kTanPi8Doubling));
    uint16x8_t swap = vcgtq_s16(ay, ax);
    uint16x8_t xneg = vcltzq_s16(xd);
    uint16x8_t yneg = vcltzq_s16(yd);
    int16x8_t bigs = vreinterpretq_s16_u16(big);
    int16x8_t num = vsubq_s16(mn, vandq_s16(bigs, mx));
    int16x8_t den = vmaxq_s16(vaddq_s16(mx, vandq_s16(bigs, mn)), vdupq_n_s16(1));
    // Quarter turns before the reduced angle: 2 when |y| > |x|, else 4 when x < 0.
    uint16x8_t turnsU = vorrq_u16(vandq_u16(swap, vdupq_n_u16(2)), vbicq_u16(vandq_u16(xneg, vdupq_n_u16(4)), swap));
    uint16x8_t back = veorq_u16(swap, xneg);  // the reduced angle counts backwards
    int16x8_t turns = vaddq_s16(vreinterpretq_s16_u16(turnsU), negateWhere(vnegq_s16(bigs), back));
    return {negateWhere(num, veorq_u16(back, yneg)), den, negateWhere(turns, yneg)};
}

// 8 signed 16-bit lanes as four pairs of doubles (exact through float).
inline void toDoubles(int16x8_t v, float64x2_t out[4]) {
    float32x4_t lo = vcvtq_f32_s32(vmovl_s16(vget_low_s16(v)));
    float32x4_t hi = vcvtq_f32_s32(vmovl_high_s16(v));
    out[0] = vcvt_f64_f32(vget_low_f32(lo));
    out[1] = vcvt_high_f64_f32(lo);
    out[2] = vcvt_f64_f32(vget_low_f32(hi));
    out[3] = vcvt_high_f64_f32(hi);
}

inline float64x2_t phase(float64x2_t num, float64x2_t den, float64x2_t turns) {
    float64x2_t u = vdivq_f64(num, den);
    float64x2_t s = vmulq_f64(u, u);
    float64x2_t q = vdupq_n_f64(kAtanQ[kAtanTerms - 1]);
#pragma GCC unroll 16
    for (int j = kAtanTerms - 2; j >= 0; --j) q = vfmaq_f64(vdupq_n_f64(kAtanQ[j]), q, s);
    float64x2_t a = vfmaq_f64(u, vmulq_f64(u, s), q);
    return vfmaq_f64(a, turns, vdupq_n_f64(kQuarterPi));
}

inline float32x4_t toFloats(float64x2_t a, float64x2_t b) { return vcvt_high_f32_f64(vcvt_f32_f64(a), b); }

// Lanes of a and b whose margin interval does not round to a single float (all ones).
inline uint32x4_t unsafeLanes(float64x2_t a, float64x2_t b) {
    const float64x2_t lo = vdupq_n_f64(kPhaseLow), hi = vdupq_n_f64(kPhaseHigh);
    float32x4_t l = toFloats(vmulq_f64(a, lo), vmulq_f64(b, lo));
    float32x4_t h = toFloats(vmulq_f64(a, hi), vmulq_f64(b, hi));
    return vmvnq_u32(vceqq_f32(l, h));
}

inline unsigned laneBits(uint32x4_t m) {
    unsigned bits = 0;
    bits |= (vgetq_lane_u32(m, 0) & 1u) << 0;
    bits |= (vgetq_lane_u32(m, 1) & 1u) << 1;
    bits |= (vgetq_lane_u32(m, 2) & 1u) << 2;
    bits |= (vgetq_lane_u32(m, 3) & 1u) << 3;
    return bits;
}

inline float32x4_t depthOf(float32x4_t phi, float32x4_t scale) {
    phi = vbslq_f32(vcltzq_f32(phi), vaddq_f32(phi, vdupq_n_f32(kTwoPi)), phi);
    return vmulq_f32(vmulq_f32(scale, phi), vdupq_n_f32(kMillimetresPerMetre));
}

inline float32x4_t amplitudeOf(int16x4_t x, int16x4_t y) {
    int32x4_t n = vmlal_s16(vmull_s16(x, x), y, y);
    return vsqrtq_f32(vcvtq_f32_s32(vshlq_n_s32(n, kAmplitudeShift)));
}

}  // namespace

void decodeNeon(const uint8_t* capture, const DecodeParams& params, float* depth, float* amplitude, float* confidence) {
    const PhasePlanes pl = phasePlanes(capture, params.shortRange);
    const int16x8_t negShift = vdupq_n_s16(int16_t(-int(clampedShift(params.shift))));
    const float32x4_t scale = vdupq_n_f32(depthScale(params.modulationHz));
    for (int i = 0; i < kPixels; i += kLanes) {
        const size_t at = size_t(i) * 2;
        int16x8_t yd = vsubq_s16(samples<0>(pl.ya + at, negShift), samples<0>(pl.yb + at, negShift));
        int16x8_t xd = vsubq_s16(samples<0>(pl.xa + at, negShift), samples<0>(pl.xb + at, negShift));
        Octant o = octant(yd, xd);
        float64x2_t num[4], den[4], turns[4], r[4];
        toDoubles(o.num, num);
        toDoubles(o.den, den);
        toDoubles(o.turns, turns);
        for (int g = 0; g < 4; ++g) r[g] = phase(num[g], den[g], turns[g]);
        float32x4_t phi0 = toFloats(r[0], r[1]);
        float32x4_t phi1 = toFloats(r[2], r[3]);
        uint32x4_t u0 = unsafeLanes(r[0], r[1]);
        uint32x4_t u1 = unsafeLanes(r[2], r[3]);
        if (__builtin_expect(vmaxvq_u32(vorrq_u32(u0, u1)) != 0, 0)) {
            int16_t ys[kLanes], xs[kLanes];
            float ph[kLanes];
            vst1q_s16(ys, yd);
            vst1q_s16(xs, xd);
            vst1q_f32(ph, phi0);
            vst1q_f32(ph + 4, phi1);
            refinePhases(laneBits(u0) | (laneBits(u1) << 4), ys, xs, ph);
            phi0 = vld1q_f32(ph);
            phi1 = vld1q_f32(ph + 4);
        }
        vst1q_f32(depth + i, depthOf(phi0, scale));
        vst1q_f32(depth + i + 4, depthOf(phi1, scale));
        float32x4_t a0 = amplitudeOf(vget_low_s16(xd), vget_low_s16(yd));
        float32x4_t a1 = amplitudeOf(vget_high_s16(xd), vget_high_s16(yd));
        vst1q_f32(amplitude + i, a0);
        vst1q_f32(amplitude + i + 4, a1);
        vst1q_f32(confidence + i, a0);
        vst1q_f32(confidence + i + 4, a1);
    }
}

void interleaveNeon(const uint8_t* capture, unsigned shift, int16_t* raw) {
    const int16x8_t negShift = vdupq_n_s16(int16_t(-int(clampedShift(shift))));
    for (int r = 0; r < kHeight; ++r) {
        for (int k = 0; k < kPhases; ++k) {
            const uint8_t* in = capture + size_t(k) * kPhaseBytes + size_t(r) * kWidth * 2;
            int16_t* out = raw + size_t(4 * r + k) * kWidth;
            for (int c = 0; c < kWidth; c += kLanes) vst1q_s16(out + c, samples<kScaleBits>(in + 2 * c, negShift));
        }
    }
}

}  // namespace detail
}  // namespace hqvga
}  // namespace Norvane

#endif  // NORVANE_HQVGA_NEON
