#include "filter/DepthFilters.h"

namespace Norvane {
namespace filter {

void rangeThreshold(const Planes& p, const RangeSettings& s) {
    const size_t n = p.pixels();
    // Without branches, so that the loop vectorizes.
    // The planes never overlap (restrict lets the compiler vectorize).
    float* __restrict depth = p.depth;
    uint8_t* __restrict invalid = p.invalid;
    const float minMm = s.minMm, maxMm = s.maxMm;
    for (size_t i = 0; i < n; ++i) {
        const float d = depth[i];
        const bool removed = invalid[i] == 0 && (d < minMm || d > maxMm);
        invalid[i] = removed ? uint8_t(InvalidReason::OUT_OF_RANGE) : invalid[i];
        depth[i] = removed ? 0.0f : d;
    }
}

}  // namespace filter
}  // namespace Norvane
