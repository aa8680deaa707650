// The capture thread: skipping, failed captures, the frame-rate arithmetic
// on a driven clock, slow and greedy consumers, and HQVGA end to end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "device/HqvgaKernel.h"
#include "tests/cpp/core/CameraRig.h"
#include "tests/fakes/ManualClock.h"

using namespace Norvane;
using namespace Norvane::testing;
using std::chrono::milliseconds;

namespace {

constexpr short kWait = 5000;

// Lets capture `i` through and expects its frame next.
void expectFrame(Rig& r, uint64_t i) {
    NorvaneFrameBuffer* f = r.cam->requestFrame(kWait);
    ASSERT_NE(f, nullptr) << "capture " << i;
    EXPECT_EQ(timestampOf(f), i);
    EXPECT_EQ(r.cam->releaseFrame(f), NorvaneSuccess);
}

// The clock comes first so that it outlives the camera's thread.
struct DrivenClock {
    sim::ManualClock clock;
    ScopedSteadyClock scope{clock};
};

// A fresh camera on a gated scripted sensor and device, its clock driven.
struct GatedRig : DrivenClock, Rig {
    GatedRig() {
        openScripted([](sim::ScriptedSensor& s) { s.setGated(true); });
    }
};

}  // namespace

TEST(CaptureSkipping, OneOfFourIsDroppedAndNeverSeen) {
    GatedRig r;
    ASSERT_EQ(r.cam->start(FrameType::DEPTH), NorvaneSuccess);
    // Set while running: applies from the next capture. The cycle comes
    // first: a skip of 1 in the default cycle of 1 would drop everything.
    ASSERT_EQ(r.cam->setControl(CameraCtrl::SKIP_FRAME, 1), NorvaneInvalidParameter);
    ASSERT_EQ(r.cam->setControl(CameraCtrl::SKIP_FRAME_LOOP, 4), NorvaneSuccess);
    ASSERT_EQ(r.cam->setControl(CameraCtrl::SKIP_FRAME, 1), NorvaneSuccess);
    for (uint64_t i = 1; i <= 16; ++i) {
        r.sensor->allow(1);
        if (i % 4 != 0) expectFrame(r, i);
    }
    EXPECT_EQ(r.cam->requestFrame(50), nullptr);
    EXPECT_EQ(r.deviceLog->decodes.load(), 12u) << "skipped captures are not decoded";
    EXPECT_EQ(r.cam->getFpsSamples(), 15) << "but timed: every capture after the first";
}

// Captures delivered out of `count`, driven straight through analysisFrame.
int delivered(Rig& r, unsigned char* cache, LinkNode* node, int count) {
    int n = 0;
    for (int i = 0; i < count; ++i) {
        const int result = r.cam->analysisFrame(cache, node);
        EXPECT_TRUE(result == NorvaneSuccess || result == NorvaneSkipFrame) << result;
        if (result == NorvaneSuccess) ++n;
    }
    return n;
}

TEST(CaptureSkipping, EveryAcceptedPairDeliversItsShareOfEveryCycle) {
    struct Case {
        int skip, loop;
    };
    // Cycles above 255 once lost frames to 8-bit arithmetic (1 of 257, 2 of
    // 258 and 44 of 300 dropped everything).
    const Case cases[] = {{0, 1},   {1, 4},   {3, 4},   {2, 3},    {254, 255}, {1, 256},
                          {1, 257}, {2, 258}, {44, 300}, {10, 300}, {299, 300}, {0, 1000}};
    Rig r;
    r.openScripted();
    ASSERT_EQ(r.cam->setOutputType(FrameType::RAW), NorvaneSuccess);
    std::shared_ptr<FramePool> pool = r.cam->currentPool();
    auto* cache = static_cast<unsigned char*>(pool->captureBuffer().getData(FrameType::CACHE));
    LinkNode* node = pool->takeFree();
    ASSERT_NE(node, nullptr);
    // Each case starts where the previous one left the counter: any `loop`
    // consecutive captures hold exactly loop - skip deliveries.
    for (int offset : {0, 7}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::Message() << c.skip << " of " << c.loop << ", offset " << offset);
            ASSERT_EQ(r.cam->setControl(CameraCtrl::SKIP_FRAME, 0), NorvaneSuccess);
            ASSERT_EQ(r.cam->setControl(CameraCtrl::SKIP_FRAME_LOOP, c.loop), NorvaneSuccess);
            ASSERT_EQ(r.cam->setControl(CameraCtrl::SKIP_FRAME, c.skip), NorvaneSuccess);
            delivered(r, cache, node, offset);
            EXPECT_EQ(delivered(r, cache, node, c.loop), c.loop - c.skip);
            EXPECT_EQ(delivered(r, cache, node, c.loop), c.loop - c.skip);
        }
    }
    pool->discard(node);
}

TEST(CaptureSkipping, PairsThatCannotDeliverTheirShareAreRefusedAndChangeNothing) {
    GatedRig r;
    ASSERT_EQ(r.cam->setControl(CameraCtrl::SKIP_FRAME, 2), NorvaneInvalidParameter) << "2 of 1";
    ASSERT_EQ(r.cam->setControl(CameraCtrl::SKIP_FRAME, 1), NorvaneInvalidParameter) << "1 of 1";
    ASSERT_EQ(r.cam->setControl(CameraCtrl::SKIP_FRAME_LOOP, 3), NorvaneSuccess);
    ASSERT_EQ(r.cam->setControl(CameraCtrl::SKIP_FRAME, 1), NorvaneSuccess);
    for (int skip : {3, 4, -1, INT32_MIN}) {
        EXPECT_EQ(r.cam->setControl(CameraCtrl::SKIP_FRAME, skip), NorvaneInvalidParameter) << skip;
    }
    for (int loop : {1, 0, -1, -3}) {
        EXPECT_EQ(r.cam->setControl(CameraCtrl::SKIP_FRAME_LOOP, loop), NorvaneInvalidParameter) << loop;
    }
    // Still 1 of 3.
    ASSERT_EQ(r.cam->start(FrameType::DEPTH), NorvaneSuccess);
    for (uint64_t i = 1; i <= 9; ++i) {
        r.sensor->allow(1);
        if (i % 3 != 0) expectFrame(r, i);
    }
    EXPECT_EQ(r.cam->requestFrame(50), nullptr);
    EXPECT_EQ(r.deviceLog->decodes.load(), 6u);
}

int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

TEST(CaptureOrigin, FramesCarryTheirCaptureNumberSinceStartAndThePublicationTime) {
    GatedRig r;  // its driven clock must not reach the publication time
    ASSERT_EQ(r.cam->setControl(CameraCtrl::SKIP_FRAME_LOOP, 4), NorvaneSuccess);
    ASSERT_EQ(r.cam->setControl(CameraCtrl::SKIP_FRAME, 1), NorvaneSuccess);
    for (int run = 0; run < 2; ++run) {
        ASSERT_EQ(r.cam->start(FrameType::DEPTH), NorvaneSuccess);
        int delivered = 0;
        for (uint64_t capture = 0; delivered < 6; ++capture) {
            const int64_t before = steadyNowNs();
            r.sensor->allow(1);
            // The skip cycle runs on across a restart; a skipped capture keeps its number.
            NorvaneFrameBuffer* f = r.cam->requestFrame(200);
            if (!f) continue;
            const int64_t after = steadyNowNs();
            EXPECT_EQ(f->getCaptureIndex(), capture) << "run " << run;
            EXPECT_GE(f->getReceivedNs(), before);
            EXPECT_LE(f->getReceivedNs(), after);
            EXPECT_EQ(r.cam->releaseFrame(f), NorvaneSuccess);
            ++delivered;
        }
        ASSERT_EQ(r.cam->stop(), NorvaneSuccess);
    }
}

TEST(CaptureFailures, FailedAndPartialCapturesNeverReachTheConsumer) {
    for (FrameType output : {FrameType::DEPTH, FrameType::RAW}) {
        SCOPED_TRACE(output == FrameType::RAW ? "raw" : "depth");
        GatedRig r;
        // Captures 2, 3, 4 fail in the sensor (-1, a bad index 2, a queue
        // error -2); the decode of capture 6 fails in the device.
        r.sensor->setSource([](uint64_t i, uint8_t*, size_t, int64_t* ts) {
            *ts = int64_t(i);
            return i == 2 ? -1 : i == 3 ? 2 : i == 4 ? -2 : 0;
        });
        r.device->setVerdict([](uint64_t decode) { return decode != 3; });  // capture 6 is the third decode
        ASSERT_EQ(r.cam->start(output), NorvaneSuccess);
        for (uint64_t i = 1; i <= 8; ++i) {
            r.sensor->allow(1);
            if (i != 2 && i != 3 && i != 4 && i != 6) expectFrame(r, i);
        }
        EXPECT_EQ(r.cam->requestFrame(50), nullptr);
        EXPECT_EQ(r.deviceLog->decodes.load(), 5u) << "only whole captures are decoded";
    }
}

TEST(FrameRate, SmoothedIntervalOnTheSteadyClock) {
    sim::ManualClock clock;
    ScopedSteadyClock scope(clock);
    auto cam = makeCamera();
    EXPECT_EQ(cam->getSmoothing(), 0.1f);
    clock.advance(milliseconds(33));
    cam->updateFps();
    EXPECT_EQ(cam->getFrameInterval(), 33.0f);
    EXPECT_NEAR(cam->getFps(), 30.3f, 0.01f);
    EXPECT_EQ(cam->getSmoothing(), 0.1f) << "the first sample sets the interval directly";
    clock.advance(milliseconds(40));
    cam->updateFps();
    EXPECT_FLOAT_EQ(cam->getFrameInterval(), 33.7f);
    EXPECT_EQ(cam->getSmoothing(), 0.033333335f);
    EXPECT_EQ(cam->getFpsSamples(), 2);
    // Intervals are truncated to whole milliseconds: 26.999 ms counts 26.
    clock.advance(std::chrono::microseconds(26999));
    cam->updateFps();
    const float third = (1.0f - 0.033333335f) * 33.7f + 26.0f * 0.033333335f;
    EXPECT_FLOAT_EQ(cam->getFrameInterval(), third);
    EXPECT_FLOAT_EQ(cam->getFps(), 1000.0f / third);
}

TEST(FrameRate, AdjustmentLowersTheRateOnlyBeyondTheTolerance) {
    struct Case {
        int dtMs;  // one sample: fps = 1000 / dt
        int reported;
        std::vector<int> expected;
    };
    const Case cases[] = {
        {39, 30, {25}},  // 25.6 fps: target 25, off by 5 > 3
        {35, 30, {}},    // 28.6 fps: target 28, off by 2
        {36, 30, {}},    // 27.8 fps: target 27, off by exactly the tolerance 3
        {111, 10, {}},   // 9.0 fps: off by exactly the tolerance 1
        {125, 10, {8}},  // 8 fps: off by 2 > 1
        {39, 5, {}},     // target 25 above the reported 5: refused by the range check
        {600, 3, {1}},   // 1.67 fps: target 1, off by 2 > 1
        {0, 30, {}},     // an infinite rate: a target too high to be accepted
    };
    for (const Case& c : cases) {
        sim::ManualClock clock;
        ScopedSteadyClock scope(clock);
        Rig r;
        r.openScripted();
        r.device->reportedFrameRate = c.reported;
        clock.advance(milliseconds(c.dtMs));
        r.cam->updateFps();
        r.cam->adjustFrameRate();
        EXPECT_EQ(r.device->frameRateSets(), c.expected) << "dt " << c.dtMs << " reported " << c.reported;
    }
}

// Lets capture `i` through `ms` after the previous one and waits until the
// capture thread has timed it (`delivered`: it also reaches the consumer).
void paceCapture(GatedRig& r, uint64_t i, int ms, bool delivered, int samplesAfter) {
    r.clock.advance(milliseconds(ms));
    r.sensor->allow(1);
    if (delivered) expectFrame(r, i);
    ASSERT_TRUE(eventually([&] { return r.cam->getFpsSamples() == samplesAfter; })) << "capture " << i;
}

TEST(FrameRate, NothingIsAdjustedBeforeARateIsMeasured) {
    GatedRig r;
    r.device->reportedFrameRate = 60;
    auto attempts = [&] { return r.sensorLog->attempts.load(); };
    ASSERT_EQ(r.cam->start(FrameType::DEPTH), NorvaneSuccess);
    ASSERT_TRUE(eventually([&] { return attempts() > 0; }));  // the thread has read the clock
    r.clock.advance(std::chrono::seconds(3) + std::chrono::nanoseconds(1));
    uint64_t a = attempts();
    ASSERT_TRUE(eventually([&] { return attempts() > a + 3; }));
    EXPECT_TRUE(r.device->frameRateSets().empty()) << "no capture yet: no rate";
    // A first capture long after the start is no measure of the rate: it
    // once set 1 frame per second for good.
    paceCapture(r, 1, 3500, true, 0);
    paceCapture(r, 2, 40, true, 1);
    r.clock.advance(std::chrono::seconds(4));
    ASSERT_TRUE(eventually([&] { return !r.device->frameRateSets().empty(); }));
    EXPECT_EQ(r.device->frameRateSets(), std::vector<int>{25}) << "the rate between the two captures";
    EXPECT_EQ(r.cam->stop(), NorvaneSuccess);

    // Switched off, nothing is adjusted.
    GatedRig off;
    off.device->reportedFrameRate = 60;
    ASSERT_EQ(off.cam->setControl(CameraCtrl::AUTO_FRAME_RATE, 0), NorvaneSuccess);
    ASSERT_EQ(off.cam->start(FrameType::DEPTH), NorvaneSuccess);
    for (uint64_t i = 1; i <= 3; ++i) paceCapture(off, i, 40, true, int(i) - 1);
    off.clock.advance(std::chrono::seconds(10));
    a = off.sensorLog->attempts.load();
    ASSERT_TRUE(eventually([&] { return off.sensorLog->attempts.load() > a + 3; }));
    EXPECT_TRUE(off.device->frameRateSets().empty());
}

// With every other capture skipped the consumer sees half the sensor's rate;
// the adjustment follows the sensor, so it neither lowers a rate that holds
// nor halves one it lowers.
TEST(FrameRate, SkippedCapturesCountForTheSensorsRate) {
    struct Case {
        int reported;
        std::vector<int> expected;
    };
    for (const Case& c : {Case{30, {}}, Case{60, {30}}}) {
        GatedRig r;
        r.device->reportedFrameRate = c.reported;
        ASSERT_EQ(r.cam->setControl(CameraCtrl::SKIP_FRAME_LOOP, 2), NorvaneSuccess);
        ASSERT_EQ(r.cam->setControl(CameraCtrl::SKIP_FRAME, 1), NorvaneSuccess);
        ASSERT_EQ(r.cam->start(FrameType::DEPTH), NorvaneSuccess);
        ASSERT_TRUE(eventually([&] { return r.sensorLog->attempts.load() > 0; }));
        // 33 ms apart, 3.3 s in all: captures 1, 3, 5, ... are delivered.
        for (uint64_t i = 1; i <= 100; ++i) paceCapture(r, i, 33, i % 2 == 1, int(i) - 1);
        const uint64_t a = r.sensorLog->attempts.load();
        ASSERT_TRUE(eventually([&] { return r.sensorLog->attempts.load() > a + 3; }));
        EXPECT_EQ(r.device->frameRateSets(), c.expected) << "reported " << c.reported;
        EXPECT_EQ(r.cam->stop(), NorvaneSuccess);
    }
}

TEST(CaptureConsumers, ASlowConsumerGetsFramesAtMostThreeCapturesOld) {
    Rig r;
    r.openScripted([](sim::ScriptedSensor& s) { s.setPace(std::chrono::microseconds(2000)); });
    ASSERT_EQ(r.cam->start(FrameType::DEPTH), NorvaneSuccess);
    uint64_t last = 0;
    bool dropped = false;
    for (int i = 0; i < 8; ++i) {
        std::this_thread::sleep_for(milliseconds(15));
        uint64_t begun = r.sensorLog->captures.load();
        NorvaneFrameBuffer* f = r.cam->requestFrame(kWait);
        ASSERT_NE(f, nullptr);
        uint64_t ts = timestampOf(f);
        EXPECT_GE(ts + 3, begun) << "a frame more than three captures old";
        EXPECT_GT(ts, last);
        if (ts > last + 1) dropped = true;
        last = ts;
        EXPECT_EQ(r.cam->releaseFrame(f), NorvaneSuccess);
    }
    EXPECT_TRUE(dropped) << "the producer reclaimed unconsumed frames";
}

TEST(CaptureConsumers, AConsumerHoldingEveryFrameStopsTheFlowButNotStop) {
    Rig r;
    r.openScripted([](sim::ScriptedSensor& s) { s.setPace(std::chrono::microseconds(5000)); });
    ASSERT_EQ(r.cam->start(FrameType::DEPTH), NorvaneSuccess);
    std::vector<NorvaneFrameBuffer*> held;
    for (int i = 0; i < 3; ++i) {
        NorvaneFrameBuffer* f = r.cam->requestFrame(kWait);
        ASSERT_NE(f, nullptr);
        held.push_back(f);
    }
    uint64_t captures = r.sensorLog->captures.load();
    EXPECT_EQ(r.cam->requestFrame(60), nullptr);
    EXPECT_EQ(r.sensorLog->captures.load(), captures) << "no buffer to capture into";
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(r.cam->stop(), NorvaneSuccess);
    auto took = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - t0).count();
    // One sensor read (5 ms) plus 25 ms, with room for loaded CI machines.
    EXPECT_LT(took, 500);
    for (NorvaneFrameBuffer* f : held) EXPECT_EQ(r.cam->releaseFrame(f), NorvaneSuccess) << "valid after stop";
}

namespace {

// Capture i of a 240 x 180 sensor: the left half of each row has P1 = i
// (long range: phi = pi, 2000 mm; amplitude 8i), the right half P2 = i
// (phi = pi / 2, 1000 mm). Stamped 1000 i + 7.
int hqvgaCapture(uint64_t i, uint8_t* data, size_t bytes, int64_t* ts) {
    EXPECT_EQ(bytes, hqvga::kCaptureBytes);
    std::memset(data, 0, bytes);
    for (int r = 0; r < hqvga::kHeight; ++r) {
        for (int c = 0; c < hqvga::kWidth; ++c) {
            int phase = c < hqvga::kWidth / 2 ? 1 : 2;
            size_t at = size_t(phase) * hqvga::kPhaseBytes + size_t(r * hqvga::kWidth + c) * 2;
            data[at] = uint8_t(i);
        }
    }
    *ts = int64_t(1000 * i + 7);
    return 0;
}

}  // namespace

TEST(CaptureHqvga, DepthFramesCarryTheEncodedDepth) {
    Rig r;
    ASSERT_EQ(r.open(240, 180,
                     [](sim::ScriptedSensor& s) {
                         s.setGated(true);
                         s.setSource(hqvgaCapture);
                     }),
              0);
    ASSERT_EQ(r.cam->start(FrameType::DEPTH), NorvaneSuccess);
    for (uint64_t i = 1; i <= 3; ++i) {
        r.sensor->allow(1);
        NorvaneFrameBuffer* f = r.cam->requestFrame(kWait);
        ASSERT_NE(f, nullptr);
        FrameDataFormat fmt{};
        ASSERT_EQ(f->getFormat(FrameType::DEPTH, fmt), 0);
        EXPECT_EQ(fmt.width, 240u);
        EXPECT_EQ(fmt.height, 180u);
        EXPECT_EQ(fmt.timestamp, 1000 * i + 7) << "the sensor's timestamp";
        auto* depth = static_cast<float*>(f->getData(FrameType::DEPTH));
        auto* amplitude = static_cast<float*>(f->getData(FrameType::AMPLITUDE));
        auto* confidence = static_cast<float*>(f->getData(FrameType::CONFIDENCE));
        for (int p : {0, 119, 240 * 179}) {
            EXPECT_NEAR(depth[p], 2000.0f, 0.01f) << p;
            EXPECT_EQ(amplitude[p], 8.0f * float(i));
        }
        for (int p : {120, 239, 240 * 180 - 1}) EXPECT_NEAR(depth[p], 1000.0f, 0.01f) << p;
        EXPECT_EQ(std::memcmp(amplitude, confidence, sizeof(float) * hqvga::kPixels), 0);
        EXPECT_EQ(r.cam->releaseFrame(f), NorvaneSuccess);
    }
}

TEST(CaptureHqvga, RawFramesCarryTheInterleavedImage) {
    Rig r;
    ASSERT_EQ(r.open(240, 180,
                     [](sim::ScriptedSensor& s) {
                         s.setGated(true);
                         s.setSource(hqvgaCapture);
                     }),
              0);
    ASSERT_EQ(r.cam->start(FrameType::RAW), NorvaneSuccess);
    r.sensor->allow(1);
    NorvaneFrameBuffer* f = r.cam->requestFrame(kWait);
    ASSERT_NE(f, nullptr);
    FrameDataFormat fmt{};
    ASSERT_EQ(f->getFormat(FrameType::RAW, fmt), 0);
    EXPECT_EQ(fmt.width, 240u);
    EXPECT_EQ(fmt.height, 720u);
    EXPECT_EQ(fmt.timestamp, 1007u);
    auto* raw = static_cast<int16_t*>(f->getData(FrameType::RAW));
    for (int row : {0, 1, 2, 3, 717, 718, 719}) {
        int phase = row % 4;
        int16_t left = phase == 1 ? 16 : 0;
        int16_t right = phase == 2 ? 16 : 0;
        EXPECT_EQ(raw[row * 240], left) << "row " << row;
        EXPECT_EQ(raw[row * 240 + 239], right) << "row " << row;
    }
    EXPECT_EQ(r.cam->releaseFrame(f), NorvaneSuccess);
}
