// Registration of the module's enumerations and records.
#pragma once

#include <pybind11/pybind11.h>

namespace Norvane {
namespace python {

void bindEnumerations(pybind11::module_& m);
void bindRecords(pybind11::module_& m);

}  // namespace python
}  // namespace Norvane
