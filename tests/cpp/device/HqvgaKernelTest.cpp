#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "device/HqvgaKernel.h"
#include "device/HqvgaKernelCheck.h"

using namespace Norvane;
using namespace Norvane::hqvga;

namespace {

// Every pair natively; a sample of them where the code runs instrumented or
// emulated (strides prime to 4095, so that every column of pairs is visited;
// the native build covers every pair).
#if defined(NORVANE_TEST_EMULATED)
constexpr unsigned kPairStride = 8;
#elif defined(__SANITIZE_ADDRESS__)
constexpr unsigned kPairStride = 4;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
constexpr unsigned kPairStride = 4;
#else
constexpr unsigned kPairStride = 1;
#endif
#else
constexpr unsigned kPairStride = 1;
#endif

constexpr size_t kGuard = 64;  // elements of canary around every output
constexpr uint8_t kCanary = 0xA5;

// A buffer of n elements placed `offset` bytes past an aligned start, with
// canary bytes on both sides.
template <typename T>
class Guarded {
public:
    explicit Guarded(size_t n, size_t offset = 0)
        : n_(n), offset_(offset), bytes_(kGuard * sizeof(T) * 2 + n * sizeof(T) + offset, kCanary) {}
    T* data() { return reinterpret_cast<T*>(bytes_.data() + kGuard * sizeof(T) + offset_); }
    const T& operator[](size_t i) const {
        return reinterpret_cast<const T*>(bytes_.data() + kGuard * sizeof(T) + offset_)[i];
    }
    bool guardsIntact() const {
        const size_t start = kGuard * sizeof(T) + offset_, end = start + n_ * sizeof(T);
        for (size_t i = 0; i < bytes_.size(); ++i)
            if ((i < start || i >= end) && bytes_[i] != kCanary) return false;
        return true;
    }

private:
    size_t n_, offset_;
    std::vector<uint8_t> bytes_;
};

std::vector<uint8_t> randomCapture(std::mt19937& rng) {
    std::vector<uint8_t> c(kCaptureBytes);
    for (auto& b : c) b = uint8_t(rng());
    return c;
}

void putSample(std::vector<uint8_t>& capture, int phase, int pixel, uint16_t u) {
    capture[size_t(phase) * kPhaseBytes + size_t(pixel) * 2] = uint8_t(u & 0xFF);
    capture[size_t(phase) * kPhaseBytes + size_t(pixel) * 2 + 1] = uint8_t(u >> 8);
}

struct Planes {
    std::vector<float> depth, amplitude, confidence;
    Planes() : depth(kPixels), amplitude(kPixels), confidence(kPixels) {}
};

void decodeWith(const KernelVariant& k, const std::vector<uint8_t>& capture, const DecodeParams& p, Planes& out) {
    k.decode(capture.data(), p, out.depth.data(), out.amplitude.data(), out.confidence.data());
}

const DecodeParams kShort{kShortRangeHz, true, 0};
const DecodeParams kLong{kLongRangeHz, false, 0};

}  // namespace

TEST(HqvgaKernel, ReferenceComesFirstAndTheDeviceUsesTheFastest) {
    KernelList ks = availableKernels();
    ASSERT_GE(ks.size(), 1u);
    EXPECT_STREQ(ks.begin()->name, "scalar");
    EXPECT_EQ(&activeKernel(), &ks.back());
#if defined(__x86_64__)
    ASSERT_GE(ks.size(), 2u);  // SSE2 is part of x86-64
    EXPECT_STREQ(ks.begin()[1].name, "sse2");
#elif defined(__aarch64__)
    ASSERT_EQ(ks.size(), 2u);
    EXPECT_STREQ(ks.back().name, "neon");
#endif
    for (const KernelVariant& k : ks) std::printf("kernel variant: %s\n", k.name);
}

TEST(HqvgaKernel, UlpDistance) {
    const float one = 1.0f, next = std::nextafter(1.0f, 2.0f);
    const float tiny = std::numeric_limits<float>::denorm_min();
    EXPECT_EQ(ulpDistance(one, one), 0u);
    EXPECT_EQ(ulpDistance(one, next), 1u);
    EXPECT_EQ(ulpDistance(next, one), 1u);
    EXPECT_EQ(ulpDistance(tiny, -tiny), 2u);
    EXPECT_EQ(ulpDistance(0.0f, -0.0f), 0u);
    EXPECT_EQ(ulpDistance(-1.0f, -std::nextafter(1.0f, 2.0f)), 1u);
    EXPECT_EQ(ulpDistance(std::nanf(""), 1.0f), UINT32_MAX);
}

// Every pair of phase differences, at both ranges, for every variant this CPU runs.
TEST(HqvgaKernel, EveryInputPairAgreesWithTheReference) {
    const uint64_t expected = (kDifferencePairs + kPairStride - 1) / kPairStride;
    std::vector<const KernelVariant*> variants;
    std::vector<DecodeFn> decodes;
    for (const KernelVariant& k : availableKernels()) {
        if (k.decode == decodeDepthScalar) continue;  // it is the reference
        variants.push_back(&k);
        decodes.push_back(k.decode);
    }
    std::vector<KernelAgreement> results(decodes.size());
    compareWithReference(decodes.data(), decodes.size(), kPairStride, results.data());
    for (size_t i = 0; i < results.size(); ++i) {
        const KernelAgreement& a = results[i];
        const char* name = variants[i]->name;
        std::printf("%s: %llu pairs (stride %u), %.6f%% bit-identical, %llu differ, max ulp depth %u amplitude %u\n",
                    name, (unsigned long long)a.pairs, kPairStride,
                    100.0 * double(a.pairs - a.mismatchPairs) / double(a.pairs), (unsigned long long)a.mismatchPairs,
                    a.maxUlpDepth, a.maxUlpAmplitude);
        EXPECT_EQ(a.pairs, expected) << name;
        EXPECT_LE(a.maxUlpDepth, 1u) << name;
        EXPECT_LE(a.maxUlpAmplitude, 1u) << name;
        EXPECT_TRUE(a.confidenceIsAmplitude) << name;
    }
}

namespace {

float ulpsUp(float v, int n) {
    while (n-- > 0) v = std::nextafter(v, std::numeric_limits<float>::infinity());
    return v;
}

void decodeTwoUlpOff(const uint8_t* c, const DecodeParams& p, float* d, float* a, float* conf) {
    decodeDepthScalar(c, p, d, a, conf);
    for (int i = 0; i < kPixels; i += 997) {
        d[i] = ulpsUp(d[i], 2);
        a[i] = conf[i] = ulpsUp(a[i], 1);
    }
}

void decodeBadConfidence(const uint8_t* c, const DecodeParams& p, float* d, float* a, float* conf) {
    decodeDepthScalar(c, p, d, a, conf);
    conf[kPixels / 2] = ulpsUp(conf[kPixels / 2], 1);
}

void decodeWrongPhaseOrder(const uint8_t* c, const DecodeParams& p, float* d, float* a, float* conf) {
    DecodeParams swapped = p;
    swapped.shortRange = !p.shortRange;
    decodeDepthScalar(c, swapped, d, a, conf);
}

}  // namespace

TEST(HqvgaKernel, AgreementCheckCatchesFaultyDecodes) {
    constexpr unsigned kStride = 257;
    KernelAgreement exact = compareWithReference(decodeDepthScalar, kStride);
    EXPECT_EQ(exact.mismatchPairs, 0u);
    EXPECT_EQ(exact.maxUlpDepth, 0u);
    EXPECT_EQ(exact.maxUlpAmplitude, 0u);
    EXPECT_TRUE(exact.confidenceIsAmplitude);

    KernelAgreement off = compareWithReference(decodeTwoUlpOff, kStride);
    EXPECT_EQ(off.maxUlpDepth, 2u);
    EXPECT_EQ(off.maxUlpAmplitude, 1u);
    EXPECT_GT(off.mismatchPairs, 0u);
    EXPECT_LT(off.mismatchPairs, off.pairs / 100);
    EXPECT_TRUE(off.confidenceIsAmplitude);

    EXPECT_FALSE(compareWithReference(decodeBadConfidence, kStride).confidenceIsAmplitude);

    KernelAgreement order = compareWithReference(decodeWrongPhaseOrder, kStride);
    EXPECT_GT(order.maxUlpDepth, 1000u);
    EXPECT_GT(order.mismatchPairs, order.pairs / 2);
}

// Random captures, both ranges, the boards' shifts and out-of-range ones,
// unaligned buffers: the variant matches the reference and writes only its planes.
TEST(HqvgaKernel, RandomCapturesMatchTheReferenceAndStayInsideThePlanes) {
    std::mt19937 rng(20240611);
    const unsigned shifts[] = {0, 4, 16, 40};
    for (const KernelVariant& k : availableKernels()) {
        uint64_t differ = 0;
        for (int round = 0; round < 3; ++round) {
            for (bool shortRange : {true, false}) {
                for (unsigned shift : shifts) {
                    const DecodeParams p{shortRange ? kShortRangeHz : kLongRangeHz, shortRange, shift};
                    std::vector<uint8_t> capture = randomCapture(rng);
                    Planes ref;
                    decodeDepthScalar(capture.data(), p, ref.depth.data(), ref.amplitude.data(), ref.confidence.data());
                    // The capture starts one byte past an aligned address, the planes one float past one.
                    Guarded<uint8_t> in(kCaptureBytes, 1);
                    std::memcpy(in.data(), capture.data(), kCaptureBytes);
                    Guarded<float> d(kPixels, 4), a(kPixels, 4), c(kPixels, 4);
                    k.decode(in.data(), p, d.data(), a.data(), c.data());
                    ASSERT_TRUE(d.guardsIntact() && a.guardsIntact() && c.guardsIntact()) << k.name;
                    ASSERT_TRUE(in.guardsIntact()) << k.name;
                    for (int i = 0; i < kPixels; ++i) {
                        ASSERT_LE(ulpDistance(d[i], ref.depth[i]), 1u) << k.name << " pixel " << i;
                        ASSERT_LE(ulpDistance(a[i], ref.amplitude[i]), 1u) << k.name << " pixel " << i;
                        ASSERT_EQ(std::memcmp(&c[i], &a[i], sizeof(float)), 0) << k.name << " pixel " << i;
                        differ += std::memcmp(&d[i], &ref.depth[i], sizeof(float)) != 0 ||
                                  std::memcmp(&a[i], &ref.amplitude[i], sizeof(float)) != 0;
                    }
                    if (shift >= kMaxShift) {
                        for (int i = 0; i < kPixels; ++i) ASSERT_EQ(d[i], 0.0f) << k.name;
                    }
                }
            }
        }
        std::printf("%s: %llu of %d random pixels not bit-identical\n", k.name, (unsigned long long)differ,
                    3 * 2 * 4 * kPixels);
    }
}

TEST(HqvgaKernel, RawImageInterleavesThePhasesForEveryVariant) {
    std::mt19937 rng(7);
    for (const KernelVariant& k : availableKernels()) {
        for (unsigned shift : {0u, 4u, 16u}) {
            std::vector<uint8_t> capture = randomCapture(rng);
            std::vector<int16_t> ref(size_t(kPixels) * kPhases);
            interleaveRawScalar(capture.data(), shift, ref.data());
            Guarded<int16_t> out(ref.size(), 2);
            k.interleave(capture.data(), shift, out.data());
            ASSERT_TRUE(out.guardsIntact()) << k.name;
            for (size_t i = 0; i < ref.size(); ++i) ASSERT_EQ(out[i], ref[i]) << k.name << " index " << i;
        }
        // Row 0 is P0's row 0, row 719 is P3's row 179; samples sign-extend from bit 10.
        std::vector<uint8_t> capture(kCaptureBytes, 0);
        putSample(capture, 0, 0, 0x0400);            // -1024
        putSample(capture, 3, kPixels - 1, 0xFBFF);  // 1023: bits 11..15 ignored
        putSample(capture, 1, 0, 0x0001);            // row 1 of the image
        std::vector<int16_t> raw(size_t(kPixels) * kPhases);
        k.interleave(capture.data(), 0, raw.data());
        EXPECT_EQ(raw[0], -16384) << k.name;
        EXPECT_EQ(raw[kWidth], 16) << k.name;
        EXPECT_EQ(raw[raw.size() - 1], 16368) << k.name;
        putSample(capture, 0, 0, 0x4000);  // with shift 4: -1024
        k.interleave(capture.data(), 4, raw.data());
        EXPECT_EQ(raw[0], -16384) << k.name;
    }
}

TEST(HqvgaKernel, KnownPixelsForEveryVariant) {
    for (const KernelVariant& k : availableKernels()) {
        std::vector<uint8_t> capture(kCaptureBytes, 0);
        Planes out;
        decodeWith(k, capture, kShort, out);
        for (int i = 0; i < kPixels; ++i) {
            ASSERT_EQ(out.depth[i], 0.0f) << k.name;
            ASSERT_EQ(out.amplitude[i], 0.0f) << k.name;
            ASSERT_EQ(out.confidence[i], 0.0f) << k.name;
        }
        // Pixel 5: S1 = 16 only. Short range: y = 16, x = 0, a quarter turn (500 mm);
        // long range: y = 0, x = -16, half a turn (2000 mm).
        putSample(capture, 1, 5, 1);
        // Pixel 9: S1 = -16 only: three quarters of a turn at short range.
        putSample(capture, 1, 9, 0x7FF);
        decodeWith(k, capture, kShort, out);
        EXPECT_NEAR(out.depth[5], 500.0f, 1e-3f) << k.name;
        EXPECT_EQ(out.amplitude[5], 8.0f) << k.name;
        EXPECT_NEAR(out.depth[9], 1500.0f, 1e-3f) << k.name;
        EXPECT_EQ(out.depth[4], 0.0f) << k.name;
        decodeWith(k, capture, kLong, out);
        EXPECT_NEAR(out.depth[5], 2000.0f, 1e-3f) << k.name;
        EXPECT_EQ(out.amplitude[9], 8.0f) << k.name;
    }
}
