// The Python module NorvaneDepthCamera: registration in the order the
// module's attributes appear.
#include <pybind11/pybind11.h>

#include "python/BindCamera.h"
#include "python/BindTypes.h"
#include "python/FrameArrays.h"

namespace py = pybind11;

PYBIND11_MODULE(NorvaneDepthCamera, m) {
    Norvane::python::bindEnumerations(m);
    Norvane::python::bindRecords(m);
    Norvane::python::bindFrames(m);
    Norvane::python::bindCamera(m);
    m.attr("__version__") = "dev";
}
