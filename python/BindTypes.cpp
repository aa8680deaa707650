#include "python/BindTypes.h"

#include "core/NorvaneTypes.h"

namespace py = pybind11;

namespace Norvane {
namespace python {

namespace {

// Enumerations print as "Type.MEMBER" (or "Type.???" for a number without
// a member), the same text as str().
template <typename E>
void useStrAsRepr(py::enum_<E>& e) {
    e.attr("__repr__") = e.attr("__str__");
}

// A read/write property for an enumeration field. Reading gives a new enum
// object holding the field's value at the time of the read: the binding
// library's enumeration caster always copies, and rightly so, since an enum
// object whose value changed under it would change its hash and equality
// while it sits in a set or a dict. Assigning None raises RuntimeError, as
// for arguments.
template <typename Record, typename E>
void enumProperty(py::class_<Record>& cls, const char* name, E Record::*field) {
    cls.def_property(
        name, [field](const Record& r) -> E { return r.*field; },
        [field](Record& r, const E* value) { r.*field = enumArgument(value); });
}

}  // namespace

void bindEnumerations(py::module_& m) {
    py::enum_<DeviceType> deviceType(m, "TOFDeviceType");
    deviceType.value("VGA", VGA).value("HQVGA", HQVGA);
    useStrAsRepr(deviceType);

    py::enum_<FrameType> output(m, "TOFOutput");
    output.value("RAW", FrameType::RAW)
        .value("DEPTH", FrameType::DEPTH)
        .value("CONFIDENCE", FrameType::CONFIDENCE)
        .value("CACHE", FrameType::CACHE);
    useStrAsRepr(output);

    py::enum_<Connection> connect(m, "TOFConnect");
    connect.value("CSI", Connection::CSI).value("USB", Connection::USB);
    useStrAsRepr(connect);

    py::enum_<CameraCtrl> control(m, "TOFControl");
    control.value("RANGE", CameraCtrl::RANGE)
        .value("FMT_WIDTH", CameraCtrl::FMT_WIDTH)
        .value("FMT_HEIGHT", CameraCtrl::FMT_HEIGHT)
        .value("MODE", CameraCtrl::MODE)
        .value("FRAME_MODE", CameraCtrl::FRAME_MODE)
        .value("EXPOSURE", CameraCtrl::EXPOSURE)
        .value("FRAME_RATE", CameraCtrl::FRAME_RATE)
        .value("SKIP_FRAME", CameraCtrl::SKIP_FRAME)
        .value("SKIP_FRAME_LOOP", CameraCtrl::SKIP_FRAME_LOOP)
        .value("CONFIG_DIR_EXT", CameraCtrl::CONFIG_DIR_EXT);
    useStrAsRepr(control);

    py::enum_<TofWorkMode> workMode(m, "TofWorkMode");
    workMode.value("SINGLE_FREQ", TofWorkMode::SINGLE_FREQ)
        .value("DOUBLE_FREQ", TofWorkMode::DOUBLE_FREQ)
        .value("TRIPLE_FREQ", TofWorkMode::TRIPLE_FREQ)
        .value("QUAD_FREQ", TofWorkMode::QUAD_FREQ)
        .value("DISTANCE", TofWorkMode::DISTANCE)
        .value("HDR", TofWorkMode::HDR)
        .value("AE", TofWorkMode::AE)
        .value("BG_OUTDOOR", TofWorkMode::BG_OUTDOOR)
        .value("GRAY_ONLY", TofWorkMode::GRAY_ONLY)
        .value("CUSTOM1", TofWorkMode::CUSTOM1)
        .value("CUSTOM2", TofWorkMode::CUSTOM2)
        .value("CUSTOM3", TofWorkMode::CUSTOM3)
        .def("__int__", [](TofWorkMode v) { return static_cast<int32_t>(v); });
    useStrAsRepr(workMode);

    using F = TofFrameWorkMode;
    py::enum_<F> frameMode(m, "TofFrameWorkMode");
    frameMode.value("SINGLE_FREQ_2PHASE", F::SINGLE_FREQ_2PHASE)
        .value("SINGLE_FREQ_4PHASE", F::SINGLE_FREQ_4PHASE)
        .value("SINGLE_FREQ_4PHASE_GRAY", F::SINGLE_FREQ_4PHASE_GRAY)
        .value("SINGLE_FREQ_4PHASE_BG", F::SINGLE_FREQ_4PHASE_BG)
        .value("SINGLE_FREQ_4PHASE_4BG", F::SINGLE_FREQ_4PHASE_4BG)
        .value("SINGLE_FREQ_4PHASE_GRAY_5BG", F::SINGLE_FREQ_4PHASE_GRAY_5BG)
        .value("SINGLE_FREQ_GRAY_BG_4PHASE_GRAY_BG", F::SINGLE_FREQ_GRAY_BG_4PHASE_GRAY_BG)
        .value("SINGLE_FREQ_GRAY_BG_4PHASE_BG", F::SINGLE_FREQ_GRAY_BG_4PHASE_BG)
        .value("SINGLE_FREQ_BG_GRAY_BG_4PHASE", F::SINGLE_FREQ_BG_GRAY_BG_4PHASE)
        .value("SINGLE_FREQ_BG_4PHASE_BG_GRAY", F::SINGLE_FREQ_BG_4PHASE_BG_GRAY)
        .value("DOUBLE_FREQ_4PHASE", F::DOUBLE_FREQ_4PHASE)
        .value("DOUBLE_FREQ_4PHASE_GRAY_4PHASE_BG", F::DOUBLE_FREQ_4PHASE_GRAY_4PHASE_BG)
        .value("DOUBLE_FREQ_4PHASE_4BG", F::DOUBLE_FREQ_4PHASE_4BG)
        .value("DOUBLE_FREQ_4PHASE_GRAY_5BG", F::DOUBLE_FREQ_4PHASE_GRAY_5BG)
        .value("TRIPLE_FREQ_4PHASE", F::TRIPLE_FREQ_4PHASE)
        .value("TRIPLE_FREQ_4PHASE_GRAY_4PHASE_GRAY_4PHASE_BG", F::TRIPLE_FREQ_4PHASE_GRAY_4PHASE_GRAY_4PHASE_BG)
        .value("QUAD_FREQ_4PHASE", F::QUAD_FREQ_4PHASE)
        .value("QUAD_FREQ_4PHASE_GRAY_4PHASE_BG_4PHASE_GRAY_4PHASE_BG",
               F::QUAD_FREQ_4PHASE_GRAY_4PHASE_BG_4PHASE_GRAY_4PHASE_BG)
        .value("BG_OUTDOOR", F::BG_OUTDOOR)
        .value("GRAY_ONLY", F::GRAY_ONLY)
        .value("CUSTOM", F::CUSTOM)
        .def("__int__", [](F v) { return static_cast<int32_t>(v); });
    useStrAsRepr(frameMode);

    py::enum_<TofErrorCode> error(m, "TOFErrorCode");
    error.value("NorvaneSuccess", NorvaneSuccess)
        .value("NorvaneInvalidParameter", NorvaneInvalidParameter)
        .value("NorvaneNoCache", NorvaneNoCache)
        .value("NorvaneUnkownDevice", NorvaneUnkownDevice)
        .value("NorvaneNotImplemented", NorvaneNotImplemented)
        .value("NorvaneSkipFrame", NorvaneSkipFrame)
        .value("NorvaneSystemError", NorvaneSystemError)
        .value("NorvaneUnkownError", NorvaneUnkownError)
        .def("str", [](TofErrorCode code) { return to_str(code); });
    useStrAsRepr(error);
}

void bindRecords(py::module_& m) {
    py::class_<FrameDataFormat> format(m, "NorvaneFormat");
    format.def_readwrite("width", &FrameDataFormat::width)
        .def_readwrite("height", &FrameDataFormat::height)
        .def_readwrite("timestamp", &FrameDataFormat::timestamp);
    enumProperty(format, "type", &FrameDataFormat::type);

    py::class_<CameraInfo> info(m, "NorvaneInfo");
    info.def_readwrite("index", &CameraInfo::index);
    enumProperty(info, "connect", &CameraInfo::connect);
    enumProperty(info, "device_type", &CameraInfo::device_type);
    enumProperty(info, "type", &CameraInfo::type);
    info.def_readwrite("width", &CameraInfo::width)
        .def_readwrite("height", &CameraInfo::height)
        .def_readwrite("bit_width", &CameraInfo::bit_width)
        .def_readwrite("bpp", &CameraInfo::bpp);
}

}  // namespace python
}  // namespace Norvane
