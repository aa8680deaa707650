#include "tests/fakes/ScriptedSi4c.h"

#include <cstring>

#include "sdk/si4c/si4c.h"

// Handles are tokens the script allocates; only their null-ness matters.
struct SiSDKContext {
    int token;
};

namespace Norvane {
namespace sim {

namespace {

std::mutex& scriptMutex() {
    static std::mutex m;
    return m;
}

void record(SiSDKHandle handle, std::string call) {
    if (!handle) call += " (null)";
    si4cScript().calls.push_back(call);
}

}  // namespace

Si4cScript& si4cScript() {
    static Si4cScript script;
    return script;
}

void resetSi4cScript() {
    std::lock_guard<std::mutex> lock(scriptMutex());
    const int live = si4cScript().liveHandles;  // handles outlive a reset
    si4cScript() = Si4cScript();
    si4cScript().liveHandles = live;
}

std::vector<std::string> si4cCalls() {
    std::lock_guard<std::mutex> lock(scriptMutex());
    return si4cScript().calls;
}

}  // namespace sim
}  // namespace Norvane

using Norvane::sim::record;
using Norvane::sim::scriptMutex;
using Norvane::sim::si4cScript;

extern "C" {

bool SiSDKCreate(SiSDKHandle* handle) {
    std::lock_guard<std::mutex> lock(scriptMutex());
    si4cScript().calls.push_back("Create");
    if (!si4cScript().createResult) return false;
    *handle = new SiSDKContext{++si4cScript().liveHandles};
    return true;
}

bool SiSDKInit(SiSDKHandle handle, int width, int height) {
    std::lock_guard<std::mutex> lock(scriptMutex());
    record(handle, "Init " + std::to_string(width) + " " + std::to_string(height));
    return handle && si4cScript().initResult;
}

bool SiSDKSetCaliData(SiSDKHandle handle, const void* data, size_t size) {
    std::lock_guard<std::mutex> lock(scriptMutex());
    record(handle, std::string("SetCaliData ") + (data ? "" : "null ") + std::to_string(size));
    Norvane::sim::Si4cScript& s = si4cScript();
    s.caliData = data;
    s.caliSize = size;
    s.caliBytes.clear();
    if (data) s.caliBytes.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    return handle != nullptr;
}

bool SiSDKSetConfig(SiSDKHandle handle, const char* configDir) {
    std::lock_guard<std::mutex> lock(scriptMutex());
    record(handle, std::string("SetConfig ") + (configDir ? configDir : "(none)"));
    return handle != nullptr;
}

bool SiSDKStart(SiSDKHandle handle) {
    std::lock_guard<std::mutex> lock(scriptMutex());
    record(handle, "Start");
    return handle && si4cScript().startResult;
}

bool SiSDKIsSingleFreq(SiSDKHandle) {
    std::lock_guard<std::mutex> lock(scriptMutex());
    ++si4cScript().modeQueries;
    return si4cScript().singleFreq;
}

bool SiSDKSetSingleFreq(SiSDKHandle handle, bool single) {
    std::lock_guard<std::mutex> lock(scriptMutex());
    record(handle, std::string("SetSingleFreq ") + (single ? "1" : "0"));
    si4cScript().singleFreq = single;
    return handle != nullptr;
}

bool SiSDKGetPhaseImage(SiSDKHandle handle, const uint8_t*, float*, float*, float*) {
    std::lock_guard<std::mutex> lock(scriptMutex());
    record(handle, "GetPhaseImage");
    return handle && si4cScript().phaseResult;
}

void SiSDKDestroy(SiSDKHandle* handle) {
    std::lock_guard<std::mutex> lock(scriptMutex());
    record(*handle, "Destroy");
    if (!*handle) return;
    delete *handle;
    *handle = nullptr;
    --si4cScript().liveHandles;
}

}  // extern "C"
