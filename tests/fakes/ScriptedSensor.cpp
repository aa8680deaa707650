#include "tests/fakes/ScriptedSensor.h"

#include <thread>

namespace Norvane {
namespace sim {

namespace {
// How long a gated capture waits for its permit before failing.
constexpr std::chrono::milliseconds kPermitWait{2};
constexpr uint32_t kBitWidth = 12;
constexpr uint32_t kBytesPerPixel = 2;
}  // namespace

ScriptedSensor::ScriptedSensor(uint32_t width, uint32_t height) : width(width), height(height) {}

ScriptedSensor::~ScriptedSensor() { journal->destroyed.store(true); }

void ScriptedSensor::setSource(Source s) {
    std::lock_guard<std::mutex> lock(mutex);
    source = std::move(s);
}

void ScriptedSensor::setPace(std::chrono::microseconds p) {
    std::lock_guard<std::mutex> lock(mutex);
    pace = p;
}

void ScriptedSensor::setGated(bool g) { gated.store(g); }

void ScriptedSensor::allow(int n) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        permits += n;
    }
    permitted.notify_all();
}

void ScriptedSensor::setControlValue(CameraCtrl ctrl, int value, int result) {
    std::lock_guard<std::mutex> lock(mutex);
    controls[int(ctrl)] = {value, result};
}

void ScriptedSensor::setControlResult(CameraCtrl ctrl, int result) {
    std::lock_guard<std::mutex> lock(mutex);
    setResults[int(ctrl)] = result;
}

int ScriptedSensor::getControlCalls(CameraCtrl ctrl) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = getCalls.find(int(ctrl));
    return it == getCalls.end() ? 0 : it->second;
}

std::vector<std::pair<int, int>> ScriptedSensor::setControlCalls() const {
    std::lock_guard<std::mutex> lock(mutex);
    return setCalls;
}

size_t ScriptedSensor::captureBytes() const {
    return size_t(framesPerCapture > 0 ? framesPerCapture : 0) * width * height * kBytesPerPixel;
}

int ScriptedSensor::open(CameraInfo& info) {
    journal->opens.fetch_add(1);
    if (openResult != 0) return openResult;
    info.width = width;
    info.height = height;
    info.bit_width = kBitWidth;
    info.bpp = kBytesPerPixel;
    opened = info;
    return 0;
}

int ScriptedSensor::close() {
    journal->closes.fetch_add(1);
    return 0;
}

int ScriptedSensor::start() {
    journal->starts.fetch_add(1);
    return startResult;
}

int ScriptedSensor::stop() {
    journal->stops.fetch_add(1);
    return stopResult;
}

CameraInfo ScriptedSensor::getCameraInfo() { return opened; }

bool ScriptedSensor::takePermit() {
    std::unique_lock<std::mutex> lock(mutex);
    if (!permitted.wait_for(lock, kPermitWait, [this] { return permits > 0; })) return false;
    --permits;
    return true;
}

int ScriptedSensor::getFrame(uint8_t* data, int64_t* timestamp) {
    journal->attempts.fetch_add(1);
    if (gated.load() && !takePermit()) return -1;
    const uint64_t index = journal->captures.fetch_add(1) + 1;
    Source s;
    std::chrono::microseconds p;
    {
        std::lock_guard<std::mutex> lock(mutex);
        s = source;
        p = pace;
    }
    if (p.count() > 0) std::this_thread::sleep_for(p);
    if (!s) {
        *timestamp = int64_t(index);
        return 0;
    }
    return s(index, data, captureBytes(), timestamp);
}

int ScriptedSensor::setControl(int ctrl, int value) {
    std::lock_guard<std::mutex> lock(mutex);
    setCalls.emplace_back(ctrl, value);
    auto it = setResults.find(ctrl);
    return it == setResults.end() ? 0 : it->second;
}

int ScriptedSensor::getControl(int ctrl, int* value) {
    std::lock_guard<std::mutex> lock(mutex);
    ++getCalls[ctrl];
    auto it = controls.find(ctrl);
    if (it == controls.end()) return 1;
    if (it->second.second == 0) *value = it->second.first;
    return it->second.second;
}

}  // namespace sim
}  // namespace Norvane
