// The device of the 240 x 180 four-phase sensor: computes depth, amplitude
// and confidence itself and interleaves the phases into a 240 x 720 raw
// image. Answers RANGE itself: 2000 or 4000 mm, taken only once the sensor
// has taken it (so captures and decode agree), anything else refused with 1.
// Forwards every other control read to the sensor.
#pragma once

#include <atomic>
#include <cstdint>

#include "device/HqvgaKernel.h"
#include "device/NorvaneDevice.h"

namespace Norvane {

class NorvaneDeviceHQVGA : public NorvaneDevice {
public:
    // `receiverShift`: the samples come through the board's CSI receiver,
    // which on Jetson boards delivers them four bits up. Transports that
    // deliver plain 12-bit samples (USB) pass false.
    explicit NorvaneDeviceHQVGA(PlatformType platform, bool receiverShift = true);

    int deviceType() override;
    void getFrameFormat(FrameSize& raw, FrameSize& depth) override;
    int init(NorvaneTOFSensor* sensor, DeviceType type) override;
    int close() override;
    int prepare() override;
    int start() override;
    int stop() override;
    int setControl(CameraCtrl ctrl, int value) override;
    int setControlExt(CameraCtrl ctrl, const char* value) override;
    int getControl(CameraCtrl ctrl, int* value) override;
    int getControlExt(CameraCtrl ctrl, const char** value) override;
    bool getRawImages(const uint8_t* frame, int16_t* raw) override;
    bool getPhaseImage(const uint8_t* frame, float* depth, float* amplitude, float* confidence) override;

    // The settings the next capture decodes with.
    hqvga::DecodeParams decodeParams() const;

private:
    // Set from the caller's thread while the capture thread decodes.
    std::atomic<float> modulationHz;
    std::atomic<int32_t> range;
    const uint8_t shift;
};

}  // namespace Norvane
