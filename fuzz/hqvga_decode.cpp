// The HQVGA decode on random captures, every built-in variant this CPU
// runs, at any board shift and any pairing of modulation and phase order:
// depth and amplitude within one unit in the last place of the reference
// arithmetic, confidence equal to amplitude, and the raw image exactly the
// scaled samples.
//
// A capture is tiled from up to 64 pixels of the input (four phase samples
// each), so the reference is computed once per distinct pixel. The decoded
// planes are checked on the first and last rows (every lane position, the
// loop tails) and on pixels drawn from the input; the raw image everywhere.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "device/HqvgaKernel.h"
#include "device/HqvgaKernelCheck.h"
#include "fuzz/FuzzSupport.h"

using namespace Norvane::hqvga;

namespace {

constexpr int kMaxPatterns = 64;
constexpr int kEdgeRows = 2;
constexpr int kDrawnPixels = 64;

struct Pixel {
    uint16_t raw[kPhases];
    float depth, amplitude;
};

struct Buffers {
    std::vector<uint8_t> capture = std::vector<uint8_t>(kCaptureBytes);
    std::vector<float> depth = std::vector<float>(kPixels), amplitude = depth, confidence = depth;
    std::vector<int16_t> raw = std::vector<int16_t>(size_t(kPixels) * kPhases), expectedRaw = raw;
    std::vector<int16_t> scaled = std::vector<int16_t>(kPixels);
};

// Repeats the first `period` elements of `v` over all of it.
template <typename T>
void tile(T* v, size_t period, size_t count) {
    for (size_t have = period; have < count; have *= 2)
        std::memcpy(v + have, v, std::min(have, count - have) * sizeof(T));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Buffers b;
    FuzzedDataProvider in(data, size);
    DecodeParams params;
    params.modulationHz = in.ConsumeBool() ? kShortRangeHz : kLongRangeHz;
    params.shortRange = in.ConsumeBool();
    params.shift = in.ConsumeBool() ? (in.ConsumeBool() ? 4u : 0u) : in.ConsumeIntegralInRange<unsigned>(0, 20);
    const bool withScalar = in.ConsumeIntegralInRange<int>(0, 15) == 0;  // the slow reference itself

    std::vector<Pixel> patterns(size_t(in.ConsumeIntegralInRange<int>(1, kMaxPatterns)));
    const float scale = depthScale(params.modulationHz);
    for (Pixel& p : patterns) {
        int32_t s[kPhases];
        for (int k = 0; k < kPhases; ++k) {
            p.raw[k] = in.ConsumeIntegral<uint16_t>();
            s[k] = scaledSample(p.raw[k], params.shift);
        }
        int32_t y = params.shortRange ? s[1] - s[3] : s[2] - s[0];
        int32_t x = params.shortRange ? s[2] - s[0] : s[3] - s[1];
        decodePixelReference(y, x, scale, &p.depth, &p.amplitude);
    }
    std::vector<int> checked;
    for (int i = 0; i < kEdgeRows * kWidth; ++i) {
        checked.push_back(i);
        checked.push_back(kPixels - 1 - i);
    }
    for (int i = 0; i < kDrawnPixels; ++i) checked.push_back(in.ConsumeIntegralInRange<int>(0, kPixels - 1));

    // Pixel i carries pattern i % n in every phase plane; the raw image's row
    // 4r + k is row r of phase plane k.
    const size_t n = patterns.size();
    for (int k = 0; k < kPhases; ++k) {
        uint8_t* plane = b.capture.data() + size_t(k) * kPhaseBytes;
        for (size_t i = 0; i < n; ++i) {
            plane[2 * i] = uint8_t(patterns[i].raw[k]);
            plane[2 * i + 1] = uint8_t(patterns[i].raw[k] >> 8);
            b.scaled[i] = int16_t(scaledSample(patterns[i].raw[k], params.shift));
        }
        tile(plane, 2 * n, kPhaseBytes);
        tile(b.scaled.data(), n, size_t(kPixels));
        for (int r = 0; r < kHeight; ++r)
            std::memcpy(&b.expectedRaw[size_t(kPhases * r + k) * kWidth], &b.scaled[size_t(r) * kWidth],
                        kWidth * sizeof(int16_t));
    }

    const float maxDepth = scale * kTwoPi * kMillimetresPerMetre;
    for (const KernelVariant& v : availableKernels()) {
        if (v.decode == decodeDepthScalar && !withScalar) continue;
        v.decode(b.capture.data(), params, b.depth.data(), b.amplitude.data(), b.confidence.data());
        for (int i : checked) {
            const Pixel& p = patterns[size_t(i) % n];
            const size_t at = size_t(i);
            FUZZ_CHECK(ulpDistance(b.depth[at], p.depth) <= 1);
            FUZZ_CHECK(ulpDistance(b.amplitude[at], p.amplitude) <= 1);
            FUZZ_CHECK(b.depth[at] >= 0.0f && b.depth[at] <= maxDepth * 1.0001f);
        }
        FUZZ_CHECK(std::memcmp(b.confidence.data(), b.amplitude.data(), b.amplitude.size() * sizeof(float)) == 0);
        std::memset(b.raw.data(), 0x5A, b.raw.size() * sizeof(int16_t));
        v.interleave(b.capture.data(), params.shift, b.raw.data());
        FUZZ_CHECK(std::memcmp(b.raw.data(), b.expectedRaw.data(), b.raw.size() * sizeof(int16_t)) == 0);
    }
    return 0;
}
