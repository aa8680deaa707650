// The stages of the depth filter chain, one source file each. Every stage
// works in place on one frame's planes and allocates nothing: the scratch
// it needs comes from the chain, sized when the chain is prepared.
//
// A pixel is valid while its invalid code is 0; a stage that removes a
// pixel writes its code and sets the depth to 0, so a valid pixel is one
// with a depth above 0.
#pragma once

#include <cstddef>
#include <cstdint>

#include "filter/FilterSettings.h"

namespace Norvane {
namespace filter {

// The planes of one depth frame, row-major, width x height each.
struct Planes {
    float* depth;
    const float* amplitude;
    uint8_t* invalid;
    int width;
    int height;
    size_t pixels() const { return size_t(width) * size_t(height); }
};

// Writes the invalid plane afresh: NO_DEPTH where the decode gave no
// positive finite depth, 0 elsewhere. `clearDepth` also sets those depths
// to 0 (the chain leaves them as decoded while every filter is off).
void markNoDepth(const Planes& p, bool clearDepth);

void rangeThreshold(const Planes& p, const RangeSettings& s);
void amplitudeThreshold(const Planes& p, const AmplitudeSettings& s);

// The stages that look at one pixel alone, in one pass: the no-depth
// marking, then range and amplitude where enabled. The same as markNoDepth,
// rangeThreshold and amplitudeThreshold in turn.
struct ScreenSettings {
    bool clearDepth;  // false: only the no-depth marking, the depths left as decoded
    RangeSettings range;
    AmplitudeSettings amplitude;
};

struct FilterVariant;
// `candidates` scratch: width entries.
void removeFlyingPixels(const Planes& p, const FlyingPixelSettings& s, int32_t* candidates,
                        const FilterVariant& kernels);
// `seen` (pixels() bytes) and `region` (pixels() entries) scratch.
void removeSpeckles(const Planes& p, const SpeckleSettings& s, uint8_t* seen, int32_t* region);
// `copy` scratch: pixels() floats.
void medianFilter(const Planes& p, float* copy);

// The state of the temporal filter: the running average and, one bit per
// capture, whether the pixel was valid in each of the last 8.
struct TemporalState {
    float* average;
    uint8_t* history;
    uint64_t captures;  // seen since the last reset
};
void temporalFilter(const Planes& p, const TemporalSettings& s, TemporalState& state, const FilterVariant& kernels);

// --- the vector paths ----------------------------------------------------
// One vertical step of the spatial filter: row[i] is smoothed towards the
// already filtered previous[i] where both are valid and closer than the
// threshold.
using SpatialRowFn = void (*)(const float* previous, float* row, int width, float alpha, float thresholdMm);
using ScreenFn = void (*)(const Planes& p, const ScreenSettings& s);
// Lists (as offsets from `centre`, ascending) the pixels of a run of `count`
// that may be flying: valid, with a neighbour within `radius` along the
// four lines more than the step nearer and one more than the step farther.
// Every flying pixel meets this, so only these need the full rule. Rows are
// `stride` apart; every pixel within `radius` of the run must be readable
// (near a row's ends they are those of the rows beside it: more candidates).
using FlyingCandidatesFn = int (*)(const float* centre, ptrdiff_t stride, int count, int radius, float minStepMm,
                                   float ratio, int32_t* candidates);
// The temporal average of `count` pixels where persistence removes nothing.
using TemporalAverageFn = void (*)(float* depth, float* average, uint8_t* history, size_t count, float alpha,
                                   float resetMm);

struct FilterVariant {
    const char* name;  // "scalar", "sse2", "neon"
    SpatialRowFn spatialRow;
    ScreenFn screen;
    FlyingCandidatesFn flyingCandidates;
    TemporalAverageFn temporalAverage;
};

// The implementations built in that this CPU runs: the portable one first,
// the one the chain uses last. All give bit-identical results.
const FilterVariant* filterVariants(size_t* count);
const FilterVariant& activeFilterVariant();

// The spatial filter with a chosen row step (the chain passes its variant's).
// With `transposed` scratch (pixels() floats) the passes along the rows run
// as row steps over the transposed plane; without, one row at a time.
void spatialFilterWith(const Planes& p, const SpatialSettings& s, SpatialRowFn row, float* transposed);

}  // namespace filter
}  // namespace Norvane
