#include "sdk/evk/EvkScene.h"

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

}  // namespace

SurfaceHit tracePixel(SceneKind scene, int width, int height, int col, int row) {
    const double focal = (width / 2.0) / std::tan(kHorizontalFovDeg / 2.0 * kPi / 180.0);
    Vec dir = {(col + 0.5 - width / 2.0) / focal, (row + 0.5 - height / 2.0) / focal, 1.0};
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

}  // namespace evk
}  // namespace Norvane
