#include "filter/DepthFilters.h"

#include <cmath>
#include <cstring>

namespace Norvane {
namespace filter {

void removeSpeckles(const Planes& p, const SpeckleSettings& s, uint8_t* seen, int32_t* region) {
    const int w = p.width, h = p.height;
    const size_t n = p.pixels();
    std::memset(seen, 0, n);
    for (size_t start = 0; start < n; ++start) {
        if (seen[start] || !(p.depth[start] > 0.0f)) continue;
        // Breadth-first over the region: `region` holds its pixels, each
        // entered once, so it never outgrows the plane.
        seen[start] = 1;
        region[0] = int32_t(start);
        size_t count = 1;
        for (size_t head = 0; head < count; ++head) {
            const int32_t i = region[head];
            const int x = i % w, y = i / w;
            const float d = p.depth[i];
            const int32_t next[4] = {x > 0 ? i - 1 : -1, x + 1 < w ? i + 1 : -1, y > 0 ? i - w : -1,
                                     y + 1 < h ? i + w : -1};
            for (int32_t q : next) {
                if (q < 0 || seen[q] || !(p.depth[q] > 0.0f)) continue;
                if (std::fabs(p.depth[q] - d) > s.maxStepMm) continue;
                seen[q] = 1;
                region[count++] = q;
            }
        }
        if (count >= size_t(s.minRegionPixels)) continue;
        // Cleared pixels are all seen: later regions never meet them.
        for (size_t k = 0; k < count; ++k) {
            p.invalid[region[k]] = uint8_t(InvalidReason::SPECKLE);
            p.depth[region[k]] = 0.0f;
        }
    }
}

}  // namespace filter
}  // namespace Norvane
