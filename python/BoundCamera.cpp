#include "python/BoundCamera.h"

#include <utility>

namespace Norvane {
namespace python {

TofErrorCode BoundCamera::open(Connection connect, int index) {
    std::lock_guard<std::mutex> lock(lifecycle);
    return camera.open(connect, index);
}

TofErrorCode BoundCamera::openWithFile(const char* path, int index) {
    std::lock_guard<std::mutex> lock(lifecycle);
    return camera.openWithFile(path, index);
}

TofErrorCode BoundCamera::openWithSensor(std::unique_ptr<NorvaneTOFSensor> sensor, Connection connect, int index) {
    std::lock_guard<std::mutex> lock(lifecycle);
    return camera.openWithSensor(std::move(sensor), connect, index);
}

TofErrorCode BoundCamera::close() {
    std::lock_guard<std::mutex> lock(lifecycle);
    const TofErrorCode r = camera.close();
    // Frames of a closed camera would otherwise look valid until the next
    // start, and a request without limit would never return.
    if (std::shared_ptr<FramePool> pool = camera.currentPool()) pool->close();
    return r;
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
    // A frame released once, or recycled for a later request, must not give
    // back the buffer a newer frame now lives in.
    if (!frame->valid()) return NorvaneUnkownError;
    return camera.releaseFrame(frame->buffer());
}

}  // namespace python
}  // namespace Norvane
