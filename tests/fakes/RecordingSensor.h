// A sensor that records the controls it is sent and answers reads from a
// table, for device tests. With `followsFormat` it keeps FMT_WIDTH and
// FMT_HEIGHT in the geometry getCameraInfo reports, as a CSI sensor does;
// without it the geometry stays as opened, as a USB camera's does.
#pragma once

#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "sensor/NorvaneTOFSensor.h"

namespace Norvane {
namespace sim {

class RecordingSensor : public NorvaneTOFSensor {
public:
    RecordingSensor(uint32_t width, uint32_t height, bool followsFormat) : followsFormat(followsFormat) {
        std::memset(&info, 0, sizeof info);
        info.width = width;
        info.height = height;
        info.bit_width = 12;
        info.bpp = 2;
    }

    int open(CameraInfo& i) override {
        i.width = info.width;
        i.height = info.height;
        return 0;
    }
    int close() override { return 0; }
    int start() override { return 0; }
    int stop() override { return 0; }
    CameraInfo getCameraInfo() override { return info; }
    int getFrame(uint8_t*, int64_t*) override { return -1; }

    int setControl(int ctrl, int value) override {
        sets.emplace_back(ctrl, value);
        if (followsFormat && ctrl == int(CameraCtrl::FMT_WIDTH)) info.width = uint32_t(value);
        if (followsFormat && ctrl == int(CameraCtrl::FMT_HEIGHT)) info.height = uint32_t(value);
        auto r = setResults.find(ctrl);
        return r == setResults.end() ? 0 : r->second;
    }

    int getControl(int ctrl, int* value) override {
        gets.push_back(ctrl);
        auto v = values.find(ctrl);
        if (v == values.end()) return 1;
        *value = v->second;
        return getResult;
    }

    CameraInfo info;
    bool followsFormat;
    std::vector<std::pair<int, int>> sets;  // every setControl, in order
    std::vector<int> gets;                  // every getControl, in order
    std::map<int, int> setResults;          // result per control (default 0)
    std::map<int, int> values;              // getControl answers; absent: 1
    int getResult = 0;
};

}  // namespace sim
}  // namespace Norvane
