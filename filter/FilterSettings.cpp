#include "filter/FilterSettings.h"

#include <cmath>
#include <cstring>

namespace Norvane {

namespace {

constexpr int kMaxFlyingRadius = 3;
constexpr int kMaxSpatialIterations = 5;
constexpr int kMaxPersistFrames = 8;
// Larger than any depth the sensors measure.
constexpr float kMaxDepthMm = 100000.0f;

bool finiteIn(float v, float lo, float hi) { return std::isfinite(v) && v >= lo && v <= hi; }
bool fraction(float v) { return std::isfinite(v) && v > 0.0f && v <= 1.0f; }

// One named parameter: where it lives in the settings and whether it is whole.
struct Parameter {
    const char* name;
    bool* (*flag)(FilterSettings&);
    float* (*real)(FilterSettings&);
    int* (*whole)(FilterSettings&);
};

#define NORVANE_FLAG(key, member) {key, [](FilterSettings& s) { return &s.member; }, nullptr, nullptr}
#define NORVANE_REAL(key, member) {key, nullptr, [](FilterSettings& s) { return &s.member; }, nullptr}
#define NORVANE_WHOLE(key, member) {key, nullptr, nullptr, [](FilterSettings& s) { return &s.member; }}

const Parameter kParameters[] = {
    NORVANE_FLAG("range.enabled", range.enabled),
    NORVANE_REAL("range.min_mm", range.minMm),
    NORVANE_REAL("range.max_mm", range.maxMm),
    NORVANE_FLAG("amplitude.enabled", amplitude.enabled),
    NORVANE_REAL("amplitude.min_amplitude", amplitude.minAmplitude),
    NORVANE_FLAG("flying_pixel.enabled", flyingPixel.enabled),
    NORVANE_REAL("flying_pixel.min_step_mm", flyingPixel.minStepMm),
    NORVANE_REAL("flying_pixel.step_percent", flyingPixel.stepPercent),
    NORVANE_WHOLE("flying_pixel.radius", flyingPixel.radius),
    NORVANE_FLAG("speckle.enabled", speckle.enabled),
    NORVANE_REAL("speckle.max_step_mm", speckle.maxStepMm),
    NORVANE_WHOLE("speckle.min_region_pixels", speckle.minRegionPixels),
    NORVANE_FLAG("median.enabled", median.enabled),
    NORVANE_FLAG("spatial.enabled", spatial.enabled),
    NORVANE_REAL("spatial.alpha", spatial.alpha),
    NORVANE_REAL("spatial.threshold_mm", spatial.thresholdMm),
    NORVANE_WHOLE("spatial.iterations", spatial.iterations),
    NORVANE_FLAG("temporal.enabled", temporal.enabled),
    NORVANE_REAL("temporal.alpha", temporal.alpha),
    NORVANE_REAL("temporal.reset_mm", temporal.resetMm),
    NORVANE_WHOLE("temporal.persist_valid", temporal.persistValid),
    NORVANE_WHOLE("temporal.persist_frames", temporal.persistFrames),
};

#undef NORVANE_FLAG
#undef NORVANE_REAL
#undef NORVANE_WHOLE

}  // namespace

bool FilterSettings::anyEnabled() const {
    return range.enabled || amplitude.enabled || flyingPixel.enabled || speckle.enabled || median.enabled ||
           spatial.enabled || temporal.enabled;
}

const char* validateFilterSettings(const FilterSettings& s) {
    if (s.range.enabled) {
        if (!finiteIn(s.range.minMm, 0.0f, kMaxDepthMm)) return "range: min_mm must lie within 0 to 100000 mm";
        if (!finiteIn(s.range.maxMm, s.range.minMm, kMaxDepthMm))
            return "range: max_mm must lie within min_mm to 100000 mm";
    }
    if (s.amplitude.enabled && !finiteIn(s.amplitude.minAmplitude, 0.0f, 1.0e9f))
        return "amplitude: min_amplitude must be 0 or more counts";
    if (s.flyingPixel.enabled) {
        if (!finiteIn(s.flyingPixel.minStepMm, 0.0f, kMaxDepthMm))
            return "flying_pixel: min_step_mm must lie within 0 to 100000 mm";
        if (!finiteIn(s.flyingPixel.stepPercent, 0.0f, 100.0f))
            return "flying_pixel: step_percent must lie within 0 to 100";
        if (s.flyingPixel.radius < 1 || s.flyingPixel.radius > kMaxFlyingRadius)
            return "flying_pixel: radius must be 1, 2 or 3 pixels";
    }
    if (s.speckle.enabled) {
        if (!finiteIn(s.speckle.maxStepMm, 0.0f, kMaxDepthMm))
            return "speckle: max_step_mm must lie within 0 to 100000 mm";
        if (s.speckle.minRegionPixels < 1) return "speckle: min_region_pixels must be 1 or more";
    }
    if (s.spatial.enabled) {
        if (!fraction(s.spatial.alpha)) return "spatial: alpha must lie in (0, 1]";
        if (!finiteIn(s.spatial.thresholdMm, 0.0f, kMaxDepthMm))
            return "spatial: threshold_mm must lie within 0 to 100000 mm";
        if (s.spatial.iterations < 1 || s.spatial.iterations > kMaxSpatialIterations)
            return "spatial: iterations must lie within 1 to 5";
    }
    if (s.temporal.enabled) {
        if (!fraction(s.temporal.alpha)) return "temporal: alpha must lie in (0, 1]";
        if (!finiteIn(s.temporal.resetMm, 0.0f, kMaxDepthMm))
            return "temporal: reset_mm must lie within 0 to 100000 mm";
        if (s.temporal.persistFrames < 1 || s.temporal.persistFrames > kMaxPersistFrames)
            return "temporal: persist_frames must lie within 1 to 8";
        if (s.temporal.persistValid < 1 || s.temporal.persistValid > s.temporal.persistFrames)
            return "temporal: persist_valid must lie within 1 to persist_frames";
    }
    return nullptr;
}

bool setFilterParameter(FilterSettings& settings, const char* name, double value) {
    if (!name) return false;
    for (const Parameter& p : kParameters) {
        if (std::strcmp(p.name, name) != 0) continue;
        if (p.real) {
            if (std::isnan(value)) return false;
            *p.real(settings) = float(value);
            return true;
        }
        // Flags and integers: whole numbers only.
        if (!(std::floor(value) == value) || std::fabs(value) > 1.0e9) return false;
        if (p.flag) {
            if (value != 0.0 && value != 1.0) return false;
            *p.flag(settings) = value != 0.0;
        } else {
            *p.whole(settings) = int(value);
        }
        return true;
    }
    return false;
}

}  // namespace Norvane
