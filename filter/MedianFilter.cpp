#include "filter/DepthFilters.h"

#include <cstring>

namespace Norvane {
namespace filter {

void medianFilter(const Planes& p, float* copy) {
    const int w = p.width, h = p.height;
    std::memcpy(copy, p.depth, p.pixels() * sizeof(float));
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const size_t i = size_t(y) * size_t(w) + size_t(x);
            if (!(copy[i] > 0.0f)) continue;
            // The valid depths of the window, kept sorted as they come.
            float v[9];
            int n = 0;
            for (int yy = y - 1; yy <= y + 1; ++yy) {
                if (yy < 0 || yy >= h) continue;
                for (int xx = x - 1; xx <= x + 1; ++xx) {
                    if (xx < 0 || xx >= w) continue;
                    const float d = copy[size_t(yy) * size_t(w) + size_t(xx)];
                    if (!(d > 0.0f)) continue;
                    int k = n++;
                    for (; k > 0 && v[k - 1] > d; --k) v[k] = v[k - 1];
                    v[k] = d;
                }
            }
            p.depth[i] = (n % 2 == 1) ? v[n / 2] : 0.5f * (v[n / 2 - 1] + v[n / 2]);
        }
    }
}

}  // namespace filter
}  // namespace Norvane
