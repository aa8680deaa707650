// The pipeline under load for a few seconds: several consumer threads that
// hold frames, release them out of order and misuse the interface, controls
// changed at random while streaming, start / stop / setOutputType cycles.
// No frame is ever delivered torn or changed while lent, and after every
// stop each buffer of the pool is accounted for.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/NorvaneTOFCamera.h"
#include "tests/cpp/core/CameraRig.h"
#include "tests/cpp/core/StressRig.h"
#include "tests/fakes/ScriptedSensor.h"

using namespace Norvane;
using namespace Norvane::stress;
using Norvane::testing::Rig;

namespace {

constexpr FrameSize kRawSize{2, 16, 16};
constexpr FrameSize kDepthSize{2, 16, 8};

// Every plane element of the frame of capture `stamp` (exact in float).
float depthValue(uint64_t stamp) { return float(stamp % 1000003); }
int16_t rawValue(uint64_t stamp) { return int16_t(stamp % 30011); }

// The sensor writes the capture number at both ends of the capture.
void stampCapture(uint8_t* data, size_t bytes, uint64_t stamp) {
    std::memcpy(data, &stamp, sizeof stamp);
    std::memcpy(data + bytes - sizeof stamp, &stamp, sizeof stamp);
}

// Decodes the capture number into every element of every plane; a capture
// whose two ends disagree is torn and counted. Some decodes fail.
class StampDevice : public NorvaneDevice {
public:
    std::atomic<int> torn{0};
    std::atomic<int> frameRate{30};

    explicit StampDevice(size_t captureBytes) : NorvaneDevice(PLATFORM_UNKNOWN), captureBytes(captureBytes) {}

    int deviceType() override { return HQVGA; }
    void getFrameFormat(FrameSize& raw, FrameSize& depth) override {
        raw = kRawSize;
        depth = kDepthSize;
    }
    int init(NorvaneTOFSensor* s, DeviceType) override {
        sensor = s;
        return 0;
    }
    int close() override { return 0; }
    int prepare() override { return 0; }
    int start() override { return 0; }
    int stop() override { return 0; }
    int setControl(CameraCtrl ctrl, int value) override {
        if (ctrl == CameraCtrl::FRAME_RATE) {
            frameRate.store(value);
            return 0;
        }
        if (ctrl == CameraCtrl::RANGE) range.store(value);
        return sensor->setControl(int(ctrl), value);
    }
    int setControlExt(CameraCtrl, const char*) override { return NorvaneInvalidParameter; }
    int getControl(CameraCtrl ctrl, int* value) override {
        if (ctrl == CameraCtrl::FRAME_RATE) {
            *value = 30;
            return 0;
        }
        if (ctrl == CameraCtrl::RANGE) {
            *value = range.load();
            return 0;
        }
        return sensor->getControl(int(ctrl), value);
    }
    int getControlExt(CameraCtrl, const char**) override { return NorvaneInvalidParameter; }
    bool getRawImages(const uint8_t* frame, int16_t* raw) override {
        uint64_t stamp;
        if (!read(frame, &stamp)) return false;
        std::fill(raw, raw + kRawSize.width * kRawSize.height, rawValue(stamp));
        return true;
    }
    bool getPhaseImage(const uint8_t* frame, float* depth, float* amplitude, float* confidence) override {
        uint64_t stamp;
        if (!read(frame, &stamp) || stamp % 11 == 0) return false;
        const int n = kDepthSize.width * kDepthSize.height;
        std::fill(depth, depth + n, depthValue(stamp));
        std::fill(amplitude, amplitude + n, depthValue(stamp));
        std::fill(confidence, confidence + n, depthValue(stamp));
        return true;
    }

private:
    bool read(const uint8_t* frame, uint64_t* stamp) {
        uint64_t head, tail;
        std::memcpy(&head, frame, sizeof head);
        std::memcpy(&tail, frame + captureBytes - sizeof tail, sizeof tail);
        if (head != tail) {
            ++torn;
            return false;
        }
        *stamp = head;
        return true;
    }
    const size_t captureBytes;
    std::atomic<int> range{4000};
};

// Whether every element of every plane of `f` belongs to the capture its
// timestamp names; `stamp` receives that timestamp.
bool stampedFrameIntact(NorvaneFrameBuffer* f, uint64_t* stamp) {
    FrameDataFormat fmt{};
    if (f->getFormat(FrameType::DEPTH, fmt) == 0) {
        *stamp = fmt.timestamp;
        const size_t n = size_t(fmt.width) * fmt.height;
        if (fmt.width != uint32_t(kDepthSize.width) || fmt.height != uint32_t(kDepthSize.height)) return false;
        for (FrameType t : {FrameType::DEPTH, FrameType::AMPLITUDE, FrameType::CONFIDENCE}) {
            const float* p = static_cast<const float*>(f->getData(t));
            if (!p || !std::all_of(p, p + n, [&](float v) { return v == depthValue(fmt.timestamp); })) return false;
        }
        return true;
    }
    if (f->getFormat(FrameType::RAW, fmt) != 0) return false;
    *stamp = fmt.timestamp;
    if (fmt.width != uint32_t(kRawSize.width) || fmt.height != uint32_t(kRawSize.height)) return false;
    const int16_t* p = static_cast<const int16_t*>(f->getData(FrameType::RAW));
    return p &&
           std::all_of(p, p + size_t(fmt.width) * fmt.height, [&](int16_t v) { return v == rawValue(fmt.timestamp); });
}

}  // namespace

TEST(Stress, ConsumersControlsAndRestartsOnAStampedPipeline) {
    Rig r;
    ASSERT_EQ(r.open(240, 180,
                     [](sim::ScriptedSensor& s) {
                         s.setPace(std::chrono::microseconds(300));
                         s.setSource([](uint64_t i, uint8_t* data, size_t bytes, int64_t* ts) {
                             *ts = int64_t(i);
                             if (i % 13 == 0) return -1;  // a failed capture now and then
                             stampCapture(data, bytes, i);
                             return 0;
                         });
                     }),
              NorvaneSuccess);
    auto device = std::make_unique<StampDevice>(r.sensor->captureBytes());
    StampDevice* stamp = device.get();
    ASSERT_EQ(r.cam->installDevice(std::move(device)), NorvaneSuccess);

    Tally tally;
    int cycles = 0;
    std::mt19937 rng(7);
    runConsumers(*r.cam, stampedFrameIntact, tally, [&] {
        lifecycle(
            *r.cam, milliseconds(2500), rng,
            [&](std::mt19937& g) {
                if (g() % 4 == 0) {
                    r.cam->setControl(CameraCtrl::RANGE, g() % 2 ? 2000 : 4000);
                } else {
                    commonControl(*r.cam, g);
                }
            },
            &cycles);
    });
    EXPECT_EQ(stamp->torn.load(), 0);
    EXPECT_EQ(tally.damaged.load(), 0);
    EXPECT_EQ(tally.disordered.load(), 0);
    EXPECT_GT(tally.received.load(), 20) << "the consumers must have had frames to work on";
    EXPECT_GT(cycles, 3) << "and the camera must have been restarted";
}
