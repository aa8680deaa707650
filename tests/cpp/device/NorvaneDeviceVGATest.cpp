// The VGA device against a recording sensor and a scripted phase-processing
// library, which shows the calls the device makes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "config/DefaultConfig.h"
#include "device/NorvaneDeviceVGA.h"
#include "sensor/TransportFactory.h"
#include "tests/fakes/RecordingSensor.h"
#include "tests/fakes/ScriptedSi4c.h"
#include "tests/fakes/SimKernel.h"
#include "tests/fakes/WorkDir.h"

using namespace Norvane;
using sim::si4cCalls;
using sim::si4cScript;

namespace {

// Sleeps take no time; each request is recorded, and the first
// `interruptions` calls fail with EINTR having slept half the request.
class SleepKernel : public sim::SimKernel {
public:
    int nanosleep(const struct timespec* request, struct timespec* remaining) override {
        requests.push_back(*request);
        if (interruptions > 0) {
            --interruptions;
            long half = (request->tv_sec * 1000000000L + request->tv_nsec) / 2;
            remaining->tv_sec = half / 1000000000L;
            remaining->tv_nsec = half % 1000000000L;
            errno = EINTR;
            return -1;
        }
        return 0;
    }
    std::vector<struct timespec> requests;
    int interruptions = 0;
};

std::vector<std::string> libraryCalls() { return si4cCalls(); }

int ctl(CameraCtrl c) { return int(c); }

class VgaDevice : public ::testing::Test {
protected:
    VgaDevice() { sim::resetSi4cScript(); }

    // CSI-like: FMT_WIDTH / FMT_HEIGHT change what getCameraInfo reports.
    void initDevice() { ASSERT_EQ(device->init(&sensor, VGA), 0); }
    int startDevice() {
        EXPECT_EQ(device->prepare(), 0);
        return device->start();
    }

    sim::ScopedWorkDir dir;
    SleepKernel k;
    ScopedKernel scope{k};
    sim::RecordingSensor sensor{640, 480, true};
    std::unique_ptr<NorvaneDeviceVGA> device = std::make_unique<NorvaneDeviceVGA>(PLATFORM_UNKNOWN);
};

struct Geometry {
    int width, height;
    bool dual;
    int rawRows;
    size_t rawBytes;
};

class VgaGeometry : public VgaDevice, public ::testing::WithParamInterface<Geometry> {};

}  // namespace

TEST_F(VgaDevice, FactoryBuildsIt) {
    std::unique_ptr<NorvaneDevice> d = createVgaDevice(PLATFORM_UNKNOWN);
    ASSERT_NE(d, nullptr);
    EXPECT_NE(dynamic_cast<NorvaneDeviceVGA*>(d.get()), nullptr);
    EXPECT_EQ(d->deviceType(), 0);
}

TEST_P(VgaGeometry, FormatPrepareAndRawCopy) {
    const Geometry g = GetParam();
    initDevice();
    ASSERT_EQ(device->setControl(CameraCtrl::FMT_WIDTH, g.width), 0);
    ASSERT_EQ(device->setControl(CameraCtrl::FMT_HEIGHT, g.height), 0);
    ASSERT_EQ(device->setControl(CameraCtrl::MODE, g.dual ? 1 : 0), 0);

    FrameSize raw{0, 0, 0}, depth{77, 0, 0};
    device->getFrameFormat(raw, depth);
    EXPECT_EQ(raw.kind, 2);
    EXPECT_EQ(raw.width, g.width);
    EXPECT_EQ(raw.height, g.rawRows);
    EXPECT_EQ(depth.kind, 77) << "the depth record's kind is not written";
    EXPECT_EQ(depth.width, g.width);
    EXPECT_EQ(depth.height, g.height);

    ASSERT_EQ(device->prepare(), 0);
    ASSERT_GE(sensor.sets.size(), 2u);
    EXPECT_EQ(sensor.sets[sensor.sets.size() - 2], std::make_pair(ctl(CameraCtrl::FMT_WIDTH), g.width));
    EXPECT_EQ(sensor.sets.back(), std::make_pair(ctl(CameraCtrl::FMT_HEIGHT), g.rawRows));
    ASSERT_EQ(device->start(), 0);

    const size_t slack = 4096;
    std::vector<uint8_t> capture(g.rawBytes + slack);
    for (size_t i = 0; i < capture.size(); ++i) capture[i] = uint8_t(i * 7 + 3);
    std::vector<int16_t> out((g.rawBytes + slack) / 2, int16_t(0x5A5A));
    EXPECT_TRUE(device->getRawImages(capture.data(), out.data()));
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(out.data());
    EXPECT_TRUE(std::equal(capture.begin(), capture.begin() + long(g.rawBytes), bytes)) << "copied unchanged";
    EXPECT_TRUE(std::all_of(out.begin() + long(g.rawBytes / 2), out.end(), [](int16_t v) { return v == 0x5A5A; }))
        << "exactly " << g.rawBytes << " bytes";
}

INSTANTIATE_TEST_SUITE_P(Geometries, VgaGeometry,
                         ::testing::Values(Geometry{640, 480, false, 2405, 3078400},
                                           Geometry{640, 480, true, 4810, 6156800},
                                           Geometry{320, 240, false, 1205, 771200},
                                           Geometry{320, 240, true, 2410, 1542400}));

TEST_F(VgaDevice, InitCreatesTheHandle) {
    EXPECT_EQ(device->init(nullptr, VGA), 1);
    EXPECT_TRUE(libraryCalls().empty()) << "a null sensor changes nothing";
    EXPECT_EQ(device->prepare(), -1) << "no sensor to configure";
    EXPECT_EQ(device->start(), -1);

    si4cScript().createResult = false;
    EXPECT_EQ(device->init(&sensor, VGA), -1);
    si4cScript().createResult = true;
    initDevice();
    EXPECT_EQ(si4cScript().liveHandles, 1);
    EXPECT_EQ(device->deviceType(), 0);
    EXPECT_EQ(device->stop(), 0);
}

TEST_F(VgaDevice, Controls) {
    initDevice();
    int v = -7;
    EXPECT_EQ(device->setControl(CameraCtrl::FMT_WIDTH, 480), 1);
    EXPECT_EQ(device->getControl(CameraCtrl::FMT_WIDTH, &v), 0);
    EXPECT_EQ(v, 640) << "a refused width keeps the old one";
    EXPECT_EQ(device->setControl(CameraCtrl::FMT_HEIGHT, 360), 1);
    EXPECT_EQ(device->getControl(CameraCtrl::FMT_HEIGHT, &v), 0);
    EXPECT_EQ(v, 480);

    EXPECT_EQ(device->setControl(CameraCtrl::RANGE, 2000), 1);
    EXPECT_EQ(device->getControl(CameraCtrl::RANGE, &v), 0);
    EXPECT_EQ(v, 1250);
    EXPECT_EQ(device->getControl(CameraCtrl::MODE, &v), 0);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(device->setControl(CameraCtrl::MODE, 1), 0);
    EXPECT_EQ(device->getControl(CameraCtrl::RANGE, &v), 0);
    EXPECT_EQ(v, 4500);
    EXPECT_EQ(device->getControl(CameraCtrl::MODE, &v), 0);
    EXPECT_EQ(v, 1);
    EXPECT_EQ(device->setControl(CameraCtrl::MODE, 2), 1);
    EXPECT_EQ(device->setControl(CameraCtrl::MODE, 0), 0);
    si4cScript().singleFreq = true;
    std::vector<std::string> calls = libraryCalls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "SetSingleFreq 0"), 1);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "SetSingleFreq 1"), 1);

    v = -7;
    EXPECT_EQ(device->setControl(CameraCtrl::FRAME_MODE, 1), 4);
    EXPECT_EQ(device->getControl(CameraCtrl::FRAME_MODE, &v), 4);
    EXPECT_EQ(v, -7) << "untouched";

    sensor.values[ctl(CameraCtrl::EXPOSURE)] = 123;
    sensor.getResult = 0;
    EXPECT_EQ(device->setControl(CameraCtrl::EXPOSURE, 5), 1);
    EXPECT_EQ(device->getControl(CameraCtrl::EXPOSURE, &v), 0);
    EXPECT_EQ(v, 123) << "read from the sensor";
    for (CameraCtrl c : {CameraCtrl::SKIP_FRAME, CameraCtrl::SKIP_FRAME_LOOP, CameraCtrl::AUTO_FRAME_RATE,
                         CameraCtrl::CONFIG_DIR_EXT, CameraCtrl(42)}) {
        EXPECT_EQ(device->setControl(c, 1), 1) << int(c);
        sensor.gets.clear();
        sensor.values[int(c)] = int(c) + 1000;
        EXPECT_EQ(device->getControl(c, &v), 0) << int(c);
        EXPECT_EQ(v, int(c) + 1000);
        EXPECT_EQ(sensor.gets, std::vector<int>{int(c)});
    }
    sensor.getResult = 4;
    EXPECT_EQ(device->getControl(CameraCtrl(42), &v), 4) << "the sensor's result unchanged";
    EXPECT_EQ(device->getControl(CameraCtrl(-3), &v), 1);
    EXPECT_EQ(device->getControl(CameraCtrl::RANGE, nullptr), 1);
    for (auto& s : sensor.sets)
        EXPECT_NE(s.first, ctl(CameraCtrl::EXPOSURE)) << "no set reaches the sensor but FRAME_RATE";

    const char* text = nullptr;
    EXPECT_EQ(device->getControlExt(CameraCtrl::CONFIG_DIR_EXT, &text), 0);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(device->setControlExt(CameraCtrl::CONFIG_DIR_EXT, "/etc/norvane"), 0);
    EXPECT_EQ(device->getControlExt(CameraCtrl::CONFIG_DIR_EXT, &text), 0);
    EXPECT_STREQ(text, "/etc/norvane");
    EXPECT_EQ(device->setControlExt(CameraCtrl::CONFIG_DIR_EXT, nullptr), 1);
    EXPECT_EQ(device->setControlExt(CameraCtrl::MODE, "x"), 1);
    EXPECT_EQ(device->getControlExt(CameraCtrl::MODE, &text), 1);
}

TEST_F(VgaDevice, FrameRateMaximaUntilARateIsAccepted) {
    initDevice();
    struct Case {
        int w, h, mode, rate;
    };
    for (Case c : {Case{640, 480, 0, 41}, Case{640, 480, 1, 23}, Case{320, 240, 0, 61}, Case{320, 240, 1, 36}}) {
        device->setControl(CameraCtrl::FMT_WIDTH, c.w);
        device->setControl(CameraCtrl::FMT_HEIGHT, c.h);
        device->setControl(CameraCtrl::MODE, c.mode);
        int v = 0;
        EXPECT_EQ(device->getControl(CameraCtrl::FRAME_RATE, &v), 0);
        EXPECT_EQ(v, c.rate) << c.w << " x " << c.h << " mode " << c.mode;
    }
    device->setControl(CameraCtrl::FMT_WIDTH, 640);
    int v = -7;
    EXPECT_EQ(device->getControl(CameraCtrl::FRAME_RATE, &v), 1) << "640 x 240";
    EXPECT_EQ(v, -7);
    EXPECT_TRUE(sensor.gets.empty()) << "the sensor is not asked before a rate is set";

    sensor.setResults[ctl(CameraCtrl::FRAME_RATE)] = -2;
    EXPECT_EQ(device->setControl(CameraCtrl::FRAME_RATE, 10), -2) << "the sensor's refusal";
    EXPECT_EQ(device->getControl(CameraCtrl::FRAME_RATE, &v), 1) << "still answered by the device";

    sensor.setResults.clear();
    sensor.values[ctl(CameraCtrl::FRAME_RATE)] = 10;
    EXPECT_EQ(device->setControl(CameraCtrl::FRAME_RATE, 10), 0);
    EXPECT_EQ(sensor.sets.back(), std::make_pair(ctl(CameraCtrl::FRAME_RATE), 10));
    device->setControl(CameraCtrl::FMT_HEIGHT, 480);
    EXPECT_EQ(device->getControl(CameraCtrl::FRAME_RATE, &v), 0);
    EXPECT_EQ(v, 10) << "from the sensor, not 41";
    EXPECT_EQ(sensor.gets.back(), ctl(CameraCtrl::FRAME_RATE));
}

TEST_F(VgaDevice, StartCallSequence) {
    initDevice();
    ASSERT_EQ(startDevice(), 0);
    EXPECT_EQ(libraryCalls(), (std::vector<std::string>{"Create", "Init 640 480", "Start"}))
        << "no configuration directory: no SiSDKSetConfig";

    sim::resetSi4cScript();
    ASSERT_EQ(device->setControlExt(CameraCtrl::CONFIG_DIR_EXT, "/etc/norvane"), 0);
    device->setControl(CameraCtrl::FMT_WIDTH, 320);
    device->setControl(CameraCtrl::FMT_HEIGHT, 240);
    ASSERT_EQ(startDevice(), 0);
    EXPECT_EQ(libraryCalls(), (std::vector<std::string>{"Init 320 240", "SetConfig /etc/norvane", "Start"}));

    sim::resetSi4cScript();
    ASSERT_EQ(device->setControlExt(CameraCtrl::CONFIG_DIR_EXT, ""), 0);
    ASSERT_EQ(startDevice(), 0);
    EXPECT_EQ(libraryCalls(), (std::vector<std::string>{"Init 320 240", "Start"})) << "emptied again";

    float plane[1];
    uint8_t capture[1] = {0};
    EXPECT_TRUE(device->getPhaseImage(capture, plane, plane, plane));
    si4cScript().phaseResult = false;
    EXPECT_FALSE(device->getPhaseImage(capture, plane, plane, plane)) << "the library's verdict";
}

TEST_F(VgaDevice, StartWritesTheConfigurationFilesEachTime) {
    initDevice();
    ASSERT_EQ(startDevice(), 0);
    struct stat st;
    ASSERT_EQ(stat(kConfigAlgorithmFile, &st), 0);
    EXPECT_EQ(st.st_size, 273);
    ASSERT_EQ(stat(kConfigCameraFile, &st), 0);
    EXPECT_EQ(st.st_size, 9476);
    ASSERT_EQ(stat(kRegisterFile, &st), 0);
    EXPECT_EQ(st.st_size, 946);

    std::string original;
    ASSERT_TRUE(sim::readWholeFile(kConfigCameraFile, &original));
    sim::writeWholeFile(kConfigCameraFile, "[VideoInfo]\nsensorType=mine\n");
    ASSERT_EQ(startDevice(), 0);
    std::string again;
    ASSERT_TRUE(sim::readWholeFile(kConfigCameraFile, &again));
    EXPECT_EQ(again, original) << "an edited file is replaced at the next start";
}

TEST_F(VgaDevice, StartFailures) {
    initDevice();
    {
        // ConfigAlgorithm.json cannot be opened: the library is not touched.
        ASSERT_EQ(mkdir(kConfigAlgorithmFile, 0755), 0);
        sim::resetSi4cScript();
        EXPECT_EQ(startDevice(), -1);
        EXPECT_TRUE(libraryCalls().empty());
        EXPECT_FALSE(sim::fileExists(kConfigCameraFile));
        EXPECT_FALSE(sim::fileExists(kRegisterFile));
        ASSERT_EQ(rmdir(kConfigAlgorithmFile), 0);
    }
    si4cScript().startResult = false;
    EXPECT_EQ(startDevice(), -1);
    EXPECT_EQ(libraryCalls(), (std::vector<std::string>{"Init 640 480", "Start", "Destroy"}));
    EXPECT_EQ(si4cScript().liveHandles, 0);

    // The destroyed handle is all the device has until a new one is made.
    sim::resetSi4cScript();
    int v = 0;
    EXPECT_EQ(device->getControl(CameraCtrl::MODE, &v), 0);
    EXPECT_EQ(startDevice(), -1);
    EXPECT_EQ(device->close(), 0);
    EXPECT_EQ(libraryCalls(), (std::vector<std::string>{"Init 640 480 (null)", "Destroy (null)", "Destroy (null)"}));
}

TEST_F(VgaDevice, FailedInitDestroysTheHandle) {
    initDevice();
    si4cScript().initResult = false;
    EXPECT_EQ(startDevice(), -1);
    std::vector<std::string> expected = {"Create", "Init 640 480", "Destroy"};
    EXPECT_EQ(libraryCalls(), expected);
    EXPECT_EQ(si4cScript().liveHandles, 0);
    EXPECT_EQ(device->close(), 0);
    expected.push_back("Destroy (null)");
    EXPECT_EQ(libraryCalls(), expected) << "destroying the destroyed handle is harmless";
}

// Geometry changed while streaming reaches the copy only at the next start,
// so the copy always fits the frame buffers sized at the last start.
TEST_F(VgaDevice, RawCopyKeepsTheSizeOfTheLastStart) {
    initDevice();
    std::vector<uint8_t> capture(6156800 + 64, 0x11);
    std::vector<int16_t> out((6156800 + 64) / 2, 0);
    EXPECT_FALSE(device->getRawImages(capture.data(), out.data())) << "nothing fixed before a start";
    EXPECT_EQ(out[0], 0);

    ASSERT_EQ(startDevice(), 0);
    device->setControl(CameraCtrl::MODE, 1);
    device->setControl(CameraCtrl::FMT_WIDTH, 320);
    device->setControl(CameraCtrl::FMT_HEIGHT, 240);
    EXPECT_TRUE(device->getRawImages(capture.data(), out.data()));
    EXPECT_EQ(out[3078400 / 2 - 1], 0x1111);
    EXPECT_EQ(out[3078400 / 2], 0) << "3 078 400 bytes, as at start";

    ASSERT_EQ(startDevice(), 0);
    std::fill(out.begin(), out.end(), 0);
    EXPECT_TRUE(device->getRawImages(capture.data(), out.data()));
    EXPECT_EQ(out[1542400 / 2 - 1], 0x1111);
    EXPECT_EQ(out[1542400 / 2], 0) << "the new geometry after the next start";
}

// A USB camera delivers the geometry it was opened with, whatever prepare
// asks for: prepare refuses, so the sensor is not started, and start checks
// again.
TEST_F(VgaDevice, RefusesACaptureOfAnotherGeometry) {
    sim::RecordingSensor usb(640, 2405, false);
    ASSERT_EQ(device->init(&usb, VGA), 0);
    ASSERT_EQ(device->prepare(), 0);
    ASSERT_EQ(device->start(), 0) << "640 x 2405 is a single-frequency 640 x 480 capture";

    device->setControl(CameraCtrl::MODE, 1);
    sim::resetSi4cScript();
    si4cScript().singleFreq = false;
    EXPECT_EQ(device->prepare(), NorvaneInvalidParameter) << "dual frequency would read 640 x 4810";
    EXPECT_EQ(usb.sets.back(), std::make_pair(ctl(CameraCtrl::FMT_HEIGHT), 4810)) << "asked for all the same";
    EXPECT_EQ(device->start(), NorvaneInvalidParameter);
    EXPECT_TRUE(libraryCalls().empty()) << "refused before anything is touched";

    ::unlink(kConfigAlgorithmFile);
    usb.info.height = 4810;
    device->setControl(CameraCtrl::MODE, 0);
    si4cScript().singleFreq = true;
    EXPECT_EQ(device->prepare(), NorvaneInvalidParameter) << "a dual capture read as single";
    EXPECT_EQ(device->start(), NorvaneInvalidParameter);
    EXPECT_FALSE(sim::fileExists(kConfigAlgorithmFile));

    usb.info.height = 2405;
    usb.info.width = 320;
    EXPECT_EQ(device->prepare(), NorvaneInvalidParameter) << "another width";
    EXPECT_EQ(device->start(), NorvaneInvalidParameter);
    usb.info.width = 640;
    usb.framesPerCapture = 2;
    EXPECT_EQ(device->start(), NorvaneInvalidParameter) << "rows counted over the frames of a capture";
    usb.framesPerCapture = 1;
    EXPECT_EQ(device->prepare(), 0);
    EXPECT_EQ(device->start(), 0);
}

TEST_F(VgaDevice, CalibrationFile) {
    initDevice();
    // Missing, then empty: no calibration, nothing held open.
    ASSERT_EQ(startDevice(), 0);
    sim::writeWholeFile(kCalibrationFile, "");
    ASSERT_EQ(startDevice(), 0);
    for (const std::string& c : libraryCalls()) EXPECT_NE(c.rfind("SetCaliData", 0), 0u) << c;
    EXPECT_EQ(sim::openDescriptorsOf(kCalibrationFile), 0);

    // Present: mapped whole and handed over; it stays readable while the
    // library may use it.
    const std::string table = "0123456789abcdef";
    sim::writeWholeFile(kCalibrationFile, table);
    sim::resetSi4cScript();
    ASSERT_EQ(startDevice(), 0);
    EXPECT_EQ(libraryCalls(), (std::vector<std::string>{"Init 640 480", "SetCaliData 16", "Start"}));
    EXPECT_EQ(std::string(si4cScript().caliBytes.begin(), si4cScript().caliBytes.end()), table);
    EXPECT_EQ(sim::openDescriptorsOf(kCalibrationFile), 1);
    EXPECT_EQ(sim::mappingsOf(kCalibrationFile), 1);
    EXPECT_EQ(std::string(static_cast<const char*>(si4cScript().caliData), 16), table);

    // A new file replaces the old mapping once handed over; without one the
    // last table stays until close.
    sim::writeWholeFile("next.bin", "fedcba9876543210");
    ASSERT_EQ(::rename("next.bin", kCalibrationFile), 0);
    ASSERT_EQ(startDevice(), 0);
    EXPECT_EQ(std::string(static_cast<const char*>(si4cScript().caliData), 16), "fedcba9876543210");
    EXPECT_EQ(sim::mappingsOf(kCalibrationFile), 1);
    EXPECT_EQ(sim::openDescriptorsOf(kCalibrationFile), 1);
    ASSERT_EQ(::unlink(kCalibrationFile), 0);
    ASSERT_EQ(startDevice(), 0);
    EXPECT_EQ(std::string(static_cast<const char*>(si4cScript().caliData), 16), "fedcba9876543210");

    EXPECT_EQ(device->close(), 0);
    EXPECT_EQ(sim::openDescriptorsOf(kCalibrationFile), 0);
    EXPECT_EQ(sim::mappingsOf(kCalibrationFile), 0);
}

// Only a regular file calibrates. A FIFO once held the start until a writer
// came; a directory was handed over as an unmapped table.
TEST_F(VgaDevice, ACalibrationFileThatIsNoRegularFileIsIgnoredAtOnce) {
    for (bool fifo : {true, false}) {
        SCOPED_TRACE(fifo ? "FIFO" : "directory");
        initDevice();
        ASSERT_EQ(fifo ? mkfifo(kCalibrationFile, 0644) : mkdir(kCalibrationFile, 0755), 0);
        sim::resetSi4cScript();
        ASSERT_EQ(startDevice(), 0);
        EXPECT_EQ(libraryCalls(), (std::vector<std::string>{"Init 640 480", "Start"}));
        EXPECT_EQ(sim::openDescriptorsOf(kCalibrationFile), 0);
        ASSERT_EQ(fifo ? unlink(kCalibrationFile) : rmdir(kCalibrationFile), 0);
    }
}

TEST_F(VgaDevice, DestroyingAnOpenDeviceReleasesEverything) {
    initDevice();
    sim::writeWholeFile(kCalibrationFile, "0123456789abcdef");
    ASSERT_EQ(startDevice(), 0);
    ASSERT_EQ(sim::mappingsOf(kCalibrationFile), 1);
    device.reset();
    EXPECT_EQ(si4cScript().liveHandles, 0) << "the handle does not outlive the device";
    EXPECT_EQ(sim::openDescriptorsOf(kCalibrationFile), 0);
    EXPECT_EQ(sim::mappingsOf(kCalibrationFile), 0);
    EXPECT_EQ(k.requests.size(), 1u) << "with the usual pause";
}

TEST_F(VgaDevice, CloseSleepsHalfASecondThroughSignals) {
    initDevice();
    k.interruptions = 2;
    EXPECT_EQ(device->close(), 0);
    ASSERT_EQ(k.requests.size(), 3u);
    EXPECT_EQ(k.requests[0].tv_sec, 0);
    EXPECT_EQ(k.requests[0].tv_nsec, 500000000);
    EXPECT_EQ(k.requests[1].tv_nsec, 250000000) << "resumed with the remaining time";
    EXPECT_EQ(k.requests[2].tv_nsec, 125000000);
    EXPECT_EQ(libraryCalls().back(), "Destroy");
    EXPECT_EQ(si4cScript().liveHandles, 0);
}

TEST(VgaDeviceClock, CloseTakesHalfASecond) {
    sim::resetSi4cScript();
    NorvaneDeviceVGA device(PLATFORM_UNKNOWN);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(device.close(), 0) << "even with nothing started";
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
}
