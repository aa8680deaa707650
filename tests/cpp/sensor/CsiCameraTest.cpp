// A camera opened on a simulated board streams depth through the CSI
// transport: the depth it reports is the depth its phase frames encode.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "core/NorvaneTOFCamera.h"
#include "device/HqvgaKernel.h"
#include "tests/cpp/sensor/CsiTestSupport.h"

using namespace Norvane;
using namespace csitest;

namespace {

constexpr int kAmplitude = 500;  // in 11-bit sample units

// Depth of column c, the same on every row (and so a frame the Jetson block
// layout can carry).
float targetDepth(int c) { return 300.0f + float(c) * 14.0f; }

// Four long-range phase frames encoding targetDepth: y = S2 - S0,
// x = S3 - S1, samples shifted up by the board's shift.
std::vector<std::vector<uint8_t>> encodeCapture(unsigned shift) {
    const float scale = hqvga::depthScale(hqvga::kLongRangeHz) * hqvga::kMillimetresPerMetre;  // mm per radian
    std::vector<std::vector<uint8_t>> frames(4, std::vector<uint8_t>(kFrameBytes));
    for (int r = 0; r < int(kH); ++r)
        for (int c = 0; c < int(kW); ++c) {
            float phi = targetDepth(c) / scale;
            int s[4] = {0, 0, int(std::lround(kAmplitude * std::sin(phi))),
                        int(std::lround(kAmplitude * std::cos(phi)))};
            size_t i = size_t(r) * kW + size_t(c);
            for (int k = 0; k < 4; ++k) {
                uint16_t raw = uint16_t((unsigned(s[k]) & 0x7FFu) << shift);
                frames[size_t(k)][2 * i] = uint8_t(raw);
                frames[size_t(k)][2 * i + 1] = uint8_t(raw >> 8);
            }
        }
    return frames;
}

void streamsEncodedDepth(BoardBuilder build, unsigned shift) {
    sim::SimKernel k;
    ScopedKernel scope(k);
    sim::SimBoard board = build(k, sim::BoardOptions());
    NorvaneTOFCamera cam;
    ASSERT_EQ(cam.open(Connection::CSI, 0), NorvaneSuccess);
    CameraInfo info = cam.getCameraInfo();
    EXPECT_EQ(info.width, 240u);
    EXPECT_EQ(info.height, 180u);
    EXPECT_EQ(info.device_type, HQVGA);
    ASSERT_EQ(cam.start(FrameType::DEPTH), NorvaneSuccess);
    EXPECT_TRUE(board.video->streaming());

    auto phases = encodeCapture(shift);
    std::vector<std::vector<uint8_t>> content;
    for (auto& f : phases) content.push_back(driverContent(board.platform, f));
    std::atomic<bool> producing{true};
    std::thread producer([&] {
        int64_t t = 10000000;
        while (producing.load()) {
            if (board.video->pendingFrames() < 4) {
                for (int p = 0; p < 4; ++p)
                    board.video->pushFrame({content[size_t(p)], t / 1000000, t % 1000000 + p * 1000});
                t += 33000;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    });

    std::vector<uint8_t> capture;
    for (auto& f : phases) capture.insert(capture.end(), f.begin(), f.end());
    std::vector<float> refDepth(hqvga::kPixels), refAmp(hqvga::kPixels), refConf(hqvga::kPixels);
    hqvga::decodeDepthScalar(capture.data(), hqvga::DecodeParams{hqvga::kLongRangeHz, false, shift}, refDepth.data(),
                             refAmp.data(), refConf.data());

    for (int n = 0; n < 3; ++n) {
        NorvaneFrameBuffer* frame = cam.requestFrame(5000);
        ASSERT_NE(frame, nullptr) << "frame " << n;
        const float* depth = static_cast<const float*>(frame->getData(FrameType::DEPTH));
        ASSERT_NE(depth, nullptr);
        int far = 0;
        for (int i = 0; i < hqvga::kPixels; ++i) {
            if (std::fabs(depth[i] - refDepth[size_t(i)]) > 1e-3f * refDepth[size_t(i)]) ++far;
            if (std::fabs(depth[i] - targetDepth(i % int(kW))) > 3.0f) ++far;
        }
        EXPECT_EQ(far, 0) << "pixels off the encoded depth";
        EXPECT_NEAR(depth[100], targetDepth(100), 3.0f);
        EXPECT_EQ(cam.releaseFrame(frame), NorvaneSuccess);
    }

    producing = false;
    producer.join();
    // No more frames come: stop must not hang on the sensor.
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(cam.stop(), NorvaneSuccess);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(4));
    EXPECT_FALSE(board.video->streaming());
    EXPECT_EQ(cam.close(), NorvaneSuccess);
    EXPECT_EQ(k.openMappings(), 0);
    EXPECT_EQ(k.openDescriptors(), 0);
}

}  // namespace

TEST(CsiCamera, RaspberryPi4StreamsTheEncodedDepth) { streamsEncodedDepth(sim::buildRaspberryPi4, 0); }

TEST(CsiCamera, JetsonShiftsTheSamplesDownByFour) { streamsEncodedDepth(sim::buildJetson, 4); }

TEST(CsiCamera, RaspberryPi5UnpacksBeforeDecoding) { streamsEncodedDepth(sim::buildRaspberryPi5, 0); }

TEST(CsiCamera, RangeReachesTheSensorInItsOwnUnits) {
    // The depth device works in millimetres; the sensor's range control
    // takes 1 for the 2000 mm modulation and 0 for 4000 mm.
    sim::SimKernel k;
    ScopedKernel scope(k);
    sim::SimBoard board = sim::buildRaspberryPi4(k, sim::BoardOptions());
    NorvaneTOFCamera cam;
    ASSERT_EQ(cam.open(Connection::CSI, 0), NorvaneSuccess);
    EXPECT_EQ(cam.setControl(CameraCtrl::RANGE, 2000), NorvaneSuccess);
    EXPECT_EQ(cam.setControl(CameraCtrl::RANGE, 3000), NorvaneInvalidParameter) << "no modulation decodes it";
    EXPECT_EQ(cam.setControl(CameraCtrl::RANGE, 4000), NorvaneSuccess);
    using Write = std::pair<uint32_t, int32_t>;
    EXPECT_EQ(board.sensor->controls.writes(), (std::vector<Write>{{sim::kRangeControl, 1}, {sim::kRangeControl, 0}}));
    int range = 0;
    EXPECT_EQ(cam.getControl(CameraCtrl::RANGE, &range), NorvaneSuccess);
    EXPECT_EQ(range, 4000);
    EXPECT_EQ(cam.close(), NorvaneSuccess);
}

TEST(CsiCamera, StopReturnsWhileTheSensorSendsFramesThatNeverFormACapture) {
    sim::SimKernel k;
    ScopedKernel scope(k);
    sim::SimBoard board = sim::buildRaspberryPi4(k, sim::BoardOptions());
    NorvaneTOFCamera cam;
    ASSERT_EQ(cam.open(Connection::CSI, 0), NorvaneSuccess);
    ASSERT_EQ(cam.start(FrameType::DEPTH), NorvaneSuccess);
    std::atomic<bool> producing{true};
    std::thread producer([&] {
        // A long exposure: phase frames 8 ms apart, never four within 5 ms.
        // (At most 3 s, so that a stop that waits for the frames to end shows
        // as slow instead of hanging.)
        auto frame = makeFrame(2);
        int64_t t = 10000000;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (producing.load() && std::chrono::steady_clock::now() < end) {
            if (board.video->pendingFrames() < 4) {
                board.video->pushFrame({frame, t / 1000000, t % 1000000});
                t += 8000;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(cam.stop(), NorvaneSuccess);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    producing = false;
    producer.join();
    EXPECT_LT(took.count(), 1500) << "while frames keep coming";
    EXPECT_EQ(cam.requestFrame(0), nullptr) << "no capture was ever whole";
    EXPECT_EQ(cam.close(), NorvaneSuccess);
}

TEST(CsiCamera, ACameraThatGoesAwayEndsItsStreamAtOnce) {
    sim::SimKernel k;
    ScopedKernel scope(k);
    sim::SimBoard board = sim::buildRaspberryPi4(k, sim::BoardOptions());
    NorvaneTOFCamera cam;
    ASSERT_EQ(cam.open(Connection::CSI, 0), NorvaneSuccess);
    ASSERT_EQ(cam.start(FrameType::DEPTH), NorvaneSuccess);
    EXPECT_FALSE(cam.isDisconnected());
    board.video->unplug();
    // The capture thread stops asking the gone device: a waiting request
    // ends with null as after stop, and every later one at once.
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(cam.requestFrame(3000), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
    EXPECT_TRUE(cam.isDisconnected());
    EXPECT_TRUE(cam.isStopped());
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(cam.requestFrame(1000), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
    // STREAMOFF fails there (ENODEV); the buffers are let go all the same.
    EXPECT_EQ(cam.stop(), NorvaneSystemError);
    EXPECT_EQ(board.video->mappedBuffers(), 0);
    EXPECT_EQ(cam.close(), NorvaneSuccess);
    EXPECT_EQ(k.openMappings(), 0);
}
