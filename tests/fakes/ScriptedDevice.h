// A depth device whose results the test chooses and which records the
// controls it receives. Decoding stamps each plane with the decode number.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "device/NorvaneDevice.h"

namespace Norvane {
namespace sim {

class ScriptedDevice : public NorvaneDevice {
public:
    // Decides whether decode `index` (1, 2, ...) succeeds.
    using Verdict = std::function<bool(uint64_t index)>;

    ScriptedDevice(FrameSize raw = FrameSize{2, 8, 4}, FrameSize depth = FrameSize{2, 8, 2});

    // --- script ----------------------------------------------------------------
    std::atomic<int> reportedFrameRate{30};
    std::atomic<int> frameRateReadResult{0};
    std::atomic<int> setResult{0};
    std::atomic<int> initResult{0};
    std::atomic<int> prepareResult{0};
    std::atomic<int> startResult{0};
    std::atomic<int> type{VGA};
    void setVerdict(Verdict v);
    ~ScriptedDevice() override;

    // What the camera did with the device; outlives the device.
    struct Log {
        std::atomic<int> inits{0}, closes{0}, prepares{0}, starts{0}, stops{0};
        std::atomic<uint64_t> decodes{0};
        std::atomic<bool> destroyed{false};
    };
    std::shared_ptr<const Log> log() const { return journal; }

    // --- observation -------------------------------------------------------
    std::vector<std::pair<int, int>> setControlCalls() const;
    std::vector<int> frameRateSets() const;
    NorvaneTOFSensor* boundSensor() const { return sensor; }

    // --- the device ------------------------------------------------------------
    int deviceType() override { return type.load(); }
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

private:
    const FrameSize rawSize;
    const FrameSize depthSize;
    const std::shared_ptr<Log> journal = std::make_shared<Log>();
    mutable std::mutex mutex;  // guards the two below
    Verdict verdict;
    std::vector<std::pair<int, int>> setCalls;
};

}  // namespace sim
}  // namespace Norvane
