// Registration of the camera class NorvaneCamera.
#pragma once

#include <pybind11/pybind11.h>

namespace Norvane {
namespace python {

void bindCamera(pybind11::module_& m);

}  // namespace python
}  // namespace Norvane
