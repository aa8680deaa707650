// The built-in 3D scenes of the simulated evaluation kit.
//
// The kit's lens is a pinhole with a 70 degree horizontal field of view and
// square pixels, at the origin, looking along +z (x to the right, y down,
// millimetres). A pixel sees the surface its centre ray meets first.
#pragma once

#include "sdk/evk/EvkConfig.h"

namespace Norvane {
namespace evk {

struct SurfaceHit {
    double distanceMm;  // along the ray: what a time-of-flight pixel measures
    double albedo;      // reflectivity times the cosine of the incidence angle
};

// The surface seen by pixel (col, row) of a width x height image.
SurfaceHit tracePixel(SceneKind scene, int width, int height, int col, int row);

}  // namespace evk
}  // namespace Norvane
