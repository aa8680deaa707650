// The transport for a camera on USB: every step goes through the
// evaluation-kit C library.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "sdk/evk/norvane_evk_sdk.h"
#include "sensor/NorvaneTOFSensor.h"

namespace Norvane {

class NorvaneTOFUSBSensor : public NorvaneTOFSensor {
public:
    // `configPath`: configuration file handed to the kit (empty: its
    // defaults); `index`: the device number, kept for the caller.
    NorvaneTOFUSBSensor(const std::string& configPath, int index);
    // Closes the kit if the transport is still open.
    ~NorvaneTOFUSBSensor() override;
    NorvaneTOFUSBSensor(const NorvaneTOFUSBSensor&) = delete;
    NorvaneTOFUSBSensor& operator=(const NorvaneTOFUSBSensor&) = delete;

    int open(CameraInfo& info) override;
    int close() override;
    int start() override;
    int stop() override;
    CameraInfo getCameraInfo() override { return info; }
    int getFrame(uint8_t* data, int64_t* timestamp) override;
    int setControl(int ctrl, int value) override;
    int getControl(int ctrl, int* value) override;
    // The kit delivers the capture its configuration describes.
    bool fixedGeometry() const override { return true; }

    int deviceIndex() const { return index; }

private:
    // Writes one kit frame into `out` as 16-bit samples on the 12-bit scale;
    // false (nothing written) for a sample format without a 16-bit form.
    bool convertFrame(uint8_t* out) const;
    // Bytes one converted frame occupies in the caller's buffer.
    size_t outputBytes() const;
    size_t expectedBytes() const;

    EvkHandle handle = nullptr;
    EvkFrame frame{};
    CameraInfo info{};
    std::atomic<bool> started{false};
    std::string configPath;
    int index;
};

}  // namespace Norvane
