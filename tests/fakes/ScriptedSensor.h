// A sensor transport whose captures, results, timestamps and pacing the
// test chooses, and which records what the camera asked of it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "sensor/NorvaneTOFSensor.h"

namespace Norvane {
namespace sim {

class ScriptedSensor : public NorvaneTOFSensor {
public:
    // Produces capture `index` (1, 2, ...): may fill `bytes` bytes of
    // `data`, sets the timestamp, returns the getFrame result.
    using Source = std::function<int(uint64_t index, uint8_t* data, size_t bytes, int64_t* timestamp)>;

    // Without a source, capture i leaves the data alone, is stamped i and
    // succeeds.
    explicit ScriptedSensor(uint32_t width = 240, uint32_t height = 180);
    ~ScriptedSensor() override;

    // What the camera did with the sensor; outlives the sensor.
    struct Log {
        std::atomic<uint64_t> captures{0};  // captures begun
        std::atomic<uint64_t> attempts{0};  // getFrame calls
        std::atomic<int> opens{0}, starts{0}, stops{0}, closes{0};
        std::atomic<bool> destroyed{false};
    };
    std::shared_ptr<const Log> log() const { return journal; }

    // --- script (set before the camera uses the sensor) ---------------------
    int openResult = 0;
    int startResult = 0;
    int stopResult = 0;
    void setSource(Source source);
    // Each capture takes at least this long.
    void setPace(std::chrono::microseconds pace);
    // Gated: a capture needs a permit (allow); without one getFrame gives up
    // after a short wait and returns -1 without using up a capture index.
    void setGated(bool gated);
    void allow(int captures);
    // getControl answers `value` with `result` for this control; controls
    // never set answer 1.
    void setControlValue(CameraCtrl ctrl, int value, int result = 0);
    // setControl of this control returns `result` (others return 0).
    void setControlResult(CameraCtrl ctrl, int result);

    // --- observation -------------------------------------------------------
    uint64_t captures() const { return journal->captures.load(); }
    uint64_t attempts() const { return journal->attempts.load(); }
    int getControlCalls(CameraCtrl ctrl) const;
    std::vector<std::pair<int, int>> setControlCalls() const;
    size_t captureBytes() const;

    // --- the transport -------------------------------------------------------
    int open(CameraInfo& info) override;
    int close() override;
    int start() override;
    int stop() override;
    CameraInfo getCameraInfo() override;
    int getFrame(uint8_t* data, int64_t* timestamp) override;
    int setControl(int ctrl, int value) override;
    int getControl(int ctrl, int* value) override;

private:
    bool takePermit();

    const uint32_t width;
    const uint32_t height;
    CameraInfo opened{};
    Source source;
    std::chrono::microseconds pace{0};
    std::atomic<bool> gated{false};
    const std::shared_ptr<Log> journal = std::make_shared<Log>();

    mutable std::mutex mutex;  // guards everything below
    std::condition_variable permitted;
    int permits = 0;
    std::map<int, std::pair<int, int>> controls;  // ctrl -> (value, result)
    std::map<int, int> setResults;                // ctrl -> setControl result
    std::map<int, int> getCalls;
    std::vector<std::pair<int, int>> setCalls;
};

}  // namespace sim
}  // namespace Norvane
