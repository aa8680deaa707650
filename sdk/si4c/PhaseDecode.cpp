#include "sdk/si4c/PhaseDecode.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "sdk/VgaCaptureLayout.h"

namespace Norvane {
namespace si4c {

namespace {

constexpr float kPi = 3.14159265f;
constexpr float kHalfPi = 1.57079633f;
constexpr float kTwoPi = 6.28318531f;
constexpr float kTiny = 1e-30f;

// atan(t) = t * P(t^2) on [0, 1], fitted for float evaluation.
constexpr float kAtan[] = {0.99997705f, -0.33262077f, 0.19353180f, -0.11641089f, 0.05263445f, -0.01171514f};

constexpr uint16_t kSampleMask = 0x0FFF;

constexpr float kSingleRange = float(vga::kSingleRangeMm);
constexpr float kRange0 = float(vga::kDualRangeMm[0]);
constexpr float kRange1 = float(vga::kDualRangeMm[1]);
constexpr float kCombinedRange = float(vga::kDualCombinedRangeMm);
// Unwrap candidates differ by multiples of range0 * range1 / combined
// (750 mm): a residual of half that is the largest possible disagreement.
constexpr float kCandidateSpacing = kRange0 * kRange1 / kCombinedRange;
constexpr float kMaxResidual = kCandidateSpacing / 2.0f;
// Weight of the second frequency when fusing: distance noise grows with
// the range, so each frequency counts with 1 / range^2.
constexpr float kWeight1 = kRange0 * kRange0 / (kRange0 * kRange0 + kRange1 * kRange1);

// Value selects: the std::min/max references get in the way of
// if-conversion in the pixel loops.
inline float minOf(float a, float b) { return b < a ? b : a; }
inline float maxOf(float a, float b) { return a < b ? b : a; }
inline int32_t maxOf(int32_t a, int32_t b) { return a < b ? b : a; }

inline float angle(float y, float x) {
    float ax = std::fabs(x), ay = std::fabs(y);
    float mx = maxOf(ax, ay), mn = minOf(ax, ay);
    float t = mn / maxOf(mx, kTiny);
    float s = t * t;
    float r = t * (kAtan[0] + s * (kAtan[1] + s * (kAtan[2] + s * (kAtan[3] + s * (kAtan[4] + s * kAtan[5])))));
    r = ay > ax ? kHalfPi - r : r;
    r = x < 0.0f ? kPi - r : r;
    r = y < 0.0f ? kTwoPi - r : r;
    return r < kTwoPi ? r : 0.0f;
}

// Residual e modulo range1, into [-range1 / 2, range1 / 2); valid for
// e >= -2.5 range1, which covers every candidate difference.
inline float wrapResidual(float e) {
    float k = float(int32_t(e * (1.0f / kRange1) + 2.5f)) - 2.0f;
    return e - k * kRange1;
}

inline float unwrap(float d0, float d1, float* agreement) {
    float best = d0;
    float residual = wrapResidual(d0 - d1);
    for (int n = 1; n < int(kCombinedRange / kRange0); ++n) {
        float candidate = d0 + float(n) * kRange0;
        float e = wrapResidual(candidate - d1);
        bool better = std::fabs(e) < std::fabs(residual);
        best = better ? candidate : best;
        residual = better ? e : residual;
    }
    float fused = best - residual * kWeight1;
    fused = fused < 0.0f ? fused + kCombinedRange : fused;
    fused = fused >= kCombinedRange ? fused - kCombinedRange : fused;
    *agreement = maxOf(0.0f, 1.0f - std::fabs(residual) / kMaxResidual);
    return fused;
}

// Little-endian 16-bit sample, whatever the host's byte order.
inline uint16_t loadRaw(const uint8_t* row, int column) {
    const uint8_t* p = row + 2 * column;
    return uint16_t(p[0] | (p[1] << 8));
}

inline int32_t loadSample(const uint8_t* row, int column) { return int32_t(loadRaw(row, column) & kSampleMask); }

// One depth row of one frequency's four phase sub-frames.
struct PhaseRows {
    const uint8_t* p0;
    const uint8_t* p1;
    const uint8_t* p2;
    const uint8_t* p3;
};

PhaseRows phaseRows(const uint8_t* capture, int width, int height, int frequency, int row) {
    auto rowOf = [&](int phase) {
        int subFrame = frequency * vga::kSubFramesPerFrequency + phase;
        return capture + vga::rowOffset(width, height, subFrame, row + vga::kMetadataRows) * 2;
    };
    return PhaseRows{rowOf(0), rowOf(1), rowOf(2), rowOf(3)};
}

struct FrequencyPixel {
    float distance;
    float amplitude;
    float contrast;
    int32_t saturated;  // 0 or 1
};

inline FrequencyPixel decodePixel(int32_t p0, int32_t p1, int32_t p2, int32_t p3, float range) {
    float y = float(p1 - p3), x = float(p0 - p2);
    FrequencyPixel px;
    px.distance = angle(y, x) * (range / kTwoPi);
    px.amplitude = 0.5f * std::sqrt(x * x + y * y);
    float mean = float(p0 + p1 + p2 + p3) * 0.25f;
    px.contrast = minOf(px.amplitude / maxOf(mean, kTiny), 1.0f);
    px.saturated = int32_t(maxOf(maxOf(p0, p1), maxOf(p2, p3)) >= int32_t(vga::kSampleMax));
    return px;
}

// Bitwise rather than logical operators keep the pixel loops free of
// branches; a NaN depth fails both comparisons.
inline void store(float distance, float amplitude, float confidence, int32_t saturated, float offset,
                  DecodeLimits limits, float* depth, float* amp, float* conf) {
    float d = distance - offset;
    int32_t valid = (saturated ^ 1) & int32_t(d >= limits.validMin) & int32_t(d <= limits.validMax);
    *depth = valid ? d : 0.0f;
    *amp = amplitude;
    *conf = valid ? confidence : 0.0f;
}

// One output row. Every pointer is a parameter marked restrict, so the
// compiler needs no overlap checks between the capture and the planes;
// kept out of line, where the restrict promises survive.
template <bool kCalibrated>
__attribute__((noinline)) void decodeSingleRow(const uint8_t* __restrict p0, const uint8_t* __restrict p1,
                                               const uint8_t* __restrict p2, const uint8_t* __restrict p3,
                                               const float* __restrict cal, int width, DecodeLimits limits,
                                               float* __restrict d, float* __restrict a, float* __restrict k) {
    for (int c = 0; c < width; ++c) {
        FrequencyPixel px =
            decodePixel(loadSample(p0, c), loadSample(p1, c), loadSample(p2, c), loadSample(p3, c), kSingleRange);
        store(px.distance, px.amplitude, px.contrast, px.saturated, kCalibrated ? cal[c] : 0.0f, limits, &d[c], &a[c],
              &k[c]);
    }
}

template <bool kCalibrated>
__attribute__((noinline)) void decodeDualRow(const uint8_t* __restrict p0, const uint8_t* __restrict p1,
                                             const uint8_t* __restrict p2, const uint8_t* __restrict p3,
                                             const uint8_t* __restrict q0, const uint8_t* __restrict q1,
                                             const uint8_t* __restrict q2, const uint8_t* __restrict q3,
                                             const float* __restrict cal, int width, DecodeLimits limits,
                                             float* __restrict d, float* __restrict a, float* __restrict k) {
    for (int c = 0; c < width; ++c) {
        FrequencyPixel f0 =
            decodePixel(loadSample(p0, c), loadSample(p1, c), loadSample(p2, c), loadSample(p3, c), kRange0);
        FrequencyPixel f1 =
            decodePixel(loadSample(q0, c), loadSample(q1, c), loadSample(q2, c), loadSample(q3, c), kRange1);
        float agreement;
        float fused = unwrap(f0.distance, f1.distance, &agreement);
        float conf = minOf(f0.contrast, f1.contrast) * agreement;
        store(fused, 0.5f * (f0.amplitude + f1.amplitude), conf, f0.saturated | f1.saturated,
              kCalibrated ? cal[c] : 0.0f, limits, &d[c], &a[c], &k[c]);
    }
}

template <bool kCalibrated>
void decodeRows(const uint8_t* capture, int width, int height, bool dual, const float* calibration, DecodeLimits limits,
                float* depth, float* amplitude, float* confidence) {
    for (int r = 0; r < height; ++r) {
        const size_t base = size_t(r) * size_t(width);
        const float* cal = kCalibrated ? calibration + base : nullptr;
        const PhaseRows rows0 = phaseRows(capture, width, height, 0, r);
        if (dual) {
            const PhaseRows rows1 = phaseRows(capture, width, height, 1, r);
            decodeDualRow<kCalibrated>(rows0.p0, rows0.p1, rows0.p2, rows0.p3, rows1.p0, rows1.p1, rows1.p2, rows1.p3,
                                       cal, width, limits, depth + base, amplitude + base, confidence + base);
        } else {
            decodeSingleRow<kCalibrated>(rows0.p0, rows0.p1, rows0.p2, rows0.p3, cal, width, limits, depth + base,
                                         amplitude + base, confidence + base);
        }
    }
}

}  // namespace

float phaseAngle(float y, float x) { return angle(y, x); }

float unwrapDual(float d0, float d1, float* agreement) { return unwrap(d0, d1, agreement); }

// The grey sub-frame follows the four phases, so a sub-frame's phase index
// is its position within its frequency.
static_assert(vga::kGreyPhaseIndex == vga::kPhasesPerFrequency, "grey sub-frame after the phases");

bool layoutMatches(const uint8_t* capture, int width, int height, bool dual) {
    if (width <= vga::kMetaPhase) return false;
    const int subFrames = vga::kSubFramesPerFrequency * vga::frequencies(dual);
    for (int s = 0; s < subFrames; ++s) {
        const uint8_t* meta = capture + vga::rowOffset(width, height, s, 0) * 2;
        if (loadRaw(meta, vga::kMetaSubFrame) != s) return false;
        if (loadRaw(meta, vga::kMetaFrequency) != s / vga::kSubFramesPerFrequency) return false;
        if (loadRaw(meta, vga::kMetaPhase) != s % vga::kSubFramesPerFrequency) return false;
    }
    return true;
}

void decodeCapture(const uint8_t* capture, int width, int height, bool dual, const float* calibration,
                   DecodeLimits limits, float* depth, float* amplitude, float* confidence) {
    if (calibration)
        decodeRows<true>(capture, width, height, dual, calibration, limits, depth, amplitude, confidence);
    else
        decodeRows<false>(capture, width, height, dual, nullptr, limits, depth, amplitude, confidence);
}

}  // namespace si4c
}  // namespace Norvane
