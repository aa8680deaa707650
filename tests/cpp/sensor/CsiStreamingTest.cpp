// Streaming, controls and failure handling of the CSI transport.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "sensor/csi/V4l2Compat.h"
#include "tests/cpp/sensor/CsiTestSupport.h"

using namespace Norvane;
using namespace csitest;

namespace {

class CsiStreaming : public ::testing::Test {
protected:
    std::unique_ptr<CsiRig> rig;

    void open(BoardBuilder build = sim::buildRaspberryPi4, sim::BoardOptions o = sim::BoardOptions()) {
        rig.reset();  // its kernel scope ends before the next begins
        rig = std::make_unique<CsiRig>(build, o);
        ASSERT_EQ(rig->sensor->open(rig->info), 0);
    }
    void openAndStart(BoardBuilder build = sim::buildRaspberryPi4, sim::BoardOptions o = sim::BoardOptions()) {
        open(build, o);
        ASSERT_EQ(rig->sensor->start(), 0);
    }
    sim::SimVideoNode& video() { return *rig->board.video; }
    int set(CameraCtrl c, int v) { return rig->sensor->setControl(int(c), v); }
    int get(CameraCtrl c, int* v) { return rig->sensor->getControl(int(c), v); }
};

}  // namespace

TEST_F(CsiStreaming, RetriesTransientFailuresAtMostFiveTimes) {
    openAndStart();
    std::vector<uint8_t> out;
    int64_t ts;
    for (int err : {EAGAIN, EINTR, ETIMEDOUT}) {
        video().failIoctl(VIDIOC_DQBUF, err, 4);
        rig->push(makeFrame(1), 1000);
        int before = video().ioctlCalls(VIDIOC_DQBUF);
        EXPECT_EQ(rig->capture(out, ts), 0) << err;
        EXPECT_EQ(video().ioctlCalls(VIDIOC_DQBUF) - before, 5);

        video().failIoctl(VIDIOC_DQBUF, err, 5);
        rig->push(makeFrame(2), 2000);
        before = video().ioctlCalls(VIDIOC_DQBUF);
        EXPECT_EQ(rig->capture(out, ts), -2) << "a fifth failure is final";
        EXPECT_EQ(video().ioctlCalls(VIDIOC_DQBUF) - before, 5);
        video().clearFaults();
        EXPECT_EQ(rig->capture(out, ts), 0) << "the frame waited through the failures";
        EXPECT_TRUE(out == makeFrame(2));
    }
    video().failIoctl(VIDIOC_DQBUF, EIO, 1);
    rig->push(makeFrame(2), 2000);
    int before = video().ioctlCalls(VIDIOC_DQBUF);
    EXPECT_EQ(rig->capture(out, ts), -2);
    EXPECT_EQ(video().ioctlCalls(VIDIOC_DQBUF) - before, 1) << "other errors are not retried";

    video().clearFaults();
    EXPECT_EQ(rig->capture(out, ts), 0);
    video().failIoctl(VIDIOC_QBUF, EBUSY, 1);
    rig->push(makeFrame(3), 3000);
    EXPECT_EQ(rig->capture(out, ts), -2) << "a failed re-queue";
}

TEST_F(CsiStreaming, StartAndStopStepsRetryOrFailAsAWhole) {
    open();
    video().failIoctl(VIDIOC_REQBUFS, ETIMEDOUT, 5);
    EXPECT_EQ(rig->sensor->start(), -1);
    EXPECT_EQ(video().ioctlCalls(VIDIOC_REQBUFS), 5);
    video().failIoctl(VIDIOC_TRY_FMT, EINTR, 4);
    video().failIoctl(VIDIOC_S_FMT, EAGAIN, 4);
    video().failIoctl(VIDIOC_QUERYBUF, EINTR, 4);
    video().failIoctl(VIDIOC_STREAMON, EAGAIN, 4);
    rig->board.sensor->failIoctl(VIDIOC_SUBDEV_S_FMT, EINTR, 4);
    EXPECT_EQ(rig->sensor->start(), 0);
    video().failIoctl(VIDIOC_STREAMOFF, EINTR, 4);
    EXPECT_EQ(rig->sensor->stop(), 0);

    video().failIoctl(VIDIOC_STREAMON, EIO, 1);
    EXPECT_EQ(rig->sensor->start(), -2);
    EXPECT_EQ(rig->k.openMappings(), 0) << "a start that fails unmaps what it mapped";
    EXPECT_EQ(video().bufferCount(), 0u) << "and hands the buffers back";
    rig->board.sensor->failIoctl(VIDIOC_SUBDEV_S_FMT, EIO, 1);
    EXPECT_EQ(rig->sensor->start(), -1);
    rig->board.sensor->failIoctl(VIDIOC_SUBDEV_G_FMT, EINTR, 1);
    int before = rig->board.sensor->ioctlCalls(VIDIOC_SUBDEV_G_FMT);
    EXPECT_EQ(rig->sensor->start(), -1) << "the read-back is a single attempt";
    EXPECT_EQ(rig->board.sensor->ioctlCalls(VIDIOC_SUBDEV_G_FMT) - before, 1);
    rig->board.sensor->failIoctl(VIDIOC_SUBDEV_G_SELECTION, EIO);
    EXPECT_EQ(rig->sensor->start(), 0) << "the crop query's result does not matter";
    EXPECT_EQ(rig->sensor->stop(), 0);

    video().failMmap(ENOMEM, 1);
    EXPECT_EQ(rig->sensor->start(), -1);
    EXPECT_EQ(rig->k.openMappings(), 0);
    EXPECT_EQ(rig->sensor->start(), 0);
    EXPECT_EQ(rig->sensor->stop(), 0);
}

TEST_F(CsiStreaming, StopReportsFailuresAndRestartsCleanly) {
    openAndStart();
    video().failIoctl(VIDIOC_STREAMOFF, EIO, 1);
    EXPECT_EQ(rig->sensor->stop(), -2);
    EXPECT_TRUE(video().streaming());
    EXPECT_EQ(rig->sensor->stop(), 0);
    EXPECT_EQ(rig->k.openMappings(), 0);
    EXPECT_EQ(video().bufferCount(), 0u);
    // A second start renegotiates the format: only possible once the buffers
    // of the first went back.
    ASSERT_EQ(rig->sensor->start(), 0);
    EXPECT_EQ(rig->sensor->start(), -1) << "already streaming";
    EXPECT_TRUE(video().streaming());
    rig->push(makeFrame(3), 10);
    std::vector<uint8_t> out;
    int64_t ts;
    EXPECT_EQ(rig->capture(out, ts), 0);
    EXPECT_TRUE(out == makeFrame(3));
    video().failIoctl(VIDIOC_REQBUFS, EIO, 1);
    EXPECT_EQ(rig->sensor->stop(), -2) << "the buffers could not be released";
    EXPECT_EQ(rig->k.openMappings(), 0);
}

TEST_F(CsiStreaming, BufferIndexesOutsideTheTable) {
    openAndStart();
    std::vector<uint8_t> out;
    int64_t ts;
    rig->push(makeFrame(1), 10, 8);
    EXPECT_EQ(rig->capture(out, ts), 2);
    for (int i = 0; i < 8; ++i) {
        rig->push(makeFrame(i), 20 + i);
        ASSERT_EQ(rig->capture(out, ts), 0) << "every one of the eight buffers, 7 the last";
        EXPECT_TRUE(out == makeFrame(i));
    }
}

TEST_F(CsiStreaming, FewerOrMoreBuffersThanEight) {
    for (int granted : {0, 1, 2, 3, 7, 8, 12}) {
        sim::SimKernel k;
        ScopedKernel scope(k);
        sim::BoardOptions o;
        auto board = sim::buildRaspberryPi4(k, o);
        sim::SimVideoNode::Config cfg;
        cfg.pixelFormats = {V4L2_PIX_FMT_Y12};
        cfg.grantedBuffers = granted;
        auto video = std::make_shared<sim::SimVideoNode>(cfg);
        video->devMajor = board.video->devMajor;
        video->devMinor = board.video->devMinor;
        k.addNode("/dev/video0", video);
        NorvaneTOFCSISensor s("/dev/video0", board.platform);
        CameraInfo info{};
        ASSERT_EQ(s.open(info), 0);
        if (granted < 2) {
            EXPECT_EQ(s.start(), -1) << granted;
            EXPECT_EQ(k.openMappings(), 0);
            EXPECT_EQ(video->bufferCount(), 0u);
            continue;
        }
        ASSERT_EQ(s.start(), 0) << granted;
        int used = granted < 8 ? granted : 8;
        EXPECT_EQ(video->mappedBuffers(), used);
        EXPECT_EQ(video->queuedBuffers(), used);
        std::vector<uint8_t> out(kFrameBytes);
        int64_t ts;
        for (int i = 0; i < 2 * used; ++i) {
            auto f = makeFrame(i);
            video->pushFrame({f, 1, i * 10});
            ASSERT_EQ(s.getFrame(out.data(), &ts), 0);
            ASSERT_TRUE(out == f) << granted << " " << i;
        }
        video->pushFrame({makeFrame(0), 2, 0, granted > 8 ? 9 : granted});
        EXPECT_EQ(s.getFrame(out.data(), &ts), 2) << "an index beyond the mapped buffers";
        EXPECT_EQ(s.stop(), 0);
        EXPECT_EQ(k.openMappings(), 0);
    }
}

TEST_F(CsiStreaming, SubFramesOfOneCaptureMustBeCloseInTime) {
    openAndStart();
    rig->sensor->framesPerCapture = 2;
    std::vector<uint8_t> out;
    int64_t ts;
    auto a = makeFrame(1), b = makeFrame(2), c = makeFrame(3);
    // 6 ms apart: the capture restarts with b, then c follows 5 ms later.
    rig->push(a, 1000000);
    rig->push(b, 1006000);
    rig->push(c, 1011000);
    ASSERT_EQ(rig->capture(out, ts), 0);
    std::vector<uint8_t> want(b);
    want.insert(want.end(), c.begin(), c.end());
    EXPECT_TRUE(out == want);
    EXPECT_EQ(ts, 1011);
    EXPECT_EQ(video().pendingFrames(), 0u);

    // Across a change of second: 1.0015 s apart is no capture, although the
    // microseconds alone look close.
    rig->push(a, 1999000);
    rig->push(b, 3000500);
    rig->push(c, 3001500);
    ASSERT_EQ(rig->capture(out, ts), 0);
    EXPECT_TRUE(out == want);
    EXPECT_EQ(ts, 3001);
    // 0.9995 s to 1.0025 s is one.
    rig->push(b, 999500);
    rig->push(c, 1002500);
    ASSERT_EQ(rig->capture(out, ts), 0);
    EXPECT_TRUE(out == want);
    EXPECT_EQ(video().pendingFrames(), 0u);
    // A timestamp that went back restarts as well.
    rig->push(a, 5500000);
    rig->push(b, 5100000);
    rig->push(c, 5100100);
    ASSERT_EQ(rig->capture(out, ts), 0);
    EXPECT_TRUE(out == want);
}

TEST_F(CsiStreaming, TimestampsAreMillisecondsInSixtyFourBits) {
    openAndStart();
    std::vector<uint8_t> out;
    int64_t ts = 0;
    rig->push(makeFrame(1), int64_t(30) * 24 * 3600 * 1000000 + 123456);  // 30 days of uptime
    ASSERT_EQ(rig->capture(out, ts), 0);
    EXPECT_EQ(ts, int64_t(2592000123));

    rig->sensor->framesPerCapture = 0;
    ts = 77;
    int before = video().ioctlCalls(VIDIOC_DQBUF);
    EXPECT_EQ(rig->capture(out, ts), 0);
    EXPECT_EQ(ts, 0);
    EXPECT_EQ(video().ioctlCalls(VIDIOC_DQBUF), before);
}

TEST_F(CsiStreaming, AWaitWithoutFramesIsBounded) {
    openAndStart();
    std::vector<uint8_t> out;
    int64_t ts;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(rig->capture(out, ts), -1);
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(500));
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_EQ(video().ioctlCalls(VIDIOC_DQBUF), 0) << "no dequeue without a frame";
    video().failPoll(EINVAL, 1);
    EXPECT_EQ(rig->capture(out, ts), -2);
    EXPECT_GT(rig->k.sleptNanoseconds(), 0) << "a failed wait pauses before it reports";
    video().failPoll(EINTR, 2);
    rig->push(makeFrame(1), 5);
    EXPECT_EQ(rig->capture(out, ts), 0);
}

TEST_F(CsiStreaming, SubFramesLandAtTheirOwnPlaceInBuffersLongerThanAFrame) {
    for (auto build : {sim::buildRaspberryPi4, sim::buildRaspberryPi5, sim::buildRadxaRock, sim::buildJetson}) {
        sim::BoardOptions o;
        o.bufferLength = 3 * 4096 * 25;  // 307200: rounded well past a frame
        CsiRig r(build, o);
        ASSERT_EQ(r.sensor->open(r.info), 0);
        ASSERT_EQ(r.sensor->start(), 0);
        r.sensor->framesPerCapture = 2;
        auto f0 = makeFrame(4), f1 = makeFrame(5);
        if (r.board.platform == PLATFORM_JETSON) {
            f0 = jetsonShaped(f0);
            f1 = jetsonShaped(f1);
        }
        for (auto* f : {&f0, &f1}) {
            auto content = driverContent(r.board.platform, *f);
            content.resize(o.bufferLength, 0x99);
            r.push(content, 100);
        }
        std::vector<uint8_t> out;
        int64_t ts;
        ASSERT_EQ(r.capture(out, ts), 0);  // the guard check is in capture
        std::vector<uint8_t> want(f0);
        want.insert(want.end(), f1.begin(), f1.end());
        EXPECT_TRUE(out == want) << r.board.platform;
        EXPECT_EQ(r.sensor->stop(), 0);
    }
}

TEST_F(CsiStreaming, FrameRateGoesToTheSensorOverI2c) {
    open();
    EXPECT_EQ(set(CameraCtrl::FRAME_RATE, 30), 0);
    auto msgs = rig->board.bus->messages();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].addr, 0x0C);
    EXPECT_EQ(msgs[0].flags, 0);
    EXPECT_EQ(msgs[0].data, (std::vector<uint8_t>{0x06, 0x33, 0x00, 0x00, 0x00, 0x1E}));
    EXPECT_EQ(set(CameraCtrl::FRAME_RATE, 0x01020304), 0);
    EXPECT_EQ(rig->board.bus->messages()[1].data, (std::vector<uint8_t>{0x06, 0x33, 0x01, 0x02, 0x03, 0x04}));
    int v = 0;
    EXPECT_EQ(get(CameraCtrl::FRAME_RATE, &v), 0);
    EXPECT_EQ(v, 0x01020304);

    rig->board.bus->failIoctl(I2C_RDWR, EAGAIN, 1);
    EXPECT_EQ(set(CameraCtrl::FRAME_RATE, 15), -2);
    EXPECT_EQ(rig->board.bus->ioctlCalls(I2C_RDWR), 3) << "one attempt";
    EXPECT_EQ(get(CameraCtrl::FRAME_RATE, &v), 0);
    EXPECT_EQ(v, 15) << "the value is kept even when the write failed";
    rig->board.bus->setTransferredLimit(-1);
    EXPECT_EQ(set(CameraCtrl::FRAME_RATE, 20), -2) << "no message transferred";
}

TEST_F(CsiStreaming, RangeAndExposureOnTheSensorSubdevice) {
    open();
    auto& controls = rig->board.sensor->controls;
    EXPECT_EQ(set(CameraCtrl::RANGE, 3), 1);
    EXPECT_TRUE(controls.writes().empty());
    EXPECT_EQ(set(CameraCtrl::RANGE, 2), 0);
    int v = 0;
    EXPECT_EQ(get(CameraCtrl::RANGE, &v), 0);
    EXPECT_EQ(v, 2);
    EXPECT_EQ(set(CameraCtrl::RANGE, 4), 0);
    EXPECT_EQ(get(CameraCtrl::RANGE, &v), 0);
    EXPECT_EQ(v, 4);
    EXPECT_EQ(set(CameraCtrl::EXPOSURE, 640), 0);
    EXPECT_EQ(get(CameraCtrl::EXPOSURE, &v), 0);
    EXPECT_EQ(v, 640);
    EXPECT_EQ(controls.writes(), (std::vector<std::pair<uint32_t, int32_t>>{
                                     {sim::kRangeControl, 1}, {sim::kRangeControl, 0}, {sim::kExposureControl, 640}}));
    EXPECT_TRUE(rig->board.video->controls.writes().empty());
    for (CameraCtrl c :
         {CameraCtrl::MODE, CameraCtrl::FRAME_MODE, CameraCtrl::SKIP_FRAME, CameraCtrl::CONFIG_DIR_EXT}) {
        EXPECT_EQ(set(c, 1), 1);
        EXPECT_EQ(get(c, &v), 1);
    }

    rig->board.sensor->failIoctl(VIDIOC_S_CTRL, EINTR, 4);
    EXPECT_EQ(set(CameraCtrl::EXPOSURE, 700), 0);
    rig->board.sensor->failIoctl(VIDIOC_S_CTRL, EIO, 1);
    rig->board.sensor->failIoctl(VIDIOC_G_CTRL, EIO, 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(set(CameraCtrl::RANGE, 2), -1);
    EXPECT_EQ(get(CameraCtrl::RANGE, &v), -1);
    EXPECT_EQ(set(CameraCtrl::EXPOSURE, 0), -1) << "out of the driver's range";
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "VIDIOC_S_CTRL: Input/output error\nVIDIOC_G_CTRL: Input/output error\n"
              "VIDIOC_S_CTRL: Numerical result out of range\n");
}

TEST_F(CsiStreaming, JetsonControlsGoToTheVideoNode) {
    open(sim::buildJetson);
    EXPECT_EQ(set(CameraCtrl::RANGE, 2), 0);
    EXPECT_EQ(set(CameraCtrl::EXPOSURE, 900), 0);
    int v = 0;
    EXPECT_EQ(get(CameraCtrl::EXPOSURE, &v), 0);
    EXPECT_EQ(v, 900);
    EXPECT_EQ(rig->board.video->controls.writes().size(), 2u);

    CsiRig closed(sim::buildJetson);
    testing::internal::CaptureStderr();
    EXPECT_EQ(closed.sensor->setControl(int(CameraCtrl::RANGE), 2), -1) << "nothing open";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "VIDIOC_S_CTRL: Bad file descriptor\n");
}

TEST_F(CsiStreaming, FormatSizeIsNegotiatedAndReadBack) {
    open();
    EXPECT_EQ(set(CameraCtrl::FMT_WIDTH, 640), 0);
    EXPECT_EQ(rig->sensor->getCameraInfo().width, 640u);
    int v = 0;
    EXPECT_EQ(get(CameraCtrl::FMT_WIDTH, &v), 0);
    EXPECT_EQ(v, 640);
    EXPECT_EQ(rig->sensor->start(), -1) << "the 240 x 180 sensor does not take 640";
    EXPECT_EQ(rig->k.openMappings(), 0);
    EXPECT_EQ(set(CameraCtrl::FMT_WIDTH, 240), 0);
    rig->board.sensor->forceSize(240, 181);
    EXPECT_EQ(rig->sensor->start(), -1) << "a read-back of another size";
    rig->board.sensor->forceSize(240, 180);
    EXPECT_EQ(rig->sensor->start(), 0);
    EXPECT_EQ(rig->sensor->stop(), 0);

    CsiRig jetson(sim::buildJetson);
    ASSERT_EQ(jetson.sensor->open(jetson.info), 0);
    jetson.board.video->forceSize(320, 240);
    EXPECT_EQ(jetson.sensor->start(), -1);
    EXPECT_EQ(jetson.sensor->setControl(int(CameraCtrl::FMT_WIDTH), 320), 0);
    EXPECT_EQ(jetson.sensor->setControl(int(CameraCtrl::FMT_HEIGHT), 240), 0);
    EXPECT_EQ(jetson.sensor->start(), 0);
    auto asked = jetson.board.video->formatRequests();
    ASSERT_FALSE(asked.empty());
    EXPECT_EQ(asked.back().request, VIDIOC_S_FMT);
    EXPECT_EQ(asked.back().format.fmt.pix.width, 320u) << "the size asked for, not one the driver chose";
}

TEST_F(CsiStreaming, AFullSubdeviceTableClosesTheExtraDescriptor) {
    sim::SimKernel k;
    ScopedKernel scope(k);
    auto b = sim::buildRaspberryPi5(k);
    // A chain of five receivers between sensor and node: with the sensor,
    // only four sub-devices fit.
    auto media = std::make_shared<sim::SimMediaDevice>();
    k.addNode("/dev/media0", media);
    std::vector<std::shared_ptr<sim::SimSubdev>> rx;
    uint32_t previous = media->addEntity("norvane-tarnwelle 4-000c", 0, 81, 12);
    for (int i = 0; i < 5; ++i) {
        auto sd = std::make_shared<sim::SimSubdev>();
        k.addNode("/dev/v4l-subdev" + std::to_string(10 + i), sd);
        k.addLink("/sys/dev/char/81:" + std::to_string(40 + i), "../../x/v4l-subdev" + std::to_string(10 + i));
        uint32_t id = media->addEntity("csi2", 0, 81, unsigned(40 + i), 5);
        media->addLink(previous, i ? 4 : 0, id, 0, MEDIA_LNK_FL_ENABLED);
        previous = id;
        rx.push_back(sd);
    }
    media->addLink(previous, 4, media->addEntity("rp1-cfe-csi2_ch0", 0, 81, 0), 0);
    NorvaneTOFCSISensor s(b.devicePath.c_str(), b.platform);
    CameraInfo info{};
    EXPECT_EQ(s.open(info), 0) << "the sensor comes first";
    EXPECT_EQ(s.subdeviceCount(), 4);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(rx[size_t(i)]->openCount(), 1);
    EXPECT_EQ(rx[3]->openCount(), 0) << "opened, found no room, closed";
    auto paths = k.openedPaths();
    EXPECT_NE(std::find(paths.begin(), paths.end(), "/dev/v4l-subdev13"), paths.end());
    EXPECT_EQ(rx[4]->openCount(), 0);
    EXPECT_EQ(media->openCount(), 0);
    s.close();
    EXPECT_EQ(k.openDescriptors(), 0);
}

TEST_F(CsiStreaming, DestructionAndReopeningReleaseEverything) {
    {
        openAndStart(sim::buildRaspberryPi5);
        EXPECT_GT(rig->k.openDescriptors(), 3);
        EXPECT_EQ(rig->k.openMappings(), 8);
        rig->sensor.reset();  // neither stopped nor closed
        EXPECT_EQ(rig->k.openDescriptors(), 0);
        EXPECT_EQ(rig->k.openMappings(), 0);
    }
    open(sim::buildRaspberryPi4);
    int once = rig->k.openDescriptors();
    ASSERT_EQ(rig->sensor->open(rig->info), 0);
    EXPECT_EQ(rig->k.openDescriptors(), once) << "a second open replaces the first";
    EXPECT_EQ(rig->sensor->subdeviceCount(), 1);
    ASSERT_EQ(rig->sensor->start(), 0);
    EXPECT_EQ(rig->sensor->close(), 0) << "close while streaming";
    EXPECT_EQ(rig->k.openDescriptors(), 0);
    EXPECT_EQ(rig->k.openMappings(), 0);
}

TEST_F(CsiStreaming, AnySizeTheSensorOffersStreams) {
    const std::pair<uint32_t, uint32_t> sizes[] = {{320, 240}, {640, 480}, {240, 180}};
    for (auto build : {sim::buildRaspberryPi4, sim::buildRaspberryPi5, sim::buildRadxaRock, sim::buildJetson}) {
        sim::BoardOptions o;
        o.sizes = {{320, 240}, {640, 480}};
        CsiRig r(build, o);
        ASSERT_EQ(r.sensor->open(r.info), 0);
        for (auto s : sizes) {
            r.sensor->setControl(int(CameraCtrl::FMT_WIDTH), int(s.first));
            r.sensor->setControl(int(CameraCtrl::FMT_HEIGHT), int(s.second));
            ASSERT_EQ(r.sensor->start(), 0) << r.board.platform << " " << s.first;
            auto frame = makeFrame(int(s.first), s.first, s.second);
            if (r.board.platform == PLATFORM_JETSON) frame = jetsonShaped(frame);
            r.push(driverContent(r.board.platform, frame, s.first), 1000);
            std::vector<uint8_t> out;
            int64_t ts;
            ASSERT_EQ(r.capture(out, ts), 0);
            EXPECT_TRUE(out == frame) << r.board.platform << " " << s.first;
            EXPECT_EQ(r.sensor->stop(), 0);
        }
    }
}

TEST_F(CsiStreaming, OpenReportsTheSizeTheSensorIsSetTo) {
    sim::BoardOptions o;
    o.sizes = {{320, 240}};
    CsiRig r(sim::buildRaspberryPi4, o);
    // Another program left the sensor at 320 x 240.
    int fd = kernel().open("/dev/v4l-subdev0", O_RDWR);
    v4l2_subdev_format f{};
    f.which = V4L2_SUBDEV_FORMAT_ACTIVE;
    f.format.width = 320;
    f.format.height = 240;
    ASSERT_EQ(kernel().ioctl(fd, VIDIOC_SUBDEV_S_FMT, &f), 0);
    kernel().close(fd);
    ASSERT_EQ(r.sensor->open(r.info), 0);
    EXPECT_EQ(r.info.width, 320u);
    EXPECT_EQ(r.info.height, 240u);
}

TEST_F(CsiStreaming, DamagedBuffersAreFailedCaptures) {
    struct Case {
        BoardBuilder build;
        const char* what;
        uint32_t flags;
        int64_t shortBy;  // bytesused this much short of the content
    };
    const Case cases[] = {
        {sim::buildRaspberryPi4, "flagged in error", V4L2_BUF_FLAG_ERROR, 0},
        {sim::buildRaspberryPi4, "one byte short", 0, 1},
        {sim::buildRaspberryPi4, "empty", 0, int64_t(kFrameBytes)},
        {sim::buildRaspberryPi5, "a row short", 0, 368},
        {sim::buildRadxaRock, "multi-planar, flagged in error", V4L2_BUF_FLAG_ERROR, 0},
        {sim::buildRadxaRock, "multi-planar, short", 0, 2},
        {sim::buildJetson, "short in the last block", 0, 100},
    };
    for (const Case& c : cases) {
        CsiRig r(c.build);
        ASSERT_EQ(r.sensor->open(r.info), 0);
        ASSERT_EQ(r.sensor->start(), 0);
        r.sensor->framesPerCapture = 2;
        auto frame = makeFrame(3);
        if (r.board.platform == PLATFORM_JETSON) frame = jetsonShaped(frame);
        auto content = driverContent(r.board.platform, frame);
        sim::SimVideoNode::Frame bad{content, 1, 0};
        bad.flags = c.flags;
        bad.bytesused = int64_t(content.size()) - c.shortBy;
        r.board.video->pushFrame({content, 1, 0});
        r.board.video->pushFrame(bad);
        std::vector<uint8_t> out;
        int64_t ts;
        EXPECT_EQ(r.capture(out, ts), -1) << c.what;
        EXPECT_EQ(r.board.video->queuedBuffers(), 8) << c.what << ": the buffer goes back";
        r.push(content, 2000000);
        r.push(content, 2001000);
        EXPECT_EQ(r.capture(out, ts), 0) << c.what;
        std::vector<uint8_t> want(frame);
        want.insert(want.end(), frame.begin(), frame.end());
        EXPECT_TRUE(out == want) << c.what;
    }
}

TEST_F(CsiStreaming, MultiPlanarDataStartsAtTheDataOffset) {
    openAndStart(sim::buildRadxaRock);
    auto frame = makeFrame(8);
    for (uint32_t offset : {0u, 64u, 3712u}) {  // 3712: up to the end of the page-rounded buffer
        sim::SimVideoNode::Frame f{frame, 1, 0};
        f.dataOffset = offset;
        video().pushFrame(f);
        std::vector<uint8_t> out;
        int64_t ts;
        ASSERT_EQ(rig->capture(out, ts), 0) << offset;
        EXPECT_TRUE(out == frame) << offset;
    }
    sim::SimVideoNode::Frame f{frame, 1, 0};
    f.dataOffset = 64;
    f.bytesused = 64;  // nothing after the offset
    video().pushFrame(f);
    std::vector<uint8_t> out;
    int64_t ts;
    EXPECT_EQ(rig->capture(out, ts), -1);
}

// The copy follows the format the driver settled on, whatever the board;
// a format the camera cannot read refuses the start, naming it.
TEST(CsiLayouts, TheDriversFormatDecidesTheCopy) {
    using Content = std::vector<uint8_t> (*)(const std::vector<uint8_t>&);
    struct Case {
        const char* what;
        BoardBuilder build;
        uint32_t bytesPerLine, bufferLength, pixelFormat;
        Content content;  // null: the start is refused
        uint32_t width = kW, height = kH;
    };
    const Case cases[] = {
        {"compact packing at 640 x 480", sim::buildRadxaRock, 1024, 1024 * 480, 0,
         [](const std::vector<uint8_t>& f) { return packedLines(f, 640, 1024); }, 640, 480},
        {"lines padded, buffers rounded to pages", sim::buildRaspberryPi4, 544, 0, 0,
         [](const std::vector<uint8_t>& f) { return paddedLines(f, kW, 544); }},
        // 240 samples: packed, the lines are longer than 16-bit ones would be.
        {"compact packing, planes of 192 rows", sim::buildRadxaRock, 512, 512 * 192, 0,
         [](const std::vector<uint8_t>& f) { return packedLines(f, kW, 512); }},
        {"packed lines of 384 bytes", sim::buildRaspberryPi5, 384, 0, 0,
         [](const std::vector<uint8_t>& f) { return packedLines(f, kW, 384); }},
        {"a format substituted", sim::buildRaspberryPi4, 0, 0, V4L2_PIX_FMT_GREY, nullptr},
        {"lines too short for the frame", sim::buildRaspberryPi4, 300, 0, 0, nullptr},
    };
    for (const Case& c : cases) {
        sim::BoardOptions o;
        o.bytesPerLine = c.bytesPerLine;
        o.bufferLength = c.bufferLength;
        o.width = c.width;
        o.height = c.height;
        if (c.pixelFormat) o.pixelFormats = {c.pixelFormat};
        CsiRig rig(c.build, o);
        ASSERT_EQ(rig.sensor->open(rig.info), 0) << c.what;
        testing::internal::CaptureStderr();
        int started = rig.sensor->start();
        std::string said = testing::internal::GetCapturedStderr();
        if (!c.content) {
            EXPECT_EQ(started, -1) << c.what;
            EXPECT_NE(said.find("/dev/video0: the driver settled on '"), std::string::npos) << c.what << ": " << said;
            if (c.pixelFormat) {
                EXPECT_NE(said.find("'GREY' 240x180"), std::string::npos) << said;
            }
            continue;
        }
        ASSERT_EQ(started, 0) << c.what << ": " << said;
        auto frame = makeFrame(5, c.width, c.height);
        rig.push(c.content(frame), 1000);
        std::vector<uint8_t> out;
        int64_t ts;
        EXPECT_EQ(rig.capture(out, ts), 0) << c.what;
        EXPECT_TRUE(out == frame) << c.what;
    }
}

// Sub-frames join a capture only while the driver's sequence runs on and
// their timestamps say they are close: never two captures' phases in one.
TEST(CsiLayouts, CapturesComeFromOneCapturesSubFrames) {
    struct Pushed {
        uint32_t seq;  // also the frame's seed: the sensor's phase is seq mod 4
        int64_t usec;
        bool stamped;
    };
    struct Case {
        const char* what;
        std::vector<Pushed> frames;
        std::vector<int> captures;  // the first sequence of each capture read; -1: none
    };
    auto run = [](uint32_t from, uint32_t to, uint32_t skip, int64_t usecStep, bool stamped) {
        std::vector<Pushed> v;
        for (uint32_t s = from; s < to; ++s)
            if (s != skip) v.push_back({s, usecStep ? 1000 + int64_t(s) * usecStep : 0, stamped});
        return v;
    };
    const Case cases[] = {
        // Captures back to back 1 ms apart: only the count tells them apart.
        {"a dropped sub-frame", run(0, 16, 5, 1000, true), {0, 8, 12}},
        {"timestamps unknown", run(0, 16, 99, 1000, false), {-1}},
        {"timestamps all zero", run(0, 16, 99, 0, true), {-1}},
    };
    for (const Case& c : cases) {
        CsiRig rig(sim::buildRaspberryPi4);
        ASSERT_EQ(rig.sensor->open(rig.info), 0);
        rig.sensor->framesPerCapture = 4;
        ASSERT_EQ(rig.sensor->start(), 0);
        uint32_t next = 0;
        for (const Pushed& p : c.frames) {
            sim::SimVideoNode::Frame f{makeFrame(int(p.seq)), p.usec / 1000000, p.usec % 1000000};
            f.dropBefore = p.seq - next;
            f.stamped = p.stamped;
            next = p.seq + 1;
            rig.board.video->pushFrame(f);
        }
        for (int first : c.captures) {
            std::vector<uint8_t> out;
            int64_t ts;
            int r = rig.capture(out, ts);
            if (first < 0) {
                EXPECT_EQ(r, -1) << c.what;
                continue;
            }
            ASSERT_EQ(r, 0) << c.what << ", capture from " << first;
            for (int k = 0; k < 4; ++k)
                EXPECT_TRUE(std::equal(out.begin() + long(k * kFrameBytes), out.begin() + long((k + 1) * kFrameBytes),
                                       makeFrame(first + k).begin()))
                    << c.what << ": sub-frame " << k << " of the capture from " << first;
        }
    }
}
