#include <algorithm>
#include <cmath>

#include "filter/DepthFilters.h"
#include "filter/FilterKernels.h"

namespace Norvane {
namespace filter {

namespace {

// Opposite pairs are (-dx, -dy) and (+dx, +dy): horizontal, vertical and
// both diagonals.
constexpr int kDirections[4][2] = {{1, 0}, {0, 1}, {1, 1}, {1, -1}};
constexpr int kMaxRadius = 3;

// The depth `k` steps of `dir` away from (x, y); 0 outside the plane.
inline float at(const Planes& p, int x, int y, const int* dir, int k) {
    const int xx = x + k * dir[0], yy = y + k * dir[1];
    if (xx < 0 || xx >= p.width || yy < 0 || yy >= p.height) return 0.0f;
    return p.depth[size_t(yy) * size_t(p.width) + size_t(xx)];
}

// Whether any opposite pair within `radius` puts the pixel of depth d on a
// jump rather than on a slope; look(dir, k) is the depth k steps along
// direction dir. The pair a, b (r steps away on either side) must both have
// depth, with d more than the step from each and between them, and sit on
// flat ground: the steps from a and b out to the next pixels (a2, b2) are
// small against the jump. A slope steps alike all along and is kept. The
// pixels further out are looked up only for a pair that passes the rest.
template <typename Look>
bool flyingAt(float d, float step, int radius, Look look) {
    for (int r = 1; r <= radius; ++r) {
        for (int dir = 0; dir < 4; ++dir) {
            const float a = look(dir, -r), b = look(dir, r);
            if (!(a > 0.0f) || !(b > 0.0f)) continue;
            const float lo = std::min(a, b), hi = std::max(a, b);
            if (!(d - lo > step && hi - d > step)) continue;
            const float flat = std::max(step, (hi - lo) * 0.25f);
            // No pixel further out (edge of the plane, no depth): no sign of a slope.
            const float a2 = look(dir, -r - 1), b2 = look(dir, r + 1);
            const bool aFlat = !(a2 > 0.0f) || std::fabs(a2 - a) <= flat;
            const bool bFlat = !(b2 > 0.0f) || std::fabs(b2 - b) <= flat;
            if (aFlat && bFlat) return true;
        }
    }
    return false;
}

// The offsets of the four directions in a plane `stride` pixels wide.
inline void directionOffsets(ptrdiff_t stride, ptrdiff_t offset[4]) {
    for (int dir = 0; dir < 4; ++dir) offset[dir] = ptrdiff_t(kDirections[dir][1]) * stride + kDirections[dir][0];
}

}  // namespace

namespace detail {

int flyingCandidatesScalar(const float* centre, ptrdiff_t stride, int count, int radius, float minStepMm,
                           float ratio, int32_t* candidates) {
    ptrdiff_t offset[4];
    directionOffsets(stride, offset);
    int n = 0;
    for (int i = 0; i < count; ++i) {
        const float* c = centre + i;
        const float d = *c;
        if (!(d > 0.0f)) continue;
        float lo = INFINITY, hi = -INFINITY;
        for (int k = 1; k <= radius; ++k) {
            for (int dir = 0; dir < 4; ++dir) {
                const float a = c[-k * offset[dir]], b = c[k * offset[dir]];
                lo = std::min(lo, std::min(a, b));
                hi = std::max(hi, std::max(a, b));
            }
        }
        const float step = std::max(minStepMm, d * ratio);
        if (hi - d > step && d - lo > step) candidates[n++] = i;
    }
    return n;
}

}  // namespace detail

void removeFlyingPixels(const Planes& p, const FlyingPixelSettings& s, int32_t* candidates,
                        const FilterVariant& kernels) {
    const int w = p.width, h = p.height, radius = std::min(std::max(s.radius, 1), kMaxRadius);
    const float ratio = s.stepPercent / 100.0f;
    const auto flag = uint8_t(InvalidReason::FLYING_PIXEL);
    // The rule reads pixels up to this far away; inside it, direct offsets.
    const int margin = radius + 1;
    ptrdiff_t offset[4];
    directionOffsets(w, offset);
    auto decide = [&](int x, int y) {
        const size_t i = size_t(y) * size_t(w) + size_t(x);
        const float d = p.depth[i];
        if (!(d > 0.0f)) return 0;
        const float step = std::max(s.minStepMm, d * ratio);
        bool flying;
        if (y >= margin && y < h - margin && x >= margin && x < w - margin) {
            const float* centre = p.depth + i;
            flying = flyingAt(d, step, radius, [&](int dir, int k) { return centre[k * offset[dir]]; });
        } else {
            flying = flyingAt(d, step, radius, [&](int dir, int k) { return at(p, x, y, kDirections[dir], k); });
        }
        if (!flying) return 0;
        p.invalid[i] = flag;
        return 1;
    };
    // Decided on the stage's input: a removed pixel still counts as a
    // neighbour of the next, so a row is cleared only once no later row's
    // rule reads it, `margin` rows on.
    int flaggedInRow[kMaxRadius + 2] = {};
    auto clearRow = [&](int y) {
        if (!flaggedInRow[y % (margin + 1)]) return;
        float* depth = p.depth + size_t(y) * size_t(w);
        const uint8_t* invalid = p.invalid + size_t(y) * size_t(w);
        for (int x = 0; x < w; ++x) depth[x] = invalid[x] == flag ? 0.0f : depth[x];
    };
    const bool innerRuns = w > 2 * radius;
    for (int y = 0; y < h; ++y) {
        int flagged = 0;
        if (!innerRuns || y < radius || y >= h - radius) {
            for (int x = 0; x < w; ++x) flagged += decide(x, y);
        } else {
            // The candidates only. Near the ends of a row the run's
            // neighbourhood wraps into the rows beside it: that only adds
            // candidates, which the rule then decides on the plane itself.
            // The first and last run stop where they would leave the plane.
            const int x0 = y == radius ? radius : 0;
            const int x1 = y == h - radius - 1 ? w - radius : w;
            for (int x = 0; x < x0; ++x) flagged += decide(x, y);
            const float* run = p.depth + size_t(y) * size_t(w) + size_t(x0);
            const int found = kernels.flyingCandidates(run, w, x1 - x0, radius, s.minStepMm, ratio, candidates);
            for (int k = 0; k < found; ++k) flagged += decide(x0 + candidates[k], y);
            for (int x = x1; x < w; ++x) flagged += decide(x, y);
        }
        flaggedInRow[y % (margin + 1)] = flagged;
        if (y >= margin) clearRow(y - margin);
    }
    for (int y = std::max(0, h - margin); y < h; ++y) clearRow(y);
}

}  // namespace filter
}  // namespace Norvane
