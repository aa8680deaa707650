#include "sdk/evk/EvkScene.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace Norvane {
namespace evk {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kHorizontalFovDeg = 70.0;

struct Vec {
    double x, y, z;
};

double dot(const Vec& a, const Vec& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

// An infinite plane perpendicular to one axis, seen from the origin.
struct AxisPlane {
    int axis;  // 0 x, 1 y, 2 z
    double position;
    double reflectivity;
};

struct Sphere {
    Vec centre;
    double radius;
    double reflectivity;
};

struct Box {
    Vec lo, hi;
    double reflectivity;
};

// The room: camera 900 mm above the floor, 1300 mm below the ceiling,
// 1600 mm from each side wall, 3000 mm from the back wall; a ball and a
// box standing on the floor.
constexpr AxisPlane kRoomPlanes[] = {
    {1, 900.0, 0.5},    // floor
    {1, -1300.0, 0.7},  // ceiling
    {0, -1600.0, 0.6},  // left wall
    {0, 1600.0, 0.6},   // right wall
    {2, 3000.0, 0.8},   // back wall
};
constexpr Sphere kRoomBall = {{-500.0, 300.0, 1400.0}, 350.0, 0.9};
constexpr Box kRoomBox = {{350.0, 300.0, 1700.0}, {950.0, 900.0, 2300.0}, 0.7};

// The wall: one flat wall 1400 mm in front of the camera.
constexpr AxisPlane kWallPlane = {2, 1400.0, 0.8};

double component(const Vec& v, int axis) { return axis == 0 ? v.x : axis == 1 ? v.y : v.z; }

void hitPlane(const AxisPlane& p, const Vec& dir, SurfaceHit& best) {
    double d = component(dir, p.axis);
    if (d == 0.0) return;
    double t = p.position / d;
    if (t > 0.0 && t < best.distanceMm) best = {t, p.reflectivity * std::fabs(d)};
}

void hitSphere(const Sphere& s, const Vec& dir, SurfaceHit& best) {
    double b = dot(dir, s.centre);
    double disc = b * b - (dot(s.centre, s.centre) - s.radius * s.radius);
    if (disc < 0.0) return;
    double t = b - std::sqrt(disc);
    if (t <= 0.0 || t >= best.distanceMm) return;
    Vec n = {(dir.x * t - s.centre.x) / s.radius, (dir.y * t - s.centre.y) / s.radius,
             (dir.z * t - s.centre.z) / s.radius};
    best = {t, s.reflectivity * std::fabs(dot(n, dir))};
}

void hitBox(const Box& box, const Vec& dir, SurfaceHit& best) {
    double tNear = 0.0, tFar = std::numeric_limits<double>::infinity();
    int entryAxis = -1;
    for (int axis = 0; axis < 3; ++axis) {
        double d = component(dir, axis), lo = component(box.lo, axis), hi = component(box.hi, axis);
        if (d == 0.0) {
            if (lo > 0.0 || hi < 0.0) return;
            continue;
        }
        double t0 = lo / d, t1 = hi / d;
        if (t0 > t1) std::swap(t0, t1);
        if (t0 > tNear) {
            tNear = t0;
            entryAxis = axis;
        }
        if (t1 < tFar) tFar = t1;
        if (tNear > tFar) return;
    }
    if (entryAxis < 0 || tNear >= best.distanceMm) return;
    best = {tNear, box.reflectivity * std::fabs(component(dir, entryAxis))};
}

// The surface met by the ray through image point (x, y), in pixels from the
// top-left corner (a pixel's centre is at col + 0.5, row + 0.5).
SurfaceHit traceRay(SceneKind scene, int width, int height, double x, double y) {
    const double focal = (width / 2.0) / std::tan(kHorizontalFovDeg / 2.0 * kPi / 180.0);
    Vec dir = {(x - width / 2.0) / focal, (y - height / 2.0) / focal, 1.0};
    double norm = std::sqrt(dot(dir, dir));
    dir = {dir.x / norm, dir.y / norm, dir.z / norm};

    SurfaceHit best = {std::numeric_limits<double>::infinity(), 0.0};
    if (scene == SceneKind::Wall) {
        hitPlane(kWallPlane, dir, best);
    } else {
        for (const AxisPlane& p : kRoomPlanes) hitPlane(p, dir, best);
        hitSphere(kRoomBall, dir, best);
        hitBox(kRoomBox, dir, best);
    }
    return best;
}

bool depthJump(double a, double b) {
    return std::fabs(a - b) > std::max(kEdgeJumpMm, kEdgeJumpShare * std::min(a, b));
}

}  // namespace

SurfaceHit tracePixel(SceneKind scene, int width, int height, int col, int row) {
    return traceRay(scene, width, height, col + 0.5, row + 0.5);
}

void traceFootprint(SceneKind scene, int width, int height, int col, int row, SurfaceHit* rays) {
    for (int j = 0; j < kFootprintRays; ++j)
        for (int i = 0; i < kFootprintRays; ++i)
            rays[j * kFootprintRays + i] = traceRay(scene, width, height, col + (i + 0.5) / kFootprintRays,
                                                    row + (j + 0.5) / kFootprintRays);
}

SceneTruth traceTruth(SceneKind scene, int width, int height) {
    SceneTruth t;
    t.width = width;
    t.height = height;
    const size_t pixels = size_t(width) * size_t(height);
    t.distanceMm.resize(pixels);
    t.edgeDistance.assign(pixels, 255);
    // The footprint rays of every pixel on one fine grid, so that jumps
    // across pixel borders show as well as those inside a footprint.
    const int fineWidth = width * kFootprintRays, fineHeight = height * kFootprintRays;
    std::vector<double> fine(size_t(fineWidth) * size_t(fineHeight));
    SurfaceHit rays[kRaysPerPixel];
    for (int r = 0; r < height; ++r) {
        for (int c = 0; c < width; ++c) {
            t.distanceMm[size_t(r) * width + c] = float(tracePixel(scene, width, height, c, r).distanceMm);
            traceFootprint(scene, width, height, c, r, rays);
            for (int k = 0; k < kRaysPerPixel; ++k)
                fine[size_t(r * kFootprintRays + k / kFootprintRays) * fineWidth + c * kFootprintRays +
                     k % kFootprintRays] = rays[k].distanceMm;
        }
    }
    auto markEdge = [&](int fx, int fy) { t.edgeDistance[size_t(fy / kFootprintRays) * width + fx / kFootprintRays] = 0; };
    for (int fy = 0; fy < fineHeight; ++fy) {
        for (int fx = 0; fx < fineWidth; ++fx) {
            const double d = fine[size_t(fy) * fineWidth + fx];
            if (fx + 1 < fineWidth && depthJump(d, fine[size_t(fy) * fineWidth + fx + 1])) {
                markEdge(fx, fy);
                markEdge(fx + 1, fy);
            }
            if (fy + 1 < fineHeight && depthJump(d, fine[size_t(fy + 1) * fineWidth + fx])) {
                markEdge(fx, fy);
                markEdge(fx, fy + 1);
            }
        }
    }
    // Chessboard distance to the nearest edge pixel: two sweeps.
    auto relax = [&](int c, int r, int dc, int dr) {
        const int nc = c + dc, nr = r + dr;
        if (nc < 0 || nc >= width || nr < 0 || nr >= height) return;
        uint8_t& here = t.edgeDistance[size_t(r) * width + c];
        const uint8_t there = t.edgeDistance[size_t(nr) * width + nc];
        if (there < 255 && there + 1 < here) here = uint8_t(there + 1);
    };
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c)
            for (int dc = -1; dc <= 1; ++dc) relax(c, r, dc, -1), relax(c, r, -1, 0);
    for (int r = height - 1; r >= 0; --r)
        for (int c = width - 1; c >= 0; --c)
            for (int dc = -1; dc <= 1; ++dc) relax(c, r, dc, 1), relax(c, r, 1, 0);
    return t;
}

}  // namespace evk
}  // namespace Norvane
