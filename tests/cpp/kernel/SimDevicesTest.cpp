// The simulated kernel's device models answer as the Linux drivers do.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/mman.h>
#include <sys/sysmacros.h>

#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>

#include "kernel/Kernel.h"
#include "sensor/csi/V4l2Compat.h"
#include "tests/fakes/SimBoards.h"

using namespace Norvane;
using namespace Norvane::sim;

namespace {

int xioctl(int fd, unsigned long request, void* arg) { return kernel().ioctl(fd, request, arg); }

v4l2_buffer mmapBuffer(uint32_t type, uint32_t index, v4l2_plane* plane = nullptr) {
    v4l2_buffer b{};
    b.type = type;
    b.memory = V4L2_MEMORY_MMAP;
    b.index = index;
    if (plane) {
        b.m.planes = plane;
        b.length = 1;
    }
    return b;
}

class SimVideoTest : public ::testing::Test {
protected:
    SimKernel k;
    ScopedKernel scope{k};
    std::shared_ptr<SimVideoNode> video;
    int fd = -1;

    void make(SimVideoNode::Config cfg) {
        video = std::make_shared<SimVideoNode>(cfg);
        k.addNode("/dev/video0", video);
        fd = kernel().open("/dev/video0", O_RDWR);
        ASSERT_GE(fd, 0);
    }
    // REQBUFS, maps and queues every buffer; returns the mappings.
    std::vector<uint8_t*> stream(uint32_t count) {
        v4l2_requestbuffers r{};
        r.count = count;
        r.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        r.memory = V4L2_MEMORY_MMAP;
        EXPECT_EQ(xioctl(fd, VIDIOC_REQBUFS, &r), 0);
        std::vector<uint8_t*> maps;
        for (uint32_t i = 0; i < r.count; ++i) {
            v4l2_buffer b = mmapBuffer(V4L2_BUF_TYPE_VIDEO_CAPTURE, i);
            EXPECT_EQ(xioctl(fd, VIDIOC_QUERYBUF, &b), 0);
            void* p = kernel().mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, b.m.offset);
            EXPECT_NE(p, MAP_FAILED);
            maps.push_back(static_cast<uint8_t*>(p));
            EXPECT_EQ(xioctl(fd, VIDIOC_QBUF, &b), 0);
        }
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        EXPECT_EQ(xioctl(fd, VIDIOC_STREAMON, &type), 0);
        return maps;
    }
};

}  // namespace

TEST_F(SimVideoTest, CapabilitiesInputsAndFormats) {
    make(SimVideoNode::Config());
    v4l2_capability cap{};
    ASSERT_EQ(xioctl(fd, VIDIOC_QUERYCAP, &cap), 0);
    EXPECT_EQ(cap.device_caps, uint32_t(V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING));
    int input = 1;
    EXPECT_LT(xioctl(fd, VIDIOC_S_INPUT, &input), 0);
    EXPECT_EQ(errno, EINVAL);
    input = 0;
    EXPECT_EQ(xioctl(fd, VIDIOC_S_INPUT, &input), 0);

    v4l2_format f{};
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
    EXPECT_LT(xioctl(fd, VIDIOC_TRY_FMT, &f), 0) << "a single-planar node refuses the multi-planar type";
    EXPECT_EQ(errno, EINVAL);
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    f.fmt.pix.width = 640;
    f.fmt.pix.height = 480;
    f.fmt.pix.pixelformat = V4L2_PIX_FMT_Y12P;
    ASSERT_EQ(xioctl(fd, VIDIOC_S_FMT, &f), 0);
    EXPECT_EQ(f.fmt.pix.width, 240u) << "the sensor has one size";
    EXPECT_EQ(f.fmt.pix.bytesperline, 368u);
    EXPECT_EQ(f.fmt.pix.sizeimage, 368u * 180);
    f.fmt.pix.pixelformat = v4l2_fourcc('N', 'O', 'N', 'E');
    ASSERT_EQ(xioctl(fd, VIDIOC_TRY_FMT, &f), 0);
    EXPECT_EQ(f.fmt.pix.pixelformat, uint32_t(V4L2_PIX_FMT_Y12)) << "an unknown format becomes the default";
    v4l2_format g{};
    g.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(xioctl(fd, VIDIOC_G_FMT, &g), 0);
    EXPECT_EQ(g.fmt.pix.pixelformat, uint32_t(V4L2_PIX_FMT_Y12P)) << "TRY_FMT changes nothing";
    video->forceSize(320, 240);
    ASSERT_EQ(xioctl(fd, VIDIOC_G_FMT, &g), 0);
    EXPECT_EQ(g.fmt.pix.width, 320u);

    v4l2_control c{kExposureControl, 5};
    EXPECT_LT(xioctl(fd, VIDIOC_S_CTRL, &c), 0) << "no such control";
    video->controls.add(kExposureControl, 1, 1, 100);
    EXPECT_EQ(xioctl(fd, VIDIOC_S_CTRL, &c), 0);
    c.value = 500;
    EXPECT_LT(xioctl(fd, VIDIOC_S_CTRL, &c), 0);
    EXPECT_EQ(errno, ERANGE);
    c.value = 0;
    EXPECT_EQ(xioctl(fd, VIDIOC_G_CTRL, &c), 0);
    EXPECT_EQ(c.value, 5);
}

TEST_F(SimVideoTest, BuffersAreCheckedLikeTheKernelChecksThem) {
    SimVideoNode::Config cfg;
    cfg.grantedBuffers = 3;
    cfg.bufferLength = 92160;
    make(cfg);
    v4l2_requestbuffers r{};
    r.count = 8;
    r.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    r.memory = V4L2_MEMORY_USERPTR;
    EXPECT_LT(xioctl(fd, VIDIOC_REQBUFS, &r), 0) << "wrong memory";
    r.memory = V4L2_MEMORY_MMAP;
    r.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    EXPECT_LT(xioctl(fd, VIDIOC_REQBUFS, &r), 0) << "wrong type";
    r.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(xioctl(fd, VIDIOC_REQBUFS, &r), 0);
    EXPECT_EQ(r.count, 3u);

    v4l2_buffer b = mmapBuffer(V4L2_BUF_TYPE_VIDEO_CAPTURE, 3);
    EXPECT_LT(xioctl(fd, VIDIOC_QUERYBUF, &b), 0) << "index past the granted count";
    b.index = 1;
    ASSERT_EQ(xioctl(fd, VIDIOC_QUERYBUF, &b), 0);
    EXPECT_EQ(b.length, 92160u);
    EXPECT_EQ(kernel().mmap(nullptr, b.length, PROT_READ, MAP_PRIVATE, fd, b.m.offset), MAP_FAILED);
    EXPECT_EQ(kernel().mmap(nullptr, b.length, PROT_READ, MAP_SHARED, fd, b.m.offset + 1), MAP_FAILED);
    void* p = kernel().mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, b.m.offset);
    ASSERT_NE(p, MAP_FAILED);
    EXPECT_EQ(k.openMappings(), 1);
    v4l2_buffer q = b;
    q.memory = V4L2_MEMORY_USERPTR;
    EXPECT_LT(xioctl(fd, VIDIOC_QBUF, &q), 0);
    EXPECT_EQ(xioctl(fd, VIDIOC_QBUF, &b), 0);
    EXPECT_LT(xioctl(fd, VIDIOC_QBUF, &b), 0) << "already queued";
    v4l2_buffer d = mmapBuffer(V4L2_BUF_TYPE_VIDEO_CAPTURE, 0);
    EXPECT_LT(xioctl(fd, VIDIOC_DQBUF, &d), 0) << "not streaming";
    EXPECT_EQ(errno, EINVAL);
    r.count = 8;
    EXPECT_LT(xioctl(fd, VIDIOC_REQBUFS, &r), 0) << "buffers still mapped";
    EXPECT_EQ(errno, EBUSY);
    v4l2_format f{};
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_LT(xioctl(fd, VIDIOC_S_FMT, &f), 0) << "the queue holds buffers";
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(kernel().munmap(p, b.length), 0);
    EXPECT_LT(kernel().munmap(p, b.length), 0);
    r.count = 0;
    EXPECT_EQ(xioctl(fd, VIDIOC_REQBUFS, &r), 0);
    EXPECT_EQ(xioctl(fd, VIDIOC_S_FMT, &f), 0);
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_LT(xioctl(fd, VIDIOC_STREAMON, &type), 0) << "no buffers";
}

TEST_F(SimVideoTest, FramesCarryTheChosenContentIndexAndTimestamp) {
    make(SimVideoNode::Config());
    auto maps = stream(4);
    ASSERT_EQ(maps.size(), 4u);
    pollfd p{fd, POLLIN, 0};
    EXPECT_EQ(kernel().poll(&p, 1, 0), 0) << "nothing captured yet";
    video->pushFrame({std::vector<uint8_t>{1, 2, 3}, 7, 250000});
    video->pushFrame({std::vector<uint8_t>{9}, 8, 0, 11});
    EXPECT_EQ(kernel().poll(&p, 1, 0), 1);
    EXPECT_TRUE(p.revents & POLLIN);
    v4l2_buffer b = mmapBuffer(V4L2_BUF_TYPE_VIDEO_CAPTURE, 0);
    ASSERT_EQ(xioctl(fd, VIDIOC_DQBUF, &b), 0);
    EXPECT_EQ(b.index, 0u);
    EXPECT_EQ(b.timestamp.tv_sec, 7);
    EXPECT_EQ(b.timestamp.tv_usec, 250000);
    EXPECT_EQ(b.bytesused, 3u);
    EXPECT_EQ(b.length, 90112u) << "86400 bytes of image, rounded up to whole pages";
    EXPECT_EQ(b.flags & (V4L2_BUF_FLAG_DONE | V4L2_BUF_FLAG_ERROR), uint32_t(V4L2_BUF_FLAG_DONE));
    EXPECT_EQ(maps[0][0], 1);
    EXPECT_EQ(maps[0][2], 3);
    v4l2_buffer c = mmapBuffer(V4L2_BUF_TYPE_VIDEO_CAPTURE, 0);
    ASSERT_EQ(xioctl(fd, VIDIOC_DQBUF, &c), 0);
    EXPECT_EQ(c.index, 11u) << "the injected out-of-range index";
    EXPECT_EQ(maps[1][0], 9);
    EXPECT_EQ(video->queuedBuffers(), 2);
    ASSERT_EQ(xioctl(fd, VIDIOC_QBUF, &b), 0);
    EXPECT_EQ(video->queuedBuffers(), 3);

    // Non-blocking descriptors do not wait.
    int nb = kernel().open("/dev/video0", O_RDWR | O_NONBLOCK);
    v4l2_buffer e = mmapBuffer(V4L2_BUF_TYPE_VIDEO_CAPTURE, 0);
    EXPECT_LT(xioctl(nb, VIDIOC_DQBUF, &e), 0);
    EXPECT_EQ(errno, EAGAIN);
    kernel().close(nb);
    EXPECT_TRUE(video->streaming()) << "another descriptor stays open";
}

TEST_F(SimVideoTest, MultiPlanarQueuesNeedTheirPlanes) {
    SimVideoNode::Config cfg;
    cfg.multiPlanar = true;
    make(cfg);
    v4l2_requestbuffers r{};
    r.count = 2;
    r.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    r.memory = V4L2_MEMORY_MMAP;
    EXPECT_LT(xioctl(fd, VIDIOC_REQBUFS, &r), 0);
    r.type = V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
    ASSERT_EQ(xioctl(fd, VIDIOC_REQBUFS, &r), 0);
    v4l2_buffer b = mmapBuffer(V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE, 0);
    EXPECT_LT(xioctl(fd, VIDIOC_QUERYBUF, &b), 0) << "no plane array";
    v4l2_plane plane{};
    b = mmapBuffer(V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE, 0, &plane);
    ASSERT_EQ(xioctl(fd, VIDIOC_QUERYBUF, &b), 0);
    EXPECT_EQ(b.length, 1u) << "length holds the plane count";
    EXPECT_EQ(plane.length, 90112u);
    void* p = kernel().mmap(nullptr, plane.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, plane.m.mem_offset);
    ASSERT_NE(p, MAP_FAILED);
    EXPECT_EQ(xioctl(fd, VIDIOC_QBUF, &b), 0);
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
    ASSERT_EQ(xioctl(fd, VIDIOC_STREAMON, &type), 0);
    video->pushFrame({std::vector<uint8_t>(10, 0xAB), 1, 2});
    v4l2_plane out{};
    v4l2_buffer d = mmapBuffer(V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE, 0, &out);
    ASSERT_EQ(xioctl(fd, VIDIOC_DQBUF, &d), 0);
    EXPECT_EQ(out.bytesused, 10u);
    EXPECT_EQ(out.data_offset, 0u);
    EXPECT_EQ(static_cast<uint8_t*>(p)[9], 0xAB);
    ASSERT_EQ(xioctl(fd, VIDIOC_QBUF, &d), 0);
    // A damaged buffer, its data behind a header.
    SimVideoNode::Frame bad{std::vector<uint8_t>(10, 0xCD), 1, 3};
    bad.flags = V4L2_BUF_FLAG_ERROR;
    bad.dataOffset = 16;
    video->pushFrame(bad);
    ASSERT_EQ(xioctl(fd, VIDIOC_DQBUF, &d), 0);
    EXPECT_TRUE(d.flags & V4L2_BUF_FLAG_ERROR);
    EXPECT_EQ(out.data_offset, 16u);
    EXPECT_EQ(out.bytesused, 26u) << "the offset counts in bytesused";
    EXPECT_EQ(static_cast<uint8_t*>(p)[16], 0xCD);
    EXPECT_EQ(kernel().munmap(p, plane.length), 0);
}

TEST_F(SimVideoTest, InjectedFaultsCountAndRunOut) {
    make(SimVideoNode::Config());
    video->failIoctl(VIDIOC_QUERYCAP, EINTR, 2);
    v4l2_capability cap{};
    EXPECT_LT(xioctl(fd, VIDIOC_QUERYCAP, &cap), 0);
    EXPECT_EQ(errno, EINTR);
    EXPECT_LT(xioctl(fd, VIDIOC_QUERYCAP, &cap), 0);
    EXPECT_EQ(xioctl(fd, VIDIOC_QUERYCAP, &cap), 0);
    EXPECT_EQ(video->ioctlCalls(VIDIOC_QUERYCAP), 3);
    video->failPoll(EINTR, 1);
    pollfd p{fd, POLLIN, 0};
    EXPECT_LT(kernel().poll(&p, 1, 0), 0);
    EXPECT_EQ(errno, EINTR);
    video->failFstat(EIO);
    struct stat st;
    EXPECT_LT(kernel().fstat(fd, &st), 0);
    video->clearFaults();
    ASSERT_EQ(kernel().fstat(fd, &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST_F(SimVideoTest, BlockingDequeueWakesOnAFrameOrStreamOff) {
    make(SimVideoNode::Config());
    stream(2);
    pollfd p{fd, POLLIN, 0};
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(kernel().poll(&p, 1, 50), 0) << "a poll with nothing to deliver times out";
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(40));

    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        video->pushFrame({std::vector<uint8_t>{5}, 1, 0});
    });
    EXPECT_EQ(kernel().poll(&p, 1, 5000), 1);
    v4l2_buffer b = mmapBuffer(V4L2_BUF_TYPE_VIDEO_CAPTURE, 0);
    EXPECT_EQ(xioctl(fd, VIDIOC_DQBUF, &b), 0);
    producer.join();

    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        xioctl(fd, VIDIOC_STREAMOFF, &type);
    });
    v4l2_buffer c = mmapBuffer(V4L2_BUF_TYPE_VIDEO_CAPTURE, 0);
    EXPECT_LT(xioctl(fd, VIDIOC_DQBUF, &c), 0) << "a blocked dequeue ends with the stream";
    EXPECT_EQ(errno, EINVAL);
    stopper.join();
    EXPECT_EQ(kernel().poll(&p, 1, 0), 1);
    EXPECT_TRUE(p.revents & POLLERR);
}

TEST(SimSubdev, PadFormatsSelectionAndControls) {
    SimKernel k;
    ScopedKernel scope(k);
    SimSubdev::Config cfg;
    cfg.pads = 2;
    auto sd = std::make_shared<SimSubdev>(cfg);
    k.addNode("/dev/v4l-subdev0", sd);
    int fd = kernel().open("/dev/v4l-subdev0", O_RDWR);
    v4l2_subdev_format f{};
    f.which = V4L2_SUBDEV_FORMAT_ACTIVE;
    f.pad = 2;
    EXPECT_LT(xioctl(fd, VIDIOC_SUBDEV_S_FMT, &f), 0) << "no such pad";
    f.pad = 1;
    f.format.width = 640;
    f.format.code = 0x1234;
    ASSERT_EQ(xioctl(fd, VIDIOC_SUBDEV_S_FMT, &f), 0);
    EXPECT_EQ(f.format.width, 240u);
    EXPECT_EQ(f.format.code, 0x2013u);
    f.which = 2;
    EXPECT_LT(xioctl(fd, VIDIOC_SUBDEV_G_FMT, &f), 0);
    sd->forceSize(320, 240);
    v4l2_subdev_format g{};  // TRY, pad 0
    ASSERT_EQ(xioctl(fd, VIDIOC_SUBDEV_G_FMT, &g), 0);
    EXPECT_EQ(g.format.width, 320u);
    v4l2_subdev_selection s{};
    s.which = V4L2_SUBDEV_FORMAT_ACTIVE;
    s.target = V4L2_SEL_TGT_CROP;
    ASSERT_EQ(xioctl(fd, VIDIOC_SUBDEV_G_SELECTION, &s), 0);
    EXPECT_EQ(s.r.height, 240u);
    s.target = V4L2_SEL_TGT_COMPOSE;
    EXPECT_LT(xioctl(fd, VIDIOC_SUBDEV_G_SELECTION, &s), 0);
    sd->controls.add(kRangeControl, 1, 0, 1);
    v4l2_control c{kRangeControl, 0};
    EXPECT_EQ(xioctl(fd, VIDIOC_S_CTRL, &c), 0);
    EXPECT_EQ(sd->controls.value(kRangeControl), 0);
    EXPECT_LT(xioctl(fd, VIDIOC_QUERYCAP, &c), 0) << "a sub-device is no video node";
    EXPECT_EQ(errno, ENOTTY);
    kernel().close(fd);
}

TEST(SimSubdev, TryFormatsBelongToEachOpenFile) {
    SimKernel k;
    ScopedKernel scope(k);
    SimSubdev::Config cfg;
    cfg.sizes = {{640, 480}, {320, 240}};
    k.addNode("/dev/v4l-subdev0", std::make_shared<SimSubdev>(cfg));
    int a = kernel().open("/dev/v4l-subdev0", O_RDWR), b = kernel().open("/dev/v4l-subdev0", O_RDWR);
    auto get = [](int fd, uint32_t which) {
        v4l2_subdev_format f{};
        f.which = which;
        EXPECT_EQ(xioctl(fd, VIDIOC_SUBDEV_G_FMT, &f), 0);
        return f.format.width;
    };
    v4l2_subdev_format t{};  // TRY, pad 0
    t.format.width = 630;
    t.format.height = 470;
    t.format.code = 0x3010;
    ASSERT_EQ(xioctl(a, VIDIOC_SUBDEV_S_FMT, &t), 0);
    EXPECT_EQ(t.format.width, 640u) << "the nearest size offered";
    EXPECT_EQ(t.format.code, 0x2013u);
    EXPECT_EQ(get(a, V4L2_SUBDEV_FORMAT_TRY), 640u);
    EXPECT_EQ(get(b, V4L2_SUBDEV_FORMAT_TRY), 240u) << "another file starts at the default";
    EXPECT_EQ(get(b, V4L2_SUBDEV_FORMAT_ACTIVE), 240u) << "trying sets nothing";
    t.which = V4L2_SUBDEV_FORMAT_ACTIVE;
    t.format.width = 320;
    t.format.height = 240;
    ASSERT_EQ(xioctl(b, VIDIOC_SUBDEV_S_FMT, &t), 0);
    EXPECT_EQ(get(a, V4L2_SUBDEV_FORMAT_ACTIVE), 320u);
    EXPECT_EQ(get(a, V4L2_SUBDEV_FORMAT_TRY), 640u);
    kernel().close(a);
    a = kernel().open("/dev/v4l-subdev0", O_RDWR);
    EXPECT_EQ(get(a, V4L2_SUBDEV_FORMAT_TRY), 240u) << "a new file, a new TRY format";
    kernel().close(a);
    kernel().close(b);
}

TEST(SimMedia, EntityWalkAndLinkSetup) {
    SimKernel k;
    ScopedKernel scope(k);
    SimBoard pi5 = buildRaspberryPi5(k);
    int fd = kernel().open("/dev/media0", O_RDWR);
    ASSERT_GE(fd, 0);
    std::vector<std::string> names;
    media_entity_desc d{};
    d.id = MEDIA_ENT_ID_FLAG_NEXT;
    while (xioctl(fd, MEDIA_IOC_ENUM_ENTITIES, &d) == 0) {
        names.push_back(d.name);
        d.id |= MEDIA_ENT_ID_FLAG_NEXT;
    }
    EXPECT_EQ(errno, EINVAL) << "the end of the list";
    EXPECT_EQ(names, (std::vector<std::string>{"csi2", "pisp-fe", "rp1-cfe-csi2_ch0", "rp1-cfe-csi2_ch1",
                                               "norvane-tarnwelle 4-000c"}));
    media_entity_desc one{};
    one.id = pi5.media->entityId("norvane-tarnwelle 4-000c");
    ASSERT_EQ(xioctl(fd, MEDIA_IOC_ENUM_ENTITIES, &one), 0);
    EXPECT_EQ(one.dev.major, kV4l2Major);
    EXPECT_EQ(one.dev.minor, 12u);

    media_link_desc l{};
    l.source.entity = pi5.media->entityId("csi2");
    l.source.index = 4;
    l.sink.entity = pi5.media->entityId("rp1-cfe-csi2_ch0");
    l.sink.index = 0;
    l.flags = MEDIA_LNK_FL_ENABLED;
    ASSERT_EQ(xioctl(fd, MEDIA_IOC_SETUP_LINK, &l), 0);
    bool enabled = false;
    for (auto& link : pi5.media->links())
        if (link.sourceEntity == l.source.entity && link.sourcePad == 4 && link.sinkEntity == l.sink.entity)
            enabled = link.flags & MEDIA_LNK_FL_ENABLED;
    EXPECT_TRUE(enabled);
    l.sink.index = 3;
    EXPECT_LT(xioctl(fd, MEDIA_IOC_SETUP_LINK, &l), 0) << "no such pad";
    l.source.entity = pi5.media->entityId("norvane-tarnwelle 4-000c");
    l.source.index = 0;
    l.sink.entity = pi5.media->entityId("csi2");
    l.sink.index = 0;
    l.flags = 0;
    EXPECT_LT(xioctl(fd, MEDIA_IOC_SETUP_LINK, &l), 0) << "an immutable link stays enabled";
    kernel().close(fd);
}

TEST(SimBoards, SysfsLeadsFromTheVideoNodeToItsSubdevices) {
    SimKernel k;
    ScopedKernel scope(k);
    SimBoard pi4 = buildRaspberryPi4(k);
    int fd = kernel().open(pi4.devicePath.c_str(), O_RDWR);
    struct stat st;
    ASSERT_EQ(kernel().fstat(fd, &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    std::string dev = "/sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    void* dir = kernel().openDir((dev + "/device").c_str());
    ASSERT_NE(dir, nullptr);
    std::set<std::string> entries;
    while (const char* e = kernel().readDir(dir)) entries.insert(e);
    kernel().closeDir(dir);
    EXPECT_TRUE(entries.count("media0"));
    char link[128];
    ssize_t n = kernel().readlink("/sys/dev/char/81:2", link, sizeof link);
    ASSERT_GT(n, 0);
    std::string target(link, size_t(n));
    EXPECT_EQ(target.substr(target.rfind('/')), "/v4l-subdev0");
    EXPECT_EQ(k.node("/dev/v4l-subdev0"), pi4.sensor);
    kernel().close(fd);

    // The sensor's adapter records what is sent to it.
    int bus = kernel().open("/dev/i2c-10", O_RDWR);
    uint8_t bytes[2] = {0x06, 0x33};
    i2c_msg msg{0x0c, 0, 2, bytes};
    i2c_rdwr_ioctl_data data{&msg, 1};
    EXPECT_EQ(xioctl(bus, I2C_RDWR, &data), 1);
    pi4.bus->setTransferredLimit(0);
    ASSERT_EQ(pi4.bus->messages().size(), 1u);
    EXPECT_EQ(pi4.bus->messages()[0].addr, 0x0c);
    EXPECT_EQ(pi4.bus->messages()[0].data, (std::vector<uint8_t>{0x06, 0x33}));
    kernel().close(bus);
    EXPECT_EQ(k.openDescriptors(), 0);
}

TEST(SimBoards, StreamingChecksThePipelineAsLinuxDoes) {
    SimKernel k;
    ScopedKernel scope(k);
    BoardOptions o;
    o.sizes = {{320, 240}};
    SimBoard pi5 = buildRaspberryPi5(k, o);
    int video = kernel().open(pi5.devicePath.c_str(), O_RDWR);
    int media = kernel().open("/dev/media0", O_RDWR);
    int sensor = kernel().open("/dev/v4l-subdev2", O_RDWR);
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    auto setVideo = [&](uint32_t w, uint32_t h) {
        v4l2_requestbuffers r{};
        r.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        r.memory = V4L2_MEMORY_MMAP;
        EXPECT_EQ(xioctl(video, VIDIOC_REQBUFS, &r), 0);
        v4l2_format f{};
        f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        f.fmt.pix.width = w;
        f.fmt.pix.height = h;
        f.fmt.pix.pixelformat = V4L2_PIX_FMT_Y12P;
        EXPECT_EQ(xioctl(video, VIDIOC_S_FMT, &f), 0);
        r.count = 2;
        EXPECT_EQ(xioctl(video, VIDIOC_REQBUFS, &r), 0);
    };
    auto streamon = [&] {
        int r = xioctl(video, VIDIOC_STREAMON, &type);
        return r < 0 ? errno : 0;
    };
    setVideo(240, 180);
    EXPECT_EQ(streamon(), ENOLINK) << "the receiver's channel is not linked yet";
    media_link_desc l{};
    l.source.entity = pi5.media->entityId("csi2");
    l.source.index = 4;
    l.sink.entity = pi5.media->entityId("rp1-cfe-csi2_ch0");
    l.flags = MEDIA_LNK_FL_ENABLED;
    ASSERT_EQ(xioctl(media, MEDIA_IOC_SETUP_LINK, &l), 0);

    v4l2_subdev_format f{};
    f.which = V4L2_SUBDEV_FORMAT_ACTIVE;
    f.format.width = 320;
    f.format.height = 240;
    ASSERT_EQ(xioctl(sensor, VIDIOC_SUBDEV_S_FMT, &f), 0);
    EXPECT_EQ(streamon(), EPIPE) << "sensor 320 x 240, receiver 240 x 180";
    int rx = kernel().open("/dev/v4l-subdev0", O_RDWR);
    ASSERT_EQ(xioctl(rx, VIDIOC_SUBDEV_S_FMT, &f), 0);
    EXPECT_EQ(pi5.receivers[0]->format(V4L2_SUBDEV_FORMAT_ACTIVE, 4).width, 320u) << "the sink's format goes on";
    EXPECT_EQ(streamon(), EPIPE) << "capture node 240 x 180";
    setVideo(320, 240);
    EXPECT_EQ(streamon(), 0);
    EXPECT_TRUE(pi5.video->streaming());
    for (int fd : {video, media, sensor, rx}) kernel().close(fd);
}
