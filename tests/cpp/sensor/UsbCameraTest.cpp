// The whole stack on the simulated evaluation kit: camera, USB transport,
// capture thread and HQVGA decode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/NorvaneTOFCamera.h"
#include "device/HqvgaKernel.h"
#include "sdk/evk/EvkScene.h"
#include "tests/cpp/sdk/EvkTestSupport.h"
#include "tests/fakes/SimKernel.h"

using namespace Norvane;

namespace {

constexpr int kW = hqvga::kWidth, kH = hqvga::kHeight;
constexpr short kTimeoutMs = 2000;

// A camera on a board the simulated kernel does not know (no pixel shift).
std::unique_ptr<NorvaneTOFCamera> makeCamera() {
    sim::SimKernel k;
    ScopedKernel scope(k);
    return std::make_unique<NorvaneTOFCamera>();
}

double sceneMm(int pixel) { return evk::tracePixel(evk::SceneKind::Room, kW, kH, pixel % kW, pixel / kW).distanceMm; }

struct Received {
    std::vector<uint64_t> timestamps;
    std::vector<float> depth;  // of the last frame
};

Received receiveDepth(NorvaneTOFCamera& cam, int frames) {
    Received r;
    for (int n = 0; n < frames; ++n) {
        NorvaneFrameBuffer* f = cam.requestFrame(kTimeoutMs);
        EXPECT_NE(f, nullptr);
        if (!f) break;
        FrameDataFormat fmt{};
        EXPECT_EQ(f->getFormat(FrameType::DEPTH, fmt), 0);
        EXPECT_EQ(fmt.width, uint32_t(kW));
        EXPECT_EQ(fmt.height, uint32_t(kH));
        r.timestamps.push_back(fmt.timestamp);
        const float* d = static_cast<const float*>(f->getData(FrameType::DEPTH));
        r.depth.assign(d, d + hqvga::kPixels);
        EXPECT_EQ(cam.releaseFrame(f), NorvaneSuccess);
    }
    return r;
}

TEST(UsbCamera, DefaultKitDeliversDepthFramesOfTheScene) {
    auto cam = makeCamera();
    ASSERT_EQ(cam->open(Connection::USB, 0), NorvaneSuccess);
    CameraInfo info = cam->getCameraInfo();
    EXPECT_EQ(info.connect, Connection::USB);
    EXPECT_EQ(info.device_type, HQVGA);
    EXPECT_EQ(info.width, uint32_t(kW));
    EXPECT_EQ(info.height, uint32_t(kH));
    EXPECT_EQ(info.bit_width, 12u);
    ASSERT_EQ(cam->start(FrameType::DEPTH), NorvaneSuccess);
    Received r = receiveDepth(*cam, 6);
    EXPECT_EQ(cam->stop(), NorvaneSuccess);
    EXPECT_EQ(cam->close(), NorvaneSuccess);

    ASSERT_EQ(r.timestamps.size(), 6u);
    for (size_t i = 1; i < r.timestamps.size(); ++i) EXPECT_GT(r.timestamps[i], r.timestamps[i - 1]);
    // The default kit is noisy: compare the median error.
    std::vector<double> errors;
    for (int i = 0; i < hqvga::kPixels; ++i) errors.push_back(std::fabs(r.depth[i] - sceneMm(i)));
    std::nth_element(errors.begin(), errors.begin() + errors.size() / 2, errors.end());
    EXPECT_LT(errors[errors.size() / 2], 60.0);
}

TEST(UsbCamera, NoiseFreeKitGivesTheSceneDistances) {
    std::string path = evktest::writeFile("camera-noise-free.conf", "noise = 0\nfps = 0\n");
    auto cam = makeCamera();
    ASSERT_EQ(cam->openWithFile(path.c_str(), 0), NorvaneSuccess);
    ASSERT_EQ(cam->start(FrameType::DEPTH), NorvaneSuccess);
    Received r = receiveDepth(*cam, 3);
    cam->close();
    ASSERT_EQ(r.depth.size(), size_t(hqvga::kPixels));
    double worst = 0.0;
    for (int i = 0; i < hqvga::kPixels; ++i) worst = std::max(worst, std::fabs(r.depth[i] - sceneMm(i)));
    EXPECT_LT(worst, 1.0);
}

TEST(UsbCamera, ShortRangeReachesTheKit) {
    // RANGE 2000 switches the kit to the short-range modulation as well as the
    // decode: the camera then sees the scene folded into [0, 2000) mm.
    std::string path = evktest::writeFile("camera-short-range.conf", "noise = 0\nfps = 0\n");
    auto cam = makeCamera();
    ASSERT_EQ(cam->openWithFile(path.c_str(), 0), NorvaneSuccess);
    ASSERT_EQ(cam->setControl(CameraCtrl::RANGE, 2000), NorvaneSuccess);
    ASSERT_EQ(cam->start(FrameType::DEPTH), NorvaneSuccess);
    Received r = receiveDepth(*cam, 3);
    cam->close();
    ASSERT_EQ(r.depth.size(), size_t(hqvga::kPixels));
    int compared = 0;
    for (int i = 0; i < hqvga::kPixels; ++i) {
        double folded = std::fmod(sceneMm(i), 2000.0);
        if (folded < 2.0 || folded > 1998.0) continue;  // at the wrap either end is right
        EXPECT_NEAR(r.depth[i], folded, 1.0) << i;
        ++compared;
    }
    EXPECT_GT(compared, hqvga::kPixels * 9 / 10);
}

TEST(UsbCamera, RawOutputInterleavesTheFourPhases) {
    std::string path = evktest::writeFile("camera-raw.conf", "noise = 0\nfps = 0\n");
    auto cam = makeCamera();
    ASSERT_EQ(cam->openWithFile(path.c_str(), 0), NorvaneSuccess);
    ASSERT_EQ(cam->start(FrameType::RAW), NorvaneSuccess);
    NorvaneFrameBuffer* f = cam->requestFrame(kTimeoutMs);
    ASSERT_NE(f, nullptr);
    FrameDataFormat fmt{};
    ASSERT_EQ(f->getFormat(FrameType::RAW, fmt), 0);
    EXPECT_EQ(fmt.width, uint32_t(kW));
    EXPECT_EQ(fmt.height, uint32_t(hqvga::kRawHeight));
    std::vector<int16_t> raw(static_cast<const int16_t*>(f->getData(FrameType::RAW)),
                             static_cast<const int16_t*>(f->getData(FrameType::RAW)) + kW * hqvga::kRawHeight);
    cam->releaseFrame(f);
    cam->close();

    // Rows 4r .. 4r+3 are row r of the four phase frames: their long-range
    // phase differences give the scene's distance.
    const float scale = hqvga::depthScale(hqvga::kLongRangeHz);
    for (int r = 0; r < kH; r += 17) {
        for (int c = 0; c < kW; c += 13) {
            auto S = [&](int k) { return int32_t(raw[size_t(4 * r + k) * kW + c]); };
            for (int k = 0; k < 4; ++k) ASSERT_EQ(S(k) % 16, 0) << "scaled samples";
            float depth, amplitude;
            hqvga::decodePixelReference(S(2) - S(0), S(3) - S(1), scale, &depth, &amplitude);
            EXPECT_NEAR(depth, sceneMm(r * kW + c), 1.0) << r << " " << c;
        }
    }
}

TEST(UsbCamera, RefusedConfigurationFailsTheOpen) {
    std::string path = evktest::writeFile("camera-refused.conf", "fps = 30\nflavour = mint\n");
    auto cam = makeCamera();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(cam->openWithFile(path.c_str(), 0), NorvaneUnkownError);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "evk: " + path + ":2: unknown key \"flavour\"\n");
    EXPECT_NE(cam->start(FrameType::DEPTH), NorvaneSuccess);
    EXPECT_EQ(cam->openWithFile("", 0), NorvaneSuccess) << "an empty path: the kit's defaults";
    // A path shorter than ".bin" is an ordinary path: the kit reports it.
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(cam->openWithFile("k", 0), NorvaneUnkownError);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "evk: k: cannot read the configuration file\n");
    cam->close();
}

TEST(UsbCamera, RestartAndReopen) {
    std::string path = evktest::writeFile("camera-restart.conf", "noise = 0\nfps = 200\n");
    auto cam = makeCamera();
    ASSERT_EQ(cam->openWithFile(path.c_str(), 0), NorvaneSuccess);
    uint64_t last = 0;
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(cam->start(FrameType::DEPTH), NorvaneSuccess);
        Received r = receiveDepth(*cam, 2);
        ASSERT_EQ(r.timestamps.size(), 2u);
        EXPECT_GT(r.timestamps.front(), last) << "timestamps keep rising across a restart";
        last = r.timestamps.back();
        EXPECT_EQ(cam->stop(), NorvaneSuccess);
    }
    ASSERT_EQ(cam->open(Connection::USB, 1), NorvaneSuccess) << "a new open replaces the kit";
    ASSERT_EQ(cam->start(FrameType::DEPTH), NorvaneSuccess);
    EXPECT_EQ(receiveDepth(*cam, 1).timestamps.size(), 1u);
    // Destroyed while running: the camera stops and closes itself.
}

}  // namespace
