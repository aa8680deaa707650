#include "filter/DepthFilters.h"

namespace Norvane {
namespace filter {

void rangeThreshold(const Planes& p, const RangeSettings& s) {
    const size_t n = p.pixels();
    for (size_t i = 0; i < n; ++i) {
        const float d = p.depth[i];
        if (p.invalid[i] == 0 && (d < s.minMm || d > s.maxMm)) {
            p.invalid[i] = uint8_t(InvalidReason::OUT_OF_RANGE);
            p.depth[i] = 0.0f;
        }
    }
}

}  // namespace filter
}  // namespace Norvane
