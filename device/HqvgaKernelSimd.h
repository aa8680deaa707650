// Shared pieces of the vectorized HQVGA decodes.
//
// The vector paths work on the unscaled phase differences y' = y / 16 and
// x' = x / 16 (|y'|, |x'| <= 2047, exact in 16-bit lanes):
//   - amplitude: 0.5 * sqrt(y^2 + x^2) = sqrt(64 n) with n = y'^2 + x'^2 < 2^24,
//     and a float square root of 64 n rounds exactly as the double one rounded to
//     float (53 >= 2 * 24 + 2), so the float result matches the reference bit for bit;
//   - phase: atan2 in double through one division and a polynomial, with the
//     octant folded in as a multiple of pi / 4. Where the double estimate lies
//     too close to a float rounding boundary to round safely, the pixel's phase
//     is recomputed with the reference arithmetic, so every phase rounds as the
//     reference's does.
#pragma once

#include <cstdint>

#include "device/HqvgaKernel.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define NORVANE_HQVGA_X86 1
#endif
#if defined(__aarch64__) && defined(__ARM_NEON) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define NORVANE_HQVGA_NEON 1
#endif

namespace Norvane {
namespace hqvga {
namespace detail {

// atan(u) = u + u s Q(s), s = u^2, for |u| <= tan(pi / 8): coefficients of Q,
// constant term first (relative error below 2^-43).
constexpr int kAtanTerms = 8;
constexpr double kAtanQ[kAtanTerms] = {
    -0.33333333333266146, 0.19999999949822453, -0.1428570810699188,  0.11110819586603747,
    -0.09084099522493076, 0.07604778003555679, -0.06027206570111165, 0.03295499114305327,
};
constexpr double kQuarterPi = 0.78539816339744830962;

// tan(pi / 8) in 16-bit fixed point: the reduced octant starts where
// min(|x|, |y|) exceeds max(|x|, |y|) * kTanPi8Q16 / 2^16.
constexpr int16_t kTanPi8Q16 = 27146;

// Relative error bound assumed for the double estimate (its own error and the
// reference's are both far below it).
constexpr double kPhaseMargin = 0x1p-40;
constexpr double kPhaseLow = 1.0 - kPhaseMargin;
constexpr double kPhaseHigh = 1.0 + kPhaseMargin;

// The same bound on the bit pattern: rounding a double to float drops its low
// 29 mantissa bits and goes up from 2^28 on. A phase is unsafe when those bits
// lie within kPhaseSlack (the margin in double ulps) of 2^28.
constexpr int kDroppedBits = 52 - 23;
constexpr uint64_t kDroppedMask = (uint64_t(1) << kDroppedBits) - 1;
constexpr uint64_t kRoundingPoint = uint64_t(1) << (kDroppedBits - 1);
constexpr uint64_t kPhaseSlack = uint64_t(kPhaseMargin * 0x1p53);
static_assert(kPhaseSlack == 8192, "margin in double ulps");

// 0.5 * 16 * sqrt(n) = sqrt(64 n), and 64 n is still exact in a float.
constexpr int kAmplitudeShift = 6;

// A sample is the low 11 bits of a 16-bit word: shifting left by kSignShift
// and back arithmetically sign-extends it; shifting back by kSignShift -
// kScaleBits also multiplies it by 16.
constexpr int kSignShift = 16 - kSampleBits;
constexpr int kScaleBits = 4;
static_assert(kSampleScale == 1 << kScaleBits, "the scale is a shift");

// The four phase planes a range reads, as y = ya - yb, x = xa - xb.
struct PhasePlanes {
    const uint8_t* ya;
    const uint8_t* yb;
    const uint8_t* xa;
    const uint8_t* xb;
};

inline PhasePlanes phasePlanes(const uint8_t* capture, bool shortRange) {
    const uint8_t* p[kPhases];
    for (int k = 0; k < kPhases; ++k) p[k] = capture + size_t(k) * kPhaseBytes;
    if (shortRange) return {p[1], p[3], p[2], p[0]};
    return {p[2], p[0], p[3], p[1]};
}

inline unsigned clampedShift(unsigned shift) { return shift < kMaxShift ? shift : kMaxShift; }

// Recomputes with the reference arithmetic the phases whose bit is set in mask.
inline void refinePhases(unsigned mask, const int16_t* yd, const int16_t* xd, float* phi) {
    while (mask) {
        int i = __builtin_ctz(mask);
        phi[i] = phaseReference(kSampleScale * yd[i], kSampleScale * xd[i]);
        mask &= mask - 1;
    }
}

#if NORVANE_HQVGA_X86
void decodeSse2(const uint8_t* capture, const DecodeParams& params, float* depth, float* amplitude, float* confidence);
void interleaveSse2(const uint8_t* capture, unsigned shift, int16_t* raw);
bool cpuHasAvx2();
void decodeAvx2(const uint8_t* capture, const DecodeParams& params, float* depth, float* amplitude, float* confidence);
void interleaveAvx2(const uint8_t* capture, unsigned shift, int16_t* raw);
bool cpuHasAvx512();
void decodeAvx512(const uint8_t* capture, const DecodeParams& params, float* depth, float* amplitude,
                  float* confidence);
#endif
#if NORVANE_HQVGA_NEON
void decodeNeon(const uint8_t* capture, const DecodeParams& params, float* depth, float* amplitude, float* confidence);
void interleaveNeon(const uint8_t* capture, unsigned shift, int16_t* raw);
#endif

}  // namespace detail
}  // namespace hqvga
}  // namespace Norvane
