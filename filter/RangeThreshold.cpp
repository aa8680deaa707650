#include "filter/DepthFilters.h"

namespace Norvane {
namespace filter {

void rangeThreshold(const Planes& p, const RangeSettings& s) {
    const size_t n = p.pixels();
    // Without branches, so that the loop vectorizes.
    for (size_t i = 0; i < n; ++i) {
        const float d = p.depth[i];
        const bool removed = p.invalid[i] == 0 && (d < s.minMm || d > s.maxMm);
        p.invalid[i] = removed ? uint8_t(InvalidReason::OUT_OF_RANGE) : p.invalid[i];
        p.depth[i] = removed ? 0.0f : d;
    }
}

}  // namespace filter
}  // namespace Norvane
