#include "sensor/usb/NorvaneTOFUSBSensor.h"

#include <cstring>

namespace Norvane {

namespace {

constexpr int kCaptureTimeoutMs = 2000;
// Frames of one capture are fewer timestamp units apart than this; a larger
// step (or one backwards) starts the capture again.
constexpr uint64_t kCaptureGap = 6;
// Restarts one getFrame call allows before it gives up on the capture.
constexpr int kMaxCaptureRestarts = 4;
constexpr int kOutputBits = 12;
constexpr int kMaxSampleBits = 16;
constexpr const char kBinSuffix[] = ".bin";

struct RangeRegisters {
    uint32_t reg, value;
};
constexpr int kShortRangeMm = 2000;
constexpr RangeRegisters kShortRangeSet[] = {{0x216C, 0x08}, {0x2179, 0x0A}, {0x217A, 0x0E}, {0x217B, 0x12}};
constexpr RangeRegisters kLongRangeSet[] = {{0x216C, 0x10}, {0x2179, 0x0E}, {0x217A, 0x16}, {0x217B, 0x1E}};
constexpr size_t kRangeSetSize = sizeof kShortRangeSet / sizeof kShortRangeSet[0];
static_assert(sizeof kLongRangeSet == sizeof kShortRangeSet, "both range sets write the same registers");

bool endsWith(const std::string& s, const char* suffix) {
    size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

inline uint16_t load16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

inline void store16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }

}  // namespace

NorvaneTOFUSBSensor::NorvaneTOFUSBSensor(const std::string& configPath, int index)
    : configPath(configPath), index(index) {}

NorvaneTOFUSBSensor::~NorvaneTOFUSBSensor() { close(); }

int NorvaneTOFUSBSensor::open(CameraInfo& cameraInfo) {
    close();  // a second open starts from a closed kit
    EvkParam param;
    std::memset(&param, 0, sizeof param);
    NorvaneDefaultParam(&param);
    if (!configPath.empty()) {
        param.config_path = configPath.c_str();
        param.bin_file = endsWith(configPath, kBinSuffix) ? 1 : 0;
    }
    EvkHandle opened = nullptr;
    if (NorvaneOpenCamera(&opened, &param) != 0) return -1;
    handle = opened;
    EvkCameraConfig config;
    std::memset(&config, 0, sizeof config);
    if (NorvaneInitCamera(handle) != 0 || NorvaneGetCameraConfig(handle, &config) != 0) {
        close();
        return -1;
    }
    cameraInfo.width = config.width;
    cameraInfo.height = config.height;
    cameraInfo.bit_width = config.bit_width;
    cameraInfo.bpp = config.bit_width > 8 ? 2 : 1;
    info = cameraInfo;
    return 0;
}

int NorvaneTOFUSBSensor::close() {
    if (handle) {
        NorvaneCloseCamera(handle);
        handle = nullptr;
    }
    started = false;
    return 0;
}

int NorvaneTOFUSBSensor::start() {
    if (started.exchange(true)) return -1;
    return NorvaneStartCamera(handle) == 0 ? 0 : -1;
}

int NorvaneTOFUSBSensor::stop() {
    started = false;
    NorvaneStopCamera(handle);
    return 0;
}

size_t NorvaneTOFUSBSensor::expectedBytes() const { return size_t(info.width) * info.height * info.bpp; }

// 8-bit samples double in size; the frames of a capture stay back to back.
size_t NorvaneTOFUSBSensor::outputBytes() const { return info.bpp == 1 ? 2 * expectedBytes() : expectedBytes(); }

bool NorvaneTOFUSBSensor::convertFrame(uint8_t* out) const {
    const uint8_t* in = frame.data;
    const size_t expected = expectedBytes();
    const unsigned b = info.bit_width;
    if (b == 8 && info.bpp == 1) {
        for (size_t i = 0; i < expected; ++i) store16(out + 2 * i, uint16_t(in[i] << 4));
    } else if (info.bpp != 2 || b > kMaxSampleBits) {
        return false;  // no 16-bit form for this sample format
    } else if (b == kOutputBits) {
        std::memcpy(out, in, expected);
    } else if (b < kOutputBits) {
        const unsigned shift = b == 8 ? 4 : kOutputBits - b;
        for (size_t i = 0; i + 1 < expected; i += 2) store16(out + i, uint16_t(load16(in + i) << shift));
    } else {
        const unsigned shift = b - kOutputBits;
        for (size_t i = 0; i + 1 < expected; i += 2) store16(out + i, uint16_t(load16(in + i) >> shift));
    }
    return true;
}

int NorvaneTOFUSBSensor::getFrame(uint8_t* data, int64_t* timestamp) {
    const size_t expected = expectedBytes();
    const size_t stride = outputBytes();
    size_t pos = 0;
    uint64_t previous = 0;
    int restarts = 0;
    bool written = false;
    for (int i = 0; i < framesPerCapture; ++i) {
        if (!started) return written ? -1 : 0;  // a capture cut short by stop is not a capture
        if (NorvaneCaptureImage(handle, &frame, kCaptureTimeoutMs) != 0) return -1;
        const uint64_t ts = frame.timestamp;
        if (i > 0 && ts - previous >= kCaptureGap) {
            if (++restarts > kMaxCaptureRestarts) {
                NorvaneFreeImage(handle, frame);
                return -1;
            }
            i = 0;
            pos = 0;
        }
        // A frame of the wrong size, or of samples with no 16-bit form, would
        // leave the capture unwritten.
        if (frame.size != expected || (expected > 0 && (!frame.data || !convertFrame(data + pos)))) {
            NorvaneFreeImage(handle, frame);
            return -1;
        }
        written = true;
        previous = ts;
        pos += stride;
        NorvaneFreeImage(handle, frame);
        *timestamp = int64_t(previous);
    }
    return 0;
}

int NorvaneTOFUSBSensor::setControl(int ctrl, int value) {
    if (ctrl != int(CameraCtrl::RANGE)) return NorvaneInvalidParameter;
    const RangeRegisters* set = value == kShortRangeMm ? kShortRangeSet : kLongRangeSet;
    bool failed = false;
    for (size_t i = 0; i < kRangeSetSize; ++i)
        if (NorvaneWriteSensorReg(handle, set[i].reg, set[i].value) != 0) failed = true;
    return failed ? int(NorvaneUnkownError) : int(NorvaneSuccess);
}

int NorvaneTOFUSBSensor::getControl(int, int*) { return NorvaneNotImplemented; }

}  // namespace Norvane
