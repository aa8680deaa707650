#include "python/BindCamera.h"

#include <memory>
#include <optional>
#include <string>

#include <pybind11/stl.h>

#include "core/NorvaneTypes.h"
#include "python/BindTypes.h"
#include "python/BoundCamera.h"
#include "python/FrameHandle.h"
#include "python/FrameWait.h"

namespace py = pybind11;

namespace Norvane {
namespace python {

namespace {

constexpr const char* kOpenDoc =
    "Initialize the camera configuration and turn on the camera, set the initialization frame according to the "
    "mode.\n\n- mode Specify the connection method.\n- index Device node, the default value is video0.";
constexpr const char* kOpenWithFileDoc =
    "Initialize the camera configuration and turn on the camera, set the initialization frame according to the "
    "mode.\n\n- path Specify the config file path.\n- index Device node, the default value is video0.";

// The wait stays on the pool it started with: once that pool is replaced or
// closed no frame will come from it, and once the camera is stopped none but
// those still ready.
std::unique_ptr<FrameHandle> requestFrame(BoundCamera& camera, short timeout) {
    return waitForFrame(camera.currentPool(), timeout, false);
}

}  // namespace

void bindCamera(py::module_& m) {
    using GilFree = py::call_guard<py::gil_scoped_release>;
    // Enumeration arguments are checked (None refused) before the interpreter
    // lock is let go for the camera's work.
    // Destruction stops the capture thread and closes the device: other
    // threads run meanwhile.
    py::class_<BoundCamera>(m, "NorvaneCamera", py::release_gil_before_calling_cpp_dtor())
        .def(py::init<>())
        .def(
            "open",
            [](BoundCamera& camera, const Connection* mode, int index) {
                const Connection connect = enumArgument(mode);
                py::gil_scoped_release released;
                return camera.open(connect, index);
            },
            kOpenDoc, py::arg("mode"), py::arg("index") = 0)
        .def(
            "openWithFile",
            [](BoundCamera& camera, const std::optional<std::string>& path, int index) {
                // A NUL would cut the path short and open another file (an
                // empty path opens the kit's defaults); Python's own file
                // functions refuse such a path the same way.
                if (path && path->find('\0') != std::string::npos) throw py::value_error("embedded null byte");
                py::gil_scoped_release released;
                return camera.openWithFile(path ? path->c_str() : nullptr, index);
            },
            kOpenWithFileDoc, py::arg("path"), py::arg("index") = 0)
        .def("close", &BoundCamera::close, "Close the camera", GilFree())
        .def(
            "start",
            [](BoundCamera& camera, const FrameType* type) {
                const FrameType output = enumArgument(type);
                py::gil_scoped_release released;
                return camera.start(output);
            },
            "Start the camera stream and start processing.", py::arg("type"))
        .def("stop", &BoundCamera::stop, "Stop camera stream and processing.", GilFree())
        .def(
            "setControl",
            [](BoundCamera& camera, const CameraCtrl* ctrl, int value) {
                const CameraCtrl control = enumArgument(ctrl);
                py::gil_scoped_release released;
                return camera.setControl(control, value);
            },
            "Set camera parameters.", py::arg("ctrl"), py::arg("value"))
        .def(
            "getControl",
            [](BoundCamera& camera, const CameraCtrl* ctrl) {
                const CameraCtrl control = enumArgument(ctrl);
                py::gil_scoped_release released;
                return camera.getControl(control);
            },
            "Get camera parameters.", py::arg("ctrl"))
        .def("getCameraInfo", &BoundCamera::getCameraInfo, "Get camera information.", GilFree())
        .def("requestFrame", &requestFrame, "Request a frame of data from the frame processing thread.",
             py::arg("timeout"))
        .def("releaseFrame", &BoundCamera::releaseFrame, "Free the memory space of the frame.", py::arg("frame"));
}

}  // namespace python
}  // namespace Norvane
