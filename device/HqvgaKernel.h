// Per-pixel arithmetic of the 240 x 180 four-phase sensor.
//
// A capture is four phase frames P0..P3 of 240 x 180 little-endian 16-bit
// samples, back to back. Each sample is shifted right by the board's shift,
// its low 11 bits read as a signed number and scaled by 16.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace Norvane {
namespace hqvga {

constexpr int kWidth = 240;
constexpr int kHeight = 180;
constexpr int kPhases = 4;
constexpr int kPixels = kWidth * kHeight;                // 43 200
constexpr size_t kPhaseBytes = size_t(kPixels) * 2;      // 86 400
constexpr size_t kCaptureBytes = kPhaseBytes * kPhases;  // 345 600
constexpr int kRawHeight = kHeight * kPhases;            // 720

constexpr float kShortRangeHz = 75000000.0f;  // RANGE 2000
constexpr float kLongRangeHz = 37500000.0f;   // RANGE 4000
constexpr int kShortRangeMm = 2000;

constexpr float kTwoPi = 6.2831855f;     // 2 pi as the nearest float
constexpr float kFourPi = 12.566371f;    // 4 pi as the nearest float
constexpr float kSpeedOfLight = 3.0e8f;  // m/s
constexpr float kMillimetresPerMetre = 1000.0f;

// Settings one decode runs with, read once per capture.
struct DecodeParams {
    float modulationHz;
    bool shortRange;  // RANGE 2000: y = S1 - S3, x = S2 - S0; else y = S2 - S0, x = S3 - S1
    unsigned shift;
};

// A sample is the low 11 bits of the shifted word, two's complement.
constexpr int kSampleBits = 11;
constexpr uint32_t kSampleMask = (1u << kSampleBits) - 1;
constexpr uint32_t kSampleSign = 1u << (kSampleBits - 1);
constexpr int32_t kSampleScale = 16;

// Shifts past the sample width leave nothing of it.
constexpr unsigned kMaxShift = 16;

// Scaled sample S = 16 * s of a raw 16-bit sample.
inline int32_t scaledSample(uint16_t raw, unsigned shift) {
    uint32_t v = shift < kMaxShift ? uint32_t(raw) >> shift : 0u;
    int32_t s = int32_t((v & kSampleMask) ^ kSampleSign) - int32_t(kSampleSign);
    return s * kSampleScale;
}

inline uint16_t loadSample(const uint8_t* capture, int phase, int pixel) {
    uint16_t u;
    std::memcpy(&u, capture + size_t(phase) * kPhaseBytes + size_t(pixel) * 2, 2);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    u = uint16_t((u >> 8) | (u << 8));
#endif
    return u;
}

// Millimetres per radian for a modulation frequency, in float arithmetic
// exactly as the depth expression orders it.
inline float depthScale(float modulationHz) { return kSpeedOfLight / (modulationHz * kFourPi); }

// Phase angle in [-pi, pi] of the phase differences: double atan2 rounded to float.
float phaseReference(int32_t y, int32_t x);

// Depth in millimetres of a phase angle; a negative angle is moved into [0, 2 pi) first.
inline float depthFromPhase(float phi, float scale) {
    if (phi < 0.0f) phi = phi + kTwoPi;
    return (scale * phi) * kMillimetresPerMetre;
}

// Amplitude of the phase differences: 0.5 * sqrt(x^2 + y^2) in double, rounded to float.
float amplitudeReference(int32_t y, int32_t x);

// The reference arithmetic for one pixel from its phase differences.
void decodePixelReference(int32_t y, int32_t x, float scale, float* depth, float* amplitude);

// Reference decode of one capture (double atan2 and sqrt per pixel).
void decodeDepthScalar(const uint8_t* capture, const DecodeParams& params, float* depth, float* amplitude,
                       float* confidence);

// The decode the device uses: the fastest routine this CPU supports, which
// agrees with the reference to within one unit in the last place.
void decodeDepth(const uint8_t* capture, const DecodeParams& params, float* depth, float* amplitude, float* confidence);

// 240 x 720 raw image: output row 4r + k is row r of phase frame k.
void interleaveRaw(const uint8_t* capture, unsigned shift, int16_t* raw);

// Reference raw image (one sample at a time).
void interleaveRawScalar(const uint8_t* capture, unsigned shift, int16_t* raw);

using DecodeFn = void (*)(const uint8_t* capture, const DecodeParams& params, float* depth, float* amplitude,
                          float* confidence);
using InterleaveFn = void (*)(const uint8_t* capture, unsigned shift, int16_t* raw);

// One implementation of the two capture operations.
struct KernelVariant {
    const char* name;  // "scalar", "sse2", "avx2", "avx512", "neon"
    DecodeFn decode;
    InterleaveFn interleave;
};

// A fixed list of variants, iterable with range-for.
struct KernelList {
    const KernelVariant* first;
    size_t count;
    const KernelVariant* begin() const { return first; }
    const KernelVariant* end() const { return first + count; }
    size_t size() const { return count; }
    const KernelVariant& back() const { return first[count - 1]; }
};

// The implementations built in that this CPU can run: the reference first,
// the fastest last.
KernelList availableKernels();

// The implementation decodeDepth and interleaveRaw use (the fastest available).
const KernelVariant& activeKernel();

}  // namespace hqvga
}  // namespace Norvane
