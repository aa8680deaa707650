#include "tests/fakes/ScriptedDevice.h"

namespace Norvane {
namespace sim {

ScriptedDevice::ScriptedDevice(FrameSize raw, FrameSize depth)
    : NorvaneDevice(PLATFORM_UNKNOWN), rawSize(raw), depthSize(depth) {}

ScriptedDevice::~ScriptedDevice() { journal->destroyed.store(true); }

void ScriptedDevice::setVerdict(Verdict v) {
    std::lock_guard<std::mutex> lock(mutex);
    verdict = std::move(v);
}

std::vector<std::pair<int, int>> ScriptedDevice::setControlCalls() const {
    std::lock_guard<std::mutex> lock(mutex);
    return setCalls;
}

std::vector<int> ScriptedDevice::frameRateSets() const {
    std::vector<int> out;
    for (const auto& c : setControlCalls()) {
        if (c.first == int(CameraCtrl::FRAME_RATE)) out.push_back(c.second);
    }
    return out;
}

void ScriptedDevice::getFrameFormat(FrameSize& raw, FrameSize& depth) {
    raw = rawSize;
    depth = depthSize;
}

int ScriptedDevice::init(NorvaneTOFSensor* s, DeviceType) {
    journal->inits.fetch_add(1);
    sensor = s;
    return initResult.load();
}

int ScriptedDevice::close() {
    journal->closes.fetch_add(1);
    return 0;
}

int ScriptedDevice::prepare() {
    journal->prepares.fetch_add(1);
    return prepareResult.load();
}

int ScriptedDevice::start() {
    journal->starts.fetch_add(1);
    return startResult.load();
}

int ScriptedDevice::stop() {
    journal->stops.fetch_add(1);
    return 0;
}

int ScriptedDevice::setControl(CameraCtrl ctrl, int value) {
    std::lock_guard<std::mutex> lock(mutex);
    setCalls.emplace_back(int(ctrl), value);
    return setResult.load();
}

int ScriptedDevice::setControlExt(CameraCtrl, const char*) { return 1; }

int ScriptedDevice::getControl(CameraCtrl ctrl, int* value) {
    if (ctrl == CameraCtrl::FRAME_RATE) {
        int r = frameRateReadResult.load();
        if (r == 0) *value = reportedFrameRate.load();
        return r;
    }
    return sensor ? sensor->getControl(int(ctrl), value) : -1;
}

int ScriptedDevice::getControlExt(CameraCtrl, const char**) { return 1; }

bool ScriptedDevice::getRawImages(const uint8_t*, int16_t* raw) {
    const uint64_t n = journal->decodes.fetch_add(1) + 1;
    Verdict v;
    {
        std::lock_guard<std::mutex> lock(mutex);
        v = verdict;
    }
    for (int i = 0; i < rawSize.width * rawSize.height; ++i) raw[i] = int16_t(n);
    return v ? v(n) : true;
}

bool ScriptedDevice::getPhaseImage(const uint8_t*, float* depth, float* amplitude, float* confidence) {
    const uint64_t n = journal->decodes.fetch_add(1) + 1;
    Verdict v;
    {
        std::lock_guard<std::mutex> lock(mutex);
        v = verdict;
    }
    for (int i = 0; i < depthSize.width * depthSize.height; ++i) {
        depth[i] = float(n);
        amplitude[i] = float(n);
        confidence[i] = float(n);
    }
    return v ? v(n) : true;
}

}  // namespace sim
}  // namespace Norvane
