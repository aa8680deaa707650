// The frame classes and their accessors: planes as fresh numpy arrays,
// format records as new NorvaneFormat objects.
#pragma once

#include <pybind11/pybind11.h>

namespace Norvane {
namespace python {

void bindFrames(pybind11::module_& m);

}  // namespace python
}  // namespace Norvane
