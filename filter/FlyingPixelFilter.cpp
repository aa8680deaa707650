#include "filter/DepthFilters.h"

#include <algorithm>
#include <cmath>

namespace Norvane {
namespace filter {

namespace {

// Opposite pairs are (-dx, -dy) and (+dx, +dy): horizontal, vertical and
// both diagonals.
constexpr int kDirections[4][2] = {{1, 0}, {0, 1}, {1, 1}, {1, -1}};

// The depth `k` steps of `dir` away from (x, y); 0 outside the plane.
inline float at(const Planes& p, int x, int y, const int* dir, int k) {
    const int xx = x + k * dir[0], yy = y + k * dir[1];
    if (xx < 0 || xx >= p.width || yy < 0 || yy >= p.height) return 0.0f;
    return p.depth[size_t(yy) * size_t(p.width) + size_t(xx)];
}

// Whether the pixel of depth d lies on a jump between a and b, the pixels
// r steps away on either side, rather than on a slope: the steps from a and
// b out to the next pixels (a2, b2) are those of flat surfaces, small
// against the jump. A slope steps alike all along and is kept.
inline bool onJump(float d, float a, float b, float a2, float b2, float step) {
    if (!(a > 0.0f) || !(b > 0.0f)) return false;
    const float lo = std::min(a, b), hi = std::max(a, b);
    if (!(d - lo > step && hi - d > step)) return false;
    const float flat = std::max(step, (hi - lo) * 0.25f);
    // No pixel further out (edge of the plane, no depth): no sign of a slope.
    const bool aFlat = !(a2 > 0.0f) || std::fabs(a2 - a) <= flat;
    const bool bFlat = !(b2 > 0.0f) || std::fabs(b2 - b) <= flat;
    return aFlat && bFlat;
}


// Whether any opposite pair within `radius` puts the pixel on a jump;
// look(dir, k) is the depth k steps along direction dir.
template <typename Look>
bool flyingAt(float d, float step, int radius, Look look) {
    for (int r = 1; r <= radius; ++r) {
        for (int dir = 0; dir < 4; ++dir) {
            if (onJump(d, look(dir, -r), look(dir, r), look(dir, -r - 1), look(dir, r + 1), step)) return true;
        }
    }
    return false;
}

}  // namespace

void removeFlyingPixels(const Planes& p, const FlyingPixelSettings& s) {
    const int w = p.width, h = p.height;
    const float ratio = s.stepPercent / 100.0f;
    const auto flag = uint8_t(InvalidReason::FLYING_PIXEL);
    // Inside this margin every pixel looked at lies on the plane: direct offsets.
    const int margin = s.radius + 1;
    ptrdiff_t offset[4];
    for (int dir = 0; dir < 4; ++dir) offset[dir] = ptrdiff_t(kDirections[dir][1]) * w + kDirections[dir][0];
    // Decided on the stage's input: depths are cleared only afterwards, so
    // a removed pixel still counts as a neighbour of the next.
    for (int y = 0; y < h; ++y) {
        const bool innerRow = y >= margin && y < h - margin;
        for (int x = 0; x < w; ++x) {
            const size_t i = size_t(y) * size_t(w) + size_t(x);
            const float d = p.depth[i];
            if (!(d > 0.0f)) continue;
            const float step = std::max(s.minStepMm, d * ratio);
            bool flying;
            if (innerRow && x >= margin && x < w - margin) {
                const float* centre = p.depth + i;
                flying = flyingAt(d, step, s.radius, [&](int dir, int k) { return centre[k * offset[dir]]; });
            } else {
                flying = flyingAt(d, step, s.radius,
                                  [&](int dir, int k) { return at(p, x, y, kDirections[dir], k); });
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
