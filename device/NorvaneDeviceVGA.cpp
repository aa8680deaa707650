#include "device/NorvaneDeviceVGA.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "config/DefaultConfig.h"
#include "kernel/Kernel.h"
#include "sdk/VgaCaptureLayout.h"

namespace Norvane {

namespace {

constexpr int kWidths[] = {320, 640};
constexpr int kHeights[] = {240, 480};

// Highest frame rate per geometry and mode, reported until a rate is set.
struct FrameRateLimit {
    int width, height, single, dual;
};
constexpr FrameRateLimit kFrameRateLimits[] = {{640, 480, 41, 23}, {320, 240, 61, 36}};

// Lets the library finish with its last capture before the handle goes.
constexpr struct timespec kClosePause = {0, 500000000};

template <size_t N>
bool oneOf(const int (&values)[N], int v) {
    for (int x : values)
        if (x == v) return true;
    return false;
}

// Sleeps the whole request, resuming with the remaining time after signals.
void sleepFully(struct timespec request) {
    struct timespec remaining = {0, 0};
    while (kernel().nanosleep(&request, &remaining) == -1 && errno == EINTR) request = remaining;
}

}  // namespace

// --- calibration file ------------------------------------------------------

NorvaneDeviceVGA::Calibration::Calibration(Calibration&& other) noexcept
    : fd(other.fd), mapping(other.mapping), length(other.length) {
    other.fd = -1;
    other.mapping = nullptr;
    other.length = 0;
}

NorvaneDeviceVGA::Calibration& NorvaneDeviceVGA::Calibration::operator=(Calibration&& other) noexcept {
    if (this != &other) {
        release();
        fd = other.fd;
        mapping = other.mapping;
        length = other.length;
        other.fd = -1;
        other.mapping = nullptr;
        other.length = 0;
    }
    return *this;
}

bool NorvaneDeviceVGA::Calibration::load(const char* path) {
    release();
    // A FIFO would hold the open until a writer came: only regular files.
    int f = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (f < 0) return false;
    struct stat st;
    if (::fstat(f, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
        ::close(f);
        return false;
    }
    length = size_t(st.st_size);
    void* m = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, f, 0);
    if (m == MAP_FAILED) {
        ::close(f);
        return true;
    }
    fd = f;
    mapping = m;
    return true;
}

void NorvaneDeviceVGA::Calibration::release() {
    if (mapping) ::munmap(mapping, length);
    if (fd >= 0) ::close(fd);
    fd = -1;
    mapping = nullptr;
    length = 0;
}

// --- device ------------------------------------------------------------------

NorvaneDeviceVGA::NorvaneDeviceVGA(PlatformType platform) : NorvaneDevice(platform) {}

NorvaneDeviceVGA::~NorvaneDeviceVGA() {
    if (handle) close();
}

int NorvaneDeviceVGA::rawRows(bool single) const { return vga::captureRows(height.load(), !single); }

void NorvaneDeviceVGA::destroyHandle() {
    SiSDKDestroy(&handle);
    calibration.release();
}

int NorvaneDeviceVGA::deviceType() { return VGA; }

void NorvaneDeviceVGA::getFrameFormat(FrameSize& raw, FrameSize& depth) {
    const bool single = SiSDKIsSingleFreq(handle);
    raw.kind = 2;
    raw.width = width.load();
    raw.height = rawRows(single);
    depth.width = width.load();
    depth.height = height.load();
}

int NorvaneDeviceVGA::init(NorvaneTOFSensor* s, DeviceType) {
    if (!s) return NorvaneInvalidParameter;
    if (handle) destroyHandle();
    sensor = s;
    if (!SiSDKCreate(&handle)) return NorvaneUnkownError;
    if (s->fixedGeometry()) adoptSensorGeometry();
    return NorvaneSuccess;
}

// Width, height and frequency mode of the one layout that matches the
// capture the sensor delivers; a capture of no known layout leaves the
// settings alone (and start refuses it).
void NorvaneDeviceVGA::adoptSensorGeometry() {
    const CameraInfo info = sensor->getCameraInfo();
    const long long rows = (long long)info.height * sensor->framesPerCapture;
    for (int w : kWidths) {
        for (int h : kHeights) {
            for (bool dual : {false, true}) {
                if ((long long)info.width != w || rows != vga::captureRows(h, dual)) continue;
                width.store(w);
                height.store(h);
                (void)SiSDKSetSingleFreq(handle, !dual);
                return;
            }
        }
    }
}

int NorvaneDeviceVGA::close() {
    sleepFully(kClosePause);
    destroyHandle();
    return NorvaneSuccess;
}

// The library reads exactly this geometry from the capture buffer the
// sensor fills: a smaller capture would be read past its end, another one
// decoded from the wrong sub-frames. A USB camera cannot be reconfigured
// by prepare, so its capture may well differ.
bool NorvaneDeviceVGA::sensorDelivers(int w, int rows) const {
    const CameraInfo info = sensor->getCameraInfo();
    const long long deliveredRows = (long long)info.height * sensor->framesPerCapture;
    return (long long)info.width == w && deliveredRows == rows;
}

int NorvaneDeviceVGA::prepare() {
    if (!sensor) return NorvaneUnkownError;
    const bool single = SiSDKIsSingleFreq(handle);
    const int w = width.load(), rows = rawRows(single);
    (void)sensor->setControl(int(CameraCtrl::FMT_WIDTH), w);
    (void)sensor->setControl(int(CameraCtrl::FMT_HEIGHT), rows);
    // Refusing here keeps the sensor from starting on a capture we cannot read.
    return sensorDelivers(w, rows) ? NorvaneSuccess : NorvaneInvalidParameter;
}

int NorvaneDeviceVGA::start() {
    if (!sensor) return NorvaneUnkownError;
    const bool single = SiSDKIsSingleFreq(handle);
    const int w = width.load(), h = height.load();
    if (!sensorDelivers(w, vga::captureRows(h, !single))) return NorvaneInvalidParameter;

    if (!writeDefaultConfigFiles()) return NorvaneUnkownError;
    if (!SiSDKInit(handle, w, h)) {
        destroyHandle();
        return NorvaneUnkownError;
    }
    Calibration fresh;
    if (fresh.load(kCalibrationFile)) {
        (void)SiSDKSetCaliData(handle, fresh.data(), fresh.size());
        // The previous table stays mapped until the library holds a new one.
        if (fresh.data()) calibration = std::move(fresh);
    }
    if (!configDir.empty()) (void)SiSDKSetConfig(handle, configDir.c_str());
    if (!SiSDKStart(handle)) {
        destroyHandle();
        return NorvaneUnkownError;
    }
    rawBytes.store(vga::captureBytes(w, h, !single));
    return NorvaneSuccess;
}

int NorvaneDeviceVGA::stop() { return NorvaneSuccess; }

int NorvaneDeviceVGA::setControl(CameraCtrl ctrl, int value) {
    switch (ctrl) {
        case CameraCtrl::FMT_WIDTH:
            if (!oneOf(kWidths, value)) return NorvaneInvalidParameter;
            width.store(value);
            return NorvaneSuccess;
        case CameraCtrl::FMT_HEIGHT:
            if (!oneOf(kHeights, value)) return NorvaneInvalidParameter;
            height.store(value);
            return NorvaneSuccess;
        case CameraCtrl::MODE:
            if (value == int(TofWorkMode::SINGLE_FREQ)) {
                (void)SiSDKSetSingleFreq(handle, true);
            } else if (value == int(TofWorkMode::DOUBLE_FREQ)) {
                (void)SiSDKSetSingleFreq(handle, false);
            } else {
                return NorvaneInvalidParameter;
            }
            return NorvaneSuccess;
        case CameraCtrl::FRAME_MODE:
            return NorvaneNotImplemented;
        case CameraCtrl::FRAME_RATE: {
            if (!sensor) return NorvaneUnkownError;
            int result = sensor->setControl(int(ctrl), value);
            if (result != NorvaneSuccess) return result;
            frameRateSet.store(true);
            return NorvaneSuccess;
        }
        default:  // RANGE (fixed by the mode), EXPOSURE, and the rest
            return NorvaneInvalidParameter;
    }
}

int NorvaneDeviceVGA::setControlExt(CameraCtrl ctrl, const char* value) {
    if (ctrl != CameraCtrl::CONFIG_DIR_EXT || !value) return NorvaneInvalidParameter;
    try {
        configDir = value;
    } catch (...) {
        return NorvaneUnkownError;
    }
    return NorvaneSuccess;
}

int NorvaneDeviceVGA::getControl(CameraCtrl ctrl, int* value) {
    if (!value) return NorvaneInvalidParameter;
    switch (ctrl) {
        case CameraCtrl::RANGE:
            *value = int(SiSDKIsSingleFreq(handle) ? vga::kSingleRangeMm : vga::kDualCombinedRangeMm);
            return NorvaneSuccess;
        case CameraCtrl::FMT_WIDTH:
            *value = width.load();
            return NorvaneSuccess;
        case CameraCtrl::FMT_HEIGHT:
            *value = height.load();
            return NorvaneSuccess;
        case CameraCtrl::MODE:
            *value = int(SiSDKIsSingleFreq(handle) ? TofWorkMode::SINGLE_FREQ : TofWorkMode::DOUBLE_FREQ);
            return NorvaneSuccess;
        case CameraCtrl::FRAME_MODE:
            return NorvaneNotImplemented;
        case CameraCtrl::FRAME_RATE: {
            if (!frameRateSet.load()) {
                const int w = width.load(), h = height.load();
                for (const FrameRateLimit& limit : kFrameRateLimits) {
                    if (limit.width != w || limit.height != h) continue;
                    *value = SiSDKIsSingleFreq(handle) ? limit.single : limit.dual;
                    return NorvaneSuccess;
                }
                return NorvaneInvalidParameter;
            }
            break;
        }
        default:
            if (int(ctrl) < int(CameraCtrl::EXPOSURE)) return NorvaneInvalidParameter;
            break;
    }
    // EXPOSURE, FRAME_RATE once set, and every control from SKIP_FRAME on.
    if (!sensor) return NorvaneUnkownError;
    return sensor->getControl(int(ctrl), value);
}

int NorvaneDeviceVGA::getControlExt(CameraCtrl ctrl, const char** value) {
    if (ctrl != CameraCtrl::CONFIG_DIR_EXT || !value) return NorvaneInvalidParameter;
    *value = configDir.c_str();
    return NorvaneSuccess;
}

bool NorvaneDeviceVGA::getRawImages(const uint8_t* frame, int16_t* raw) {
    const size_t bytes = rawBytes.load();
    if (!frame || !raw || bytes == 0) return false;
    std::memcpy(raw, frame, bytes);
    return true;
}

bool NorvaneDeviceVGA::getPhaseImage(const uint8_t* frame, float* depth, float* amplitude, float* confidence) {
    return SiSDKGetPhaseImage(handle, frame, depth, amplitude, confidence);
}

}  // namespace Norvane
