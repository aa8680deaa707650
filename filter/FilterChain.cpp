#include "filter/FilterChain.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "filter/DepthFilters.h"

namespace Norvane {

namespace filter {

void markNoDepth(const Planes& p, bool clearDepth) {
    const size_t n = p.pixels();
    constexpr float kInfinity = std::numeric_limits<float>::infinity();
    // The planes never overlap: told so, the compiler vectorizes the loops
    // (a byte store could otherwise alias any depth).
    float* __restrict depth = p.depth;
    uint8_t* __restrict invalid = p.invalid;
    // Written without branches so that the loops vectorize: one comparison
    // pair is false for 0, negatives, NaN and infinity alike.
    if (clearDepth) {
        for (size_t i = 0; i < n; ++i) {
            const float d = depth[i];
            const bool present = d > 0.0f && d < kInfinity;
            invalid[i] = uint8_t(present ? 0 : int(InvalidReason::NO_DEPTH));
            depth[i] = present ? d : 0.0f;
        }
    } else {
        for (size_t i = 0; i < n; ++i) {
            const float d = depth[i];
            invalid[i] = uint8_t(d > 0.0f && d < kInfinity ? 0 : int(InvalidReason::NO_DEPTH));
        }
    }
}

}  // namespace filter

namespace {

bool sameTemporal(const TemporalSettings& a, const TemporalSettings& b) {
    return a.enabled == b.enabled && a.alpha == b.alpha && a.resetMm == b.resetMm &&
           a.persistValid == b.persistValid && a.persistFrames == b.persistFrames;
}

}  // namespace

void FilterChain::prepare(int width, int height) {
    const size_t n = (width > 0 && height > 0) ? size_t(width) * size_t(height) : 0;
    scratch.reset(new float[n]);
    region.reset(new int32_t[n]);
    seen.reset(new uint8_t[n]);
    average.reset(new float[n]);
    history.reset(new uint8_t[n]);
    preparedWidth = n ? width : 0;
    preparedHeight = n ? height : 0;
    reset();
}

void FilterChain::configure(const FilterSettings& settings) {
    const bool restart = !sameTemporal(settings.temporal, current.temporal);
    current = settings;
    if (restart) reset();
}

void FilterChain::reset() {
    captures = 0;
    const size_t n = size_t(preparedWidth) * size_t(preparedHeight);
    if (n) {
        std::memset(history.get(), 0, n);
        std::memset(average.get(), 0, n * sizeof(float));
    }
}

void FilterChain::run(float* depth, const float* amplitude, uint8_t* invalid, int width, int height) {
    if (!depth || !amplitude || !invalid || width <= 0 || height <= 0) return;
    const filter::Planes p{depth, amplitude, invalid, width, height};
    const filter::FilterVariant& k = kernels ? *kernels : filter::activeFilterVariant();
    const bool active = current.anyEnabled() && width == preparedWidth && height == preparedHeight;
    k.screen(p, {active, current.range, current.amplitude});
    if (!active) return;
    if (current.flyingPixel.enabled) filter::removeFlyingPixels(p, current.flyingPixel, region.get(), k);
    if (current.speckle.enabled) filter::removeSpeckles(p, current.speckle, seen.get(), region.get());
    if (current.median.enabled) filter::medianFilter(p, scratch.get());
    if (current.spatial.enabled) filter::spatialFilterWith(p, current.spatial, k.spatialRow, scratch.get());
    if (current.temporal.enabled) {
        filter::TemporalState state{average.get(), history.get(), captures};
        filter::temporalFilter(p, current.temporal, state, k);
        captures = state.captures;
    }
}

}  // namespace Norvane
