// Per-pixel decode of the VGA capture layout (sdk/VgaCaptureLayout.h).
//
// For each frequency the four phase sub-frames give y = P1 - P3 and
// x = P0 - P2; the phase angle atan2(y, x) in [0, 2 pi) scales to the
// frequency's unambiguous range. Amplitude is 0.5 * sqrt(x^2 + y^2), the
// modulation amplitude A in sample units; confidence is the modulation
// contrast A / B (B the mean of the four phases), clamped to [0, 1]. Two
// frequencies are unwrapped together to their combined range, and the
// confidence also falls with the disagreement between them.
//
// A pixel with a saturated phase sample, or whose (calibrated) depth lies
// outside [validMin, validMax], gets depth 0 and confidence 0.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Norvane {
namespace si4c {

struct DecodeLimits {
    float validMin;  // millimetres, inclusive
    float validMax;
};

// Phase angle of (y, x) in [0, 2 pi), within 2e-6 rad of atan2, without
// branches so that the pixel loops vectorize.
float phaseAngle(float y, float x);

// Unwrapped distance from the two dual-frequency distances d0 (range
// 1500 mm) and d1 (range 2250 mm), in [0, 4500); `agreement` receives 1
// for consistent phases falling to 0 at the largest possible disagreement.
float unwrapDual(float d0, float d1, float* agreement);

// Whether every sub-frame's metadata row names the sub-frame, frequency
// and phase it stands at. `width` must be at least 3.
bool layoutMatches(const uint8_t* capture, int width, int height, bool dual);

// Decodes one capture into width x height planes. `calibration` is null or
// width x height depth offsets in millimetres.
void decodeCapture(const uint8_t* capture, int width, int height, bool dual, const float* calibration,
                   DecodeLimits limits, float* depth, float* amplitude, float* confidence);

}  // namespace si4c
}  // namespace Norvane
