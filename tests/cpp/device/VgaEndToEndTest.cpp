// VGA depth end to end: the simulated kit renders a scene in the VGA
// capture layout, the camera streams it through the USB transport and the
// VGA device, and our phase-processing library turns it into depth.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "config/DefaultConfig.h"
#include "core/NorvaneTOFCamera.h"
#include "sdk/VgaCaptureLayout.h"
#include "sdk/evk/EvkScene.h"
#include "tests/fakes/WorkDir.h"

using namespace Norvane;

namespace {

constexpr short kTimeoutMs = 5000;

struct Case {
    int width, height;
    bool dual;
};

std::string kitConfig(const Case& c, const char* scene = "room") {
    return std::string("geometry = vga\nfrequency = ") + (c.dual ? "dual" : "single") +
           "\nwidth = " + std::to_string(c.width) + "\nheight = " + std::to_string(c.height) +
           "\nfps = 0\nnoise = 0\nscene = " + scene + "\n";
}

class VgaEndToEnd : public ::testing::TestWithParam<Case> {
protected:
    // Opens the kit with `config` and sets the device up for `c`.
    void open(const Case& c, const std::string& config) {
        sim::writeWholeFile("kit.conf", config);
        ASSERT_EQ(camera.openWithFile("kit.conf", 0), NorvaneSuccess);
        ASSERT_EQ(camera.getCameraInfo().device_type, VGA);
        ASSERT_EQ(camera.setControl(CameraCtrl::MODE, c.dual ? 1 : 0), NorvaneSuccess);
        ASSERT_EQ(camera.setControl(CameraCtrl::FMT_WIDTH, c.width), NorvaneSuccess);
        ASSERT_EQ(camera.setControl(CameraCtrl::FMT_HEIGHT, c.height), NorvaneSuccess);
    }

    sim::ScopedWorkDir dir;
    NorvaneTOFCamera camera;
};

}  // namespace

TEST_P(VgaEndToEnd, DepthMatchesTheSceneInsideTheUnambiguousRange) {
    const Case c = GetParam();
    open(c, kitConfig(c));
    ASSERT_EQ(camera.start(FrameType::DEPTH), NorvaneSuccess);
    int value = 0;
    ASSERT_EQ(camera.getControl(CameraCtrl::RANGE, &value), NorvaneSuccess);
    const double range = value;
    EXPECT_EQ(range, c.dual ? 4500 : 1250);

    for (int frame = 0; frame < 3; ++frame) {
        NorvaneFrameBuffer* f = camera.requestFrame(kTimeoutMs);
        ASSERT_NE(f, nullptr) << "frame " << frame;
        FrameDataFormat format{};
        ASSERT_EQ(f->getFormat(FrameType::DEPTH, format), 0);
        EXPECT_EQ(format.width, uint32_t(c.width));
        EXPECT_EQ(format.height, uint32_t(c.height));
        const float* depth = static_cast<const float*>(f->getData(FrameType::DEPTH));
        const float* confidence = static_cast<const float*>(f->getData(FrameType::CONFIDENCE));
        const float* amplitude = static_cast<const float*>(f->getData(FrameType::AMPLITUDE));
        ASSERT_TRUE(depth && confidence && amplitude);

        int compared = 0;
        double worst = 0;
        for (int r = 0; r < c.height; ++r) {
            for (int col = 0; col < c.width; ++col) {
                const double truth = evk::tracePixel(evk::SceneKind::Room, c.width, c.height, col, r).distanceMm;
                if (truth < 10.0 || truth > range - 10.0) continue;  // wraps, or sits on the wrap
                const size_t i = size_t(r) * c.width + col;
                worst = std::max(worst, std::fabs(depth[i] - truth));
                EXPECT_GT(confidence[i], 0.0f);
                EXPECT_GT(amplitude[i], 0.0f);
                ++compared;
            }
        }
        EXPECT_LT(worst, 3.0) << "millimetres";
        EXPECT_GT(compared, c.width * c.height / 20) << "enough of the scene lies inside the range";
        ASSERT_EQ(camera.releaseFrame(f), NorvaneSuccess);
    }
    EXPECT_EQ(camera.stop(), NorvaneSuccess);
    EXPECT_EQ(camera.close(), NorvaneSuccess);
}

INSTANTIATE_TEST_SUITE_P(Geometries, VgaEndToEnd,
                         ::testing::Values(Case{640, 480, false}, Case{640, 480, true}, Case{320, 240, false},
                                           Case{320, 240, true}));

TEST_F(VgaEndToEnd, RawFramesAreTheCaptureAsDelivered) {
    const Case c{320, 240, true};
    open(c, kitConfig(c));
    ASSERT_EQ(camera.start(FrameType::RAW), NorvaneSuccess);
    NorvaneFrameBuffer* f = camera.requestFrame(kTimeoutMs);
    ASSERT_NE(f, nullptr);
    FrameDataFormat format{};
    ASSERT_EQ(f->getFormat(FrameType::RAW, format), 0);
    EXPECT_EQ(format.width, 320u);
    EXPECT_EQ(format.height, uint32_t(vga::captureRows(240, true)));
    const int16_t* raw = static_cast<const int16_t*>(f->getData(FrameType::RAW));
    for (int s = 0; s < 10; ++s) {
        const size_t meta = vga::rowOffset(320, 240, s, 0);
        EXPECT_EQ(raw[meta + vga::kMetaSubFrame], s);
        EXPECT_EQ(raw[meta + vga::kMetaFrequency], s / 5);
        EXPECT_EQ(raw[meta + vga::kMetaPhase], s % 5);
    }
    camera.releaseFrame(f);
    camera.close();
}

// The kit renders what its file says; prepare cannot change it. A device set
// up for another capture refuses to start instead of misreading it, before
// the sensor streams, so a corrected setting starts at once.
TEST_F(VgaEndToEnd, StartRefusesAKitOfAnotherGeometry) {
    open(Case{640, 480, true}, kitConfig(Case{640, 480, false}));
    EXPECT_EQ(camera.start(FrameType::DEPTH), NorvaneInvalidParameter) << "dual on a single-frequency kit";
    EXPECT_FALSE(sim::fileExists(kConfigAlgorithmFile)) << "refused before the configuration is written";
    ASSERT_EQ(camera.setControl(CameraCtrl::MODE, 0), NorvaneSuccess);
    ASSERT_EQ(camera.setControl(CameraCtrl::FMT_WIDTH, 320), NorvaneSuccess);
    ASSERT_EQ(camera.setControl(CameraCtrl::FMT_HEIGHT, 240), NorvaneSuccess);
    EXPECT_EQ(camera.start(FrameType::DEPTH), NorvaneInvalidParameter) << "320 x 240 on a 640 x 480 kit";
    ASSERT_EQ(camera.setControl(CameraCtrl::FMT_WIDTH, 640), NorvaneSuccess);
    ASSERT_EQ(camera.setControl(CameraCtrl::FMT_HEIGHT, 480), NorvaneSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), NorvaneSuccess);
    EXPECT_TRUE(sim::fileExists(kConfigAlgorithmFile));
    NorvaneFrameBuffer* f = camera.requestFrame(kTimeoutMs);
    ASSERT_NE(f, nullptr);
    camera.releaseFrame(f);
    camera.close();
}

// A USB kit cannot be reconfigured: the device takes the kit's geometry
// at open, so every kit starts without a setting (MODE, FMT_WIDTH and
// FMT_HEIGHT once had to be set to match it first).
TEST_F(VgaEndToEnd, EveryKitStartsWithTheGeometryItWasOpenedWith) {
    for (const Case c : {Case{640, 480, false}, Case{640, 480, true}, Case{320, 240, false}, Case{320, 240, true}}) {
        SCOPED_TRACE(::testing::Message() << c.width << " x " << c.height << (c.dual ? " dual" : " single"));
        sim::writeWholeFile("kit.conf", kitConfig(c));
        ASSERT_EQ(camera.openWithFile("kit.conf", 0), NorvaneSuccess);
        int value = -1;
        EXPECT_EQ(camera.getControl(CameraCtrl::FMT_WIDTH, &value), NorvaneSuccess);
        EXPECT_EQ(value, c.width);
        EXPECT_EQ(camera.getControl(CameraCtrl::FMT_HEIGHT, &value), NorvaneSuccess);
        EXPECT_EQ(value, c.height);
        EXPECT_EQ(camera.getControl(CameraCtrl::MODE, &value), NorvaneSuccess);
        EXPECT_EQ(value, c.dual ? 1 : 0);
        ASSERT_EQ(camera.start(FrameType::DEPTH), NorvaneSuccess);
        NorvaneFrameBuffer* f = camera.requestFrame(kTimeoutMs);
        ASSERT_NE(f, nullptr);
        FrameDataFormat format{};
        ASSERT_EQ(f->getFormat(FrameType::DEPTH, format), 0);
        EXPECT_EQ(format.width, uint32_t(c.width));
        EXPECT_EQ(format.height, uint32_t(c.height));
        EXPECT_EQ(camera.releaseFrame(f), NorvaneSuccess);
        EXPECT_EQ(camera.close(), NorvaneSuccess);
    }
}

TEST_F(VgaEndToEnd, OnlyTheVgaDeviceWritesConfigurationFiles) {
    sim::writeWholeFile("hqvga.conf", "geometry = hqvga\nfps = 0\nnoise = 0\n");
    ASSERT_EQ(camera.openWithFile("hqvga.conf", 0), NorvaneSuccess);
    ASSERT_EQ(camera.getCameraInfo().device_type, HQVGA);
    ASSERT_EQ(camera.start(FrameType::DEPTH), NorvaneSuccess);
    NorvaneFrameBuffer* f = camera.requestFrame(kTimeoutMs);
    ASSERT_NE(f, nullptr);
    camera.releaseFrame(f);
    camera.close();
    for (const char* name : {kConfigAlgorithmFile, kConfigCameraFile, kRegisterFile})
        EXPECT_FALSE(sim::fileExists(name)) << name;

    // The VGA camera of the same working directory writes all three.
    const Case c{320, 240, false};
    open(c, kitConfig(c));
    ASSERT_EQ(camera.start(FrameType::DEPTH), NorvaneSuccess);
    camera.close();
    for (const char* name : {kConfigAlgorithmFile, kConfigCameraFile, kRegisterFile})
        EXPECT_TRUE(sim::fileExists(name)) << name;
}

// The working directory's limits reach the frames.
TEST_F(VgaEndToEnd, ValidDistanceLimitsApply) {
    const Case c{320, 240, true};
    open(c, kitConfig(c));
    ASSERT_EQ(mkdir("limits", 0755), 0);
    sim::writeWholeFile(std::string("limits/") + kConfigAlgorithmFile,
                        "[ConfidenceParams]\nValidDistMin=1000\nValidDistMax=2000\n");
    ASSERT_EQ(camera.setControlExt(CameraCtrl::CONFIG_DIR_EXT, "limits"), NorvaneSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), NorvaneSuccess);
    NorvaneFrameBuffer* f = camera.requestFrame(kTimeoutMs);
    ASSERT_NE(f, nullptr);
    const float* depth = static_cast<const float*>(f->getData(FrameType::DEPTH));
    int inside = 0, outside = 0;
    for (int r = 0; r < 240; ++r) {
        for (int col = 0; col < 320; ++col) {
            const double truth = evk::tracePixel(evk::SceneKind::Room, 320, 240, col, r).distanceMm;
            const float d = depth[size_t(r) * 320 + col];
            if (truth > 1010 && truth < 1990) {
                ++inside;
                EXPECT_NEAR(d, truth, 3.0);
            } else if ((truth < 990 || truth > 2010) && truth < 4490) {
                ++outside;
                EXPECT_EQ(d, 0.0f);
            }
        }
    }
    EXPECT_GT(inside, 0);
    EXPECT_GT(outside, 0);
    camera.releaseFrame(f);
    camera.close();
}

// A FIFO in place of a file the start reads or writes once held start()
// for ever. In the configuration directory it is passed over (the working
// directory's file is read instead); in the working directory it cannot be
// written, so the start fails; "cali.bin" is ignored.
TEST_F(VgaEndToEnd, AFifoInPlaceOfAFileDoesNotHoldTheStart) {
    const Case c{320, 240, false};
    sim::writeWholeFile("kit.conf", kitConfig(c));
    ASSERT_EQ(mkdir("mine", 0755), 0);
    ASSERT_EQ(mkfifo((std::string("mine/") + kConfigAlgorithmFile).c_str(), 0644), 0);
    ASSERT_EQ(mkfifo(kCalibrationFile, 0644), 0);
    ASSERT_EQ(camera.openWithFile("kit.conf", 0), NorvaneSuccess);
    ASSERT_EQ(camera.setControlExt(CameraCtrl::CONFIG_DIR_EXT, "mine"), NorvaneSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), NorvaneSuccess);
    NorvaneFrameBuffer* f = camera.requestFrame(kTimeoutMs);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(camera.releaseFrame(f), NorvaneSuccess);
    ASSERT_EQ(camera.stop(), NorvaneSuccess);

    ASSERT_EQ(unlink(kConfigAlgorithmFile), 0);
    ASSERT_EQ(mkfifo(kConfigAlgorithmFile, 0644), 0);
    EXPECT_EQ(camera.start(FrameType::DEPTH), NorvaneUnkownError);
    EXPECT_TRUE(camera.isStopped());
    camera.close();
}
