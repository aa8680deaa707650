// CSI streaming on every board's copy routine with driver buffers whose
// metadata the input chooses: buffer sizes, frame contents and sizes,
// timestamps anywhere in the 64-bit range, reported indexes and lengths
// that do not match the buffer, and transient or hard ioctl and poll
// failures, bytes used, data offsets and error flags that the driver may
// misreport. getFrame never writes outside the capture buffer (sized exactly,
// so AddressSanitizer sees any overrun), never reads outside a mapping,
// answers with one of its documented results, and stop and close release
// every mapping and descriptor.
#include <cerrno>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "sensor/csi/NorvaneTOFCSISensor.h"
#include "sensor/csi/V4l2Compat.h"
#include "tests/fakes/SimBoards.h"

using namespace Norvane;
using sim::SimKernel;

namespace {

constexpr uint32_t kStride512Length = 92160;
constexpr int kMaxFrames = 24;
constexpr int kMaxCaptures = 6;

// A video node that can misreport what it dequeued, and whose poll never
// blocks (no frame pending: the wait ends at once, as after a time-out).
class HostileVideoNode : public sim::SimVideoNode {
public:
    struct Tamper {
        int64_t index = -1;      // >= 0: report this index
        int64_t length = -1;     // >= 0: report this buffer (or plane) length
        int64_t bytesused = -1;  // >= 0: report these bytes used
        int64_t offset = -1;     // >= 0: report this data offset (multi-planar)
        uint32_t flags = 0;      // added to the reported flags
    };
    std::deque<Tamper> tampers;

    HostileVideoNode(Config c) : SimVideoNode(c), multiPlanar(c.multiPlanar) {}

    int fileIoctl(int openFlags, unsigned long request, void* arg) override {
        int r = SimVideoNode::fileIoctl(openFlags, request, arg);
        if (request != VIDIOC_DQBUF || r != 0 || tampers.empty()) return r;
        Tamper t = tampers.front();
        tampers.pop_front();
        auto* b = static_cast<v4l2_buffer*>(arg);
        if (t.index >= 0) b->index = uint32_t(t.index);
        if (t.length >= 0) {
            if (multiPlanar) {
                b->m.planes[0].length = uint32_t(t.length);
            } else {
                b->length = uint32_t(t.length);
            }
        }
        if (t.bytesused >= 0) {
            if (multiPlanar) {
                b->m.planes[0].bytesused = uint32_t(t.bytesused);
            } else {
                b->bytesused = uint32_t(t.bytesused);
            }
        }
        if (t.offset >= 0 && multiPlanar) b->m.planes[0].data_offset = uint32_t(t.offset);
        b->flags |= t.flags;
        return 0;
    }
    short waitEvents(short requested, int) override { return pollEvents(requested); }

private:
    bool multiPlanar;
};

using Builder = sim::SimBoard (*)(SimKernel&, const sim::BoardOptions&);
struct BoardKind {
    Builder build;
    bool multiPlanar;
    std::vector<uint32_t> formats;
};

const BoardKind& pickBoard(FuzzedDataProvider& in) {
    static const BoardKind kBoards[] = {
        {sim::buildRaspberryPi4, false, {V4L2_PIX_FMT_Y12}},
        {sim::buildRaspberryPi5, false, {V4L2_PIX_FMT_Y12P, V4L2_PIX_FMT_Y12}},
        {sim::buildRadxaRock, true, {V4L2_PIX_FMT_Y12}},
        {sim::buildJetson, false, {V4L2_PIX_FMT_Y12}},
        {sim::buildJetsonNano, false, {V4L2_PIX_FMT_Y12}},
    };
    return kBoards[in.ConsumeIntegralInRange<size_t>(0, sizeof kBoards / sizeof kBoards[0] - 1)];
}

int64_t timestampPart(FuzzedDataProvider& in, int64_t plausible) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            return in.ConsumeIntegral<int64_t>();
        case 1:
            return in.ConsumeIntegralInRange<int64_t>(-2000000, 2000000);
        default:
            return plausible;
    }
}

void maybeFail(FuzzedDataProvider& in, sim::SimNode& node, unsigned long request) {
    if (in.ConsumeIntegralInRange<int>(0, 5) != 0) return;
    static constexpr int kErrnos[] = {EAGAIN, EINTR, ETIMEDOUT, EIO};
    node.failIoctl(request, kErrnos[in.ConsumeIntegralInRange<int>(0, 3)], in.ConsumeIntegralInRange<int>(1, 7));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    SimKernel k;
    k.realSleep = false;  // the pauses after queue errors
    ScopedKernel scope(k);

    const BoardKind& kind = pickBoard(in);
    sim::BoardOptions o;
    if (in.ConsumeBool()) {
        o.width = in.ConsumeIntegralInRange<uint32_t>(1, 320);
        o.height = in.ConsumeIntegralInRange<uint32_t>(1, 32);
    }
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            o.bufferLength = kStride512Length;
            break;
        case 1:
            o.bufferLength = in.ConsumeIntegralInRange<uint32_t>(1, 100000);
            break;
        default:
            break;  // the format's image size
    }
    sim::SimBoard board = kind.build(k, o);

    sim::SimVideoNode::Config cfg;
    cfg.multiPlanar = kind.multiPlanar;
    cfg.capabilities = (kind.multiPlanar ? V4L2_CAP_VIDEO_CAPTURE_MPLANE : V4L2_CAP_VIDEO_CAPTURE) | V4L2_CAP_STREAMING;
    cfg.pixelFormats = kind.formats;
    cfg.width = o.width;
    cfg.height = o.height;
    cfg.bufferLength = o.bufferLength;
    cfg.fixedSize = in.ConsumeBool();
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0) cfg.grantedBuffers = in.ConsumeIntegralInRange<int>(0, 12);
    auto video = std::make_shared<HostileVideoNode>(cfg);
    video->devMajor = board.video->devMajor;
    video->devMinor = board.video->devMinor;
    k.addNode(board.devicePath, video);

    {
        NorvaneTOFCSISensor sensor(board.devicePath.c_str(), board.platform);
        CameraInfo info{};
        if (sensor.open(info) != 0) return 0;
        if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {
            sensor.setControl(int(CameraCtrl::FMT_WIDTH), in.ConsumeIntegralInRange<int>(0, 400));
            sensor.setControl(int(CameraCtrl::FMT_HEIGHT), in.ConsumeIntegralInRange<int>(0, 64));
        }
        sensor.framesPerCapture = in.ConsumeIntegralInRange<int>(-1, 4);
        maybeFail(in, *video, VIDIOC_QUERYBUF);
        maybeFail(in, *video, VIDIOC_STREAMON);
        if (sensor.start() == 0) {
            maybeFail(in, *video, VIDIOC_DQBUF);
            maybeFail(in, *video, VIDIOC_QBUF);
            if (in.ConsumeIntegralInRange<int>(0, 7) == 0)
                video->failPoll(in.ConsumeBool() ? EINTR : EIO, in.ConsumeIntegralInRange<int>(1, 6));

            const uint32_t length = video->bufferLength();
            int frames = in.ConsumeIntegralInRange<int>(0, kMaxFrames);
            int64_t usec = 1000000;
            for (int i = 0; i < frames && in.remaining_bytes(); ++i) {
                sim::SimVideoNode::Frame f;
                size_t bytes = in.ConsumeBool() ? length : in.ConsumeIntegralInRange<size_t>(0, length + 64);
                f.content.assign(bytes, in.ConsumeIntegral<uint8_t>());
                usec += in.ConsumeIntegralInRange<int64_t>(0, 8000);
                f.sec = timestampPart(in, usec / 1000000);
                f.usec = timestampPart(in, usec % 1000000);
                if (in.ConsumeIntegralInRange<int>(0, 7) == 0) f.reportIndex = in.ConsumeIntegralInRange<int>(0, 12);
                video->pushFrame(std::move(f));
                HostileVideoNode::Tamper t;
                if (in.ConsumeIntegralInRange<int>(0, 7) == 0) t.index = in.ConsumeIntegral<uint32_t>() % 16;
                if (in.ConsumeIntegralInRange<int>(0, 5) == 0) t.length = in.ConsumeIntegral<uint32_t>();
                if (in.ConsumeIntegralInRange<int>(0, 5) == 0) t.bytesused = in.ConsumeIntegral<uint32_t>();
                if (in.ConsumeIntegralInRange<int>(0, 5) == 0) t.offset = in.ConsumeIntegral<uint32_t>();
                if (in.ConsumeIntegralInRange<int>(0, 7) == 0) t.flags = V4L2_BUF_FLAG_ERROR;
                video->tampers.push_back(t);
            }

            const CameraInfo streaming = sensor.getCameraInfo();
            const int perCapture = sensor.framesPerCapture > 0 ? sensor.framesPerCapture : 0;
            const size_t capacity = size_t(perCapture) * streaming.width * streaming.height * 2;
            int captures = in.ConsumeIntegralInRange<int>(1, kMaxCaptures);
            for (int c = 0; c < captures; ++c) {
                // Exactly the capture's size: any overrun is a heap overflow.
                std::unique_ptr<uint8_t[]> buffer(new uint8_t[capacity ? capacity : 1]);
                int64_t ts = 0;
                int r = sensor.getFrame(buffer.get(), &ts);
                FUZZ_CHECK(r == 0 || r == -1 || r == -2 || r == 2);
            }
            sensor.stop();
        }
        sensor.close();
        FUZZ_CHECK(k.openMappings() == 0);
        FUZZ_CHECK(k.openDescriptors() == 0);
    }
    return 0;
}
