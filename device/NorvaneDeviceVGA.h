// The device for every sensor other than the 240 x 180 one: 640 x 480 or
// 320 x 240 depth images decoded by the phase-processing library, from
// captures of five (single frequency) or ten (dual frequency) sub-frames.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "device/NorvaneDevice.h"
#include "sdk/si4c/si4c.h"

namespace Norvane {

class NorvaneDeviceVGA : public NorvaneDevice {
public:
    explicit NorvaneDeviceVGA(PlatformType platform);
    // Closes the device if close was not called, so neither the library
    // handle nor the calibration file outlives it.
    ~NorvaneDeviceVGA() override;

    int deviceType() override;
    void getFrameFormat(FrameSize& raw, FrameSize& depth) override;
    // Creates the library handle. A sensor whose geometry is fixed (a USB
    // camera) sets width, height and frequency mode from the capture it
    // reported at open, so it starts without further settings.
    int init(NorvaneTOFSensor* sensor, DeviceType type) override;
    // Waits half a second, then destroys the library handle.
    int close() override;
    // Sets the sensor's capture geometry; refuses (1) when the sensor then
    // reports another one, as a USB camera does.
    int prepare() override;
    // Writes the default configuration files, then initialises, calibrates
    // and starts the library. The geometry in effect here (width, height,
    // frequency mode) holds until the next start.
    int start() override;
    int stop() override;
    int setControl(CameraCtrl ctrl, int value) override;
    int setControlExt(CameraCtrl ctrl, const char* value) override;
    int getControl(CameraCtrl ctrl, int* value) override;
    int getControlExt(CameraCtrl ctrl, const char** value) override;
    // Copies the raw capture of the geometry fixed at the last start.
    bool getRawImages(const uint8_t* frame, int16_t* raw) override;
    bool getPhaseImage(const uint8_t* frame, float* depth, float* amplitude, float* confidence) override;

private:
    // "cali.bin" mapped read-only; the library may read it until the
    // handle is destroyed or given other calibration data.
    class Calibration {
    public:
        Calibration() = default;
        ~Calibration() { release(); }
        Calibration(Calibration&& other) noexcept;
        Calibration& operator=(Calibration&& other) noexcept;
        Calibration(const Calibration&) = delete;
        Calibration& operator=(const Calibration&) = delete;

        // False when the file is missing, empty or not a regular file (a
        // FIFO is not waited for). A file that cannot be mapped leaves
        // data() null with its size set.
        bool load(const char* path);
        const void* data() const { return mapping; }
        size_t size() const { return length; }
        void release();

    private:
        int fd = -1;
        void* mapping = nullptr;
        size_t length = 0;
    };

    int rawRows(bool single) const;
    void adoptSensorGeometry();
    // Whether the sensor's capture is `w` columns by `rows` rows.
    bool sensorDelivers(int w, int rows) const;
    void destroyHandle();

    SiSDKHandle handle = nullptr;
    std::string configDir;
    // Read by the capture thread's frame-rate adjustment while the caller
    // may set them.
    std::atomic<int32_t> width{640};
    std::atomic<int32_t> height{480};
    std::atomic<bool> frameRateSet{false};
    // Bytes of one raw capture as fixed by the last successful start; 0
    // before it.
    std::atomic<size_t> rawBytes{0};
    Calibration calibration;
};

}  // namespace Norvane
