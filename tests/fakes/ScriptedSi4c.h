// A scripted phase-processing library: implements the SiSDK functions,
// records every call in order and answers as the test chose. Link it
// (target norvane_scripted_si4c) into a NO_SDK test in place of ours.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace Norvane {
namespace sim {

struct Si4cScript {
    // Results the functions report.
    bool createResult = true;
    bool initResult = true;
    bool startResult = true;
    bool phaseResult = true;

    // Mode reported by SiSDKIsSingleFreq, switched by SiSDKSetSingleFreq.
    bool singleFreq = true;

    // Calls in order, e.g. "Create", "Init 640 480", "SetCaliData 16",
    // "SetCaliData null 4096", "SetConfig /dir", "Start", "SetSingleFreq 0",
    // "GetPhaseImage", "Destroy"; a call on a null handle ends in " (null)".
    // SiSDKIsSingleFreq is counted, not recorded.
    std::vector<std::string> calls;
    int modeQueries = 0;

    // The last calibration handed over: pointer, size and the bytes as they
    // read at the time of the call.
    const void* caliData = nullptr;
    size_t caliSize = 0;
    std::vector<uint8_t> caliBytes;

    int liveHandles = 0;
};

// The script the functions follow. resetSi4cScript restores the defaults
// and clears the records; the count of live handles carries over.
Si4cScript& si4cScript();
void resetSi4cScript();
// The calls recorded so far, copied under the script's lock.
std::vector<std::string> si4cCalls();

}  // namespace sim
}  // namespace Norvane
