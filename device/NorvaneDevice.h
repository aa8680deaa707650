// Abstract depth-processing stage between the sensor and the camera.
#pragma once

#include <cstdint>

#include "core/NorvaneTypes.h"
#include "sensor/NorvaneTOFSensor.h"
#include "sensor/Platform.h"

namespace Norvane {

// Geometry of one plane as a device reports it; frame buffers are sized
// from it.
struct FrameSize {
    int32_t kind;
    int32_t width;
    int32_t height;  // raw record: all rows of one capture
};

class NorvaneDevice {
public:
    explicit NorvaneDevice(PlatformType platform) : platform(platform) {}
    virtual ~NorvaneDevice() = default;
    NorvaneDevice(const NorvaneDevice&) = delete;
    NorvaneDevice& operator=(const NorvaneDevice&) = delete;

    virtual int deviceType() = 0;
    virtual void getFrameFormat(FrameSize& raw, FrameSize& depth) = 0;
    virtual int init(NorvaneTOFSensor* sensor, DeviceType type) = 0;
    virtual int close() = 0;
    virtual int prepare() = 0;
    virtual int start() = 0;
    virtual int stop() = 0;
    virtual int setControl(CameraCtrl ctrl, int value) = 0;
    virtual int setControlExt(CameraCtrl ctrl, const char* value) = 0;
    virtual int getControl(CameraCtrl ctrl, int* value) = 0;
    virtual int getControlExt(CameraCtrl ctrl, const char** value) = 0;
    virtual bool getRawImages(const uint8_t* frame, int16_t* raw) = 0;
    virtual bool getPhaseImage(const uint8_t* frame, float* depth, float* amplitude, float* confidence) = 0;

protected:
    PlatformType platform;
    NorvaneTOFSensor* sensor = nullptr;
};

}  // namespace Norvane
