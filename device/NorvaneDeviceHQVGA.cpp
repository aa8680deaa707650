#include "device/NorvaneDeviceHQVGA.h"

namespace Norvane {

namespace {

constexpr int32_t kLongRangeMm = 4000;
// Jetson receivers deliver the samples four bits up.
constexpr uint8_t kJetsonShift = 4;
constexpr int32_t kFrameKind = 2;

}  // namespace

NorvaneDeviceHQVGA::NorvaneDeviceHQVGA(PlatformType platform, bool receiverShift)
    : NorvaneDevice(platform),
      modulationHz(hqvga::kLongRangeHz),
      range(kLongRangeMm),
      shift(receiverShift && platform == PLATFORM_JETSON ? kJetsonShift : 0) {}

int NorvaneDeviceHQVGA::deviceType() { return HQVGA; }

void NorvaneDeviceHQVGA::getFrameFormat(FrameSize& raw, FrameSize& depth) {
    raw = FrameSize{kFrameKind, hqvga::kWidth, hqvga::kRawHeight};
    depth = FrameSize{kFrameKind, hqvga::kWidth, hqvga::kHeight};
}

int NorvaneDeviceHQVGA::init(NorvaneTOFSensor* s, DeviceType) {
    sensor = s;
    return NorvaneSuccess;
}

int NorvaneDeviceHQVGA::close() { return NorvaneSuccess; }

int NorvaneDeviceHQVGA::prepare() { return NorvaneSuccess; }

int NorvaneDeviceHQVGA::start() { return NorvaneSuccess; }

int NorvaneDeviceHQVGA::stop() { return NorvaneSuccess; }

int NorvaneDeviceHQVGA::setControl(CameraCtrl ctrl, int value) {
    if (ctrl != CameraCtrl::RANGE) return NorvaneInvalidParameter;
    // Only the two ranges select a modulation the decode knows; any other
    // would be decoded with a frequency and phase order that do not match.
    if (value != hqvga::kShortRangeMm && value != kLongRangeMm) return NorvaneInvalidParameter;
    // The sensor must modulate at the frequency the decode assumes: the
    // decode follows only once the sensor has taken the range.
    if (sensor) {
        const int r = sensor->setControl(int(CameraCtrl::RANGE), value);
        if (r != NorvaneSuccess) return r;
    }
    modulationHz.store(value == hqvga::kShortRangeMm ? hqvga::kShortRangeHz : hqvga::kLongRangeHz);
    range.store(value);
    return NorvaneSuccess;
}

int NorvaneDeviceHQVGA::setControlExt(CameraCtrl, const char*) { return NorvaneInvalidParameter; }

int NorvaneDeviceHQVGA::getControl(CameraCtrl ctrl, int* value) {
    if (ctrl == CameraCtrl::RANGE) {
        if (!value) return NorvaneInvalidParameter;
        *value = range.load();
        return NorvaneSuccess;
    }
    if (!sensor) return NorvaneUnkownError;
    return sensor->getControl(int(ctrl), value);
}

int NorvaneDeviceHQVGA::getControlExt(CameraCtrl, const char**) { return NorvaneInvalidParameter; }

hqvga::DecodeParams NorvaneDeviceHQVGA::decodeParams() const {
    return hqvga::DecodeParams{modulationHz.load(), range.load() == hqvga::kShortRangeMm, shift};
}

bool NorvaneDeviceHQVGA::getRawImages(const uint8_t* frame, int16_t* raw) {
    if (!frame || !raw) return false;
    hqvga::interleaveRaw(frame, shift, raw);
    return true;
}

bool NorvaneDeviceHQVGA::getPhaseImage(const uint8_t* frame, float* depth, float* amplitude, float* confidence) {
    if (!frame || !depth || !amplitude || !confidence) return false;
    const hqvga::DecodeParams params = decodeParams();
    hqvga::decodeDepth(frame, params, depth, amplitude, confidence);
    return true;
}

}  // namespace Norvane
