// Opening the CSI transport: the capability check, the per-board search for
// the sensor (media controller or sysfs name) and its I2C bus.
#include <fcntl.h>
#include <linux/i2c.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "i2c/I2cBus.h"
#include "i2c/I2cBusses.h"
#include "kernel/KernelFiles.h"
#include "sensor/csi/CsiIoctl.h"
#include "sensor/csi/NorvaneTOFCSISensor.h"
#include "sensor/csi/V4l2Compat.h"

namespace Norvane {

// One media device's graph: its entities and the links between their pads.
struct MediaLink {
    uint32_t source;
    uint16_t sourcePad;
    uint32_t sink;
    uint16_t sinkPad;
    uint32_t flags;
};

struct MediaEntity {
    uint32_t id;
    uint32_t function;
    unsigned major, minor;
    std::string name;
};

struct MediaGraph {
    std::vector<MediaEntity> entities;
    std::vector<MediaLink> links;

    const MediaEntity* entity(uint32_t id) const {
        for (const MediaEntity& e : entities)
            if (e.id == id) return &e;
        return nullptr;
    }
    // A video node (ours or another of the device's).
    bool isNode(uint32_t id) const {
        const MediaEntity* e = entity(id);
        return e && e->function == MEDIA_ENT_F_IO_V4L;
    }
};

using csi::ioctlOnce;
using csi::xioctl;

namespace {

constexpr const char* kChipAddressText = "0x0c";
constexpr size_t kBusNameSize = 20;
constexpr size_t kSysfsNameSize = 256;  // 255 characters of the node's name
constexpr size_t kBusTextMax = 8;
constexpr size_t kEntityBusTextMax = 7;
constexpr unsigned long kMinChipAddress = 0x03, kMaxChipAddress = 0x77;
constexpr const char* kSubdevPrefix = "/v4l-subdev";

// The /sys/dev/char directory of a character-device descriptor, or false.
bool charDevicePath(int fd, char* out, size_t size, const char* suffix) {
    struct stat st;
    if (kernel().fstat(fd, &st) < 0 || !S_ISCHR(st.st_mode)) return false;
    int n = std::snprintf(out, size, "/sys/dev/char/%u:%u%s", major(st.st_rdev), minor(st.st_rdev), suffix);
    return n >= 0 && size_t(n) < size;
}

// Moves `d` to the entity after it (from a zeroed record: the first one).
// False at the end of the list or on failure, errno telling which; also
// (EINVAL) when the id does not grow, which would repeat the walk for ever.
bool nextEntity(int mediaFd, media_entity_desc& d) {
    const uint32_t previous = d.id;
    std::memset(&d, 0, sizeof d);
    d.id = previous | MEDIA_ENT_ID_FLAG_NEXT;
    if (xioctl(mediaFd, MEDIA_IOC_ENUM_ENTITIES, &d) < 0) return false;
    if (d.id > previous) return true;
    errno = EINVAL;
    return false;
}

// Whether one of the media device's entities is the node major:minor.
bool listsNode(int mediaFd, unsigned devMajor, unsigned devMinor) {
    media_entity_desc d;
    std::memset(&d, 0, sizeof d);
    while (nextEntity(mediaFd, d))
        if (d.dev.major == devMajor && d.dev.minor == devMinor) return true;
    return false;
}

// The sensor's entity, as each board's driver names it.
bool isSensorName(PlatformType platform, const char* name) {
    switch (platform) {
        case PLATFORM_RADXA_ROCK:
            return std::strstr(name, "tarnwelle") && !std::strstr(name, "dphy");
        case PLATFORM_RASPBERRY_PI_5:
        case PLATFORM_RASPBERRY_PI:
            return std::strstr(name, "norvane-tarnwelle");
        default:
            return false;
    }
}

// The sub-devices between sensor and node that take the stream's format:
// every one on the Raspberry Pis (rp1-cfe's csi2, mainline unicam's own),
// the D-PHY on the ROCK (rockchip-csi2-dphy0, -dphy1, ...).
bool isReceiverName(PlatformType platform, const char* name) {
    return platform != PLATFORM_RADXA_ROCK || std::strstr(name, "dphy");
}

// "<bus>-<address>" as Linux names an I2C client ("10-000c"): the address,
// or 0 when the text names none (or one outside 0x03 to 0x77).
uint16_t namedAddress(const char* text) {
    const char* dash = std::strchr(text, '-');
    if (!dash) return 0;
    unsigned long address = 0;
    int digits = 0;
    for (const char* c = dash + 1; std::isxdigit(static_cast<unsigned char>(*c)); ++c, ++digits)
        address = address * 16 + unsigned(std::isdigit(static_cast<unsigned char>(*c)) ? *c - '0' : (*c | 0x20) - 'a' + 10);
    return digits == 4 && address >= kMinChipAddress && address <= kMaxChipAddress ? uint16_t(address) : 0;
}

bool sameLink(const MediaLink& a, const MediaLink& b) {
    return a.source == b.source && a.sourcePad == b.sourcePad && a.sink == b.sink && a.sinkPad == b.sinkPad;
}

bool setupLink(int mediaFd, const MediaLink& l, uint32_t flags) {
    media_link_desc link;
    std::memset(&link, 0, sizeof link);
    link.source.entity = l.source;
    link.source.index = l.sourcePad;
    link.source.flags = MEDIA_PAD_FL_SOURCE;
    link.sink.entity = l.sink;
    link.sink.index = l.sinkPad;
    link.sink.flags = MEDIA_PAD_FL_SINK;
    link.flags = flags;
    return xioctl(mediaFd, MEDIA_IOC_SETUP_LINK, &link) == 0;
}

// Every entity and every link of the media device; false when the entities
// or their links could not all be listed.
bool readGraph(int mediaFd, MediaGraph& graph) {
    media_entity_desc d;
    std::memset(&d, 0, sizeof d);
    while (nextEntity(mediaFd, d)) {
        graph.entities.push_back(
            MediaEntity{d.id, d.type, d.dev.major, d.dev.minor, std::string(d.name, strnlen(d.name, sizeof d.name))});
        if (d.links == 0) continue;
        // The links out of this entity; the kernel lists each link once, at
        // its source. It writes as many as the entity has by then, unchecked:
        // room to spare for a link a driver adds meanwhile.
        constexpr size_t kSpare = 16;
        std::vector<media_pad_desc> pads(d.pads + kSpare);
        std::vector<media_link_desc> links(d.links + kSpare);
        media_links_enum e;
        std::memset(&e, 0, sizeof e);
        e.entity = d.id;
        e.pads = pads.data();
        e.links = links.data();
        if (xioctl(mediaFd, MEDIA_IOC_ENUM_LINKS, &e) < 0) return false;
        for (size_t i = 0; i < d.links; ++i) {
            const media_link_desc& l = links[i];
            graph.links.push_back(MediaLink{l.source.entity, l.source.index, l.sink.entity, l.sink.index, l.flags});
        }
    }
    return errno == EINVAL;  // the end of the list
}

// The links from entity `from` to entity `to`, fewest first; empty when
// none leads there.
std::vector<MediaLink> pathBetween(const MediaGraph& graph, uint32_t from, uint32_t to) {
    std::map<uint32_t, const MediaLink*> via{{from, nullptr}};  // entity reached: the link that reached it
    std::deque<uint32_t> frontier{from};
    while (!frontier.empty() && !via.count(to)) {
        uint32_t at = frontier.front();
        frontier.pop_front();
        for (const MediaLink& l : graph.links)
            if (l.source == at && via.emplace(l.sink, &l).second) frontier.push_back(l.sink);
    }
    std::vector<MediaLink> path;
    if (from == to || !via.count(to)) return path;
    for (const MediaLink* l = via[to]; l; l = via[l->source]) path.insert(path.begin(), *l);
    return path;
}

}  // namespace

int NorvaneTOFCSISensor::open(CameraInfo& callerInfo) {
    close();  // a second open starts afresh
    i2cBusText[0] = '\0';
    mediaPath[0] = '\0';
    namedChipAddress = 0;
    nodeCentric = false;

    videoFd.reset(kernel().open(devicePath, O_RDWR));
    if (!videoFd.valid()) return -2;

    v4l2_capability cap;
    std::memset(&cap, 0, sizeof cap);
    if (xioctl(videoFd.get(), VIDIOC_QUERYCAP, &cap) < 0) {
        std::fprintf(stderr, "VIDIOC_QUERYCAP: error - %d\n", errno);
        return -2;
    }
    // `capabilities` covers the whole device (its metadata and output nodes
    // too); `device_caps`, where given, says what this node can do.
    const uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    if (!(caps & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_CAPTURE_MPLANE))) return -2;
    if (!(caps & V4L2_CAP_STREAMING)) return -2;

    // The queue type the node offers: single-planar where it can, as every
    // board's capture node but rkcif's does.
    bufferType = (caps & V4L2_CAP_VIDEO_CAPTURE) ? V4L2_BUF_TYPE_VIDEO_CAPTURE : V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
    if (isMediaControllerFamily(platform)) {
        setupMediaPipeline(videoFd.get());
        // A node without V4L2_CAP_IO_MC over read-only sub-devices sets the
        // pipeline's formats itself; ours would be refused.
        nodeCentric = !(caps & V4L2_CAP_IO_MC) && sensorReadOnly();
    } else {
        subdevCount = 0;
        if (isJetsonFamily(platform) && readSysfsBusName() != 0) return -2;
    }

    // rkcif has no inputs to choose.
    if (platform != PLATFORM_RADXA_ROCK && bufferType != V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE) {
        int input = inputIndex;
        if (xioctl(videoFd.get(), VIDIOC_S_INPUT, &input) < 0) return -2;
    }

    int bus = parseI2cBusText(i2cBusText);
    if (bus < 0) return -2;
    char busName[kBusNameSize];
    i2cFd.reset(i2c_open_i2c_dev(bus, busName, sizeof busName, 0));
    if (!i2cFd.valid()) return -2;
    unsigned long funcs = 0;
    if (i2c_get_functionality(i2cFd.get(), &funcs) < 0) return -2;
    if (!(funcs & I2C_FUNC_I2C)) {
        std::fprintf(stderr, "Error: Adapter does not have %s capability\n", "I2C transfers");
        return -2;
    }
    // The address the sensor's name gives, else the sensor's usual one.
    int address = namedChipAddress ? namedChipAddress : parseChipAddress(kChipAddressText);
    if (address < 0) return -2;
    chipAddress = uint16_t(address);

    int result = 0;
    if (isMediaControllerFamily(platform)) {
        v4l2_subdev_format sf;
        std::memset(&sf, 0, sizeof sf);
        sf.which = V4L2_SUBDEV_FORMAT_ACTIVE;  // the sensor's current size, not a default
        int fd = sensorFound ? subdevFds[sensorSubdevIndex].get() : -1;
        if (ioctlOnce(fd, VIDIOC_SUBDEV_G_FMT, &sf) == 0) {
            callerInfo.width = sf.format.width;
            callerInfo.height = sf.format.height;
        } else {
            result = -2;
        }
    } else {
        v4l2_format fmt;
        std::memset(&fmt, 0, sizeof fmt);
        fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (ioctlOnce(videoFd.get(), VIDIOC_G_FMT, &fmt) == 0) {
            callerInfo.width = fmt.fmt.pix.width;
            callerInfo.height = fmt.fmt.pix.height;
        } else {
            result = -2;
        }
    }
    callerInfo.bit_width = 12;
    callerInfo.bpp = 2;
    info = callerInfo;
    width.store(info.width);
    height.store(info.height);
    return result;
}

// Jetson boards name the sensor's bus and address in the video node's
// sysfs name, as in "vi-output, norvane 30-000c".
int NorvaneTOFCSISensor::readSysfsBusName() {
    char path[64];
    if (!charDevicePath(videoFd.get(), path, sizeof path, "/name")) return -2;
    char name[kSysfsNameSize];
    if (!readFirstLine(path, name, sizeof name)) return -2;
    const char* at = std::strstr(name, "norvane");
    if (!at) return -2;
    i2cBusText[0] = '\0';
    const char* blank = std::strchr(at, ' ');
    if (!blank) return 0;
    size_t n = 0;
    for (const char* c = blank + 1; n < kBusTextMax && *c >= '0' && *c <= '9'; ++c) i2cBusText[n++] = *c;
    i2cBusText[n] = '\0';
    namedChipAddress = namedAddress(blank + 1);
    return 0;
}

bool NorvaneTOFCSISensor::addSubdev(int fd) {
    if (subdevCount >= kMaxSubdevs) {
        kernel().close(fd);  // no room: do not leak it
        return false;
    }
    subdevFds[subdevCount++].reset(fd);
    return true;
}

// Opens the sub-device node of an entity through its /sys/dev/char link;
// -1 when it is not a sub-device or cannot be opened.
int NorvaneTOFCSISensor::resolveEntityNode(unsigned devMajor, unsigned devMinor) {
    char link[64];
    std::snprintf(link, sizeof link, "/sys/dev/char/%u:%u", devMajor, devMinor);
    char target[256];
    ssize_t n = kernel().readlink(link, target, sizeof target - 1);
    if (n < 0) return -1;
    target[n] = '\0';
    const char* last = std::strrchr(target, '/');
    if (!last || std::strncmp(last, kSubdevPrefix, std::strlen(kSubdevPrefix)) != 0) return -1;
    char node[300];
    std::snprintf(node, sizeof node, "/dev%s", last);
    return kernel().open(node, O_RDWR);
}

void NorvaneTOFCSISensor::setupMediaPipeline(int fd) {
    char dir[64];
    if (!charDevicePath(fd, dir, sizeof dir, "/device")) return;
    struct stat node;
    if (kernel().fstat(fd, &node) < 0) return;
    std::vector<std::string> entries;
    if (void* d = kernel().openDir(dir)) {
        while (const char* e = kernel().readDir(d)) entries.emplace_back(e);
        kernel().closeDir(d);
    }
    // The device folder may list several media devices (two cameras on one
    // receiver, a driver with several graphs): take the one whose entities
    // include this video node. Should none list it, the last one that opens,
    // as before devices listed their nodes.
    csi::UniqueFd media;
    std::string fallback;
    for (auto it = entries.rbegin(); it != entries.rend() && !media.valid(); ++it) {
        if (it->compare(0, 5, "media") != 0) continue;
        char path[sizeof mediaPath];
        int n = std::snprintf(path, sizeof path, "/dev/%s", it->c_str());
        if (n < 0 || size_t(n) >= sizeof path) continue;
        csi::UniqueFd candidate(kernel().open(path, O_RDWR));
        if (!candidate.valid()) continue;
        if (fallback.empty()) fallback = path;
        if (!listsNode(candidate.get(), major(node.st_rdev), minor(node.st_rdev))) continue;
        media = std::move(candidate);
        std::snprintf(mediaPath, sizeof mediaPath, "%s", path);
    }
    if (!media.valid() && !fallback.empty()) {
        media.reset(kernel().open(fallback.c_str(), O_RDWR));
        std::snprintf(mediaPath, sizeof mediaPath, "%s", fallback.c_str());
    }
    if (!media.valid()) return;

    MediaGraph graph;
    const bool listed = readGraph(media.get(), graph);
    const int walkErrno = errno;
    const MediaEntity* sensor = nullptr;
    const MediaEntity* capture = nullptr;
    for (const MediaEntity& e : graph.entities) {
        if (!sensor && isSensorName(platform, e.name.c_str())) sensor = &e;
        if (e.major == major(node.st_rdev) && e.minor == minor(node.st_rdev)) capture = &e;
    }
    std::vector<MediaLink> path;
    if (listed && sensor && capture) path = pathBetween(graph, sensor->id, capture->id);
    // The Pi 5 receiver feeds its nodes only through links the user enables.
    if (platform == PLATFORM_RASPBERRY_PI_5) {
        if (path.empty()) {
            errno = walkErrno;
            std::perror("Query entity failed");  // no way from a sensor to this node
            return;
        }
        if (!routeReceiver(media.get(), graph, path.back())) return;
    }
    if (sensor && takeSensorName(sensor->name.c_str())) registerPath(graph, *sensor, path);
}

bool NorvaneTOFCSISensor::takeSensorName(const char* name) {
    // "norvane-tarnwelle 10-000c": the bus number before the '-', the chip
    // address after it.
    const char* blank = std::strchr(name, ' ');
    if (!blank) return false;
    std::snprintf(i2cBusText, kEntityBusTextMax + 1, "%s", blank + 1);
    i2cBusText[std::strcspn(i2cBusText, "-")] = '\0';
    namedChipAddress = namedAddress(blank + 1);
    return true;
}

// rp1-cfe starts streaming only once every node with an enabled link
// streams: a link another program left enabled into another of its nodes
// (or from our channel's pad elsewhere) would hold our stream for ever,
// STREAMON succeeding and no frame coming. Those go first, then ours is
// enabled. A link that cannot be disabled (its node streams for someone
// else) is left as it is.
bool NorvaneTOFCSISensor::routeReceiver(int mediaFd, const MediaGraph& graph, const MediaLink& ours) {
    for (const MediaLink& l : graph.links) {
        if (!(l.flags & MEDIA_LNK_FL_ENABLED) || (l.flags & MEDIA_LNK_FL_IMMUTABLE) || sameLink(l, ours)) continue;
        if (graph.isNode(l.source) || graph.isNode(l.sink) || l.source == ours.source) setupLink(mediaFd, l, 0);
    }
    return (ours.flags & MEDIA_LNK_FL_ENABLED) || setupLink(mediaFd, ours, MEDIA_LNK_FL_ENABLED);
}

// Registers the sensor, then the receivers between it and the node, each
// with the pad its format goes on: the sensor's source pad, each
// receiver's sink pad on the path.
bool NorvaneTOFCSISensor::registerPath(const MediaGraph& graph, const MediaEntity& sensor,
                                       const std::vector<MediaLink>& path) {
    int sd = resolveEntityNode(sensor.major, sensor.minor);
    if (sd < 0) return false;
    uint8_t index = subdevCount;
    if (!addSubdev(sd)) return false;
    subdevPads[index] = path.empty() ? 0 : path.front().sourcePad;
    sensorSubdevIndex = index;
    sensorFound = true;
    for (size_t i = 0; i + 1 < path.size(); ++i) {
        const MediaEntity* e = graph.entity(path[i].sink);
        if (!e || !isReceiverName(platform, e->name.c_str())) continue;
        int fd = resolveEntityNode(e->major, e->minor);
        if (fd < 0) return false;
        index = subdevCount;
        if (!addSubdev(fd)) return false;
        subdevPads[index] = path[i].sinkPad;
    }
    return true;
}

// Whether the sensor's node is read-only (ACTIVE formats refused with EPERM).
bool NorvaneTOFCSISensor::sensorReadOnly() {
    v4l2_subdev_capability cap;
    std::memset(&cap, 0, sizeof cap);
    return sensorFound && xioctl(subdevFds[sensorSubdevIndex].get(), VIDIOC_SUBDEV_QUERYCAP, &cap) == 0 &&
           (cap.capabilities & V4L2_SUBDEV_CAP_RO_SUBDEV);
}

}  // namespace Norvane
