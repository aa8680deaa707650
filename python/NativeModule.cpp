// norvane._native: the private extension of the norvane package. It drives
// the same camera as NorvaneDepthCamera (BoundCamera, frame handles, plane
// copies) and adds what that module's interface cannot carry: frames handed
// over as copies with their capture number and publication time, the newest
// frame on request, control results, the text control. Plain integers
// stand for the library's enumerations; the package names them. With the
// simulated kit it also gives the kit's scene geometry, to measure against.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>

#include "core/NorvaneTypes.h"
#include "filter/FilterSettings.h"
#include "python/BoundCamera.h"
#include "python/FrameArrays.h"
#include "python/FrameHandle.h"
#include "python/FrameWait.h"
#include "python/RecordingPlanes.h"
#ifdef NORVANE_SIMULATED_KIT
#include "sdk/evk/EvkScene.h"
#endif

namespace py = pybind11;

namespace Norvane {
namespace python {

namespace {

// timestamp (ms), capture index, publication time (ns), depth, amplitude,
// confidence, raw, invalid: the planes the frame has, None for the others.
using FrameTuple =
    std::tuple<uint64_t, uint64_t, int64_t, py::object, py::object, py::object, py::object, py::object>;

std::optional<FrameTuple> take(BoundCamera& camera, int timeoutMs, bool latest) {
    std::unique_ptr<FrameHandle> frame = waitForFrame(camera.currentPool(), timeoutMs, latest);
    if (!frame) return std::nullopt;
    std::optional<FrameTuple> result;
    try {
        FrameDataFormat format{};
        py::object depth = py::none(), amplitude = py::none(), confidence = py::none(), raw = py::none();
        py::object invalid = py::none();
        if (dynamic_cast<DepthFrame*>(frame.get())) {
            depth = copyDepthPlane(*frame, FrameType::DEPTH);
            amplitude = copyDepthPlane(*frame, FrameType::AMPLITUDE);
            confidence = copyDepthPlane(*frame, FrameType::CONFIDENCE);
            invalid = copyInvalidPlane(*frame);
            frame->checked().getFormat(FrameType::DEPTH, format);
        } else {
            raw = copyRawPlane(*frame);
            frame->checked().getFormat(FrameType::RAW, format);
        }
        // Read last: a frame still valid here was not recycled meanwhile.
        const NorvaneFrameBuffer& b = frame->checked();
        result = FrameTuple{format.timestamp, b.getCaptureIndex(), b.getReceivedNs(), depth, amplitude, confidence, raw,
                            invalid};
    } catch (const std::runtime_error&) {
        // Closed or restarted from another thread while copying: no frame.
    }
    frame->release();
    return result;
}

using Info = std::tuple<uint32_t, int, int, int, uint32_t, uint32_t, uint32_t, uint32_t>;

// Filter settings from {"<filter>.<parameter>": value}, every filter not
// named switched off; ValueError naming the first key or value refused.
FilterSettings filterSettings(const std::map<std::string, double>& values) {
    FilterSettings settings;
    for (const auto& [name, value] : values) {
        if (!setFilterParameter(settings, name.c_str(), value))
            throw py::value_error("filter parameter " + name + ": unknown, or not a value of its kind");
    }
    if (const char* problem = validateFilterSettings(settings)) throw py::value_error(problem);
    return settings;
}

Info info(BoundCamera& camera) {
    const CameraInfo i = camera.getCameraInfo();
    return Info{i.index, int(i.connect), int(i.device_type), int(i.type), i.width, i.height, i.bit_width, i.bpp};
}

#ifdef NORVANE_SIMULATED_KIT
constexpr int kMaxTruthSide = 4096;

template <typename T>
py::array_t<T> imageOf(const std::vector<T>& values, int width, int height) {
    py::array_t<T> array({py::ssize_t(height), py::ssize_t(width)});
    std::copy(values.begin(), values.end(), array.mutable_data());
    return array;
}

// The kit's scene seen by a width x height image: each pixel's distance
// along its centre ray (float32, mm) and its distance to a depth edge
// (uint8, pixels; 0 on an edge).
std::pair<py::array_t<float>, py::array_t<uint8_t>> sceneTruth(const std::string& scene, int width, int height) {
    evk::SceneKind kind;
    if (scene == "room")
        kind = evk::SceneKind::Room;
    else if (scene == "wall")
        kind = evk::SceneKind::Wall;
    else
        throw py::value_error("unknown scene \"" + scene + "\" (room or wall)");
    if (width < 1 || height < 1 || width > kMaxTruthSide || height > kMaxTruthSide)
        throw py::value_error("image size out of range");
    evk::SceneTruth truth;
    {
        py::gil_scoped_release released;
        truth = evk::traceTruth(kind, width, height);
    }
    return {imageOf(truth.distanceMm, width, height), imageOf(truth.edgeDistance, width, height)};
}
#endif

// Depth in millimetres (float32) as metres into `out` (a writable buffer of
// the same byte size); returns the indices and millimetres of the pixels
// whose metres do not give them back bit for bit.
std::pair<py::array_t<uint32_t>, py::array_t<float>> metresIntoBuffer(
    const py::array_t<float, py::array::c_style | py::array::forcecast>& depthMm, const py::buffer& out) {
    const py::buffer_info target = out.request(true);
    const size_t count = size_t(depthMm.size());
    if (size_t(target.size) * size_t(target.itemsize) != count * sizeof(float))
        throw py::value_error("out must hold exactly the depth plane's float32 bytes");
    thread_local std::vector<uint32_t> exact;
    const float* mm = depthMm.data();
    {
        py::gil_scoped_release released;
        metresInto(mm, count, static_cast<unsigned char*>(target.ptr), exact);
    }
    py::array_t<uint32_t> index(py::ssize_t(exact.size()));
    py::array_t<float> values(py::ssize_t(exact.size()));
    uint32_t* indexOut = index.mutable_data();
    float* valuesOut = values.mutable_data();
    for (size_t i = 0; i < exact.size(); ++i) {
        indexOut[i] = exact[i];
        std::memcpy(&valuesOut[i], &mm[exact[i]], sizeof(float));  // the bits, NaN payloads too
    }
    return {index, values};
}

}  // namespace

}  // namespace python
}  // namespace Norvane

PYBIND11_MODULE(_native, m) {
    using Norvane::python::BoundCamera;
    using namespace Norvane;
    using GilFree = py::call_guard<py::gil_scoped_release>;
    // module_local: NorvaneDepthCamera registers the same C++ class.
    py::class_<BoundCamera>(m, "Camera", py::module_local(), py::release_gil_before_calling_cpp_dtor())
        .def(py::init<>())
        .def(
            "open", [](BoundCamera& c, int connect, int index) { return int(c.open(Connection(connect), index)); },
            GilFree())
        .def(
            "open_file",
            [](BoundCamera& c, const std::string& path, int index) {
                if (path.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
                py::gil_scoped_release released;
                return int(c.openWithFile(path.c_str(), index));
            })
        .def("close", [](BoundCamera& c) { return int(c.close()); }, GilFree())
        .def("start", [](BoundCamera& c, int type) { return int(c.start(FrameType(type))); }, GilFree())
        .def("stop", [](BoundCamera& c) { return int(c.stop()); }, GilFree())
        .def(
            "set_control", [](BoundCamera& c, int ctrl, int value) { return int(c.setControl(CameraCtrl(ctrl), value)); },
            GilFree())
        .def(
            "get_control",
            [](BoundCamera& c, int ctrl) {
                int value = 0;
                const int r = c.readControl(CameraCtrl(ctrl), value);
                return std::make_pair(r, value);
            },
            GilFree())
        .def(
            "set_text_control",
            [](BoundCamera& c, int ctrl, const std::string& value) {
                if (value.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
                py::gil_scoped_release released;
                return int(c.setControlExt(CameraCtrl(ctrl), value.c_str()));
            })
        .def("info", &Norvane::python::info, GilFree())
        .def("disconnected", &BoundCamera::disconnected)
        .def("take", &Norvane::python::take, py::arg("timeout_ms"), py::arg("latest"))
        .def("set_filters", [](BoundCamera& c, const std::map<std::string, double>& values) {
            const FilterSettings settings = Norvane::python::filterSettings(values);
            py::gil_scoped_release released;
            return int(c.setFilters(settings));
        });
    // The same check without a camera: the package validates its filter objects with it.
    m.def("check_filters", [](const std::map<std::string, double>& values) {
        Norvane::python::filterSettings(values);
    });
    // Recordings: depth in metres written straight into the chunk being filled.
    m.def("metres_into", &Norvane::python::metresIntoBuffer, py::arg("depth_mm"), py::arg("out"));
#ifdef NORVANE_SIMULATED_KIT
    m.attr("SIMULATED_KIT") = true;
    m.def("scene_truth", &Norvane::python::sceneTruth, py::arg("scene"), py::arg("width"), py::arg("height"));
#else
    m.attr("SIMULATED_KIT") = false;
#endif
}
