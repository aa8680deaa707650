// The phase-processing library on random captures: any geometry the
// library accepts, one or two frequencies, metadata rows right or wrong,
// random samples, a calibration table of random floats (or of the wrong
// size), and the algorithm configuration text. The capture and the planes
// are sized exactly, so any read or write past them is caught; every
// decoded plane holds finite values within its bounds, and on one
// frequency each valid depth is the phase angle of its samples scaled to
// the range.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "sdk/VgaCaptureLayout.h"
#include "sdk/si4c/AlgorithmConfig.h"
#include "sdk/si4c/si4c.h"

using namespace Norvane;

namespace {

constexpr int kMaxWidth = 64;
constexpr int kMaxHeight = 12;
constexpr double kTwoPi = 6.283185307179586;
// The library's angle is within 2e-6 rad of atan2; a millimetre covers that
// and the float rounding of the scale.
constexpr double kToleranceMm = 0.01;

uint16_t load(const uint8_t* capture, size_t sample) {
    return uint16_t(capture[2 * sample] | capture[2 * sample + 1] << 8);
}

void store(uint8_t* capture, size_t sample, uint16_t v) {
    capture[2 * sample] = uint8_t(v);
    capture[2 * sample + 1] = uint8_t(v >> 8);
}

// Distance in [0, range) of the reference arithmetic for one pixel of the
// single-frequency layout.
double referenceMm(const uint8_t* capture, int width, int height, int pixel) {
    int32_t p[vga::kPhasesPerFrequency];
    for (int k = 0; k < vga::kPhasesPerFrequency; ++k) {
        size_t at = vga::rowOffset(width, height, k, vga::kMetadataRows + pixel / width) + size_t(pixel % width);
        p[k] = load(capture, at) & vga::kSampleMax;
    }
    double phi = std::atan2(double(p[1] - p[3]), double(p[0] - p[2]));
    if (phi < 0) phi += kTwoPi;
    return phi / kTwoPi * vga::kSingleRangeMm;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);

    // The configuration text: whatever it holds, the limits stay finite.
    si4c::AlgorithmConfig config;
    si4c::parseAlgorithmConfig(in.ConsumeRandomLengthString(200), config);
    FUZZ_CHECK(std::isfinite(config.validDistMin) && std::isfinite(config.validDistMax));

    const int width = in.ConsumeIntegralInRange<int>(-1, kMaxWidth);
    const int height = in.ConsumeIntegralInRange<int>(-1, kMaxHeight);
    const bool dual = in.ConsumeBool();
    SiSDKHandle h = nullptr;
    FUZZ_CHECK(SiSDKCreate(&h) && h);
    FUZZ_CHECK(SiSDKSetSingleFreq(h, !dual));
    const bool accepted = SiSDKInit(h, width, height);
    FUZZ_CHECK(accepted == (width >= vga::kMetaCounter + 1 && height >= 1));
    if (!accepted) {
        FUZZ_CHECK(!SiSDKStart(h));
        SiSDKDestroy(&h);
        FUZZ_CHECK(h == nullptr);
        return 0;
    }
    const size_t pixels = size_t(width) * size_t(height);

    bool calibrated = false;
    if (in.ConsumeBool()) {
        size_t bytes = in.ConsumeBool() ? pixels * sizeof(float) : in.ConsumeIntegralInRange<size_t>(0, pixels * 8);
        std::vector<uint8_t> table = in.ConsumeBytes<uint8_t>(bytes);
        table.resize(bytes);
        calibrated = SiSDKSetCaliData(h, table.data(), table.size());
        FUZZ_CHECK(calibrated == (bytes == pixels * sizeof(float)));
    }
    FUZZ_CHECK(SiSDKStart(h));
    FUZZ_CHECK(SiSDKIsSingleFreq(h) == !dual);

    // The capture: random samples under metadata rows that mostly match.
    const size_t bytes = vga::captureBytes(width, height, dual);
    std::unique_ptr<uint8_t[]> capture(new uint8_t[bytes]);
    std::vector<uint8_t> samples = in.ConsumeBytes<uint8_t>(bytes);
    for (size_t i = 0; i < bytes; ++i) capture[i] = samples.empty() ? 0 : samples[i % samples.size()];
    const bool rightLayout = in.ConsumeIntegralInRange<int>(0, 7) != 0;
    const int subFrames = vga::kSubFramesPerFrequency * vga::frequencies(dual);
    for (int s = 0; s < subFrames && rightLayout; ++s) {
        size_t meta = vga::rowOffset(width, height, s, 0);
        store(capture.get(), meta + vga::kMetaSubFrame, uint16_t(s));
        store(capture.get(), meta + vga::kMetaFrequency, uint16_t(s / vga::kSubFramesPerFrequency));
        store(capture.get(), meta + vga::kMetaPhase, uint16_t(s % vga::kSubFramesPerFrequency));
    }

    std::unique_ptr<float[]> depth(new float[pixels]), amplitude(new float[pixels]), confidence(new float[pixels]);
    const bool decoded = SiSDKGetPhaseImage(h, capture.get(), depth.get(), amplitude.get(), confidence.get());
    if (rightLayout) FUZZ_CHECK(decoded);
    if (decoded) {
        const float range = float(dual ? vga::kDualCombinedRangeMm : vga::kSingleRangeMm);
        for (size_t i = 0; i < pixels; ++i) {
            FUZZ_CHECK(std::isfinite(depth[i]) && std::isfinite(amplitude[i]) && std::isfinite(confidence[i]));
            FUZZ_CHECK(amplitude[i] >= 0.0f);
            FUZZ_CHECK(confidence[i] >= 0.0f && confidence[i] <= 1.0f);
            if (depth[i] == 0.0f) continue;  // invalid, or at zero
            if (!calibrated) {
                FUZZ_CHECK(depth[i] > 0.0f && depth[i] < range);
                if (!dual) {
                    double diff = std::fabs(double(depth[i]) - referenceMm(capture.get(), width, height, int(i)));
                    FUZZ_CHECK(diff <= kToleranceMm || diff >= vga::kSingleRangeMm - kToleranceMm);
                }
            }
        }
    }
    FUZZ_CHECK(!SiSDKGetPhaseImage(h, nullptr, depth.get(), amplitude.get(), confidence.get()));
    SiSDKDestroy(&h);
    FUZZ_CHECK(h == nullptr);
    SiSDKDestroy(&h);  // harmless twice
    return 0;
}
