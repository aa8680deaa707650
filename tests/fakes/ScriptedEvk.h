// A scripted evaluation-kit library: the ten C functions of
// sdk/evk/norvane_evk_sdk.h answered from a script and recorded, for tests
// of the USB transport. Link the library norvane_scripted_evk in a test
// declared NO_SDK.
#pragma once

#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "sdk/evk/norvane_evk_sdk.h"

namespace Norvane {
namespace fake {

struct ScriptedFrame {
    int result = 0;  // nonzero: NorvaneCaptureImage fails with it
    uint64_t timestamp = 0;
    std::vector<uint8_t> data;
    bool sizeFromData = true;  // false: report `size` instead of data.size()
    uint32_t size = 0;
    bool nullData = false;
};

class ScriptedEvk {
public:
    // What the functions return.
    int openResult = 0;
    int initResult = 0;
    int configResult = 0;
    int startResult = 0;
    int writeResult = 0;
    EvkParam defaults{};               // written by NorvaneDefaultParam
    EvkCameraConfig config{};          // written by NorvaneGetCameraConfig
    std::deque<ScriptedFrame> frames;  // handed out in order; none left: the capture fails

    // What the functions saw.
    std::vector<std::string> calls;  // function names, in order
    EvkParam openedParam{};
    std::string openedPath;  // copy of the configuration path at open
    std::vector<std::pair<uint32_t, uint32_t>> writes;
    std::vector<int> captureTimeouts;
    int badHandles = 0;  // calls with a handle the library did not give out
    int badFrees = 0;    // NorvaneFreeImage with a frame not lent out

    // Resets the script and the records (call at the start of each test).
    void reset();
    int count(const std::string& name) const;
    int framesLent() const;
    bool open() const { return isOpen; }

    // Adds a frame of `samples` bytes, each `fill`.
    void addFrame(uint64_t timestamp, size_t bytes, uint8_t fill = 0);

    // For the C functions.
    std::mutex mutex;
    bool isOpen = false;
    std::list<std::pair<uint64_t, std::vector<uint8_t>>> lent;  // token, data
    uint64_t nextToken = 1;
    void record(const char* name) { calls.emplace_back(name); }
    bool checkHandle(EvkHandle handle);
};

// The one script the C functions answer from.
ScriptedEvk& scriptedEvk();

// The handle the scripted library gives out.
EvkHandle scriptedHandle();

}  // namespace fake
}  // namespace Norvane
