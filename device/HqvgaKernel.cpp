#include "device/HqvgaKernel.h"

#include <cmath>

namespace Norvane {
namespace hqvga {

void decodePixelReference(int32_t y, int32_t x, float scale, float* depth, float* amplitude) {
    float phi = float(std::atan2(double(y), double(x)));
    if (phi < 0.0f) phi = phi + kTwoPi;
    *depth = (scale * phi) * kMillimetresPerMetre;
    double sq = double(x) * double(x) + double(y) * double(y);
    *amplitude = float(0.5 * std::sqrt(sq));
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

void decodeDepth(const uint8_t* capture, const DecodeParams& params, float* depth, float* amplitude,
                 float* confidence) {
    decodeDepthScalar(capture, params, depth, amplitude, confidence);
}

void interleaveRaw(const uint8_t* capture, unsigned shift, int16_t* raw) {
    for (int k = 0; k < kPhases; ++k) {
        for (int r = 0; r < kHeight; ++r) {
            int16_t* out = raw + size_t(4 * r + k) * kWidth;
            for (int c = 0; c < kWidth; ++c) out[c] = int16_t(scaledSample(loadSample(capture, k, r * kWidth + c), shift));
        }
    }
}

}  // namespace hqvga
}  // namespace Norvane
