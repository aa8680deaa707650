// Settings of the depth filter chain and the codes of the invalid plane.
//
// Units: depths and steps in millimetres, amplitudes in the decode's counts,
// sizes in pixels. Every filter starts disabled: default settings leave the
// depth plane exactly as the decode wrote it.
#pragma once

#include <cstdint>

namespace Norvane {

// Why a pixel carries no depth: the value of the invalid plane. The stage
// that removed a pixel first names it; later stages leave it alone.
enum class InvalidReason : uint8_t {
    VALID = 0,
    NO_DEPTH = 1,      // the decode delivered no depth (0, negative or not a number)
    LOW_SIGNAL = 2,    // amplitude below the threshold
    OUT_OF_RANGE = 3,  // depth outside [min, max]
    FLYING_PIXEL = 4,  // between its neighbours across a depth edge, matching neither side
    SPECKLE = 5,       // part of a connected region too small to be a surface
    TEMPORAL = 6,      // valid in too few of the last captures
};

// Keeps depths in [minMm, maxMm].
struct RangeSettings {
    bool enabled = false;
    float minMm = 0.0f;
    float maxMm = 10000.0f;
};

// Keeps pixels whose amplitude is at least minAmplitude counts.
struct AmplitudeSettings {
    bool enabled = false;
    float minAmplitude = 0.0f;
};

// Removes a pixel that lies between the two neighbours of an opposite pair
// (horizontal, vertical or diagonal, `radius` pixels away at most) with a
// step of more than max(minStepMm, stepPercent % of its depth) to each,
// where the pair sits on flat ground: the steps from each of them one pixel
// further out are at most max(that step, a quarter of the pair's jump). A
// slope, stepping alike all along, is kept.
struct FlyingPixelSettings {
    bool enabled = false;
    float minStepMm = 50.0f;
    float stepPercent = 3.0f;
    int radius = 1;  // 1 to 3
};

// Removes regions of fewer than minRegionPixels pixels, connected through
// horizontal and vertical steps of at most maxStepMm.
struct SpeckleSettings {
    bool enabled = false;
    float maxStepMm = 50.0f;
    int minRegionPixels = 20;
};

// Replaces each valid depth by the median of the valid depths of its 3 x 3
// window (the mean of the middle two for an even count).
struct MedianSettings {
    bool enabled = false;
};

// Edge-preserving recursive smoothing: passes left to right, right to left,
// top to bottom and bottom to top, each s = alpha * x + (1 - alpha) * s where
// both pixels are valid and their step is below thresholdMm; `iterations`
// times.
struct SpatialSettings {
    bool enabled = false;
    float alpha = 0.5f;  // (0, 1]
    float thresholdMm = 20.0f;
    int iterations = 2;  // 1 to 5
};

// Exponential average over captures, s = alpha * x + (1 - alpha) * s, started
// afresh where the depth moved by more than resetMm or the pixel was invalid
// in the previous capture. Persistence: a pixel is delivered only when valid
// in at least persistValid of the last persistFrames captures (the current
// one included; fewer since the start count as all there were).
struct TemporalSettings {
    bool enabled = false;
    float alpha = 0.4f;  // (0, 1]
    float resetMm = 50.0f;
    int persistValid = 1;   // 1 to persistFrames
    int persistFrames = 1;  // 1 to 8
};

// The whole chain. The stages always run in this order: no-depth marking,
// range, amplitude, flying pixels, speckles, median, spatial, temporal.
struct FilterSettings {
    RangeSettings range;
    AmplitudeSettings amplitude;
    FlyingPixelSettings flyingPixel;
    SpeckleSettings speckle;
    MedianSettings median;
    SpatialSettings spatial;
    TemporalSettings temporal;

    // Whether any stage would change the depth plane.
    bool anyEnabled() const;
};

// Null when the settings are usable, else a one-line text naming the first
// bad value.
const char* validateFilterSettings(const FilterSettings& settings);

// Sets one value by name, as bindings and parameter files spell it:
// "<filter>.<parameter>" with filter range, amplitude, flying_pixel,
// speckle, median, spatial or temporal and the parameter in snake case
// (min_mm, max_mm, min_amplitude, min_step_mm, step_percent, radius,
// max_step_mm, min_region_pixels, alpha, threshold_mm, iterations, reset_mm,
// persist_valid, persist_frames) or "enabled" (0 or 1). Integer parameters
// take whole numbers only. False, changing nothing, for an unknown name or a
// value that is not a number of the parameter's kind; the range of a value
// is validateFilterSettings's matter.
bool setFilterParameter(FilterSettings& settings, const char* name, double value);

}  // namespace Norvane
