#include "tests/fakes/ScriptedEvk.h"

#include <algorithm>
#include <cstring>

namespace Norvane {
namespace fake {

int handleTarget;             // the scripted handle points here; never dereferenced
constexpr int kNoFrame = -4;  // no frame left in the script

ScriptedEvk& scriptedEvk() {
    static ScriptedEvk instance;
    return instance;
}

EvkHandle scriptedHandle() { return reinterpret_cast<EvkHandle>(&handleTarget); }

void ScriptedEvk::reset() {
    std::lock_guard<std::mutex> lock(mutex);
    openResult = initResult = configResult = startResult = writeResult = 0;
    std::memset(&defaults, 0, sizeof defaults);
    std::memset(&config, 0, sizeof config);
    std::memset(&openedParam, 0, sizeof openedParam);
    frames.clear();
    calls.clear();
    openedPath.clear();
    writes.clear();
    captureTimeouts.clear();
    badHandles = badFrees = 0;
    isOpen = false;
    lent.clear();
    nextToken = 1;
}

int ScriptedEvk::count(const std::string& name) const { return int(std::count(calls.begin(), calls.end(), name)); }

int ScriptedEvk::framesLent() const { return int(lent.size()); }

void ScriptedEvk::addFrame(uint64_t timestamp, size_t bytes, uint8_t fill) {
    ScriptedFrame f;
    f.timestamp = timestamp;
    f.data.assign(bytes, fill);
    frames.push_back(std::move(f));
}

bool ScriptedEvk::checkHandle(EvkHandle handle) {
    if (handle == scriptedHandle() && isOpen) return true;
    ++badHandles;
    return false;
}

}  // namespace fake
}  // namespace Norvane

using Norvane::fake::scriptedEvk;

extern "C" {

int NorvaneDefaultParam(EvkParam* param) {
    auto& s = scriptedEvk();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.record("NorvaneDefaultParam");
    *param = s.defaults;
    return 0;
}

int NorvaneOpenCamera(EvkHandle* handle, const EvkParam* param) {
    auto& s = scriptedEvk();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.record("NorvaneOpenCamera");
    s.openedParam = *param;
    s.openedPath = param->config_path ? param->config_path : "";
    if (s.openResult != 0) return s.openResult;
    s.isOpen = true;
    *handle = Norvane::fake::scriptedHandle();
    return 0;
}

int NorvaneInitCamera(EvkHandle handle) {
    auto& s = scriptedEvk();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.record("NorvaneInitCamera");
    if (!s.checkHandle(handle)) return -2;
    return s.initResult;
}

int NorvaneGetCameraConfig(EvkHandle handle, EvkCameraConfig* config) {
    auto& s = scriptedEvk();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.record("NorvaneGetCameraConfig");
    if (!s.checkHandle(handle)) return -2;
    if (s.configResult != 0) return s.configResult;
    *config = s.config;
    return 0;
}

int NorvaneStartCamera(EvkHandle handle) {
    auto& s = scriptedEvk();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.record("NorvaneStartCamera");
    if (!s.checkHandle(handle)) return -2;
    return s.startResult;
}

int NorvaneStopCamera(EvkHandle handle) {
    auto& s = scriptedEvk();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.record("NorvaneStopCamera");
    if (!s.checkHandle(handle)) return -2;
    return 0;
}

int NorvaneCaptureImage(EvkHandle handle, EvkFrame* frame, int timeout_ms) {
    auto& s = scriptedEvk();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.record("NorvaneCaptureImage");
    s.captureTimeouts.push_back(timeout_ms);
    if (!s.checkHandle(handle)) return -2;
    if (s.frames.empty()) return Norvane::fake::kNoFrame;
    Norvane::fake::ScriptedFrame f = std::move(s.frames.front());
    s.frames.pop_front();
    if (f.result != 0) return f.result;
    // Scribble over the whole record first: the transport must not rely on
    // fields the library does not set.
    std::memset(frame, 0xA5, sizeof *frame);
    frame->timestamp = f.timestamp;
    frame->size = f.sizeFromData ? uint32_t(f.data.size()) : f.size;
    s.lent.emplace_back(s.nextToken, std::move(f.data));
    frame->data = f.nullData ? nullptr : s.lent.back().second.data();
    frame->kit_private = s.nextToken++;
    return 0;
}

int NorvaneFreeImage(EvkHandle handle, EvkFrame frame) {
    auto& s = scriptedEvk();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.record("NorvaneFreeImage");
    if (!s.checkHandle(handle)) return -2;
    for (auto it = s.lent.begin(); it != s.lent.end(); ++it) {
        if (it->first == frame.kit_private) {
            s.lent.erase(it);
            return 0;
        }
    }
    ++s.badFrees;
    return -2;
}

int NorvaneCloseCamera(EvkHandle handle) {
    auto& s = scriptedEvk();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.record("NorvaneCloseCamera");
    if (!s.checkHandle(handle)) return -2;
    s.isOpen = false;
    return 0;
}

int NorvaneWriteSensorReg(EvkHandle handle, uint32_t reg, uint32_t value) {
    auto& s = scriptedEvk();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.record("NorvaneWriteSensorReg");
    if (!s.checkHandle(handle)) return -2;
    s.writes.emplace_back(reg, value);
    return s.writeResult;
}

}  // extern "C"
