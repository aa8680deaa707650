// The camera as the Python module drives it. The module lets go of the
// interpreter lock while the camera works, so calls may now arrive from
// several interpreter threads at once: the lifecycle and control calls are
// serialised here, frame waits and releases need no lock of their own.
#pragma once

#include <memory>
#include <mutex>

#include "core/FramePool.h"
#include "core/NorvaneTOFCamera.h"
#include "core/NorvaneTypes.h"
#include "filter/FilterSettings.h"
#include "python/FrameHandle.h"
#include "sensor/NorvaneTOFSensor.h"

namespace Norvane {
namespace python {

class BoundCamera {
public:
    BoundCamera() = default;
    BoundCamera(const BoundCamera&) = delete;
    BoundCamera& operator=(const BoundCamera&) = delete;

    TofErrorCode open(Connection connect, int index);
    TofErrorCode openWithFile(const char* path, int index);
    // Opens a caller's transport, as open does with the ones it builds.
    TofErrorCode openWithSensor(std::unique_ptr<NorvaneTOFSensor> sensor, Connection connect, int index);
    // Closes the camera and retires its frame pool: frames still lent turn
    // invalid and waiting requests return empty-handed. Every open retires
    // the pool the same way, whether it succeeds or not.
    TofErrorCode close();
    TofErrorCode start(FrameType type);
    TofErrorCode stop();
    TofErrorCode setControl(CameraCtrl ctrl, int value);
    // The control's value; 0 when the camera wrote none.
    int getControl(CameraCtrl ctrl);
    // The control's value in `value` and the camera's result for reading it.
    TofErrorCode readControl(CameraCtrl ctrl, int& value);
    TofErrorCode setControlExt(CameraCtrl ctrl, const char* value);
    CameraInfo getCameraInfo();
    // The sensor's device went away while streaming.
    bool disconnected() const { return camera.isDisconnected(); }
    // Safe from any thread at any time: no lifecycle lock.
    TofErrorCode setFilters(const FilterSettings& settings) { return camera.setFilters(settings); }

    // The pool frames are requested from (null before the first start).
    std::shared_ptr<FramePool> currentPool() const { return camera.currentPool(); }
    // Gives a frame back: -1 for null, for a frame no longer valid and for a
    // frame of another camera.
    TofErrorCode releaseFrame(const FrameHandle* frame);

private:
    void retirePool();

    std::mutex lifecycle;  // held for every call that reaches sensor, device or pool setup
    NorvaneTOFCamera camera;
};

}  // namespace python
}  // namespace Norvane
