#include <cmath>

#include "filter/DepthFilters.h"
#include "filter/FilterKernels.h"

namespace Norvane {
namespace filter {

namespace {

int validCount(uint8_t history, int frames) {
    const unsigned window = history & ((1u << frames) - 1u);
    return __builtin_popcount(window);
}

}  // namespace

namespace detail {

// The filter where persistence removes nothing (a valid pixel counts
// itself): the same average, without branches, so that the loop vectorizes.
void temporalAverageScalar(float* __restrict depth, float* __restrict averages, uint8_t* __restrict history,
                           size_t count, float alpha, float resetMm) {
    const float beta = 1.0f - alpha;
    for (size_t i = 0; i < count; ++i) {
        const bool wasValid = (history[i] & 1u) != 0;
        const float d = depth[i];
        const bool valid = d > 0.0f;
        history[i] = uint8_t((history[i] << 1) | (valid ? 1u : 0u));
        const float last = averages[i];
        const float blended = alpha * d + beta * last;
        const float average = (wasValid && std::fabs(d - last) <= resetMm) ? blended : d;
        averages[i] = valid ? average : last;
        depth[i] = valid ? average : d;
    }
}

}  // namespace detail

void temporalFilter(const Planes& p, const TemporalSettings& s, TemporalState& state, const FilterVariant& kernels) {
    const size_t n = p.pixels();
    const float alpha = s.alpha, beta = 1.0f - s.alpha;
    // Right after a reset there are fewer captures than the window.
    const uint64_t seen = state.captures + 1;
    const int needed = seen < uint64_t(s.persistValid) ? int(seen) : s.persistValid;
    if (needed <= 1) {
        kernels.temporalAverage(p.depth, state.average, state.history, n, s.alpha, s.resetMm);
        ++state.captures;
        return;
    }
    for (size_t i = 0; i < n; ++i) {
        const bool wasValid = (state.history[i] & 1u) != 0;
        const float d = p.depth[i];
        const bool valid = d > 0.0f;
        state.history[i] = uint8_t((state.history[i] << 1) | (valid ? 1u : 0u));
        if (!valid) continue;
        const float last = state.average[i];
        const float average = (wasValid && std::fabs(d - last) <= s.resetMm) ? alpha * d + beta * last : d;
        state.average[i] = average;
        if (validCount(state.history[i], s.persistFrames) < needed) {
            p.invalid[i] = uint8_t(InvalidReason::TEMPORAL);
            p.depth[i] = 0.0f;
        } else {
            p.depth[i] = average;
        }
    }
    ++state.captures;
}

}  // namespace filter
}  // namespace Norvane
