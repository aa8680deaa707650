#include "device/HqvgaKernelCheck.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace Norvane {
namespace hqvga {

namespace {

constexpr int kSampleMin = -1024;
constexpr int kSampleMax = 1023;
constexpr unsigned kSampleMask = 0x7FF;
constexpr int kSampleBits = 11;
constexpr unsigned kShifts[2] = {0, 4};  // every board's shift

struct Rng {  // splitmix64: fast, and the same sequence on every machine
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int inRange(int lo, int hi) { return lo + int(next() % uint64_t(hi - lo + 1)); }
};

struct Range {
    float modulationHz;
    bool shortRange;
    int ya, yb, xa, xb;  // phase frames of y = S[ya] - S[yb], x = S[xa] - S[xb]
};

constexpr Range kRanges[2] = {
    {kShortRangeHz, true, 1, 3, 2, 0},
    {kLongRangeHz, false, 2, 0, 3, 1},
};

// A raw word whose sample, after `shift`, is s; every other bit is random.
uint16_t encodeSample(int s, unsigned shift, Rng& rng) {
    uint32_t noise = uint32_t(rng.next());
    uint32_t v = (uint32_t(s) & kSampleMask) | ((noise >> 16) << kSampleBits);
    uint32_t low = shift ? noise & ((1u << shift) - 1) : 0;
    return uint16_t((v << shift) | low);
}

void storeSample(uint8_t* capture, int phase, int pixel, uint16_t u) {
    uint8_t* p = capture + size_t(phase) * kPhaseBytes + size_t(pixel) * 2;
    p[0] = uint8_t(u & 0xFF);
    p[1] = uint8_t(u >> 8);
}

// Samples a and b in range with a - b = d, chosen at random.
void splitDifference(int d, Rng& rng, int* a, int* b) {
    *b = rng.inRange(std::max(kSampleMin, kSampleMin - d), std::min(kSampleMax, kSampleMax - d));
    *a = *b + d;
}

}  // namespace

uint32_t ulpDistance(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) return (std::isnan(a) && std::isnan(b)) ? 0 : UINT32_MAX;
    int32_t ia, ib;
    std::memcpy(&ia, &a, sizeof ia);
    std::memcpy(&ib, &b, sizeof ib);
    // Map the sign-magnitude bit patterns onto one ordered line.
    int64_t oa = ia < 0 ? int64_t(std::numeric_limits<int32_t>::min()) - ia : ia;
    int64_t ob = ib < 0 ? int64_t(std::numeric_limits<int32_t>::min()) - ib : ib;
    int64_t d = oa > ob ? oa - ob : ob - oa;
    return d > int64_t(UINT32_MAX) ? UINT32_MAX : uint32_t(d);
}

KernelAgreement compareWithReference(DecodeFn decode, unsigned stride) {
    if (stride == 0) stride = 1;
    KernelAgreement result;
    std::vector<uint8_t> capture(kCaptureBytes);
    std::vector<float> depth(kPixels), amplitude(kPixels), confidence(kPixels);
    std::vector<int16_t> yd(kPixels), xd(kPixels);
    std::vector<float> phiRef(kPixels), ampRef(kPixels);
    std::vector<uint8_t> mismatch(kPixels);
    const float scales[2] = {depthScale(kRanges[0].modulationHz), depthScale(kRanges[1].modulationHz)};
    Rng rng{0x5EED0F0A11BA1125ull};

    uint64_t block = 0;
    for (uint64_t p = 0; p < kDifferencePairs; ++block) {
        int n = 0;
        for (; n < kPixels && p < kDifferencePairs; ++n, p += stride) {
            yd[n] = int16_t(int(p / kDifferenceValues) - kMaxUnscaledDifference);
            xd[n] = int16_t(int(p % kDifferenceValues) - kMaxUnscaledDifference);
            phiRef[n] = phaseReference(16 * yd[n], 16 * xd[n]);
            ampRef[n] = amplitudeReference(16 * yd[n], 16 * xd[n]);
            mismatch[n] = 0;
        }
        for (int i = n; i < kPixels; ++i) yd[i] = xd[i] = 0;  // padding, not compared

        for (int r = 0; r < 2; ++r) {
            const Range& range = kRanges[r];
            const unsigned shift = kShifts[(block + r) % 2];
            for (int i = 0; i < kPixels; ++i) {
                int s[kPhases];
                splitDifference(yd[i], rng, &s[range.ya], &s[range.yb]);
                splitDifference(xd[i], rng, &s[range.xa], &s[range.xb]);
                for (int k = 0; k < kPhases; ++k) storeSample(capture.data(), k, i, encodeSample(s[k], shift, rng));
            }
            DecodeParams params{range.modulationHz, range.shortRange, shift};
            decode(capture.data(), params, depth.data(), amplitude.data(), confidence.data());
            for (int i = 0; i < n; ++i) {
                float dRef = depthFromPhase(phiRef[i], scales[r]);
                uint32_t du = ulpDistance(depth[i], dRef);
                uint32_t au = ulpDistance(amplitude[i], ampRef[i]);
                result.maxUlpDepth = std::max(result.maxUlpDepth, du);
                result.maxUlpAmplitude = std::max(result.maxUlpAmplitude, au);
                if (std::memcmp(&confidence[i], &amplitude[i], sizeof(float)) != 0) result.confidenceIsAmplitude = false;
                if (std::memcmp(&depth[i], &dRef, sizeof(float)) != 0 ||
                    std::memcmp(&amplitude[i], &ampRef[i], sizeof(float)) != 0)
                    mismatch[i] = 1;
            }
        }
        for (int i = 0; i < n; ++i) result.mismatchPairs += mismatch[i];
        result.pairs += uint64_t(n);
    }
    return result;
}

}  // namespace hqvga
}  // namespace Norvane
