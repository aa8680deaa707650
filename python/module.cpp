// The Python module NorvaneDepthCamera: registration in the order the
// module's attributes appear.
#include <pybind11/pybind11.h>

#include "python/BindTypes.h"

namespace py = pybind11;

PYBIND11_MODULE(NorvaneDepthCamera, m) {
    Norvane::python::bindEnumerations(m);
    Norvane::python::bindRecords(m);
    m.attr("__version__") = "dev";
}
