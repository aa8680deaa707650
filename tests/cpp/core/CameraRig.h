// A camera on a scripted sensor (and, if asked, a scripted device), built
// under an empty simulated kernel so the board is always PLATFORM_UNKNOWN.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "core/NorvaneTOFCamera.h"
#include "tests/fakes/ScriptedDevice.h"
#include "tests/fakes/ScriptedSensor.h"
#include "tests/fakes/SimKernel.h"

namespace Norvane {
namespace testing {

inline std::unique_ptr<NorvaneTOFCamera> makeCamera() {
    sim::SimKernel k;
    ScopedKernel scope(k);
    return std::make_unique<NorvaneTOFCamera>();
}

struct Rig {
    std::unique_ptr<NorvaneTOFCamera> cam = makeCamera();
    sim::ScriptedSensor* sensor = nullptr;  // owned by cam
    sim::ScriptedDevice* device = nullptr;  // owned by cam, when installed
    std::shared_ptr<const sim::ScriptedSensor::Log> sensorLog;
    std::shared_ptr<const sim::ScriptedDevice::Log> deviceLog;

    // Opens a scripted sensor of the given geometry; `prepare` may script
    // it before the camera opens it.
    int open(uint32_t width = 240, uint32_t height = 180,
             const std::function<void(sim::ScriptedSensor&)>& prepare = nullptr) {
        auto s = std::make_unique<sim::ScriptedSensor>(width, height);
        if (prepare) prepare(*s);
        sensor = s.get();
        sensorLog = s->log();
        return cam->openWithSensor(std::move(s), Connection::USB, 0);
    }

    // Opens a 240 x 180 scripted sensor and replaces the HQVGA device with a
    // scripted one.
    void openScripted(const std::function<void(sim::ScriptedSensor&)>& prepare = nullptr,
                      FrameSize raw = FrameSize{2, 8, 4}, FrameSize depth = FrameSize{2, 8, 2}) {
        ASSERT_EQ(open(240, 180, prepare), 0);
        auto d = std::make_unique<sim::ScriptedDevice>(raw, depth);
        device = d.get();
        deviceLog = d->log();
        ASSERT_EQ(cam->installDevice(std::move(d)), 0);
    }
};

// Waits until `cond` holds, up to a generous limit.
inline bool eventually(const std::function<bool()>& cond,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline uint64_t timestampOf(NorvaneFrameBuffer* f) {
    FrameDataFormat fmt{};
    for (FrameType t : {FrameType::DEPTH, FrameType::RAW}) {
        if (f->getFormat(t, fmt) == 0) return fmt.timestamp;
    }
    ADD_FAILURE() << "frame without a depth or raw record";
    return 0;
}

}  // namespace testing
}  // namespace Norvane
