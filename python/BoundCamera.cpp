#include "python/BoundCamera.h"

#include <utility>

namespace Norvane {
namespace python {

// Every open, like close, ends the session the current pool belongs to.
TofErrorCode BoundCamera::open(Connection connect, int index) {
    std::lock_guard<std::mutex> lock(lifecycle);
    const TofErrorCode r = camera.open(connect, index);
    retirePool();
    return r;
}

TofErrorCode BoundCamera::openWithFile(const char* path, int index) {
    std::lock_guard<std::mutex> lock(lifecycle);
    const TofErrorCode r = camera.openWithFile(path, index);
    retirePool();
    return r;
}

TofErrorCode BoundCamera::openWithSensor(std::unique_ptr<NorvaneTOFSensor> sensor, Connection connect, int index) {
    std::lock_guard<std::mutex> lock(lifecycle);
    const TofErrorCode r = camera.openWithSensor(std::move(sensor), connect, index);
    retirePool();
    return r;
}

TofErrorCode BoundCamera::close() {
    std::lock_guard<std::mutex> lock(lifecycle);
    const TofErrorCode r = camera.close();
    retirePool();
    return r;
}

void BoundCamera::retirePool() {
    // Frames of a closed or re-opened camera would otherwise look valid until
    // the next start, and a request without limit would never return.
    if (std::shared_ptr<FramePool> pool = camera.currentPool()) pool->close();
}

TofErrorCode BoundCamera::start(FrameType type) {
    std::lock_guard<std::mutex> lock(lifecycle);
    return camera.start(type);
}

TofErrorCode BoundCamera::stop() {
    std::lock_guard<std::mutex> lock(lifecycle);
    return camera.stop();
}

TofErrorCode BoundCamera::setControl(CameraCtrl ctrl, int value) {
    std::lock_guard<std::mutex> lock(lifecycle);
    return camera.setControl(ctrl, value);
}

int BoundCamera::getControl(CameraCtrl ctrl) {
    std::lock_guard<std::mutex> lock(lifecycle);
    int value = 0;
    camera.getControl(ctrl, &value);
    return value;
}

TofErrorCode BoundCamera::readControl(CameraCtrl ctrl, int& value) {
    std::lock_guard<std::mutex> lock(lifecycle);
    return camera.getControl(ctrl, &value);
}

TofErrorCode BoundCamera::setControlExt(CameraCtrl ctrl, const char* value) {
    std::lock_guard<std::mutex> lock(lifecycle);
    return camera.setControlExt(ctrl, value);
}

CameraInfo BoundCamera::getCameraInfo() {
    std::lock_guard<std::mutex> lock(lifecycle);
    return camera.getCameraInfo();
}

TofErrorCode BoundCamera::releaseFrame(const FrameHandle* frame) {
    if (!frame) return camera.releaseFrame(nullptr);
    // Only a frame of this camera's current pool; a frame released once, or
    // recycled for a later request, must not give back the buffer a newer
    // frame now lives in (the generation is checked under the pool's lock).
    if (camera.currentPool() != frame->framePool()) return NorvaneUnkownError;
    return frame->release() == 0 ? NorvaneSuccess : NorvaneUnkownError;
}

}  // namespace python
}  // namespace Norvane
