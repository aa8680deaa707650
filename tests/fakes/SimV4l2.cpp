#include "tests/fakes/SimV4l2.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "sensor/csi/V4l2Compat.h"

namespace Norvane {
namespace sim {

namespace {

constexpr uint32_t kPageSize = 4096;
constexpr uint32_t kMinSize = 16, kMaxSize = 4096;

uint32_t pageAlign(uint32_t n) { return (n + kPageSize - 1) / kPageSize * kPageSize; }

// Line length in bytes of a frame `width` pixels wide.
uint32_t lineBytes(uint32_t pixelformat, uint32_t width) {
    if (pixelformat == V4L2_PIX_FMT_Y12P) return (width * 3 / 2 + 15) / 16 * 16;
    return width * 2;
}

}  // namespace

// --- SimControls ---------------------------------------------------------------

void SimControls::add(uint32_t id, int32_t value, int32_t min, int32_t max) {
    std::lock_guard<std::mutex> lock(m);
    controls[id] = Control{value, min, max};
}

int32_t SimControls::value(uint32_t id) const {
    std::lock_guard<std::mutex> lock(m);
    auto it = controls.find(id);
    return it == controls.end() ? 0 : it->second.value;
}

std::vector<std::pair<uint32_t, int32_t>> SimControls::writes() const {
    std::lock_guard<std::mutex> lock(m);
    return log;
}

int SimControls::handle(unsigned long request, void* arg) {
    if (request != VIDIOC_G_CTRL && request != VIDIOC_S_CTRL) return -ENOTTY;
    if (!arg) return -EFAULT;
    auto* c = static_cast<v4l2_control*>(arg);
    std::lock_guard<std::mutex> lock(m);
    auto it = controls.find(c->id);
    if (it == controls.end()) return -EINVAL;
    if (request == VIDIOC_G_CTRL) {
        c->value = it->second.value;
        return 0;
    }
    if (c->value < it->second.min || c->value > it->second.max) return -ERANGE;
    it->second.value = c->value;
    log.emplace_back(c->id, c->value);
    return 0;
}

// --- SimVideoNode --------------------------------------------------------------

SimVideoNode::SimVideoNode() : SimVideoNode(Config()) {}

SimVideoNode::SimVideoNode(Config config) : cfg(std::move(config)) {
    charDevice = true;
    if (cfg.pixelFormats.empty()) cfg.pixelFormats = {V4L2_PIX_FMT_Y12, V4L2_PIX_FMT_Y12P};
    current.type = bufType();
    if (cfg.multiPlanar) {
        current.fmt.pix_mp.width = cfg.width;
        current.fmt.pix_mp.height = cfg.height;
        current.fmt.pix_mp.pixelformat = cfg.pixelFormats[0];
    } else {
        current.fmt.pix.width = cfg.width;
        current.fmt.pix.height = cfg.height;
        current.fmt.pix.pixelformat = cfg.pixelFormats[0];
    }
    adjustFormat(&current);
}

uint32_t SimVideoNode::bufType() const {
    return cfg.multiPlanar ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE;
}

// Fixes a requested format up the way a driver does; -EINVAL for a type
// this queue does not handle.
int SimVideoNode::adjustFormat(v4l2_format* f) const {
    if (f->type != bufType()) return -EINVAL;
    bool mp = cfg.multiPlanar;
    // pix_mp is a packed structure: work on copies.
    uint32_t w = mp ? f->fmt.pix_mp.width : f->fmt.pix.width;
    uint32_t h = mp ? f->fmt.pix_mp.height : f->fmt.pix.height;
    uint32_t pf = mp ? f->fmt.pix_mp.pixelformat : f->fmt.pix.pixelformat;
    if (std::find(cfg.pixelFormats.begin(), cfg.pixelFormats.end(), pf) == cfg.pixelFormats.end())
        pf = cfg.pixelFormats[0];
    if (cfg.fixedSize) {
        // The offered size nearest to the one asked for.
        uint32_t wantW = w, wantH = h;
        std::vector<std::pair<uint32_t, uint32_t>> offered = cfg.sizes;
        offered.emplace_back(cfg.width, cfg.height);
        uint64_t best = UINT64_MAX;
        for (auto& s : offered) {
            uint64_t d = uint64_t(std::llabs(int64_t(s.first) - int64_t(wantW))) +
                         uint64_t(std::llabs(int64_t(s.second) - int64_t(wantH)));
            if (d < best) {
                best = d;
                w = s.first;
                h = s.second;
            }
        }
    } else {
        w = std::min(std::max(w, kMinSize), kMaxSize);
        h = std::min(std::max(h, kMinSize), kMaxSize);
    }
    uint32_t line = cfg.bytesPerLine ? cfg.bytesPerLine : lineBytes(pf, w);
    if (mp) {
        f->fmt.pix_mp.width = w;
        f->fmt.pix_mp.height = h;
        f->fmt.pix_mp.pixelformat = pf;
        f->fmt.pix_mp.field = V4L2_FIELD_NONE;
        f->fmt.pix_mp.num_planes = 1;
        f->fmt.pix_mp.plane_fmt[0].bytesperline = line;
        f->fmt.pix_mp.plane_fmt[0].sizeimage = line * h;
    } else {
        f->fmt.pix.width = w;
        f->fmt.pix.height = h;
        f->fmt.pix.pixelformat = pf;
        f->fmt.pix.field = V4L2_FIELD_NONE;
        f->fmt.pix.bytesperline = line;
        f->fmt.pix.sizeimage = line * h;
    }
    return 0;
}

int SimVideoNode::checkBuffer(const v4l2_buffer* b, bool checkMemory) const {
    if (b->type != bufType()) return -EINVAL;
    if (checkMemory && b->memory != V4L2_MEMORY_MMAP) return -EINVAL;
    if (cfg.multiPlanar && (!b->m.planes || b->length < 1)) return -EINVAL;
    return 0;
}

void SimVideoNode::fillBuffer(v4l2_buffer* b, uint32_t index) const {
    const Buffer& buf = buffers[index];
    uint32_t length = uint32_t(buf.memory->size());
    b->index = index;
    b->memory = V4L2_MEMORY_MMAP;
    b->flags = (buf.stamped ? V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC : V4L2_BUF_FLAG_TIMESTAMP_UNKNOWN) | (buf.maps ? V4L2_BUF_FLAG_MAPPED : 0u) |
               (buf.queued ? V4L2_BUF_FLAG_QUEUED : V4L2_BUF_FLAG_DONE | buf.flags);
    b->field = V4L2_FIELD_NONE;
    b->timestamp = buf.timestamp;
    b->sequence = buf.sequence;
    if (cfg.multiPlanar) {
        b->length = 1;
        v4l2_plane& p = b->m.planes[0];
        p.length = length;
        p.bytesused = buf.bytesused;
        p.m.mem_offset = buf.offset;
        p.data_offset = buf.dataOffset;
    } else {
        b->length = length;
        b->bytesused = buf.bytesused;
        b->m.offset = buf.offset;
    }
}

int SimVideoNode::reqbufs(v4l2_requestbuffers* r) {
    if (r->type != bufType() || r->memory != V4L2_MEMORY_MMAP) return -EINVAL;
    if (isStreaming) return -EBUSY;
    for (auto& b : buffers)
        if (b.maps) return -EBUSY;
    buffers.clear();
    queue.clear();
    if (r->count == 0) return 0;
    uint32_t granted = cfg.grantedBuffers >= 0 ? uint32_t(cfg.grantedBuffers) : std::min(r->count, cfg.maxBuffers);
    uint32_t length = cfg.bufferLength  ? cfg.bufferLength
                      : cfg.multiPlanar ? pageAlign(current.fmt.pix_mp.plane_fmt[0].sizeimage)
                                        : pageAlign(current.fmt.pix.sizeimage);
    for (uint32_t i = 0; i < granted; ++i) {
        Buffer b;
        // Exactly `length` bytes, so that a read past the end shows up under
        // AddressSanitizer.
        b.memory = std::make_shared<std::vector<uint8_t>>(length);
        b.offset = i * pageAlign(length);
        buffers.push_back(std::move(b));
    }
    r->count = granted;
    return 0;
}

bool SimVideoNode::ready() const { return isStreaming && !queue.empty() && !pending.empty(); }

int SimVideoNode::dqbuf(int openFlags, v4l2_buffer* b) {
    std::unique_lock<std::mutex> lock(m);
    for (;;) {
        if (unplugged) return -ENODEV;
        if (int err = checkBuffer(b, true)) return err;
        if (!isStreaming) return -EINVAL;
        if (ready()) break;
        if (openFlags & O_NONBLOCK) return -EAGAIN;
        changed.wait(lock);
    }
    uint32_t index = queue.front();
    queue.pop_front();
    Frame frame = std::move(pending.front());
    pending.pop_front();
    Buffer& buf = buffers[index];
    const size_t size = buf.memory->size();
    size_t offset = cfg.multiPlanar ? std::min<size_t>(frame.dataOffset, size) : 0;
    size_t n = std::min(frame.content.size(), size - offset);
    if (n) std::memcpy(buf.memory->data() + offset, frame.content.data(), n);  // an empty frame has no data pointer
    buf.queued = false;
    buf.bytesused = frame.bytesused >= 0 ? uint32_t(frame.bytesused) : uint32_t(offset + n);
    buf.dataOffset = uint32_t(offset);
    buf.flags = frame.flags;
    buf.timestamp.tv_sec = decltype(buf.timestamp.tv_sec)(frame.sec);
    buf.timestamp.tv_usec = decltype(buf.timestamp.tv_usec)(frame.usec);
    buf.stamped = frame.stamped;
    sequence += frame.dropBefore;
    buf.sequence = sequence++;
    fillBuffer(b, index);
    if (frame.reportIndex >= 0) b->index = uint32_t(frame.reportIndex);
    return 0;
}

void SimVideoNode::stopStreaming() {
    isStreaming = false;
    queue.clear();
    for (auto& b : buffers) b.queued = false;
    changed.notify_all();
}

int SimVideoNode::fileIoctl(int openFlags, unsigned long request, void* arg) {
    if (!arg) return -EFAULT;
    if (request == VIDIOC_DQBUF) return dqbuf(openFlags, static_cast<v4l2_buffer*>(arg));
    {
        std::lock_guard<std::mutex> lock(m);
        if (unplugged) return -ENODEV;
    }
    if (request == VIDIOC_G_CTRL || request == VIDIOC_S_CTRL) return controls.handle(request, arg);
    std::lock_guard<std::mutex> lock(m);
    switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* cap = static_cast<v4l2_capability*>(arg);
            std::memset(cap, 0, sizeof *cap);
            std::strncpy(reinterpret_cast<char*>(cap->driver), "sim-v4l2", sizeof cap->driver - 1);
            std::strncpy(reinterpret_cast<char*>(cap->card), "simulated capture", sizeof cap->card - 1);
            std::strncpy(reinterpret_cast<char*>(cap->bus_info), "platform:sim", sizeof cap->bus_info - 1);
            cap->version = 0x050f00;
            cap->capabilities = cfg.capabilities | cfg.otherNodesCaps | V4L2_CAP_DEVICE_CAPS;
            cap->device_caps = cfg.capabilities;
            return 0;
        }
        case VIDIOC_S_INPUT: {
            int index = *static_cast<int*>(arg);
            if (index < 0 || uint32_t(index) >= cfg.inputs) return -EINVAL;
            if (isStreaming) return -EBUSY;
            inputIndex = index;
            return 0;
        }
        case VIDIOC_G_INPUT:
            *static_cast<int*>(arg) = inputIndex;
            return 0;
        case VIDIOC_TRY_FMT:
            formatLog.push_back({request, *static_cast<v4l2_format*>(arg)});
            return adjustFormat(static_cast<v4l2_format*>(arg));
        case VIDIOC_S_FMT: {
            auto* f = static_cast<v4l2_format*>(arg);
            formatLog.push_back({request, *f});
            if (int err = adjustFormat(f)) return err;
            if (!buffers.empty()) return -EBUSY;  // the queue owns buffers of the old format
            current = *f;
            return 0;
        }
        case VIDIOC_G_FMT: {
            auto* f = static_cast<v4l2_format*>(arg);
            if (f->type != bufType()) return -EINVAL;
            *f = current;
            return 0;
        }
        case VIDIOC_REQBUFS:
            return reqbufs(static_cast<v4l2_requestbuffers*>(arg));
        case VIDIOC_QUERYBUF: {
            auto* b = static_cast<v4l2_buffer*>(arg);
            if (int err = checkBuffer(b, false)) return err;
            if (b->index >= buffers.size()) return -EINVAL;
            fillBuffer(b, b->index);
            return 0;
        }
        case VIDIOC_QBUF: {
            auto* b = static_cast<v4l2_buffer*>(arg);
            if (int err = checkBuffer(b, true)) return err;
            if (b->index >= buffers.size() || buffers[b->index].queued) return -EINVAL;
            buffers[b->index].queued = true;
            queue.push_back(b->index);
            fillBuffer(b, b->index);
            changed.notify_all();
            return 0;
        }
        case VIDIOC_STREAMON: {
            if (*static_cast<int*>(arg) != int(bufType())) return -EINVAL;
            if (buffers.empty()) return -EINVAL;
            if (isStreaming) return 0;
            if (pipeline)
                if (int err = pipeline(current)) return err;
            isStreaming = true;
            changed.notify_all();
            return 0;
        }
        case VIDIOC_STREAMOFF: {
            if (*static_cast<int*>(arg) != int(bufType())) return -EINVAL;
            stopStreaming();
            return 0;
        }
        default:
            return -ENOTTY;
    }
}

void SimVideoNode::onClose() {
    if (openCount() > 0) return;
    // The last close releases the queue; mapped memory lives on with its
    // mappings.
    std::lock_guard<std::mutex> lock(m);
    stopStreaming();
    buffers.clear();
}

void* SimVideoNode::mmap(size_t length, int prot, int flags, off_t offset) {
    std::lock_guard<std::mutex> lock(m);
    if (!(flags & MAP_SHARED) || !(prot & PROT_READ)) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    for (uint32_t i = 0; i < buffers.size(); ++i) {
        Buffer& b = buffers[i];
        if (off_t(b.offset) != offset) continue;
        if (length == 0 || length > pageAlign(uint32_t(b.memory->size()))) break;
        ++b.maps;
        void* p = b.memory->data();
        maps[p] = {i, b.memory};
        return p;
    }
    errno = EINVAL;
    return MAP_FAILED;
}

int SimVideoNode::munmap(void* addr, size_t) {
    std::lock_guard<std::mutex> lock(m);
    auto it = maps.find(addr);
    if (it == maps.end()) return -EINVAL;
    uint32_t index = it->second.first;
    if (index < buffers.size() && buffers[index].memory == it->second.second) --buffers[index].maps;
    maps.erase(it);
    return 0;
}

void SimVideoNode::unplug() {
    std::lock_guard<std::mutex> lock(m);
    unplugged = true;
    changed.notify_all();
}

short SimVideoNode::pollEvents(short requested) {
    std::lock_guard<std::mutex> lock(m);
    if (unplugged) return POLLERR | POLLHUP;
    if (!isStreaming) return POLLERR;
    return ready() ? short(requested & (POLLIN | POLLRDNORM)) : short(0);
}

short SimVideoNode::waitEvents(short requested, int timeoutMs) {
    std::unique_lock<std::mutex> lock(m);
    auto done = [&] { return unplugged || !isStreaming || ready(); };
    if (timeoutMs < 0) {
        changed.wait(lock, done);
    } else {
        changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
    }
    if (unplugged) return POLLERR | POLLHUP;
    if (!isStreaming) return POLLERR;
    return ready() ? short(requested & (POLLIN | POLLRDNORM)) : short(0);
}

void SimVideoNode::pushFrame(Frame frame) {
    std::lock_guard<std::mutex> lock(m);
    pending.push_back(std::move(frame));
    changed.notify_all();
}

size_t SimVideoNode::pendingFrames() const {
    std::lock_guard<std::mutex> lock(m);
    return pending.size();
}

bool SimVideoNode::streaming() const {
    std::lock_guard<std::mutex> lock(m);
    return isStreaming;
}

uint32_t SimVideoNode::bufferCount() const {
    std::lock_guard<std::mutex> lock(m);
    return uint32_t(buffers.size());
}

uint32_t SimVideoNode::bufferLength() const {
    std::lock_guard<std::mutex> lock(m);
    return buffers.empty() ? 0 : uint32_t(buffers[0].memory->size());
}

int SimVideoNode::queuedBuffers() const {
    std::lock_guard<std::mutex> lock(m);
    return int(queue.size());
}

int SimVideoNode::mappedBuffers() const {
    std::lock_guard<std::mutex> lock(m);
    return int(maps.size());
}

std::vector<SimVideoNode::FormatRequest> SimVideoNode::formatRequests() const {
    std::lock_guard<std::mutex> lock(m);
    return formatLog;
}

v4l2_format SimVideoNode::format() const {
    std::lock_guard<std::mutex> lock(m);
    return current;
}

int SimVideoNode::input() const {
    std::lock_guard<std::mutex> lock(m);
    return inputIndex;
}

void SimVideoNode::forceSize(uint32_t width, uint32_t height) {
    std::lock_guard<std::mutex> lock(m);
    cfg.fixedSize = true;
    cfg.width = width;
    cfg.height = height;
    cfg.sizes.clear();
    adjustFormat(&current);
}

// --- SimSubdev -----------------------------------------------------------------

SimSubdev::SimSubdev() : SimSubdev(Config()) {}

SimSubdev::SimSubdev(Config config) : cfg(std::move(config)) {
    charDevice = true;
    defaults.width = cfg.width;
    defaults.height = cfg.height;
    defaults.code = cfg.code;
    defaults.field = V4L2_FIELD_NONE;
    defaults.colorspace = V4L2_COLORSPACE_RAW;
    active.assign(cfg.pads, defaults);
}

v4l2_mbus_framefmt SimSubdev::corrected(v4l2_mbus_framefmt want) const {
    v4l2_mbus_framefmt out = defaults;
    if (cfg.fixedSize) {
        // The offered size nearest to the one asked for.
        std::vector<std::pair<uint32_t, uint32_t>> offered = cfg.sizes;
        offered.emplace_back(cfg.width, cfg.height);
        uint64_t best = UINT64_MAX;
        for (auto& s : offered) {
            uint64_t d = uint64_t(std::llabs(int64_t(s.first) - int64_t(want.width))) +
                         uint64_t(std::llabs(int64_t(s.second) - int64_t(want.height)));
            if (d < best) {
                best = d;
                out.width = s.first;
                out.height = s.second;
            }
        }
    } else {
        out.width = std::min(std::max(want.width, kMinSize), kMaxSize);
        out.height = std::min(std::max(want.height, kMinSize), kMaxSize);
    }
    return out;  // code, field and colour space are the sub-device's own
}

std::vector<v4l2_mbus_framefmt>& SimSubdev::padsOf(int fd, uint32_t which) {
    if (which == V4L2_SUBDEV_FORMAT_ACTIVE) return active;
    auto it = tryFormats.find(fd);
    if (it == tryFormats.end()) it = tryFormats.emplace(fd, std::vector<v4l2_mbus_framefmt>(cfg.pads, defaults)).first;
    return it->second;
}

void SimSubdev::onFileClose(int fd) {
    std::lock_guard<std::mutex> lock(m);
    tryFormats.erase(fd);
}

int SimSubdev::handleIoctl(int fd, int, unsigned long request, void* arg) {
    if (!arg) return -EFAULT;
    if (request == VIDIOC_G_CTRL || request == VIDIOC_S_CTRL) return controls.handle(request, arg);
    std::lock_guard<std::mutex> lock(m);
    switch (request) {
        case VIDIOC_SUBDEV_S_FMT:
        case VIDIOC_SUBDEV_G_FMT: {
            auto* f = static_cast<v4l2_subdev_format*>(arg);
            if (request == VIDIOC_SUBDEV_S_FMT) formatLog.push_back(*f);
            if (f->which > V4L2_SUBDEV_FORMAT_ACTIVE || f->pad >= cfg.pads) return -EINVAL;
            if (request == VIDIOC_SUBDEV_S_FMT && f->which == V4L2_SUBDEV_FORMAT_ACTIVE && cfg.readOnly) return -EPERM;
            std::vector<v4l2_mbus_framefmt>& pads = padsOf(fd, f->which);
            if (request == VIDIOC_SUBDEV_S_FMT) {
                pads[f->pad] = corrected(f->format);
                if (cfg.propagate && f->pad == 0)
                    for (auto& p : pads) p = pads[0];
            }
            f->format = pads[f->pad];
            return 0;
        }
        case VIDIOC_SUBDEV_QUERYCAP: {
            auto* c = static_cast<v4l2_subdev_capability*>(arg);
            std::memset(c, 0, sizeof *c);
            c->capabilities = cfg.readOnly ? V4L2_SUBDEV_CAP_RO_SUBDEV : 0;
            return 0;
        }
        case VIDIOC_SUBDEV_G_SELECTION: {
            if (!cfg.selection) return -ENOTTY;
            auto* s = static_cast<v4l2_subdev_selection*>(arg);
            selectionLog.push_back(*s);
            if (s->which > V4L2_SUBDEV_FORMAT_ACTIVE || s->pad >= cfg.pads) return -EINVAL;
            if (s->target != V4L2_SEL_TGT_CROP && s->target != V4L2_SEL_TGT_CROP_DEFAULT &&
                s->target != V4L2_SEL_TGT_CROP_BOUNDS)
                return -EINVAL;
            const v4l2_mbus_framefmt& f = padsOf(fd, s->which)[s->pad];
            s->r.left = 0;
            s->r.top = 0;
            s->r.width = f.width;
            s->r.height = f.height;
            return 0;
        }
        default:
            return -ENOTTY;
    }
}

v4l2_mbus_framefmt SimSubdev::format(uint32_t which, uint32_t pad) const {
    std::lock_guard<std::mutex> lock(m);
    return which == V4L2_SUBDEV_FORMAT_ACTIVE ? active[pad] : defaults;
}

void SimSubdev::forceSize(uint32_t width, uint32_t height) {
    std::lock_guard<std::mutex> lock(m);
    cfg.width = width;
    cfg.height = height;
    cfg.sizes.clear();
    cfg.fixedSize = true;
    defaults.width = width;
    defaults.height = height;
    for (auto& f : active) {
        f.width = width;
        f.height = height;
    }
}

std::vector<v4l2_subdev_format> SimSubdev::formatRequests() const {
    std::lock_guard<std::mutex> lock(m);
    return formatLog;
}

std::vector<v4l2_subdev_selection> SimSubdev::selectionRequests() const {
    std::lock_guard<std::mutex> lock(m);
    return selectionLog;
}

}  // namespace sim
}  // namespace Norvane
