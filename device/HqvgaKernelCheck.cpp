#include "device/HqvgaKernelCheck.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace Norvane {
namespace hqvga {

namespace {

constexpr int kSampleMin = -int(kSampleSign);
constexpr int kSampleMax = int(kSampleSign) - 1;
constexpr unsigned kShifts[2] = {0, 4};  // every board's shift

struct Rng {  // splitmix64: fast, and the same sequence on every machine
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};

// Takes random bits from one 64-bit draw.
struct Bits {
    uint64_t v;
    unsigned take(int n) {
        unsigned r = unsigned(v & ((uint64_t(1) << n) - 1));
        v >>= n;
        return r;
    }
};

constexpr int kChoiceBits = 11;               // resolution of the random split of a difference
constexpr int kSpareBits = 16 - kSampleBits;  // bits around the sample in a raw word

struct Range {
    float modulationHz;
    bool shortRange;
    int ya, yb, xa, xb;  // phase frames of y = S[ya] - S[yb], x = S[xa] - S[xb]
};

constexpr Range kRanges[2] = {
    {kShortRangeHz, true, 1, 3, 2, 0},
    {kLongRangeHz, false, 2, 0, 3, 1},
};

// A raw word whose sample, after `shift`, is s; the other bits are random.
uint16_t encodeSample(int s, unsigned shift, unsigned spare) {
    uint32_t low = spare & ((1u << shift) - 1);
    uint32_t high = spare >> shift;
    uint32_t v = (uint32_t(s) & kSampleMask) | (high << kSampleBits);
    return uint16_t((v << shift) | low);
}

void storeSample(uint8_t* capture, int phase, int pixel, uint16_t u) {
    uint8_t* p = capture + size_t(phase) * kPhaseBytes + size_t(pixel) * 2;
    p[0] = uint8_t(u & 0xFF);
    p[1] = uint8_t(u >> 8);
}

// Samples a and b in range with a - b = d, chosen at random.
void splitDifference(int d, unsigned choice, int* a, int* b) {
    int lo = std::max(kSampleMin, kSampleMin - d), hi = std::min(kSampleMax, kSampleMax - d);
    *b = lo + int((uint32_t(hi - lo + 1) * choice) >> kChoiceBits);
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

void compareWithReference(const DecodeFn* decodes, size_t count, unsigned stride, KernelAgreement* results) {
    if (stride == 0) stride = 1;
    for (size_t f = 0; f < count; ++f) results[f] = KernelAgreement{};
    std::vector<uint8_t> capture(kCaptureBytes);
    std::vector<float> depth(kPixels), amplitude(kPixels), confidence(kPixels);
    std::vector<int16_t> yd(kPixels), xd(kPixels);
    std::vector<float> phiRef(kPixels), ampRef(kPixels);
    std::vector<uint8_t> mismatch(kPixels * count);
    const float scales[2] = {depthScale(kRanges[0].modulationHz), depthScale(kRanges[1].modulationHz)};
    Rng rng{0x5EED0F0A11BA1125ull};

    uint64_t block = 0;
    for (uint64_t p = 0; p < kDifferencePairs; ++block) {
        int n = 0;
        for (; n < kPixels && p < kDifferencePairs; ++n, p += stride) {
            yd[n] = int16_t(int(p / kDifferenceValues) - kMaxUnscaledDifference);
            xd[n] = int16_t(int(p % kDifferenceValues) - kMaxUnscaledDifference);
            phiRef[n] = phaseReference(kSampleScale * yd[n], kSampleScale * xd[n]);
            ampRef[n] = amplitudeReference(kSampleScale * yd[n], kSampleScale * xd[n]);
        }
        for (int i = n; i < kPixels; ++i) yd[i] = xd[i] = 0;  // padding, not compared
        std::fill(mismatch.begin(), mismatch.end(), 0);

        for (int r = 0; r < 2; ++r) {
            const Range& range = kRanges[r];
            const unsigned shift = kShifts[(block + r) % 2];
            for (int i = 0; i < kPixels; ++i) {
                Bits bits{rng.next()};
                int s[kPhases];
                splitDifference(yd[i], bits.take(kChoiceBits), &s[range.ya], &s[range.yb]);
                splitDifference(xd[i], bits.take(kChoiceBits), &s[range.xa], &s[range.xb]);
                for (int k = 0; k < kPhases; ++k)
                    storeSample(capture.data(), k, i, encodeSample(s[k], shift, bits.take(kSpareBits)));
            }
            const DecodeParams params{range.modulationHz, range.shortRange, shift};
            for (size_t f = 0; f < count; ++f) {
                decodes[f](capture.data(), params, depth.data(), amplitude.data(), confidence.data());
                KernelAgreement& res = results[f];
                uint8_t* miss = mismatch.data() + f * kPixels;
                for (int i = 0; i < n; ++i) {
                    float dRef = depthFromPhase(phiRef[i], scales[r]);
                    res.maxUlpDepth = std::max(res.maxUlpDepth, ulpDistance(depth[i], dRef));
                    res.maxUlpAmplitude = std::max(res.maxUlpAmplitude, ulpDistance(amplitude[i], ampRef[i]));
                    if (std::memcmp(&confidence[i], &amplitude[i], sizeof(float)) != 0)
                        res.confidenceIsAmplitude = false;
                    if (std::memcmp(&depth[i], &dRef, sizeof(float)) != 0 ||
                        std::memcmp(&amplitude[i], &ampRef[i], sizeof(float)) != 0)
                        miss[i] = 1;
                }
            }
        }
        for (size_t f = 0; f < count; ++f) {
            for (int i = 0; i < n; ++i) results[f].mismatchPairs += mismatch[f * kPixels + i];
            results[f].pairs += uint64_t(n);
        }
    }
}

KernelAgreement compareWithReference(DecodeFn decode, unsigned stride) {
    KernelAgreement result;
    compareWithReference(&decode, 1, stride, &result);
    return result;
}

}  // namespace hqvga
}  // namespace Norvane
