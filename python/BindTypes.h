// Registration of the module's enumerations and records.
#pragma once

#include <pybind11/pybind11.h>

#include <stdexcept>

namespace Norvane {
namespace python {

void bindEnumerations(pybind11::module_& m);

// The value of an enumeration argument taken by pointer, which is how None
// gets past the argument conversion: None is refused with a RuntimeError
// (empty message) before any library code runs; any other object that is
// not a member of the enumeration has already been refused with TypeError.
template <typename E>
E enumArgument(const E* value) {
    if (!value) throw std::runtime_error("");
    return *value;
}

void bindRecords(pybind11::module_& m);

}  // namespace python
}  // namespace Norvane
