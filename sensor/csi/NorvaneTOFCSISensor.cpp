#include "sensor/csi/NorvaneTOFCSISensor.h"

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "sensor/csi/CsiIoctl.h"
#include "sensor/csi/V4l2Compat.h"

namespace Norvane {

using csi::ioctlOnce;
using csi::xioctl;

namespace {

constexpr uint32_t kRangeControl = 0x00981901;  // driver-private range mode
constexpr int kMaxBufferIndex = NorvaneTOFCSISensor::kBufferCount - 1;
constexpr int kMinBuffers = 2;
// One getFrame call waits this long for its capture, so that the capture
// thread sees a stop within about a second whatever the sensor sends; a
// capture already begun may take a little longer for its remaining frames.
constexpr int kCaptureWaitMs = 1000;
constexpr int kSubFrameWaitMs = 100;
// Captures begun again because a sub-frame came too late, before the call
// gives up (a sensor whose sub-frames never join).
constexpr int kMaxCaptureRestarts = 4;
constexpr int64_t kMaxSubFrameGapUs = 5000;  // sub-frames of one capture
// Pause after the queue reported an error, doubling up to the limit: a
// driver that answers POLLERR at once must not make the thread spin.
constexpr long kErrorPauseMinMs = 5;
constexpr long kErrorPauseMaxMs = 100;
constexpr uint8_t kFrameRateRegister[2] = {0x06, 0x33};

// Microseconds from the previous buffer's time to this one's; false when
// the difference does not fit in 64 bits (times far apart).
bool gapMicroseconds(int64_t sec, int64_t usec, int64_t prevSec, int64_t prevUsec, int64_t& gap) {
    constexpr int64_t kMicrosecondsPerSecond = 1000000;
    int64_t seconds, secondsUs, micros;
    return !__builtin_sub_overflow(sec, prevSec, &seconds) &&
           !__builtin_mul_overflow(seconds, kMicrosecondsPerSecond, &secondsUs) &&
           !__builtin_sub_overflow(usec, prevUsec, &micros) && !__builtin_add_overflow(secondsUs, micros, &gap);
}

bool isMultiPlanar(uint32_t type) { return type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE; }

// A zeroed buffer record of the transport's type, with its one plane.
void prepareBuffer(v4l2_buffer& buf, v4l2_plane& plane, uint32_t type, uint32_t index) {
    std::memset(&buf, 0, sizeof buf);
    std::memset(&plane, 0, sizeof plane);
    buf.type = type;
    buf.memory = V4L2_MEMORY_MMAP;
    buf.index = index;
    if (isMultiPlanar(type)) {
        buf.m.planes = &plane;
        buf.length = 1;
    }
}

}  // namespace

NorvaneTOFCSISensor::NorvaneTOFCSISensor(const char* path, PlatformType platform, int inputIndex)
    : inputIndex(inputIndex), platform(platform) {
    std::snprintf(devicePath, sizeof devicePath, "%s", path ? path : "");
}

NorvaneTOFCSISensor::~NorvaneTOFCSISensor() = default;

CameraInfo NorvaneTOFCSISensor::getCameraInfo() {
    CameraInfo out = info;
    out.width = width.load();
    out.height = height.load();
    return out;
}

int NorvaneTOFCSISensor::controlFd() const {
    // Boards without registered sub-devices take controls on the video node.
    return sensorFound ? subdevFds[sensorSubdevIndex].get() : videoFd.get();
}

int NorvaneTOFCSISensor::setFormat() {
    if (!videoFd.valid()) return 0;
    uint32_t w = width.load(), h = height.load();
    v4l2_format fmt;
    std::memset(&fmt, 0, sizeof fmt);
    fmt.type = bufferType;
    if (isMultiPlanar(bufferType)) {
        fmt.fmt.pix_mp.width = w;
        fmt.fmt.pix_mp.height = h;
        fmt.fmt.pix_mp.pixelformat = V4L2_PIX_FMT_Y12;
        fmt.fmt.pix_mp.field = V4L2_FIELD_NONE;
        fmt.fmt.pix_mp.num_planes = 1;
        fmt.fmt.pix_mp.plane_fmt[0].bytesperline = w * 2;
        fmt.fmt.pix_mp.plane_fmt[0].sizeimage = w * h * 2;
    } else {
        fmt.fmt.pix.width = w;
        fmt.fmt.pix.height = h;
        fmt.fmt.pix.pixelformat = platform == PLATFORM_RASPBERRY_PI_5 ? V4L2_PIX_FMT_Y12P : V4L2_PIX_FMT_Y12;
        fmt.fmt.pix.field = V4L2_FIELD_NONE;
    }
    if (int r = xioctl(videoFd.get(), VIDIOC_TRY_FMT, &fmt)) return r;
    if (int r = xioctl(videoFd.get(), VIDIOC_S_FMT, &fmt)) return r;

    bool media = isMediaControllerFamily(platform);
    if (media && !nodeCentric) {  // a node-centric node has set them itself
        for (int i = 0; i < subdevCount; ++i) {
            v4l2_subdev_format sf;
            std::memset(&sf, 0, sizeof sf);
            sf.which = V4L2_SUBDEV_FORMAT_ACTIVE;
            sf.pad = subdevPads[i];
            sf.format.width = w;
            sf.format.height = h;
            sf.format.code = MEDIA_BUS_FMT_Y12_1X12;
            sf.format.field = V4L2_FIELD_NONE;
            if (int r = xioctl(subdevFds[i].get(), VIDIOC_SUBDEV_S_FMT, &sf)) return r;
            v4l2_subdev_selection sel;
            std::memset(&sel, 0, sizeof sel);
            sel.which = V4L2_SUBDEV_FORMAT_ACTIVE;
            sel.pad = subdevPads[i];
            sel.target = V4L2_SEL_TGT_CROP;
            xioctl(subdevFds[i].get(), VIDIOC_SUBDEV_G_SELECTION, &sel);  // not every receiver answers
        }
    }

    if (media) {
        // The ACTIVE format: a TRY format belongs to one open file and
        // starts at the driver's default, whatever was set.
        v4l2_subdev_format sf;
        std::memset(&sf, 0, sizeof sf);
        sf.which = V4L2_SUBDEV_FORMAT_ACTIVE;
        int fd = sensorFound ? subdevFds[sensorSubdevIndex].get() : -1;
        if (ioctlOnce(fd, VIDIOC_SUBDEV_G_FMT, &sf) < 0) return -2;
        if (sf.format.width != w || sf.format.height != h) return -1;
    }
    return readLayout(w, h);
}

// Reads back the format the video node settled on (drivers adjust what they
// cannot do instead of failing) and takes the frame layout from it: 0, -2
// when the node does not answer, -1 (with a message naming what the driver
// returned) for a size other than asked or a layout this camera cannot read.
int NorvaneTOFCSISensor::readLayout(uint32_t w, uint32_t h) {
    v4l2_format got;
    std::memset(&got, 0, sizeof got);
    got.type = bufferType;
    if (ioctlOnce(videoFd.get(), VIDIOC_G_FMT, &got) < 0) return -2;
    csi::NodeFormat f;
    if (isMultiPlanar(bufferType)) {
        const v4l2_pix_format_mplane& mp = got.fmt.pix_mp;
        f = csi::NodeFormat{mp.pixelformat, mp.width, mp.height, mp.field, mp.num_planes,
                            mp.plane_fmt[0].bytesperline, mp.plane_fmt[0].sizeimage};
    } else {
        const v4l2_pix_format& pix = got.fmt.pix;
        f = csi::NodeFormat{pix.pixelformat, pix.width, pix.height, pix.field, 1, pix.bytesperline, pix.sizeimage};
    }
    if (f.width == w && f.height == h && csi::layoutOf(f, platform, layout)) return 0;
    char fourcc[5];
    for (int i = 0; i < 4; ++i) {
        char c = char((f.pixelformat >> (8 * i)) & 0xFF);
        fourcc[i] = c >= 0x20 && c < 0x7F ? c : '?';
    }
    fourcc[4] = '\0';
    std::fprintf(stderr,
                 "%s: the driver settled on '%s' %ux%u (%u bytes per line, %u per frame, %u planes, field %u) for "
                 "%ux%u 12-bit grey: not a layout this camera reads\n",
                 devicePath, fourcc, f.width, f.height, f.bytesPerLine, f.sizeImage, f.planes, f.field, w, h);
    return -1;
}

void NorvaneTOFCSISensor::releaseBuffers() {
    for (auto& b : buffers) b.reset();
    bufferCount = 0;
}

int NorvaneTOFCSISensor::start() {
    if (setFormat() != 0) return -1;
    streamWidth = width.load();
    streamHeight = height.load();
    errorPauseMs = 0;
    gone = false;
    sequenceKnown = realigning = false;

    v4l2_requestbuffers req;
    std::memset(&req, 0, sizeof req);
    req.count = kBufferCount;
    req.type = bufferType;
    req.memory = V4L2_MEMORY_MMAP;
    if (xioctl(videoFd.get(), VIDIOC_REQBUFS, &req) < 0) return -1;

    // Free the driver's buffers again when streaming cannot begin.
    auto fail = [&](int result) {
        int ignored = 0;
        freeBuffers(ignored);
        return result;
    };
    if (req.count < uint32_t(kMinBuffers)) return fail(-1);
    uint32_t count = req.count < uint32_t(kBufferCount) ? req.count : uint32_t(kBufferCount);

    for (uint32_t i = 0; i < count; ++i) {
        v4l2_buffer buf;
        v4l2_plane plane;
        prepareBuffer(buf, plane, bufferType, i);
        if (xioctl(videoFd.get(), VIDIOC_QUERYBUF, &buf) < 0) return fail(-1);
        bool mp = isMultiPlanar(bufferType);
        size_t length = mp ? plane.length : buf.length;
        off_t offset = off_t(mp ? plane.m.mem_offset : buf.m.offset);
        if (!buffers[i].map(videoFd.get(), length, offset)) return fail(-1);
        bufferCount = i + 1;
        if (xioctl(videoFd.get(), VIDIOC_QBUF, &buf) < 0) return fail(-1);
    }

    int type = int(bufferType);
    if (xioctl(videoFd.get(), VIDIOC_STREAMON, &type) < 0) return fail(-2);
    return 0;
}

int NorvaneTOFCSISensor::stop() {
    int type = int(bufferType);
    int failed = xioctl(videoFd.get(), VIDIOC_STREAMOFF, &type) < 0 ? 1 : 0;
    // The buffers go even when STREAMOFF failed: mapped, they would keep
    // every later format change busy until close.
    freeBuffers(failed);
    return failed ? -2 : 0;
}

void NorvaneTOFCSISensor::freeBuffers(int& failed) {
    for (auto& b : buffers)
        if (!b.reset()) ++failed;
    bufferCount = 0;
    // Without buffers the driver accepts a new format at the next start.
    v4l2_requestbuffers none;
    std::memset(&none, 0, sizeof none);
    none.type = bufferType;
    none.memory = V4L2_MEMORY_MMAP;
    if (xioctl(videoFd.get(), VIDIOC_REQBUFS, &none) < 0) ++failed;
}

int NorvaneTOFCSISensor::close() {
    releaseBuffers();
    for (auto& fd : subdevFds) fd.reset();
    subdevCount = 0;
    sensorSubdevIndex = 0;
    sensorFound = false;
    videoFd.reset();
    i2cFd.reset();
    return 0;
}

// Waits up to `timeoutMs` until the video node has a filled buffer: 0, -1
// when none came, -2 when poll failed or the queue is in error (stream
// turned off elsewhere, driver fault), kDeviceGone once the node hangs up
// (an unregistered device answers POLLERR | POLLHUP for ever).
int NorvaneTOFCSISensor::waitForFrame(int timeoutMs) {
    pollfd p;
    p.fd = videoFd.get();
    p.events = POLLIN;
    p.revents = 0;
    int r = csi::retrying([&] { return kernel().poll(&p, 1, timeoutMs); });
    if (r < 0) return deviceGone() ? kDeviceGone : queueError();
    if (r == 0) return -1;
    if (p.revents & POLLHUP) {
        gone = true;
        return kDeviceGone;
    }
    if (!(p.revents & POLLIN) && (p.revents & (POLLERR | POLLNVAL))) return queueError();
    return 0;
}

// After a failed call: whether it failed because the driver was unbound
// (ENODEV, for every call from then on).
bool NorvaneTOFCSISensor::deviceGone() {
    if (errno == ENODEV) gone = true;
    return gone;
}

// A queue in error: pauses, longer each time in a row, then -2.
int NorvaneTOFCSISensor::queueError() {
    errorPauseMs = errorPauseMs ? std::min(errorPauseMs * 2, kErrorPauseMaxMs) : kErrorPauseMinMs;
    timespec pause{0, errorPauseMs * 1000000L};
    kernel().nanosleep(&pause, nullptr);
    return -2;
}

int NorvaneTOFCSISensor::getFrame(uint8_t* data, int64_t* timestamp) {
    if (framesPerCapture <= 0) {
        *timestamp = 0;
        return 0;
    }
    if (gone) return kDeviceGone;
    const uint32_t perCapture = uint32_t(framesPerCapture);
    const size_t frameBytes = size_t(streamWidth) * streamHeight * 2;
    const bool mp = isMultiPlanar(bufferType);
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kCaptureWaitMs);
    int restarts = 0;
    int64_t prevSec = 0, prevUsec = 0;
    bool prevStamped = false;
    for (int i = 0; i < framesPerCapture;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        int waitMs = int(std::max<decltype(left)>(left, 0));
        if (i > 0) waitMs = std::max(waitMs, kSubFrameWaitMs);
        if (waitMs == 0) return -1;
        if (int w = waitForFrame(waitMs)) return w;
        v4l2_buffer buf;
        v4l2_plane plane;
        prepareBuffer(buf, plane, bufferType, 0);
        if (xioctl(videoFd.get(), VIDIOC_DQBUF, &buf) < 0) return deviceGone() ? kDeviceGone : queueError();
        errorPauseMs = 0;
        if (buf.index > uint32_t(kMaxBufferIndex) || buf.index >= bufferCount) return 2;

        // Drivers count every frame in `sequence`, dropped ones too: a jump
        // means frames are missing, and the sensor's sub-frames repeat with
        // the count. (A driver that leaves it unchanged does not count.)
        const uint32_t step = buf.sequence - lastSequence;
        const bool dropped = sequenceKnown && step > 1 && step < (1u << 31);
        sequenceKnown = true;
        lastSequence = buf.sequence;
        // Without a timestamp the time between sub-frames is unknown: such a
        // frame joins no capture.
        int64_t sec = int64_t(buf.timestamp.tv_sec), usec = int64_t(buf.timestamp.tv_usec);
        const bool stamped = (buf.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) != V4L2_BUF_FLAG_TIMESTAMP_UNKNOWN &&
                             (sec != 0 || usec != 0);
        bool givenUp = false;
        if (dropped && perCapture > 1) {
            // Never a capture of two captures' sub-frames: this one ends, and
            // the next begins where the count says a capture begins.
            if (i > 0) givenUp = ++restarts > kMaxCaptureRestarts || Clock::now() >= deadline;
            i = 0;
            realigning = true;
        } else if (i > 0) {
            int64_t gap = 0;
            if (!stamped || !prevStamped || !gapMicroseconds(sec, usec, prevSec, prevUsec, gap) ||
                gap > kMaxSubFrameGapUs || gap < -kMaxSubFrameGapUs) {
                // Not part of the capture begun so far: start again here, a
                // few times and while there is time left.
                i = 0;
                givenUp = ++restarts > kMaxCaptureRestarts || Clock::now() >= deadline;
            }
        }
        const bool skip = i == 0 && realigning && (buf.sequence - captureSequence) % perCapture != 0;
        if (givenUp || skip) {
            if (xioctl(videoFd.get(), VIDIOC_QBUF, &buf) < 0) return deviceGone() ? kDeviceGone : -2;
            if (givenUp) return -1;
            continue;
        }
        if (i == 0) {
            realigning = false;
            captureSequence = buf.sequence;
        }

        // Each sub-frame at its own place, at most one frame of it, from the
        // bytes the driver filled; a buffer flagged in error, or one that
        // fills less than a frame, spoils the capture.
        const csi::Mapping& src = buffers[buf.index];
        size_t used = std::min<size_t>(mp ? plane.bytesused : buf.bytesused, src.length());
        size_t offset = mp ? plane.data_offset : 0;
        bool whole = !(buf.flags & V4L2_BUF_FLAG_ERROR) && offset < used &&
                     csi::copyFrame(layout, src.data() + offset, used - offset, data + size_t(i) * frameBytes,
                                    frameBytes) == frameBytes;

        prevSec = sec;
        prevUsec = usec;
        prevStamped = stamped;
        if (xioctl(videoFd.get(), VIDIOC_QBUF, &buf) < 0) return deviceGone() ? kDeviceGone : -2;
        if (!whole) return -1;
        ++i;
    }
    // Wrapping arithmetic: a driver's timestamp far out of range must not overflow.
    *timestamp = int64_t(uint64_t(prevSec) * 1000u + uint64_t(prevUsec / 1000));
    return 0;
}

int NorvaneTOFCSISensor::writeFrameRate(int value) {
    uint32_t v = uint32_t(value);
    uint8_t bytes[6] = {kFrameRateRegister[0], kFrameRateRegister[1], uint8_t(v >> 24),
                        uint8_t(v >> 16),      uint8_t(v >> 8),       uint8_t(v)};
    i2c_msg msg;
    msg.addr = chipAddress;
    msg.flags = 0;
    msg.len = sizeof bytes;
    msg.buf = bytes;
    i2c_rdwr_ioctl_data transfer;
    transfer.msgs = &msg;
    transfer.nmsgs = 1;
    int r = ioctlOnce(i2cFd.get(), I2C_RDWR, &transfer);
    return r < 0 || uint32_t(r) < transfer.nmsgs ? -2 : 0;
}

int NorvaneTOFCSISensor::setControl(int ctrl, int value) {
    v4l2_control c;
    switch (CameraCtrl(ctrl)) {
        case CameraCtrl::RANGE:
            // Metres (2, 4) as the driver counts them, or the millimetres
            // (2000, 4000) the depth device works in.
            if (value == 2000 || value == 4000) value /= 1000;
            if (value != 2 && value != 4) return 1;
            c.id = kRangeControl;
            c.value = (value / 2) % 2;
            break;
        case CameraCtrl::EXPOSURE:
            c.id = V4L2_CID_EXPOSURE;
            c.value = value;
            break;
        case CameraCtrl::FMT_WIDTH:
            width.store(uint32_t(value));
            return 0;
        case CameraCtrl::FMT_HEIGHT:
            height.store(uint32_t(value));
            return 0;
        case CameraCtrl::FRAME_RATE:
            frameRate.store(value);
            return writeFrameRate(value);
        default:
            return 1;
    }
    if (xioctl(controlFd(), VIDIOC_S_CTRL, &c) < 0) {
        std::perror("VIDIOC_S_CTRL");
        return -1;
    }
    return 0;
}

int NorvaneTOFCSISensor::getControl(int ctrl, int* value) {
    v4l2_control c;
    std::memset(&c, 0, sizeof c);
    switch (CameraCtrl(ctrl)) {
        case CameraCtrl::RANGE:
            c.id = kRangeControl;
            break;
        case CameraCtrl::EXPOSURE:
            c.id = V4L2_CID_EXPOSURE;
            break;
        case CameraCtrl::FMT_WIDTH:
            *value = int(width.load());
            return 0;
        case CameraCtrl::FMT_HEIGHT:
            *value = int(height.load());
            return 0;
        case CameraCtrl::FRAME_RATE:
            *value = frameRate.load();
            return 0;
        default:
            return 1;
    }
    if (xioctl(controlFd(), VIDIOC_G_CTRL, &c) < 0) {
        std::perror("VIDIOC_G_CTRL");
        return -1;
    }
    *value = ctrl == int(CameraCtrl::RANGE) ? (c.value ? 2 : 4) : c.value;
    return 0;
}

}  // namespace Norvane
