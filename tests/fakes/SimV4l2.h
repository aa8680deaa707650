// Simulated V4L2 nodes: a capture video node (single- or multi-planar) with
// memory-mapped streaming, and a sub-device with pad formats, selection and
// controls. Both check request codes and structure fields as the kernel does.
#pragma once

#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "tests/fakes/SimKernel.h"

namespace Norvane {
namespace sim {

// Integer controls of a node (VIDIOC_G_CTRL / VIDIOC_S_CTRL).
class SimControls {
public:
    void add(uint32_t id, int32_t value, int32_t min = INT32_MIN, int32_t max = INT32_MAX);
    int32_t value(uint32_t id) const;
    // Every successful write, in order.
    std::vector<std::pair<uint32_t, int32_t>> writes() const;
    // Answers the two control ioctls; other requests give -ENOTTY.
    int handle(unsigned long request, void* arg);

private:
    struct Control {
        int32_t value, min, max;
    };
    mutable std::mutex m;
    std::map<uint32_t, Control> controls;
    std::vector<std::pair<uint32_t, int32_t>> log;
};

class SimVideoNode : public SimNode {
public:
    struct Config {
        uint32_t capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;  // this node's own
        uint32_t otherNodesCaps = 0;  // what the device's other nodes add to its capabilities
        bool multiPlanar = false;  // the buffer type the queue accepts
        uint32_t width = 240, height = 180;
        bool fixedSize = true;               // TRY/S_FMT keep the sensor's size
        // With fixedSize, more sizes offered besides width x height.
        std::vector<std::pair<uint32_t, uint32_t>> sizes;
        std::vector<uint32_t> pixelFormats;  // empty: Y12 and Y12P
        uint32_t inputs = 1;
        uint32_t maxBuffers = 32;
        int grantedBuffers = -1;    // >= 0: REQBUFS grants exactly this many
        // Nonzero: the buffer size; else sizeimage rounded up to whole pages,
        // as drivers allocate.
        uint32_t bufferLength = 0;
        // Nonzero: the line length the format reports (lines padded to it).
        uint32_t bytesPerLine = 0;
    };

    // A frame the sensor will deliver into the next queued buffer.
    struct Frame {
        std::vector<uint8_t> content;
        int64_t sec = 0;
        int64_t usec = 0;
        int reportIndex = -1;  // >= 0: DQBUF reports this index instead
        uint32_t flags = 0;    // added to the buffer's flags (V4L2_BUF_FLAG_ERROR)
        int64_t bytesused = -1;  // >= 0: reported instead of what was written
        // Multi-planar: the content starts this far into the plane (bytesused
        // counts these bytes, as V4L2 has it).
        uint32_t dataOffset = 0;
        uint32_t dropBefore = 0;  // frames the driver dropped before this one (its sequence skips them)
        bool stamped = true;      // false: V4L2_BUF_FLAG_TIMESTAMP_UNKNOWN
    };

    SimVideoNode();
    explicit SimVideoNode(Config config);

    void onClose() override;
    int fileIoctl(int openFlags, unsigned long request, void* arg) override;
    int ioctl(unsigned long request, void* arg) override { return fileIoctl(0, request, arg); }
    void* mmap(size_t length, int prot, int flags, off_t offset) override;
    int munmap(void* addr, size_t length) override;
    short pollEvents(short requested) override;
    short waitEvents(short requested, int timeoutMs) override;

    SimControls controls;
    // Checked by VIDIOC_STREAMON with the node's format, as Linux checks the
    // media pipeline: 0, -ENOLINK for a link not enabled, -EPIPE for pads
    // whose formats do not match. Set while building, before any use.
    std::function<int(const v4l2_format&)> pipeline;

    // --- test side -----------------------------------------------------------
    // VIDIOC_TRY_FMT and VIDIOC_S_FMT as they were asked, in order.
    struct FormatRequest {
        unsigned long request;
        v4l2_format format;
    };
    std::vector<FormatRequest> formatRequests() const;
    void pushFrame(Frame frame);
    // Frames pushed and not yet delivered.
    size_t pendingFrames() const;
    bool streaming() const;
    uint32_t bufferCount() const;
    uint32_t bufferLength() const;
    int queuedBuffers() const;
    int mappedBuffers() const;
    v4l2_format format() const;  // the current (S_FMT) format
    int input() const;
    // Makes TRY/S_FMT/G_FMT report this size from now on.
    void forceSize(uint32_t width, uint32_t height);
    // The driver is unbound: every ioctl fails with ENODEV, poll answers
    // POLLERR | POLLHUP.
    void unplug();

private:
    struct Buffer {
        std::shared_ptr<std::vector<uint8_t>> memory;
        uint32_t offset = 0;
        bool queued = false;
        int maps = 0;
        uint32_t bytesused = 0;
        uint32_t dataOffset = 0;
        uint32_t flags = 0;  // from the frame: V4L2_BUF_FLAG_ERROR
        bool stamped = true;
        timeval timestamp{};
        uint32_t sequence = 0;
    };

    uint32_t bufType() const;
    bool ready() const;
    int checkBuffer(const v4l2_buffer* b, bool checkMemory) const;
    void fillBuffer(v4l2_buffer* b, uint32_t index) const;
    int adjustFormat(v4l2_format* f) const;
    int reqbufs(v4l2_requestbuffers* r);
    int dqbuf(int openFlags, v4l2_buffer* b);
    void stopStreaming();

    Config cfg;
    mutable std::mutex m;
    std::condition_variable changed;
    v4l2_format current{};
    std::vector<Buffer> buffers;
    std::deque<uint32_t> queue;  // queued buffer indexes, oldest first
    std::deque<Frame> pending;
    std::vector<FormatRequest> formatLog;
    std::map<void*, std::pair<uint32_t, std::shared_ptr<std::vector<uint8_t>>>> maps;
    bool isStreaming = false;
    bool unplugged = false;
    int inputIndex = 0;
    uint32_t sequence = 0;
};

// A sub-device: ACTIVE pad formats shared by every user, TRY formats kept
// per open file and starting at the driver's default, as Linux keeps them.
// Requests are corrected the way drivers correct them (nearest offered
// size, the one media-bus code, progressive field) and recorded as made.
class SimSubdev : public SimNode {
public:
    struct Config {
        uint32_t width = 240, height = 180;  // the default format's size
        uint32_t code = 0x2013;              // MEDIA_BUS_FMT_Y12_1X12
        bool fixedSize = true;               // false: any size from 16 to 4096
        // With fixedSize, more sizes the sensor offers besides the default.
        std::vector<std::pair<uint32_t, uint32_t>> sizes;
        uint32_t pads = 1;
        bool propagate = false;  // a format set on pad 0 goes on to every other pad
        bool selection = true;   // answers VIDIOC_SUBDEV_G_SELECTION
        bool readOnly = false;   // a read-only node: ACTIVE formats refused with EPERM
    };

    SimSubdev();
    explicit SimSubdev(Config config);
    int handleIoctl(int fd, int openFlags, unsigned long request, void* arg) override;
    int ioctl(unsigned long request, void* arg) override { return handleIoctl(-1, 0, request, arg); }
    void onFileClose(int fd) override;

    SimControls controls;

    // The ACTIVE format of `pad`, or for V4L2_SUBDEV_FORMAT_TRY the one a
    // newly opened file starts with.
    v4l2_mbus_framefmt format(uint32_t which, uint32_t pad) const;
    // Makes this the only size offered, and the size of every pad.
    void forceSize(uint32_t width, uint32_t height);
    // VIDIOC_SUBDEV_S_FMT and VIDIOC_SUBDEV_G_SELECTION as they were asked.
    std::vector<v4l2_subdev_format> formatRequests() const;
    std::vector<v4l2_subdev_selection> selectionRequests() const;

private:
    v4l2_mbus_framefmt corrected(v4l2_mbus_framefmt want) const;
    std::vector<v4l2_mbus_framefmt>& padsOf(int fd, uint32_t which);

    Config cfg;
    mutable std::mutex m;
    v4l2_mbus_framefmt defaults{};
    std::vector<v4l2_mbus_framefmt> active;
    std::map<int, std::vector<v4l2_mbus_framefmt>> tryFormats;  // by descriptor
    std::vector<v4l2_subdev_format> formatLog;
    std::vector<v4l2_subdev_selection> selectionLog;
};

}  // namespace sim
}  // namespace Norvane
