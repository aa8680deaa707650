// Builds captures in the VGA capture layout from a scene description, the
// way a sensor would deliver them.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace Norvane {
namespace sim {

struct VgaPixel {
    double distanceMm;  // true distance
    double amplitude;   // modulation amplitude A, in sample units
    double offset;      // mean level B (ambient and signal), in sample units
};

using VgaScene = std::function<VgaPixel(int row, int column)>;

// One capture of `width` x `height` pixels: per frequency, phase k carries
// B + A cos(phi - k pi / 2) rounded and clamped to 12 bits, then a grey
// sub-frame of B; every sub-frame starts with its metadata row.
std::vector<uint8_t> buildVgaCapture(int width, int height, bool dual, const VgaScene& scene, uint16_t counter = 0);

// Sample access for tests that tamper with a capture.
uint16_t vgaSample(const std::vector<uint8_t>& capture, size_t index);
void setVgaSample(std::vector<uint8_t>& capture, size_t index, uint16_t value);

}  // namespace sim
}  // namespace Norvane
