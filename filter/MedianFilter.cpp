#include "filter/DepthFilters.h"

#include <algorithm>
#include <cstring>

namespace Norvane {
namespace filter {

namespace {

inline void order(float& a, float& b) {
    const float lo = std::min(a, b), hi = std::max(a, b);
    a = lo;
    b = hi;
}

// The median of nine values by a fixed network of 19 exchanges.
inline float median9(float* v) {
    order(v[1], v[2]), order(v[4], v[5]), order(v[7], v[8]);
    order(v[0], v[1]), order(v[3], v[4]), order(v[6], v[7]);
    order(v[1], v[2]), order(v[4], v[5]), order(v[7], v[8]);
    order(v[0], v[3]), order(v[5], v[8]), order(v[4], v[7]);
    order(v[3], v[6]), order(v[1], v[4]), order(v[2], v[5]);
    order(v[4], v[7]), order(v[4], v[2]), order(v[6], v[4]);
    order(v[4], v[2]);
    return v[4];
}

}  // namespace

void medianFilter(const Planes& p, float* copy) {
    const int w = p.width, h = p.height;
    std::memcpy(copy, p.depth, p.pixels() * sizeof(float));
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const size_t i = size_t(y) * size_t(w) + size_t(x);
            if (!(copy[i] > 0.0f)) continue;
            // Inside the plane with all nine valid (the common case): the network.
            if (x > 0 && x + 1 < w && y > 0 && y + 1 < h) {
                const float* up = copy + i - size_t(w);
                const float* down = copy + i + size_t(w);
                float nine[9] = {up[-1], up[0], up[1], copy[i - 1], copy[i], copy[i + 1], down[-1], down[0], down[1]};
                bool full = true;
                for (float d : nine) full = full && d > 0.0f;
                if (full) {
                    p.depth[i] = median9(nine);
                    continue;
                }
            }
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
