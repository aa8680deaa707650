// The USB transport against a scripted evaluation-kit library.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sensor/usb/NorvaneTOFUSBSensor.h"
#include "tests/fakes/ScriptedEvk.h"

using namespace Norvane;
using Norvane::fake::scriptedEvk;
using Norvane::fake::ScriptedFrame;

namespace {

constexpr uint8_t kUntouched = 0xCD;

class UsbSensor : public ::testing::Test {
protected:
    void SetUp() override {
        scriptedEvk().reset();
        geometry(4, 2, 12);
    }
    void TearDown() override {
        sensor.reset();
        EXPECT_EQ(scriptedEvk().framesLent(), 0) << "every captured frame is freed";
        EXPECT_EQ(scriptedEvk().badHandles, 0);
        EXPECT_EQ(scriptedEvk().badFrees, 0);
    }
    void geometry(uint32_t w, uint32_t h, uint8_t bits) {
        scriptedEvk().config.width = w;
        scriptedEvk().config.height = h;
        scriptedEvk().config.bit_width = bits;
    }
    // A transport opened on the script; the caller's record starts as `info`.
    void openSensor(const std::string& path = "", int frames = 1) {
        sensor = std::make_unique<NorvaneTOFUSBSensor>(path, 7);
        sensor->framesPerCapture = frames;
        ASSERT_EQ(sensor->open(info), 0);
    }
    void startSensor() {
        ASSERT_EQ(sensor->start(), 0);
        scriptedEvk().calls.clear();
    }
    size_t frameBytes() const { return size_t(info.width) * info.height * info.bpp; }
    std::vector<uint8_t> buffer(int frames) const {
        return std::vector<uint8_t>(2 * frameBytes() * frames, kUntouched);
    }

    CameraInfo info{3, Connection::USB, HQVGA, FrameType::DEPTH, 0, 0, 0, 0};
    std::unique_ptr<NorvaneTOFUSBSensor> sensor;
};

TEST_F(UsbSensor, ConfigurationPathAndBinFlag) {
    struct Case {
        const char* path;
        uint8_t flag;
    } cases[] = {{"/etc/camera.bin", 1},
                 {".bin", 1},
                 {"/etc/camera.json", 0},
                 {"cam.BIN", 0},
                 {"a.bin.txt", 0},
                 {"bin", 0},
                 {"x", 0},
                 {"a.b", 0}};
    for (const Case& c : cases) {
        scriptedEvk().reset();
        geometry(4, 2, 12);
        scriptedEvk().defaults.bin_file = 0x77;
        NorvaneTOFUSBSensor s(c.path, 0);
        CameraInfo i{};
        EXPECT_EQ(s.open(i), 0) << c.path;
        EXPECT_EQ(scriptedEvk().openedPath, c.path);
        EXPECT_EQ(scriptedEvk().openedParam.bin_file, c.flag) << c.path;
        s.close();
    }
}

TEST_F(UsbSensor, EmptyPathLeavesTheDefaultsUntouched) {
    static const char kDefaultPath[] = "/usr/share/kit/default.ini";
    EvkParam& d = scriptedEvk().defaults;
    std::memset(&d, 0x5A, sizeof d);
    d.config_path = kDefaultPath;
    d.bin_file = 0x77;
    openSensor("");
    EXPECT_EQ(std::memcmp(&scriptedEvk().openedParam, &d, sizeof d), 0);
    EXPECT_EQ(scriptedEvk().openedPath, kDefaultPath);
}

TEST_F(UsbSensor, OpenReportsTheKitGeometry) {
    geometry(240, 180, 12);
    openSensor("", 1);
    EXPECT_EQ(info.width, 240u);
    EXPECT_EQ(info.height, 180u);
    EXPECT_EQ(info.bit_width, 12u);
    EXPECT_EQ(info.bpp, 2u);
    EXPECT_EQ(info.index, 3u) << "fields open does not own stay as the caller set them";
    EXPECT_EQ(info.connect, Connection::USB);
    EXPECT_EQ(info.device_type, HQVGA);
    EXPECT_EQ(info.type, FrameType::DEPTH);
    CameraInfo kept = sensor->getCameraInfo();
    EXPECT_EQ(std::memcmp(&kept, &info, sizeof info), 0);
    EXPECT_EQ(sensor->deviceIndex(), 7);
    EXPECT_EQ(scriptedEvk().calls, (std::vector<std::string>{"NorvaneDefaultParam", "NorvaneOpenCamera",
                                                             "NorvaneInitCamera", "NorvaneGetCameraConfig"}));

    geometry(8, 8, 8);
    CameraInfo second{};
    ASSERT_EQ(sensor->open(second), 0);
    EXPECT_EQ(second.bpp, 1u) << "8-bit samples take one byte";
    EXPECT_EQ(scriptedEvk().count("NorvaneCloseCamera"), 1) << "a second open closes the first kit";
}

TEST_F(UsbSensor, OpenFailures) {
    scriptedEvk().openResult = -1;
    NorvaneTOFUSBSensor s("", 0);
    EXPECT_EQ(s.open(info), -1);
    EXPECT_EQ(scriptedEvk().count("NorvaneInitCamera"), 0);

    for (int step = 0; step < 2; ++step) {
        scriptedEvk().reset();
        (step == 0 ? scriptedEvk().initResult : scriptedEvk().configResult) = -3;
        CameraInfo i{};
        i.width = 99;
        NorvaneTOFUSBSensor t("", 0);
        EXPECT_EQ(t.open(i), -1);
        EXPECT_EQ(i.width, 99u) << "nothing reported from a failed open";
        EXPECT_FALSE(scriptedEvk().open()) << "a failed open leaves no kit open";
    }
}

TEST_F(UsbSensor, CloseAndDestructionReleaseTheKitOnce) {
    openSensor();
    EXPECT_EQ(sensor->close(), 0);
    EXPECT_EQ(sensor->close(), 0);
    EXPECT_EQ(scriptedEvk().count("NorvaneCloseCamera"), 1);

    openSensor();
    sensor.reset();
    EXPECT_FALSE(scriptedEvk().open()) << "destroying an open transport closes the kit";
}

TEST_F(UsbSensor, StartTwiceCallsTheKitOnce) {
    openSensor();
    EXPECT_EQ(sensor->start(), 0);
    EXPECT_EQ(sensor->start(), -1);
    EXPECT_EQ(scriptedEvk().count("NorvaneStartCamera"), 1);
    EXPECT_EQ(sensor->stop(), 0);
    EXPECT_EQ(sensor->start(), 0) << "stop makes start possible again";
    EXPECT_EQ(scriptedEvk().count("NorvaneStartCamera"), 2);
}

TEST_F(UsbSensor, FailedStartStaysStartedUntilStop) {
    openSensor();
    scriptedEvk().startResult = -1;
    EXPECT_EQ(sensor->start(), -1);
    EXPECT_EQ(sensor->start(), -1);
    EXPECT_EQ(scriptedEvk().count("NorvaneStartCamera"), 1);
    sensor->stop();
    scriptedEvk().startResult = 0;
    EXPECT_EQ(sensor->start(), 0);
}

TEST_F(UsbSensor, GetFrameOutsideStreamingTouchesNothing) {
    openSensor();
    scriptedEvk().addFrame(10, frameBytes());
    scriptedEvk().calls.clear();
    auto data = buffer(1);
    int64_t ts = -5;
    EXPECT_EQ(sensor->getFrame(data.data(), &ts), 0);
    sensor->start();
    sensor->stop();
    scriptedEvk().calls.clear();
    EXPECT_EQ(sensor->getFrame(data.data(), &ts), 0);
    EXPECT_TRUE(scriptedEvk().calls.empty());
    EXPECT_EQ(ts, -5);
    EXPECT_EQ(data, buffer(1));
    scriptedEvk().frames.clear();
}

TEST_F(UsbSensor, CaptureAssemblesFramesBackToBack) {
    openSensor("", 4);
    startSensor();
    for (int k = 0; k < 4; ++k) scriptedEvk().addFrame(100 + k, frameBytes(), uint8_t(k + 1));
    auto data = buffer(4);
    int64_t ts = 0;
    ASSERT_EQ(sensor->getFrame(data.data(), &ts), 0);
    EXPECT_EQ(ts, 103) << "the capture carries its last frame's timestamp";
    for (int k = 0; k < 4; ++k)
        for (size_t b = 0; b < frameBytes(); ++b) ASSERT_EQ(data[k * frameBytes() + b], k + 1) << k << " " << b;
    EXPECT_EQ(data[4 * frameBytes()], kUntouched);
    EXPECT_EQ(scriptedEvk().captureTimeouts, (std::vector<int>{2000, 2000, 2000, 2000}));
    EXPECT_EQ(scriptedEvk().count("NorvaneFreeImage"), 4);
}

TEST_F(UsbSensor, ContinuityRestart) {
    openSensor("", 3);
    startSensor();
    // 100, 105 belong together (gap 5); 111 is 6 on: the capture restarts
    // there; 110 went backwards: restart again.
    const uint64_t stamps[] = {100, 105, 111, 110, 112, 114};
    for (int k = 0; k < 6; ++k) scriptedEvk().addFrame(stamps[k], frameBytes(), uint8_t(k + 1));
    auto data = buffer(3);
    int64_t ts = 0;
    ASSERT_EQ(sensor->getFrame(data.data(), &ts), 0);
    EXPECT_EQ(ts, 114);
    EXPECT_EQ(data[0], 4);
    EXPECT_EQ(data[frameBytes()], 5);
    EXPECT_EQ(data[2 * frameBytes()], 6);
    EXPECT_TRUE(scriptedEvk().frames.empty());
}

TEST_F(UsbSensor, EndlessGapsGiveUp) {
    openSensor("", 2);
    startSensor();
    for (int k = 0; k < 50; ++k) scriptedEvk().addFrame(uint64_t(k) * 10, frameBytes());
    auto data = buffer(2);
    int64_t ts = 0;
    EXPECT_EQ(sensor->getFrame(data.data(), &ts), -1);
    EXPECT_LT(scriptedEvk().count("NorvaneCaptureImage"), 10) << "a kit whose frames never fit does not hang capture";
    scriptedEvk().frames.clear();
}

TEST_F(UsbSensor, WrongSizeFrameIsFreedAndFails) {
    openSensor("", 2);
    startSensor();
    scriptedEvk().addFrame(1, frameBytes());
    scriptedEvk().addFrame(2, frameBytes() - 2);
    auto data = buffer(2);
    int64_t ts = 0;
    EXPECT_EQ(sensor->getFrame(data.data(), &ts), -1);
    EXPECT_EQ(scriptedEvk().count("NorvaneFreeImage"), 2);

    ScriptedFrame f;
    f.sizeFromData = false;
    f.size = uint32_t(frameBytes());
    f.nullData = true;
    scriptedEvk().frames.push_back(f);
    EXPECT_EQ(sensor->getFrame(data.data(), &ts), -1) << "a frame without data";
}

TEST_F(UsbSensor, FailedFrameFailsTheCapture) {
    openSensor("", 4);
    startSensor();
    scriptedEvk().addFrame(1, frameBytes(), 1);
    ScriptedFrame failed;
    failed.result = -4;
    scriptedEvk().frames.push_back(failed);
    scriptedEvk().addFrame(3, frameBytes(), 3);
    scriptedEvk().addFrame(4, frameBytes(), 4);
    auto data = buffer(4);
    int64_t ts = 42;
    EXPECT_EQ(sensor->getFrame(data.data(), &ts), -1);
    scriptedEvk().frames.clear();

    // A capture that gets no frame at all fails too.
    EXPECT_EQ(sensor->getFrame(data.data(), &ts), -1);
}

TEST_F(UsbSensor, NoFramesPerCaptureReadsNothing) {
    openSensor("", 0);
    startSensor();
    int64_t ts = 9;
    auto data = buffer(1);
    EXPECT_EQ(sensor->getFrame(data.data(), &ts), 0);
    EXPECT_EQ(ts, 9);
    EXPECT_TRUE(scriptedEvk().calls.empty());
}

class UsbConversion : public UsbSensor {
protected:
    // Converts `raw` (one kit frame, repeated `frames` times) and returns the
    // 16-bit output, the whole buffer; getFrame must return `result`.
    std::vector<uint16_t> run(const std::vector<uint8_t>& raw, uint8_t bits, int frames = 1, int result = 0) {
        sensor.reset();
        scriptedEvk().reset();
        const uint32_t bpp = bits > 8 ? 2 : 1;
        geometry(uint32_t(raw.size() / bpp), 1, bits);
        openSensor("", frames);
        startSensor();
        for (int k = 0; k < frames; ++k) {
            ScriptedFrame f;
            f.timestamp = uint64_t(k);
            f.data = raw;
            for (auto& b : f.data) b = uint8_t(b + k);
            scriptedEvk().frames.push_back(f);
        }
        std::vector<uint8_t> data(raw.size() * 2 / bpp * frames + 4, kUntouched);
        int64_t ts = 0;
        EXPECT_EQ(sensor->getFrame(data.data(), &ts), result);
        std::vector<uint16_t> out(data.size() / 2);
        std::memcpy(out.data(), data.data(), out.size() * 2);
        return out;
    }
    static std::vector<uint8_t> le16(std::initializer_list<uint16_t> v) {
        std::vector<uint8_t> b;
        for (uint16_t x : v) {
            b.push_back(uint8_t(x & 0xFF));
            b.push_back(uint8_t(x >> 8));
        }
        return b;
    }
};

constexpr uint16_t kU = 0xCDCD;

TEST_F(UsbConversion, EightBitSamplesMoveToTheTwelveBitScale) {
    EXPECT_EQ(run({0xFF, 0x01, 0x00, 0x80}, 8), (std::vector<uint16_t>{0x0FF0, 0x0010, 0x0000, 0x0800, kU, kU}));
}

TEST_F(UsbConversion, EightBitFramesOfACaptureDoNotOverlap) {
    // Two frames of two 8-bit samples: 16-bit output, back to back.
    EXPECT_EQ(run({0x10, 0x20}, 8, 2), (std::vector<uint16_t>{0x0100, 0x0200, 0x0110, 0x0210, kU, kU}));
}

TEST_F(UsbConversion, TwelveBitFramesAreCopiedByteForByte) {
    std::vector<uint8_t> raw = {0x01, 0x02, 0xFF, 0xFF, 0x34, 0x12, 0x00, 0x80};
    auto out = run(raw, 12);
    EXPECT_EQ(std::memcmp(out.data(), raw.data(), raw.size()), 0);
    EXPECT_EQ(out[4], kU);
}

TEST_F(UsbConversion, NarrowAndWideSamplesAreShifted) {
    EXPECT_EQ(run(le16({0x03FF, 0x0001}), 10), (std::vector<uint16_t>{0x0FFC, 0x0004, kU, kU}));
    EXPECT_EQ(run(le16({0x3FFF, 0x0004}), 14), (std::vector<uint16_t>{0x0FFF, 0x0001, kU, kU}));
    EXPECT_EQ(run(le16({0xFFFF, 0x0010}), 16), (std::vector<uint16_t>{0x0FFF, 0x0001, kU, kU}));
    EXPECT_EQ(run(le16({0x01FF}), 9), (std::vector<uint16_t>{0x0FF8, kU, kU}));
}

TEST_F(UsbConversion, SampleFormatsWithoutA16BitFormFailTheCapture) {
    // Nothing is written: a success would hand on a capture that is not there.
    EXPECT_EQ(run({0x7F, 0x01}, 7, 1, -1), (std::vector<uint16_t>{kU, kU, kU, kU}));
    EXPECT_EQ(run(le16({0xFFFF}), 40, 1, -1), (std::vector<uint16_t>{kU, kU, kU}));
    EXPECT_EQ(run(le16({0xFFFF}), 0, 1, -1), (std::vector<uint16_t>{kU, kU, kU, kU}));
    EXPECT_EQ(scriptedEvk().framesLent(), 0) << "the frame goes back to the kit";
}

TEST_F(UsbSensor, RangeWritesTheRegisterSetsInOrder) {
    openSensor();
    using W = std::vector<std::pair<uint32_t, uint32_t>>;
    EXPECT_EQ(sensor->setControl(int(CameraCtrl::RANGE), 2000), 0);
    EXPECT_EQ(scriptedEvk().writes, (W{{0x216C, 0x08}, {0x2179, 0x0A}, {0x217A, 0x0E}, {0x217B, 0x12}}));
    for (int value : {4000, 3000, 0}) {
        scriptedEvk().writes.clear();
        EXPECT_EQ(sensor->setControl(int(CameraCtrl::RANGE), value), 0);
        EXPECT_EQ(scriptedEvk().writes, (W{{0x216C, 0x10}, {0x2179, 0x0E}, {0x217A, 0x16}, {0x217B, 0x1E}})) << value;
    }

    scriptedEvk().writes.clear();
    scriptedEvk().writeResult = -1;
    EXPECT_EQ(sensor->setControl(int(CameraCtrl::RANGE), 2000), -1) << "a failed register write is reported";
    EXPECT_EQ(scriptedEvk().writes.size(), 4u) << "and the rest of the set is still written";
}

TEST_F(UsbSensor, OtherControls) {
    openSensor();
    for (CameraCtrl c : {CameraCtrl::FMT_WIDTH, CameraCtrl::FMT_HEIGHT, CameraCtrl::EXPOSURE, CameraCtrl::FRAME_RATE,
                         CameraCtrl::MODE, CameraCtrl::CONFIG_DIR_EXT})
        EXPECT_EQ(sensor->setControl(int(c), 640), 1);
    EXPECT_TRUE(scriptedEvk().writes.empty());
    for (int c : {0, 1, 2, 5, 6, 9, 256, -1}) {
        int value = 1234;
        EXPECT_EQ(sensor->getControl(c, &value), 4);
        EXPECT_EQ(value, 1234);
    }
}

}  // namespace
