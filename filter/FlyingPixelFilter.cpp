#include "filter/DepthFilters.h"

#include <algorithm>

namespace Norvane {
namespace filter {

namespace {

// Opposite pairs are (-dx, -dy) and (+dx, +dy): horizontal, vertical and
// both diagonals.
constexpr int kDirections[4][2] = {{1, 0}, {0, 1}, {1, 1}, {1, -1}};

}  // namespace

void removeFlyingPixels(const Planes& p, const FlyingPixelSettings& s) {
    const int w = p.width, h = p.height;
    const float ratio = s.stepPercent / 100.0f;
    const auto flag = uint8_t(InvalidReason::FLYING_PIXEL);
    // Decided on the stage's input: depths are cleared only afterwards, so
    // a removed pixel still counts as a neighbour of the next.
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const size_t i = size_t(y) * size_t(w) + size_t(x);
            const float d = p.depth[i];
            if (!(d > 0.0f)) continue;
            const float step = std::max(s.minStepMm, d * ratio);
            bool flying = false;
            for (int r = 1; r <= s.radius && !flying; ++r) {
                for (const auto& dir : kDirections) {
                    const int ax = x - r * dir[0], ay = y - r * dir[1];
                    const int bx = x + r * dir[0], by = y + r * dir[1];
                    if (ax < 0 || bx >= w || ay < 0 || ay >= h || by < 0 || by >= h) continue;
                    const float a = p.depth[size_t(ay) * size_t(w) + size_t(ax)];
                    const float b = p.depth[size_t(by) * size_t(w) + size_t(bx)];
                    if (!(a > 0.0f) || !(b > 0.0f)) continue;
                    const float lo = std::min(a, b), hi = std::max(a, b);
                    if (d - lo > step && hi - d > step) {
                        flying = true;
                        break;
                    }
                }
            }
            if (flying) p.invalid[i] = flag;
        }
    }
    const size_t n = p.pixels();
    for (size_t i = 0; i < n; ++i) {
        if (p.invalid[i] == flag) p.depth[i] = 0.0f;
    }
}

}  // namespace filter
}  // namespace Norvane
