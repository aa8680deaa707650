// Abstract transport between the camera and the physical sensor.
//
// The camera owns one sensor; devices hold a non-owning pointer to it for
// controls. A C++ user may implement this interface to plug in a transport
// of their own (NorvaneTOFCamera::openWithSensor).
#pragma once

#include <cstdint>

#include "core/NorvaneTypes.h"

namespace Norvane {

class NorvaneTOFSensor {
public:
    // Sensor frames one getFrame call reads back to back into its buffer.
    int framesPerCapture = 1;

    virtual ~NorvaneTOFSensor() = default;

    // Opens the transport and writes width, height, bit_width and bpp into
    // `info`; keeps a copy for getCameraInfo. 0 on success.
    virtual int open(CameraInfo& info) = 0;
    // Releases everything open acquired. Returns 0.
    virtual int close() = 0;
    // Applies the stored format and starts streaming.
    virtual int start() = 0;
    // Stops streaming and releases what start set up.
    virtual int stop() = 0;
    virtual CameraInfo getCameraInfo() = 0;
    // getFrame's result once the device is gone (unbound, unplugged): no
    // frame will come from this transport again.
    static constexpr int kDeviceGone = -3;

    // Reads framesPerCapture frames into `data` and the capture timestamp.
    // 0 on success; -1 means no usable capture; kDeviceGone ends streaming.
    virtual int getFrame(uint8_t* data, int64_t* timestamp) = 0;
    // ctrl is a CameraCtrl number.
    virtual int setControl(int ctrl, int value) = 0;
    virtual int getControl(int ctrl, int* value) = 0;
    // Whether the capture geometry is the transport's own (fixed by what it
    // opened), which FMT_WIDTH and FMT_HEIGHT cannot change. A device then
    // takes its geometry from what open reported.
    virtual bool fixedGeometry() const { return false; }
};

}  // namespace Norvane
