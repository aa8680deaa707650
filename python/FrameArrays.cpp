#include "python/FrameArrays.h"

#include <pybind11/numpy.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/FrameBuffer.h"
#include "core/NorvaneTypes.h"
#include "python/FrameHandle.h"

namespace py = pybind11;

namespace Norvane {
namespace python {

// A plane copied into an array that numpy owns.
template <typename T>
struct Plane {
    py::array_t<T> array;
};

}  // namespace python
}  // namespace Norvane

namespace pybind11 {
namespace detail {

// Returned only; shown in signatures as numpy.ndarray[<element type>].
template <typename T>
struct plane_caster {
    static handle cast(const Norvane::python::Plane<T>& plane, return_value_policy, handle) {
        return plane.array.inc_ref();
    }
};

template <>
struct type_caster<Norvane::python::Plane<int16_t>> : plane_caster<int16_t> {
    static constexpr auto name = const_name("numpy.ndarray[int16]");
};

template <>
struct type_caster<Norvane::python::Plane<float>> : plane_caster<float> {
    static constexpr auto name = const_name("numpy.ndarray[float32]");
};

}  // namespace detail
}  // namespace pybind11

namespace Norvane {
namespace python {

namespace {

const char* planeName(FrameType type) {
    switch (type) {
        case FrameType::RAW:
            return "raw";
        case FrameType::DEPTH:
            return "depth";
        case FrameType::CONFIDENCE:
            return "confidence";
        case FrameType::AMPLITUDE:
            return "amplitude";
        default:
            return "such";
    }
}

// Copies `plane` of the frame, shaped by the record of `formatOf`, in one
// block into a new (height, width) array.
template <typename T>
Plane<T> copyPlane(const FrameHandle& frame, FrameType plane, FrameType formatOf) {
    FrameDataFormat format{};
    NorvaneFrameBuffer& buffer = frame.checked();
    if (buffer.getFormat(formatOf, format) != 0 || !buffer.getData(plane)) {
        throw std::runtime_error(std::string("this frame has no ") + planeName(plane) + " plane");
    }
    py::array_t<T> array({py::ssize_t(format.height), py::ssize_t(format.width)});
    // Allocating can run Python code (a collection) that releases the frame:
    // look again, with nothing between the look and the copy.
    const void* source = frame.checked().getData(plane);
    const size_t bytes = size_t(format.height) * size_t(format.width) * sizeof(T);
    if (bytes > 0) std::memcpy(array.mutable_data(), source, bytes);
    return Plane<T>{std::move(array)};
}

FrameDataFormat copyFormat(const FrameHandle& frame, FrameType type) {
    FrameDataFormat format{};
    if (frame.checked().getFormat(type, format) != 0) {
        throw std::runtime_error(std::string("this frame has no ") + planeName(type) + " plane");
    }
    return format;
}

}  // namespace

py::array_t<float> copyDepthPlane(const FrameHandle& frame, FrameType plane) {
    return copyPlane<float>(frame, plane, FrameType::DEPTH).array;
}

py::array_t<int16_t> copyRawPlane(const FrameHandle& frame) {
    return copyPlane<int16_t>(frame, FrameType::RAW, FrameType::RAW).array;
}

py::array_t<uint8_t> copyInvalidPlane(const FrameHandle& frame) {
    auto* depth = dynamic_cast<DepthData*>(&frame.checked());
    FrameDataFormat format{};
    if (!depth || depth->getFormat(FrameType::DEPTH, format) != 0) {
        throw std::runtime_error("this frame has no invalid plane");
    }
    py::array_t<uint8_t> array({py::ssize_t(format.height), py::ssize_t(format.width)});
    // As copyPlane: the allocation may have run Python code; look again.
    const uint8_t* source = dynamic_cast<DepthData&>(frame.checked()).getInvalid();
    const size_t bytes = size_t(format.height) * size_t(format.width);
    if (bytes > 0) std::memcpy(array.mutable_data(), source, bytes);
    return array;
}

void bindFrames(py::module_& m) {
    py::class_<FrameHandle>(m, "NorvaneFrame");

    // getRawData takes any frame as self; a depth frame has no raw plane.
    py::class_<RawFrame, FrameHandle>(m, "RawData")
        .def(
            "getRawData",
            [](const FrameHandle& self) { return copyPlane<int16_t>(self, FrameType::RAW, FrameType::RAW); },
            "Get raw data from the frame")
        .def(
            "getFrameFormat", [](const RawFrame& self) { return copyFormat(self, FrameType::RAW); },
            "Get the information of this frame");

    py::class_<DepthFrame, FrameHandle>(m, "DepthData")
        .def(
            "getDepthData",
            [](const DepthFrame& self) { return copyPlane<float>(self, FrameType::DEPTH, FrameType::DEPTH); },
            "Get depth data from the frame")
        .def(
            "getConfidenceData",
            [](const DepthFrame& self) { return copyPlane<float>(self, FrameType::CONFIDENCE, FrameType::DEPTH); },
            "Get confidence data from the frame")
        .def(
            "getAmplitudeData",
            [](const DepthFrame& self) { return copyPlane<float>(self, FrameType::AMPLITUDE, FrameType::DEPTH); },
            "Get amplitude data from the frame")
        .def(
            "getFrameFormat", [](const DepthFrame& self) { return copyFormat(self, FrameType::DEPTH); },
            "Get the information of this frame");
}

}  // namespace python
}  // namespace Norvane
