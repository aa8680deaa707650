// The Python module NorvaneDepthCamera.
#include <pybind11/pybind11.h>

#include "core/NorvaneTOFCamera.h"

namespace py = pybind11;

PYBIND11_MODULE(NorvaneDepthCamera, m) {
    m.attr("__version__") = "dev";
}
