// Turning the scene into time-of-flight samples: the light model, the
// integer phase encoding and the shot noise of the simulated kit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sdk/evk/EvkScene.h"

namespace Norvane {
namespace evk {

// Light model, in sample units (DN).
constexpr double kActiveAmplitude = 1000.0;  // amplitude of a white surface facing the camera at 1 m
constexpr double kMinAmplitude = 100.0;      // floor: grazing and far pixels keep a usable phase
constexpr double kMaxAmplitude = 960.0;      // below saturation of the signed 11-bit HQVGA samples
constexpr double kAmbientLight = 60.0;       // ambient light collected by every sample
constexpr int kHqvgaAmbientOffset = 24;      // residual ambient offset of the signed HQVGA samples
constexpr double kElectronsPerCount = 8.0;   // sensor gain: sets the shot noise

// Modulation amplitude of a surface: its albedo over its distance, within
// [kMinAmplitude, kMaxAmplitude].
double amplitudeOf(const SurfaceHit& hit);

// Standard deviation of the shot noise of a sample whose mean signal is
// `signal` DN (at noise scale 1).
float shotSigma(double signal);

// Integers (x, y) close to radius * (cos phi, sin phi) whose angle matches
// phi far more closely than rounding alone would, so the decoded phase is
// exact to a fraction of a millimetre even for dim pixels. Their length may
// exceed `radius` (at most 2 kMaxAmplitude) where no closer pair is exact.
void latticeDifferences(double phi, double radius, int32_t* x, int32_t* y);

// Two samples around `base` whose difference plus - minus is exactly `diff`.
inline void splitDifference(int32_t base, int32_t diff, int32_t* plus, int32_t* minus) {
    int32_t half = diff >= 0 ? diff / 2 : -((1 - diff) / 2);  // floor(diff / 2)
    *minus = base - half;
    *plus = *minus + diff;
}

// Gaussian shot noise from a seeded generator; no allocation per call.
class ShotNoise {
public:
    explicit ShotNoise(uint64_t seed) : state(seed) {}

    // out[i] = clamp(clean[i] + round(scale * sigma[i] * N(0, 1)), lo, hi) & mask,
    // for at most maxCount() samples.
    static size_t maxCount();
    void apply(const int16_t* clean, const float* sigma, size_t count, float scale, int lo, int hi, uint16_t mask,
               uint16_t* out);

private:
    uint64_t next();
    uint64_t state;
};

}  // namespace evk
}  // namespace Norvane
