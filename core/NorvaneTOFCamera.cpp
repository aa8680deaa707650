#include "core/NorvaneTOFCamera.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>

#include "device/HqvgaKernel.h"
#include "device/NorvaneDeviceHQVGA.h"
#include "sensor/TransportFactory.h"

namespace Norvane {

namespace {

constexpr const char* kVideoNodeFormat = "/dev/video%d";
constexpr size_t kDevicePathMax = 80;
constexpr float kInitialSmoothing = 0.1f;
constexpr float kSteadySmoothing = 1.0f / 30.0f;
constexpr float kMillisecondsPerSecond = 1000.0f;
constexpr int64_t kNanosecondsPerMillisecond = 1000000;
// How often the capture thread adapts the frame rate.
constexpr std::chrono::seconds kAdjustPeriod{3};
// Pause of the capture thread when the consumer holds every frame.
constexpr std::chrono::milliseconds kRetryPause{1};
// Frame skipping: `skip` of every `loop` captures dropped, as one value so
// the capture thread never sees a skip of one setting with the cycle of
// another.
constexpr uint64_t packSkipping(int32_t skip, int32_t loop) {
    return (uint64_t(uint32_t(skip)) << 32) | uint32_t(loop);
}
constexpr int32_t skipOf(uint64_t packed) { return int32_t(uint32_t(packed >> 32)); }
constexpr int32_t loopOf(uint64_t packed) { return int32_t(uint32_t(packed)); }
// Every accepted pair delivers loop - skip of every loop captures.
constexpr bool validSkipping(int32_t skip, int32_t loop) { return loop >= 1 && skip >= 0 && skip < loop; }

// Runs `body`, turning any exception into the generic failure.
template <typename Body>
TofErrorCode guarded(Body body) noexcept {
    try {
        return TofErrorCode(body());
    } catch (...) {
        return NorvaneUnkownError;
    }
}

}  // namespace

NorvaneTOFCamera::NorvaneTOFCamera() : platform(detectPlatform()), smoothing(kInitialSmoothing) {}

NorvaneTOFCamera::~NorvaneTOFCamera() {
    if (!stopped.load() || worker.joinable()) stop();
    if (sensorOpen) close();
    std::shared_ptr<FramePool> last;
    {
        std::lock_guard<std::mutex> lock(poolMutex);
        last = std::move(pool);
    }
    if (last) last->close();
    last.reset();
    device.reset();
    sensor.reset();
}

TofErrorCode NorvaneTOFCamera::open(Connection connect, int index) {
    return guarded([&]() -> int {
        info.connect = connect;
        info.index = uint32_t(index);
        std::unique_ptr<NorvaneTOFSensor> s;
        if (connect == Connection::CSI) {
            char path[kDevicePathMax];
            std::snprintf(path, sizeof path, kVideoNodeFormat, index);
            s = createCsiSensor(path, platform);
        } else if (connect == Connection::USB) {
            s = createUsbSensor("", index);
        }
        if (!s) return NorvaneUnkownError;
        return openWithSensor(std::move(s), connect, index);
    });
}

TofErrorCode NorvaneTOFCamera::openWithFile(const char* path, int index) {
    return guarded([&]() -> int {
        if (!path) return NorvaneUnkownError;
        info.index = uint32_t(index);
        info.connect = Connection::USB;
        std::unique_ptr<NorvaneTOFSensor> s = createUsbSensor(path, index);
        if (!s) return NorvaneUnkownError;
        return openWithSensor(std::move(s), Connection::USB, index);
    });
}

TofErrorCode NorvaneTOFCamera::openWithSensor(std::unique_ptr<NorvaneTOFSensor> fresh, Connection connect, int index) {
    return guarded([&]() -> int {
        info.connect = connect;
        info.index = uint32_t(index);
        if (!fresh) return NorvaneUnkownError;
        // The capture thread and the old device use the sensor being replaced.
        if (!stopped.load() || worker.joinable()) stop();
        if (sensorOpen) close();
        fresh->framesPerCapture = 1;
        std::unique_ptr<NorvaneTOFSensor> old = std::move(sensor);
        sensor = std::move(fresh);
        // The old device is bound to the old sensor: it must not outlive it.
        device.reset();
        old.reset();
        int r = sensor->open(info);
        if (r != 0) return r;
        sensorOpen = true;
        return openPostHandle();
    });
}

TofErrorCode NorvaneTOFCamera::openPostHandle() {
    return guarded([&]() -> int {
        if (!sensor) return NorvaneUnkownError;
        std::unique_ptr<NorvaneDevice> d;
        if (info.width == uint32_t(hqvga::kWidth) && info.height == uint32_t(hqvga::kHeight)) {
            d = std::make_unique<NorvaneDeviceHQVGA>(platform, info.connect == Connection::CSI);
            sensor->framesPerCapture = hqvga::kPhases;
        } else {
            d = createVgaDevice(platform);
        }
        if (!d) return NorvaneUnkownError;
        return installDevice(std::move(d));
    });
}

TofErrorCode NorvaneTOFCamera::installDevice(std::unique_ptr<NorvaneDevice> fresh) {
    return guarded([&]() -> int {
        if (!fresh || !sensor) return NorvaneUnkownError;
        if (!stopped.load() || worker.joinable()) stop();
        const DeviceType type = DeviceType(fresh->deviceType());
        info.device_type = type;
        std::unique_ptr<NorvaneDevice> old = std::move(device);
        device = std::move(fresh);
        old.reset();
        return device->init(sensor.get(), type);
    });
}

TofErrorCode NorvaneTOFCamera::start(FrameType type) {
    return guarded([&]() -> int {
        if (!sensor || !device) return NorvaneUnkownError;
        // A second start would restart the sensor under the running thread.
        if (!stopped.load()) return NorvaneUnkownError;
        // Refused before anything is touched: no pool holds another kind.
        if (type != FrameType::RAW && type != FrameType::DEPTH) return NorvaneUnkownError;
        // Re-applying the range keeps the device's frequency consistent.
        int range = 0;
        if (getControl(CameraCtrl::RANGE, &range) == NorvaneSuccess) setControl(CameraCtrl::RANGE, range);
        int r = device->prepare();
        if (r != 0) return r;
        r = sensor->start();
        if (r != 0) return r;
        // From here a failure undoes what was started, so that the next start
        // finds device and sensor stopped; the first failure is reported.
        auto undo = [&](int failure) {
            device->stop();
            sensor->stop();
            return failure;
        };
        r = device->start();
        if (r != 0) return undo(r);
        const CameraInfo streaming = sensor->getCameraInfo();
        info.width = streaming.width;
        info.height = streaming.height;
        info.bit_width = streaming.bit_width;
        info.bpp = streaming.bpp;
        info.type = type;
        r = setOutputType(type);
        if (r != 0) return undo(r);
        if (worker.joinable()) worker.join();
        disconnected.store(false);
        try {
            // Sized here, so the capture thread never allocates for it.
            std::lock_guard<std::mutex> lock(filterMutex);
            if (type == FrameType::DEPTH) filterChain.prepare(depthSize.width, depthSize.height);
            filterChain.configure(pendingFilters);
            filterChain.reset();
            filtersPending.store(false);
        } catch (...) {
            return undo(NorvaneUnkownError);
        }
        stopped.store(false);
        try {
            worker = std::thread(&NorvaneTOFCamera::captureThread, this);
        } catch (...) {
            stopped.store(true);
            // No frame will come into the pool just built.
            if (std::shared_ptr<FramePool> p = currentPool()) p->finish();
            return undo(NorvaneUnkownError);
        }
        return NorvaneSuccess;
    });
}

TofErrorCode NorvaneTOFCamera::setOutputType(FrameType type) {
    return guarded([&]() -> int {
        if (!sensor || !device) return NorvaneUnkownError;
        // The capture thread uses the pool.
        if (!stopped.load()) return NorvaneUnkownError;
        info.type = type;
        CameraInfo description = info;
        const int perCapture = sensor->framesPerCapture > 0 ? sensor->framesPerCapture : 0;
        const uint64_t rows = uint64_t(info.height) * uint64_t(perCapture);
        if (rows > std::numeric_limits<uint32_t>::max()) return NorvaneUnkownError;
        description.height = uint32_t(rows);
        device->getFrameFormat(rawSize, depthSize);
        FrameSize size;
        if (type == FrameType::DEPTH) {
            size = depthSize;
        } else if (type == FrameType::RAW) {
            size = rawSize;
        } else {
            return NorvaneUnkownError;
        }
        replacePool(std::make_shared<FramePool>(description, size));
        return NorvaneSuccess;
    });
}

void NorvaneTOFCamera::replacePool(std::shared_ptr<FramePool> fresh) {
    std::shared_ptr<FramePool> old;
    {
        std::lock_guard<std::mutex> lock(poolMutex);
        old = std::move(pool);
        pool = std::move(fresh);
    }
    // Waiters hold their own reference: they wake and return null.
    if (old) old->close();
}

TofErrorCode NorvaneTOFCamera::stop() {
    return guarded([&]() -> int {
        stopped.store(true);
        bool joined = true;
        if (worker.joinable()) {
            try {
                worker.join();
            } catch (const std::exception&) {
                // Joining failed (for example from the capture thread itself);
                // let the thread run out on its own.
                worker.detach();
                joined = false;
            }
        }
        // No frame can come any more: waits end once the ready ones are taken.
        if (joined) {
            if (std::shared_ptr<FramePool> p = currentPool()) p->finish();
        }
        if (device) device->stop();
        if (!sensor) return NorvaneUnkownError;
        return sensor->stop();
    });
}

TofErrorCode NorvaneTOFCamera::close() {
    return guarded([&]() -> int {
        if (!sensor) return NorvaneUnkownError;
        if (!stopped.load() || worker.joinable()) stop();
        if (device) device->close();
        sensorOpen = false;
        return sensor->close();
    });
}

CameraInfo NorvaneTOFCamera::getCameraInfo() const { return info; }

TofErrorCode NorvaneTOFCamera::setFilters(const FilterSettings& settings) {
    return guarded([&]() -> int {
        if (validateFilterSettings(settings)) return NorvaneInvalidParameter;
        std::lock_guard<std::mutex> lock(filterMutex);
        pendingFilters = settings;
        filtersPending.store(true);
        return NorvaneSuccess;
    });
}

FilterSettings NorvaneTOFCamera::getFilters() const {
    std::lock_guard<std::mutex> lock(filterMutex);
    return pendingFilters;
}

void NorvaneTOFCamera::takePendingFilters() {
    if (!filtersPending.load()) return;
    // A setter holding the lock right now is left alone: its settings apply
    // from the next capture.
    std::unique_lock<std::mutex> lock(filterMutex, std::try_to_lock);
    if (!lock.owns_lock()) return;
    filterChain.configure(pendingFilters);
    filtersPending.store(false);
}

void NorvaneTOFCamera::filterDepth(NorvaneFrameBuffer& buffer, float* depth, const float* amplitude) {
    auto* frame = dynamic_cast<DepthData*>(&buffer);
    if (!frame) return;
    FrameDataFormat format{};
    if (frame->getFormat(FrameType::DEPTH, format) != 0) return;
    takePendingFilters();
    filterChain.run(depth, amplitude, frame->getInvalid(), int(format.width), int(format.height));
}

TofErrorCode NorvaneTOFCamera::setControl(CameraCtrl ctrl, int value) {
    return guarded([&]() -> int {
        switch (ctrl) {
            case CameraCtrl::SKIP_FRAME:
            case CameraCtrl::SKIP_FRAME_LOOP: {
                // A pair that would drop every capture, or another share than
                // asked for, is refused with the settings left as they were.
                uint64_t current = skipping.load();
                for (;;) {
                    const bool isSkip = ctrl == CameraCtrl::SKIP_FRAME;
                    const int32_t skip = isSkip ? value : skipOf(current);
                    const int32_t loop = isSkip ? loopOf(current) : value;
                    if (!validSkipping(skip, loop)) return NorvaneInvalidParameter;
                    if (skipping.compare_exchange_weak(current, packSkipping(skip, loop))) return NorvaneSuccess;
                }
            }
            case CameraCtrl::AUTO_FRAME_RATE:
                autoFrameRate.store(value != 0);
                return NorvaneSuccess;
            case CameraCtrl::FRAME_RATE: {
                if (!device) return NorvaneUnkownError;
                int reported = 0;
                int r = device->getControl(CameraCtrl::FRAME_RATE, &reported);
                if (r != 0) return r;
                if (value < 1 || value > reported) return NorvaneInvalidParameter;
                return device->setControl(CameraCtrl::FRAME_RATE, value);
            }
            default:
                if (!device) return NorvaneUnkownError;
                return device->setControl(ctrl, value);
        }
    });
}

TofErrorCode NorvaneTOFCamera::getControl(CameraCtrl ctrl, int* value) {
    return guarded([&]() -> int {
        if (!value) return NorvaneInvalidParameter;
        if (ctrl == CameraCtrl::AUTO_FRAME_RATE) {
            *value = autoFrameRate.load() ? 1 : 0;
            return NorvaneSuccess;
        }
        if (!device) return NorvaneUnkownError;
        return device->getControl(ctrl, value);
    });
}

TofErrorCode NorvaneTOFCamera::setControlExt(CameraCtrl ctrl, const char* value) {
    return guarded([&]() -> int {
        if (!value) return NorvaneInvalidParameter;
        if (!device) return NorvaneUnkownError;
        return device->setControlExt(ctrl, value);
    });
}

TofErrorCode NorvaneTOFCamera::getControlExt(CameraCtrl, const char**) { return NorvaneSuccess; }

NorvaneFrameBuffer* NorvaneTOFCamera::requestFrame(short timeout) { return requestFrame(timeout, nullptr); }

NorvaneFrameBuffer* NorvaneTOFCamera::requestFrame(short timeout, uint64_t* generation) {
    try {
        // The wait runs on a reference of its own: it touches nothing of the
        // camera, which may be destroyed meanwhile.
        std::shared_ptr<FramePool> p = currentPool();
        if (!p) return nullptr;
        return p->request(timeout, generation);
    } catch (...) {
        return nullptr;
    }
}

TofErrorCode NorvaneTOFCamera::releaseFrame(NorvaneFrameBuffer* frame) {
    return guarded([&]() -> int {
        std::shared_ptr<FramePool> p = currentPool();
        if (!p) return NorvaneUnkownError;
        return p->release(frame) == 0 ? NorvaneSuccess : NorvaneUnkownError;
    });
}

std::shared_ptr<FramePool> NorvaneTOFCamera::currentPool() const {
    std::lock_guard<std::mutex> lock(poolMutex);
    return pool;
}

void NorvaneTOFCamera::captureThread() {
    try {
        // The pool cannot change while the thread runs.
        std::shared_ptr<FramePool> p = currentPool();
        if (!p) return;
        auto* cache = static_cast<unsigned char*>(p->captureBuffer().getData(FrameType::CACHE));
        SteadyClock::time_point lastAdjust = steadyClock().now();
        lastFrameTime = lastAdjust;
        captureCount = 0;
        // The rate is the sensor's: measured between captures read in this
        // run, skipped or not, never from the start to the first capture.
        bool captured = false;
        bool measured = false;
        while (!stopped.load()) {
            if (autoFrameRate.load() && steadyClock().now() - lastAdjust > kAdjustPeriod) {
                if (measured) adjustFrameRate();
                lastAdjust = steadyClock().now();
            }
            LinkNode* node = p->takeFree();
            if (!node) node = p->takeOldestReady();
            if (!node) {
                // The consumer holds every frame.
                std::this_thread::sleep_for(kRetryPause);
                continue;
            }
            bool read = false;
            const int r = readAndDecode(cache, node, read);
            if (read) {
                if (captured) {
                    updateFps();
                    measured = true;
                } else {
                    lastFrameTime = steadyClock().now();
                    captured = true;
                }
            }
            if (r == NorvaneSuccess) {
                stampPublished(*node->buffer);
                p->publish(node);
            } else {
                p->discard(node);
            }
            if (disconnected.load()) {
                // Nothing will come any more: end as stop() ends a capture.
                stopped.store(true);
                p->finish();
                break;
            }
        }
    } catch (...) {
        // A throwing transport or device ends the capture; stop() still joins.
    }
}

void NorvaneTOFCamera::stampPublished(NorvaneFrameBuffer& buffer) {
    // The host's own monotonic clock, not the test-driven one: callers
    // compare it with theirs (CLOCK_MONOTONIC on Linux).
    const int64_t now =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    buffer.setOrigin(buffer.getCaptureIndex(), now);
}

bool NorvaneTOFCamera::skipThisFrame() {
    const uint64_t setting = skipping.load();
    const int64_t loop = loopOf(setting);
    const int64_t delivered = loop - skipOf(setting);
    // A cycle shortened meanwhile starts over within its length.
    frameCounter = int32_t((int64_t(frameCounter) + 1) % loop);
    // Over one cycle exactly `delivered` captures pass, spread evenly.
    const int64_t c = frameCounter;
    return (delivered * c) / loop == (delivered * c + delivered) / loop;
}

int NorvaneTOFCamera::analysisFrame(unsigned char* cache, LinkNode* node) {
    bool read = false;
    return readAndDecode(cache, node, read);
}

int NorvaneTOFCamera::readAndDecode(unsigned char* cache, LinkNode* node, bool& read) {
    read = false;
    if (!cache || !node || !node->buffer || !sensor) return NorvaneUnkownError;
    int64_t timestamp = 0;
    // Anything but 0 leaves a partial or stale capture in the buffer.
    const int got = sensor->getFrame(cache, &timestamp);
    if (got == NorvaneTOFSensor::kDeviceGone) disconnected.store(true);
    if (got != 0) return NorvaneUnkownError;
    read = true;
    NorvaneFrameBuffer* buffer = node->buffer;
    buffer->setTimestamp(uint64_t(timestamp));
    buffer->setOrigin(captureCount++, 0);
    if (skipThisFrame()) return NorvaneSkipFrame;
    if (info.type == FrameType::RAW) {
        auto* raw = static_cast<short*>(buffer->getData(FrameType::RAW));
        if (!raw) return NorvaneUnkownError;
        return getRawImages(cache, raw) ? NorvaneSuccess : NorvaneUnkownError;
    }
    if (info.type == FrameType::DEPTH) {
        auto* depth = static_cast<float*>(buffer->getData(FrameType::DEPTH));
        auto* amplitude = static_cast<float*>(buffer->getData(FrameType::AMPLITUDE));
        auto* confidence = static_cast<float*>(buffer->getData(FrameType::CONFIDENCE));
        if (!depth || !amplitude || !confidence) return NorvaneUnkownError;
        if (!getPhaseImage(cache, depth, amplitude, confidence)) return NorvaneUnkownError;
        filterDepth(*buffer, depth, amplitude);
        return NorvaneSuccess;
    }
    return NorvaneUnkownError;
}

bool NorvaneTOFCamera::getRawImages(unsigned char* cache, short* raw) {
    return device ? device->getRawImages(cache, raw) : false;
}

bool NorvaneTOFCamera::getPhaseImage(unsigned char* cache, float* depth, float* amplitude, float* confidence) {
    return device ? device->getPhaseImage(cache, depth, amplitude, confidence) : false;
}

void NorvaneTOFCamera::updateFps() {
    const SteadyClock::time_point now = steadyClock().now();
    const int64_t dt =
        std::chrono::duration_cast<std::chrono::nanoseconds>(now - lastFrameTime).count() / kNanosecondsPerMillisecond;
    lastFrameTime = now;
    float interval = frameInterval.load();
    const int samples = fpsSamples.load();
    if (samples == 0) {
        interval = float(dt);
    } else {
        const float s = smoothing.load();
        const float v = (1.0f - s) * interval + float(dt) * s;
        if (std::isfinite(v)) {
            interval = v;
            smoothing.store(kSteadySmoothing);
        }
    }
    frameInterval.store(interval);
    // Only compared with 0: saturate instead of overflowing.
    if (samples < std::numeric_limits<int>::max()) fpsSamples.store(samples + 1);
    fps.store(kMillisecondsPerSecond / interval);
}

void NorvaneTOFCamera::adjustFrameRate() {
    const float measured = fps.load();
    int target;
    // An infinite or huge rate (intervals under a millisecond) would not fit.
    if (!(measured >= 1.0f)) {
        target = 1;
    } else if (measured >= float(std::numeric_limits<int>::max())) {
        target = std::numeric_limits<int>::max();
    } else {
        target = int(std::floor(measured));
    }
    int current = 0;
    getControl(CameraCtrl::FRAME_RATE, &current);
    const int64_t tolerance = current > 9 ? current / 10 : 1;
    if (std::llabs(int64_t(target) - int64_t(current)) > tolerance) setControl(CameraCtrl::FRAME_RATE, target);
}

}  // namespace Norvane
