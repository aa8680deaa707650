// The CSI transport on every supported board, open to close.
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "sensor/TransportFactory.h"
#include "sensor/csi/V4l2Compat.h"
#include "tests/cpp/sensor/CsiTestSupport.h"

using namespace Norvane;
using namespace csitest;

namespace {

int opened(const sim::SimKernel& k, const std::string& path) {
    auto paths = k.openedPaths();
    return int(std::count(paths.begin(), paths.end(), path));
}

// Streams one four-frame capture and checks it byte for byte.
void streamOneCapture(CsiRig& rig, const std::vector<std::vector<uint8_t>>& frames) {
    ASSERT_EQ(rig.sensor->start(), 0);
    EXPECT_TRUE(rig.board.video->streaming());
    EXPECT_EQ(rig.board.video->mappedBuffers(), 8);
    EXPECT_EQ(rig.board.video->queuedBuffers(), 8);
    rig.sensor->framesPerCapture = 4;
    int64_t t = 5000000000LL;  // 5000 s after boot
    for (auto& f : frames) {
        rig.push(driverContent(rig.board.platform, f), t);
        t += 1000;
    }
    std::vector<uint8_t> out;
    int64_t ts = 0;
    ASSERT_EQ(rig.capture(out, ts), 0);
    std::vector<uint8_t> want;
    for (auto& f : frames) want.insert(want.end(), f.begin(), f.end());
    EXPECT_TRUE(out == want) << "capture differs from the phase frames";
    EXPECT_EQ(ts, 5000003) << "milliseconds of the last frame";
    EXPECT_EQ(rig.board.video->queuedBuffers(), 8) << "every buffer goes back to the driver";
    EXPECT_EQ(rig.sensor->stop(), 0);
    EXPECT_FALSE(rig.board.video->streaming());
    EXPECT_EQ(rig.k.openMappings(), 0);
    EXPECT_EQ(rig.sensor->close(), 0);
    EXPECT_EQ(rig.k.openDescriptors(), 0);
}

std::vector<std::vector<uint8_t>> phaseFrames() { return {makeFrame(1), makeFrame(2), makeFrame(3), makeFrame(4)}; }

}  // namespace

TEST(CsiBoards, RaspberryPi4) {
    CsiRig rig(sim::buildRaspberryPi4);
    rig.info.index = 0;
    rig.info.connect = Connection::CSI;
    rig.info.device_type = VGA;
    rig.info.type = FrameType::DEPTH;
    ASSERT_EQ(rig.sensor->open(rig.info), 0);
    EXPECT_STREQ(rig.sensor->busText(), "10");
    EXPECT_EQ(opened(rig.k, "/dev/i2c-10"), 1);
    EXPECT_STREQ(rig.sensor->mediaNode(), "/dev/media0");
    EXPECT_EQ(rig.board.media->openCount(), 0) << "the media node is closed after the walk";
    EXPECT_EQ(rig.sensor->subdeviceCount(), 1);
    EXPECT_EQ(rig.board.sensor->openCount(), 1);
    EXPECT_EQ(rig.board.video->ioctlCalls(VIDIOC_S_INPUT), 1);
    EXPECT_EQ(rig.info.width, 240u);
    EXPECT_EQ(rig.info.height, 180u);
    EXPECT_EQ(rig.info.bit_width, 12u);
    EXPECT_EQ(rig.info.bpp, 2u);
    CameraInfo kept = rig.sensor->getCameraInfo();
    EXPECT_EQ(std::memcmp(&kept, &rig.info, sizeof kept), 0) << "the whole record is kept";
    streamOneCapture(rig, phaseFrames());
}

TEST(CsiBoards, RaspberryPi5RoutesTheReceiverAndUnpacks) {
    CsiRig rig(sim::buildRaspberryPi5);
    ASSERT_EQ(rig.sensor->open(rig.info), 0);
    auto setups = rig.board.media->setups();
    ASSERT_EQ(setups.size(), 1u);
    EXPECT_EQ(setups[0].sourceEntity, rig.board.media->entityId("csi2"));
    EXPECT_EQ(setups[0].sourcePad, 4u);
    EXPECT_EQ(setups[0].sourceFlags, uint32_t(MEDIA_PAD_FL_SOURCE));
    EXPECT_EQ(setups[0].sinkEntity, rig.board.media->entityId("rp1-cfe-csi2_ch0"));
    EXPECT_EQ(setups[0].sinkPad, 0u);
    EXPECT_EQ(setups[0].sinkFlags, uint32_t(MEDIA_PAD_FL_SINK));
    EXPECT_EQ(setups[0].flags, uint32_t(MEDIA_LNK_FL_ENABLED));
    EXPECT_EQ(rig.sensor->subdeviceCount(), 2) << "receiver and sensor";
    EXPECT_EQ(rig.board.receivers[0]->openCount(), 1);
    EXPECT_EQ(rig.k.node("/dev/v4l-subdev1")->openCount(), 0) << "pisp-fe is no receiver";
    EXPECT_STREQ(rig.sensor->busText(), "4");
    streamOneCapture(rig, phaseFrames());
}

TEST(CsiBoards, RadxaRockStreamsMultiPlanar) {
    CsiRig rig(sim::buildRadxaRock);
    ASSERT_EQ(rig.sensor->open(rig.info), 0);
    EXPECT_EQ(rig.sensor->bufferKind(), uint32_t(V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE));
    EXPECT_EQ(rig.board.video->ioctlCalls(VIDIOC_S_INPUT), 0);
    EXPECT_EQ(rig.board.receivers[0]->openCount(), 1) << "rockchip-csi2-dphy1 registered";
    EXPECT_EQ(rig.k.node("/dev/v4l-subdev1")->openCount(), 0);
    EXPECT_EQ(rig.sensor->subdeviceCount(), 2);
    EXPECT_STREQ(rig.sensor->busText(), "3");
    streamOneCapture(rig, phaseFrames());
}

TEST(CsiBoards, JetsonFindsTheBusInTheSysfsName) {
    CsiRig rig(sim::buildJetson);
    ASSERT_EQ(rig.sensor->open(rig.info), 0);
    EXPECT_STREQ(rig.sensor->busText(), "30");
    EXPECT_EQ(opened(rig.k, "/dev/i2c-30"), 1);
    EXPECT_EQ(rig.sensor->subdeviceCount(), 0);
    EXPECT_EQ(opened(rig.k, "/dev/media0"), 0);
    auto frames = phaseFrames();
    for (auto& f : frames) f = jetsonShaped(f);
    streamOneCapture(rig, frames);
}

TEST(CsiBoards, JetsonNano) {
    CsiRig rig(sim::buildJetsonNano);
    ASSERT_EQ(rig.sensor->open(rig.info), 0);
    EXPECT_STREQ(rig.sensor->busText(), "7");
    streamOneCapture(rig, phaseFrames());
}

TEST(CsiBoards, EveryBoardTakes512ByteLinesLineByLine) {
    for (auto build : {sim::buildRaspberryPi4, sim::buildRaspberryPi5, sim::buildRadxaRock, sim::buildJetson,
                       sim::buildJetsonNano, sim::buildUnknownBoard}) {
        sim::BoardOptions o;
        o.bufferLength = 92160;
        o.bytesPerLine = 512;
        CsiRig rig(build, o);
        if (rig.board.platform == PLATFORM_UNKNOWN) {
            // No bus is found there; the video node stays open and streams.
            testing::internal::CaptureStderr();
            EXPECT_EQ(rig.sensor->open(rig.info), -2);
            testing::internal::GetCapturedStderr();
            rig.sensor->setControl(int(CameraCtrl::FMT_WIDTH), 240);
            rig.sensor->setControl(int(CameraCtrl::FMT_HEIGHT), 180);
        } else {
            ASSERT_EQ(rig.sensor->open(rig.info), 0);
        }
        ASSERT_EQ(rig.sensor->start(), 0);
        auto frame = makeFrame(9);
        // The Pi 5 streams packed samples; so does the ROCK's receiver whose
        // 240-sample lines are 512 bytes long (its compact mode).
        const bool packed = rig.board.platform == PLATFORM_RASPBERRY_PI_5 || rig.board.platform == PLATFORM_RADXA_ROCK;
        rig.push(packed ? packedLines(frame, kW, 512) : strided512(frame), 1000);
        std::vector<uint8_t> out;
        int64_t ts;
        ASSERT_EQ(rig.capture(out, ts), 0);
        EXPECT_TRUE(out == frame) << "board " << rig.board.platform;
        EXPECT_EQ(rig.sensor->stop(), 0);
    }
}

TEST(CsiBoards, AnUnknownBoardFailsAtTheBusLookup) {
    CsiRig rig(sim::buildUnknownBoard);
    sim::addI2cAdapter(rig.k, 1, "some bus");
    testing::internal::CaptureStderr();
    EXPECT_EQ(rig.sensor->open(rig.info), -2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: I2C bus name doesn't match any bus present!\n");
    EXPECT_STREQ(rig.sensor->busText(), "");
    EXPECT_EQ(opened(rig.k, "/dev/media0"), 0);
}

TEST(CsiBoards, NodesThatCannotStream) {
    // The node's own capabilities, and what the device's other nodes add.
    const uint32_t kCapture = V4L2_CAP_VIDEO_CAPTURE, kStreaming = V4L2_CAP_STREAMING;
    const struct {
        uint32_t node, others;
    } cases[] = {{kCapture, 0},
                 {kStreaming, 0},
                 {V4L2_CAP_VIDEO_OUTPUT | kStreaming, 0},
                 {V4L2_CAP_META_CAPTURE | kStreaming, kCapture},    // the device's metadata node
                 {V4L2_CAP_VIDEO_OUTPUT | kStreaming, kCapture},    // its output node
                 {kCapture, kStreaming}};
    for (auto c : cases) {
        sim::BoardOptions o;
        o.nodeCaps = c.node;
        o.otherNodesCaps = c.others;
        CsiRig rig(sim::buildRaspberryPi4, o);
        EXPECT_EQ(rig.sensor->open(rig.info), -2) << c.node << " " << c.others;
        EXPECT_EQ(rig.board.video->ioctlCalls(VIDIOC_S_INPUT), 0) << "refused at the capability check";
    }
    {
        sim::BoardOptions o;
        o.otherNodesCaps = V4L2_CAP_META_CAPTURE | V4L2_CAP_VIDEO_OUTPUT;
        CsiRig rig(sim::buildRaspberryPi4, o);
        EXPECT_EQ(rig.sensor->open(rig.info), 0) << "a capture node of a device with other nodes";
    }
    sim::SimKernel k;
    ScopedKernel scope(k);
    NorvaneTOFCSISensor missing("/dev/video4", PLATFORM_RASPBERRY_PI);
    CameraInfo info{};
    EXPECT_EQ(missing.open(info), -2);
}

TEST(CsiBoards, AFailingCapabilityQueryReportsInsteadOfExiting) {
    CsiRig rig(sim::buildRaspberryPi4);
    rig.board.video->failIoctl(VIDIOC_QUERYCAP, EIO);
    testing::internal::CaptureStderr();
    EXPECT_EQ(rig.sensor->open(rig.info), -2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "VIDIOC_QUERYCAP: error - 5\n");
    EXPECT_EQ(rig.board.video->ioctlCalls(VIDIOC_QUERYCAP), 1) << "EIO is not retried";
    rig.board.video->failIoctl(VIDIOC_QUERYCAP, EINTR, 5);
    testing::internal::CaptureStderr();
    EXPECT_EQ(rig.sensor->open(rig.info), -2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "VIDIOC_QUERYCAP: error - 4\n");
    EXPECT_EQ(rig.board.video->ioctlCalls(VIDIOC_QUERYCAP), 6);
    rig.board.video->failIoctl(VIDIOC_QUERYCAP, EAGAIN, 4);
    EXPECT_EQ(rig.sensor->open(rig.info), 0) << "four transient failures are ridden out";
    EXPECT_EQ(rig.sensor->close(), 0);
    EXPECT_EQ(rig.k.openDescriptors(), 0);
}

TEST(CsiBoards, BusFailures) {
    {
        CsiRig rig(sim::buildRaspberryPi4);
        rig.k.remove("/dev/i2c-10");
        testing::internal::CaptureStderr();
        EXPECT_EQ(rig.sensor->open(rig.info), -2);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Error: Could not open file `/dev/i2c-10': No such file or directory\n");
    }
    {
        CsiRig rig(sim::buildRaspberryPi4);
        rig.k.addNode("/dev/i2c-10", std::make_shared<sim::SimI2cAdapter>(I2C_FUNC_SMBUS_BYTE));
        testing::internal::CaptureStderr();
        EXPECT_EQ(rig.sensor->open(rig.info), -2);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: Adapter does not have I2C transfers capability\n");
    }
    {
        CsiRig rig(sim::buildRaspberryPi4);
        rig.board.bus->failIoctl(I2C_FUNCS, EIO);
        testing::internal::CaptureStderr();
        EXPECT_EQ(rig.sensor->open(rig.info), -2);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Error: Could not get adapter functionality: Input/output error\n");
    }
    {
        // A sensor entity naming its bus by adapter name.
        sim::SimKernel k;
        ScopedKernel scope(k);
        auto b = sim::buildJetson(k);
        k.addFile("/sys/dev/char/81:0/name", "vi-output, norvane x-000c\n");
        NorvaneTOFCSISensor s(b.devicePath.c_str(), b.platform);
        CameraInfo info{};
        testing::internal::CaptureStderr();
        EXPECT_EQ(s.open(info), -2);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: I2C bus name doesn't match any bus present!\n");
    }
}

TEST(CsiBoards, JetsonSysfsNameFailures) {
    for (int variant = 0; variant < 4; ++variant) {
        CsiRig rig(sim::buildJetson);
        std::string name = "/sys/dev/char/81:0/name";
        if (variant == 0) rig.k.remove(name);
        if (variant == 1) rig.k.node(name)->readErrno = EIO;
        if (variant == 2) rig.k.addFile(name, "vi-output, other 30-000c\n");
        if (variant == 3) rig.board.video->failFstat(EIO);
        EXPECT_EQ(rig.sensor->open(rig.info), -2) << variant;
    }
}

TEST(CsiBoards, AFailedSizeReadStillOpensTheRest) {
    CsiRig rig(sim::buildRaspberryPi4);
    rig.board.sensor->failIoctl(VIDIOC_SUBDEV_G_FMT, EINTR, 1);
    rig.info.width = 11;
    rig.info.height = 22;
    EXPECT_EQ(rig.sensor->open(rig.info), -2) << "the size read is a single attempt";
    EXPECT_EQ(rig.board.sensor->ioctlCalls(VIDIOC_SUBDEV_G_FMT), 1);
    EXPECT_EQ(rig.info.width, 11u);
    EXPECT_EQ(rig.info.bit_width, 12u);
    EXPECT_EQ(opened(rig.k, "/dev/i2c-10"), 1);

    CsiRig jetson(sim::buildJetson);
    jetson.board.video->failIoctl(VIDIOC_G_FMT, EAGAIN, 1);
    EXPECT_EQ(jetson.sensor->open(jetson.info), -2);
    EXPECT_EQ(jetson.board.video->ioctlCalls(VIDIOC_G_FMT), 1);
}

TEST(CsiBoards, TheFactoryBuildsThisTransport) {
    CsiRig rig(sim::buildRaspberryPi4);
    auto s = createCsiSensor("/dev/video0", PLATFORM_RASPBERRY_PI);
    ASSERT_NE(s, nullptr);
    EXPECT_NE(dynamic_cast<NorvaneTOFCSISensor*>(s.get()), nullptr);
    EXPECT_EQ(s->framesPerCapture, 1);
    CameraInfo info{};
    EXPECT_EQ(s->open(info), 0);
    EXPECT_EQ(info.width, 240u);
}

TEST(CsiBoards, TheMediaDeviceIsTheOneListingTheVideoNode) {
    // A second camera's media device in the same device folder, listed after
    // or before this one's: the choice follows the graph, not the order.
    for (auto build : {sim::buildRaspberryPi4, sim::buildRaspberryPi5, sim::buildRadxaRock}) {
        for (int order : {1, -1}) {
            sim::BoardOptions o;
            o.otherMedia = order;
            CsiRig rig(build, o);
            ASSERT_EQ(rig.sensor->open(rig.info), 0) << rig.board.platform << " " << order;
            EXPECT_STREQ(rig.sensor->mediaNode(), "/dev/media0");
            EXPECT_EQ(rig.sensor->busText(), std::to_string(rig.board.busNumber));
            EXPECT_EQ(rig.board.sensor->openCount(), 1);
            EXPECT_EQ(rig.k.node("/dev/v4l-subdev9")->openCount(), 0) << "the other camera's sensor";
            EXPECT_EQ(opened(rig.k, "/dev/i2c-11"), 0);
            EXPECT_EQ(rig.k.node("/dev/media1")->openCount(), 0);
        }
    }
}

TEST(CsiBoards, TheWalkFindsReceiversRegisteredAfterTheSensor) {
    for (auto build : {sim::buildRaspberryPi4, sim::buildRaspberryPi5, sim::buildRadxaRock}) {
        sim::BoardOptions o;
        o.sensorFirst = true;
        o.sizes = {{320, 240}};
        CsiRig rig(build, o);
        ASSERT_EQ(rig.sensor->open(rig.info), 0) << rig.board.platform;
        EXPECT_EQ(rig.sensor->subdeviceCount(), int(rig.board.receivers.size()) + 1) << rig.board.platform;
        // Not the default size: an unconfigured receiver would not match the
        // sensor when streaming starts.
        rig.sensor->setControl(int(CameraCtrl::FMT_WIDTH), 320);
        rig.sensor->setControl(int(CameraCtrl::FMT_HEIGHT), 240);
        ASSERT_EQ(rig.sensor->start(), 0) << rig.board.platform;
        for (auto& rx : rig.board.receivers) {
            EXPECT_EQ(rx->openCount(), 1);
            EXPECT_EQ(rx->formatRequests().size(), 1u) << "the receiver is configured";
        }
        EXPECT_EQ(rig.board.sensor->formatRequests().size(), 1u);
        EXPECT_EQ(rig.sensor->stop(), 0);
    }
}

// What the transport asks of the driver, as asked: the simulated drivers
// correct requests the way Linux drivers do, so their state would hide a
// wrong one.
TEST(CsiBoards, TheTransportAsksForTheFormatsItNeeds) {
    for (auto build : {sim::buildRaspberryPi4, sim::buildRaspberryPi5, sim::buildRadxaRock, sim::buildJetson}) {
        sim::BoardOptions o;
        o.sizes = {{320, 240}};
        CsiRig rig(build, o);
        const PlatformType p = rig.board.platform;
        ASSERT_EQ(rig.sensor->open(rig.info), 0) << p;
        rig.sensor->setControl(int(CameraCtrl::FMT_WIDTH), 320);
        rig.sensor->setControl(int(CameraCtrl::FMT_HEIGHT), 240);
        ASSERT_EQ(rig.sensor->start(), 0) << p;

        auto video = rig.board.video->formatRequests();
        ASSERT_EQ(video.size(), 2u) << p;
        EXPECT_EQ(video[0].request, VIDIOC_TRY_FMT);
        EXPECT_EQ(video[1].request, VIDIOC_S_FMT);
        for (auto& r : video) {
            const v4l2_format& f = r.format;
            if (p == PLATFORM_RADXA_ROCK) {
                ASSERT_EQ(f.type, uint32_t(V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE));
                EXPECT_EQ(f.fmt.pix_mp.width, 320u);
                EXPECT_EQ(f.fmt.pix_mp.height, 240u);
                EXPECT_EQ(f.fmt.pix_mp.pixelformat, uint32_t(V4L2_PIX_FMT_Y12));
                EXPECT_EQ(f.fmt.pix_mp.field, uint32_t(V4L2_FIELD_NONE));
                EXPECT_EQ(f.fmt.pix_mp.num_planes, 1u);
                EXPECT_EQ(f.fmt.pix_mp.plane_fmt[0].bytesperline, 640u);
                EXPECT_EQ(f.fmt.pix_mp.plane_fmt[0].sizeimage, 320u * 240 * 2);
            } else {
                ASSERT_EQ(f.type, uint32_t(V4L2_BUF_TYPE_VIDEO_CAPTURE));
                EXPECT_EQ(f.fmt.pix.width, 320u);
                EXPECT_EQ(f.fmt.pix.height, 240u);
                EXPECT_EQ(f.fmt.pix.pixelformat,
                          uint32_t(p == PLATFORM_RASPBERRY_PI_5 ? V4L2_PIX_FMT_Y12P : V4L2_PIX_FMT_Y12))
                    << p;
                EXPECT_EQ(f.fmt.pix.field, uint32_t(V4L2_FIELD_NONE));
            }
        }

        std::vector<std::shared_ptr<sim::SimSubdev>> subdevs = rig.board.receivers;
        if (p != PLATFORM_JETSON) subdevs.push_back(rig.board.sensor);
        for (auto& sd : subdevs) {
            auto asked = sd->formatRequests();
            ASSERT_EQ(asked.size(), 1u) << p;
            EXPECT_EQ(asked[0].which, uint32_t(V4L2_SUBDEV_FORMAT_ACTIVE));
            EXPECT_EQ(asked[0].pad, 0u);
            EXPECT_EQ(asked[0].format.width, 320u);
            EXPECT_EQ(asked[0].format.height, 240u);
            EXPECT_EQ(asked[0].format.code, 0x2013u);
            EXPECT_EQ(asked[0].format.field, uint32_t(V4L2_FIELD_NONE));
        }
        if (rig.board.sensor) {
            auto crop = rig.board.sensor->selectionRequests();
            ASSERT_EQ(crop.size(), 1u) << p;
            EXPECT_EQ(crop[0].which, uint32_t(V4L2_SUBDEV_FORMAT_ACTIVE));
            EXPECT_EQ(crop[0].pad, 0u);
            EXPECT_EQ(crop[0].target, uint32_t(V4L2_SEL_TGT_CROP));
        }
        EXPECT_EQ(rig.sensor->stop(), 0);
    }
}

TEST(CsiBoards, AFailedPi5LinkSetupEndsTheWalk) {
    CsiRig rig(sim::buildRaspberryPi5);
    rig.board.media->failIoctl(MEDIA_IOC_SETUP_LINK, EINVAL);
    testing::internal::CaptureStderr();
    EXPECT_EQ(rig.sensor->open(rig.info), -2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: I2C bus name doesn't match any bus present!\n");
    EXPECT_EQ(rig.board.media->ioctlLog().back(), MEDIA_IOC_SETUP_LINK) << "no walk after the failed link";
    EXPECT_EQ(rig.sensor->subdeviceCount(), 0);
    EXPECT_STREQ(rig.sensor->busText(), "");
    EXPECT_EQ(rig.board.media->openCount(), 0);
}

// The graphs other kernels, other boards and earlier programs present: each
// camera opens, configures what it must and streams. On the Pi 5 only
// immutable links and ours stay enabled (rp1-cfe holds its stream while any
// other node has an enabled link).
TEST(CsiBoards, GraphVariants) {
    struct Case {
        const char* what;
        BoardBuilder build;
        void (*options)(sim::BoardOptions&);
        uint32_t bufferKind;
        size_t sensorFormats;  // ACTIVE formats asked of the sensor (none where the node sets them)
        uint16_t chip;
    };
    const uint32_t kSingle = V4L2_BUF_TYPE_VIDEO_CAPTURE, kMulti = V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
    const Case cases[] = {
        {"Pi 5, links left enabled", sim::buildRaspberryPi5, [](sim::BoardOptions& o) { o.staleLinks = true; },
         kSingle, 1, 0x0c},
        {"Pi 5, mainline names", sim::buildRaspberryPi5, [](sim::BoardOptions& o) { o.mainline = true; }, kSingle, 1,
         0x0c},
        {"Pi 5, mainline, links left enabled", sim::buildRaspberryPi5,
         [](sim::BoardOptions& o) { o.mainline = o.staleLinks = true; }, kSingle, 1, 0x0c},
        {"Pi 4, mainline unicam", sim::buildRaspberryPi4, [](sim::BoardOptions& o) { o.mainline = true; }, kSingle, 1,
         0x0c},
        {"Pi 4, read-only sub-devices", sim::buildRaspberryPi4,
         [](sim::BoardOptions& o) { o.readOnlySubdevs = true; }, kSingle, 0, 0x0c},
        {"Pi 4, multi-planar node", sim::buildRaspberryPi4, [](sim::BoardOptions& o) { o.planes = 2; }, kMulti, 1,
         0x0c},
        {"Pi 4, sensor at 0x0d", sim::buildRaspberryPi4, [](sim::BoardOptions& o) { o.chipAddress = 0x0d; }, kSingle, 1,
         0x0d},
        {"Jetson, sensor at 0x0d", sim::buildJetson, [](sim::BoardOptions& o) { o.chipAddress = 0x0d; }, kSingle, 0,
         0x0d},
        {"Jetson, an address out of range", sim::buildJetson, [](sim::BoardOptions& o) { o.chipAddress = 0x78; },
         kSingle, 0, 0x0c},
        {"ROCK, D-PHY 0", sim::buildRadxaRock,
         [](sim::BoardOptions& o) { o.receiverName = "rockchip-csi2-dphy0"; }, kMulti, 1, 0x0c},
        {"ROCK, single-planar node", sim::buildRadxaRock, [](sim::BoardOptions& o) { o.planes = 1; }, kSingle, 1,
         0x0c},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::BoardOptions o;
        c.options(o);
        CsiRig rig(c.build, o);
        ASSERT_EQ(rig.sensor->open(rig.info), 0);
        EXPECT_EQ(rig.sensor->bufferKind(), c.bufferKind);
        EXPECT_EQ(rig.sensor->subdeviceCount(), int(rig.board.receivers.size()) + (rig.board.sensor ? 1 : 0));
        ASSERT_EQ(rig.sensor->setControl(int(CameraCtrl::FRAME_RATE), 25), 0);
        EXPECT_EQ(rig.board.bus->messages().back().addr, c.chip);
        if (rig.board.platform == PLATFORM_RASPBERRY_PI_5) {
            int enabled = 0;
            for (auto& l : rig.board.media->links())
                if ((l.flags & MEDIA_LNK_FL_ENABLED) && !(l.flags & MEDIA_LNK_FL_IMMUTABLE)) {
                    ++enabled;
                    EXPECT_EQ(l.sourcePad, o.mainline ? 1u : 4u) << "the channel feeding our node";
                }
            EXPECT_EQ(enabled, 1) << "our link alone";
        }
        auto frames = phaseFrames();
        if (rig.board.platform == PLATFORM_JETSON) {
            for (auto& f : frames) f = jetsonShaped(f);
        }
        streamOneCapture(rig, frames);
        for (auto& rx : rig.board.receivers) EXPECT_EQ(rx->formatRequests().size(), 1u) << "each receiver configured";
        if (rig.board.sensor) {
            EXPECT_EQ(rig.board.sensor->formatRequests().size(), c.sensorFormats);
        }
    }
}
