#include "device/HqvgaKernel.h"

#include <cmath>

#include "device/HqvgaKernelSimd.h"

namespace Norvane {
namespace hqvga {

float phaseReference(int32_t y, int32_t x) { return float(std::atan2(double(y), double(x))); }

float amplitudeReference(int32_t y, int32_t x) {
    double sq = double(x) * double(x) + double(y) * double(y);
    return float(0.5 * std::sqrt(sq));
}

void decodePixelReference(int32_t y, int32_t x, float scale, float* depth, float* amplitude) {
    *depth = depthFromPhase(phaseReference(y, x), scale);
    *amplitude = amplitudeReference(y, x);
}

void decodeDepthScalar(const uint8_t* capture, const DecodeParams& params, float* depth, float* amplitude,
                       float* confidence) {
    const float scale = depthScale(params.modulationHz);
    const unsigned shift = params.shift;
    for (int i = 0; i < kPixels; ++i) {
        int32_t s0 = scaledSample(loadSample(capture, 0, i), shift);
        int32_t s1 = scaledSample(loadSample(capture, 1, i), shift);
        int32_t s2 = scaledSample(loadSample(capture, 2, i), shift);
        int32_t s3 = scaledSample(loadSample(capture, 3, i), shift);
        int32_t y = params.shortRange ? s1 - s3 : s2 - s0;
        int32_t x = params.shortRange ? s2 - s0 : s3 - s1;
        float a;
        decodePixelReference(y, x, scale, &depth[i], &a);
        amplitude[i] = a;
        confidence[i] = a;
    }
}

void interleaveRawScalar(const uint8_t* capture, unsigned shift, int16_t* raw) {
    for (int k = 0; k < kPhases; ++k) {
        for (int r = 0; r < kHeight; ++r) {
            int16_t* out = raw + size_t(4 * r + k) * kWidth;
            for (int c = 0; c < kWidth; ++c)
                out[c] = int16_t(scaledSample(loadSample(capture, k, r * kWidth + c), shift));
        }
    }
}

namespace {

constexpr size_t kMaxVariants = 5;

struct KernelTable {
    KernelVariant entries[kMaxVariants] = {};
    size_t count = 0;

    void add(const KernelVariant& v) { entries[count++] = v; }

    KernelTable() {
        add({"scalar", decodeDepthScalar, interleaveRawScalar});
#if NORVANE_HQVGA_X86
        add({"sse2", detail::decodeSse2, detail::interleaveSse2});
        if (detail::cpuHasAvx2()) add({"avx2", detail::decodeAvx2, detail::interleaveAvx2});
        // The raw image is bound by memory traffic; AVX2 serves it.
        if (detail::cpuHasAvx512()) add({"avx512", detail::decodeAvx512, detail::interleaveAvx2});
#endif
#if NORVANE_HQVGA_NEON
        add({"neon", detail::decodeNeon, detail::interleaveNeon});
#endif
    }
};

const KernelTable& kernelTable() {
    static const KernelTable table;
    return table;
}

}  // namespace

KernelList availableKernels() {
    const KernelTable& t = kernelTable();
    return {t.entries, t.count};
}

const KernelVariant& activeKernel() {
    static const KernelVariant& best = availableKernels().back();
    return best;
}

void decodeDepth(const uint8_t* capture, const DecodeParams& params, float* depth, float* amplitude,
                 float* confidence) {
    activeKernel().decode(capture, params, depth, amplitude, confidence);
}

void interleaveRaw(const uint8_t* capture, unsigned shift, int16_t* raw) {
    activeKernel().interleave(capture, shift, raw);
}

}  // namespace hqvga
}  // namespace Norvane
