#include "tests/fakes/VgaCapture.h"

#include <algorithm>
#include <cmath>

#include "sdk/VgaCaptureLayout.h"

namespace Norvane {
namespace sim {

uint16_t vgaSample(const std::vector<uint8_t>& capture, size_t index) {
    return uint16_t(capture[2 * index] | (capture[2 * index + 1] << 8));
}

void setVgaSample(std::vector<uint8_t>& capture, size_t index, uint16_t value) {
    capture[2 * index] = uint8_t(value & 0xFF);
    capture[2 * index + 1] = uint8_t(value >> 8);
}

std::vector<uint8_t> buildVgaCapture(int width, int height, bool dual, const VgaScene& scene, uint16_t counter) {
    std::vector<uint8_t> capture(vga::captureBytes(width, height, dual), 0);
    const double twoPi = 2.0 * std::acos(-1.0);
    for (int f = 0; f < vga::frequencies(dual); ++f) {
        const double range = vga::rangeMm(dual, f);
        for (int k = 0; k < vga::kSubFramesPerFrequency; ++k) {
            const int s = f * vga::kSubFramesPerFrequency + k;
            const size_t meta = vga::rowOffset(width, height, s, 0);
            setVgaSample(capture, meta + vga::kMetaSubFrame, uint16_t(s));
            setVgaSample(capture, meta + vga::kMetaFrequency, uint16_t(f));
            setVgaSample(capture, meta + vga::kMetaPhase, uint16_t(k));
            setVgaSample(capture, meta + vga::kMetaCounter, counter);
            for (int r = 0; r < height; ++r) {
                const size_t row = vga::rowOffset(width, height, s, r + vga::kMetadataRows);
                for (int c = 0; c < width; ++c) {
                    VgaPixel px = scene(r, c);
                    double v = px.offset;
                    if (k < vga::kPhasesPerFrequency) {
                        double phi = twoPi * px.distanceMm / range;
                        v += px.amplitude * std::cos(phi - k * twoPi / 4.0);
                    }
                    double clamped = std::min(std::max(std::round(v), 0.0), double(vga::kSampleMax));
                    setVgaSample(capture, row + size_t(c), uint16_t(clamped));
                }
            }
        }
    }
    return capture;
}

}  // namespace sim
}  // namespace Norvane
