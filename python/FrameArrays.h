// The frame classes and their accessors: planes as fresh numpy arrays,
// format records as new NorvaneFormat objects.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>

#include "core/NorvaneTypes.h"
#include "python/FrameHandle.h"

namespace Norvane {
namespace python {

void bindFrames(pybind11::module_& m);

// Copies of a valid frame's planes as new (height, width) arrays; throw
// std::runtime_error for a frame no longer valid or without the plane.
// Depth, confidence and amplitude are shaped by the depth record.
pybind11::array_t<float> copyDepthPlane(const FrameHandle& frame, FrameType plane);
pybind11::array_t<int16_t> copyRawPlane(const FrameHandle& frame);
// The invalid plane of a depth frame, (height, width) bytes.
pybind11::array_t<uint8_t> copyInvalidPlane(const FrameHandle& frame);

}  // namespace python
}  // namespace Norvane
