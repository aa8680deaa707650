// The built-in 3D scenes of the simulated evaluation kit.
//
// The kit's lens is a pinhole with a 70 degree horizontal field of view and
// square pixels, at the origin, looking along +z (x to the right, y down,
// millimetres). A pixel sees the surface its centre ray meets first.
#pragma once

#include <cstdint>
#include <vector>

#include "sdk/evk/EvkConfig.h"

namespace Norvane {
namespace evk {

struct SurfaceHit {
    double distanceMm;  // along the ray: what a time-of-flight pixel measures
    double albedo;      // reflectivity times the cosine of the incidence angle
};

// The surface seen by pixel (col, row) of a width x height image.
SurfaceHit tracePixel(SceneKind scene, int width, int height, int col, int row);

// A pixel's footprint is sampled by kFootprintRays x kFootprintRays rays on
// a regular grid across its square.
constexpr int kFootprintRays = 4;
constexpr int kRaysPerPixel = kFootprintRays * kFootprintRays;

// The surfaces the rays of pixel (col, row) meet, kRaysPerPixel of them, row
// by row across the pixel.
void traceFootprint(SceneKind scene, int width, int height, int col, int row, SurfaceHit* rays);

// The scene's own geometry, for measuring what a camera makes of it.
// `distanceMm`: each pixel's distance along its centre ray (what a noise-free
// pixel on a smooth surface reads). `edgeDistance`: 0 on a depth edge (a
// jump of more than max(kEdgeJumpMm, kEdgeJumpShare of the distance)
// between neighbouring rays of its footprint or across its border), else
// the number of pixels to the nearest edge pixel (chessboard metric, at
// most 255).
constexpr double kEdgeJumpMm = 50.0;
constexpr double kEdgeJumpShare = 0.03;
struct SceneTruth {
    int width = 0, height = 0;
    std::vector<float> distanceMm;
    std::vector<uint8_t> edgeDistance;
};
SceneTruth traceTruth(SceneKind scene, int width, int height);

}  // namespace evk
}  // namespace Norvane
