// Opening the CSI transport: the capability check, the per-board search for
// the sensor (media controller or sysfs name) and its I2C bus.
#include <fcntl.h>
#include <linux/i2c.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "i2c/I2cBus.h"
#include "i2c/I2cBusses.h"
#include "kernel/KernelFiles.h"
#include "sensor/csi/CsiIoctl.h"
#include "sensor/csi/NorvaneTOFCSISensor.h"
#include "sensor/csi/V4l2Compat.h"

namespace Norvane {

using csi::ioctlOnce;
using csi::xioctl;

namespace {

constexpr const char* kChipAddressText = "0x0c";
constexpr size_t kBusNameSize = 20;
constexpr size_t kSysfsNameSize = 256;  // 255 characters of the node's name
constexpr size_t kBusTextMax = 8;
constexpr size_t kEntityBusTextMax = 7;
constexpr uint32_t kNoEntity = uint32_t(-1);
constexpr uint16_t kPi5Csi2SourcePad = 4;
constexpr const char* kPi5Receiver = "csi2";
constexpr const char* kPi5Channel = "rp1-cfe-csi2_ch0";
constexpr const char* kRadxaReceiver = "rockchip-csi2-dphy1";
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

// The id of the entity named exactly `name`, or kNoEntity after the message.
uint32_t findEntity(int mediaFd, const char* name) {
    media_entity_desc d;
    std::memset(&d, 0, sizeof d);
    for (;;) {
        if (!nextEntity(mediaFd, d)) {
            std::perror("Query entity failed");
            return kNoEntity;
        }
        if (std::strcmp(d.name, name) == 0) return d.id;
    }
}

}  // namespace

int NorvaneTOFCSISensor::open(CameraInfo& callerInfo) {
    close();  // a second open starts afresh
    i2cBusText[0] = '\0';
    mediaPath[0] = '\0';

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

    switch (platform) {
        case PLATFORM_RADXA_ROCK:
            // Its capture nodes stream multi-planar whatever they report.
            bufferType = V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
            setupMediaPipeline(videoFd.get());
            break;
        case PLATFORM_RASPBERRY_PI:
        case PLATFORM_RASPBERRY_PI_5:
            bufferType = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            setupMediaPipeline(videoFd.get());
            break;
        default:
            bufferType = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            subdevCount = 0;
            if (isJetsonFamily(platform) && readSysfsBusName() != 0) return -2;
            break;
    }

    if (bufferType != V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE) {
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
    int address = parseChipAddress(kChipAddressText);
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

// Jetson boards name the sensor's bus in the video node's sysfs name, as in
// "vi-output, norvane 30-000c".
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

    if (platform == PLATFORM_RASPBERRY_PI_5) {
        media_link_desc link;
        std::memset(&link, 0, sizeof link);
        link.source.entity = findEntity(media.get(), kPi5Receiver);
        link.source.index = kPi5Csi2SourcePad;
        link.source.flags = MEDIA_PAD_FL_SOURCE;
        link.sink.entity = findEntity(media.get(), kPi5Channel);
        link.sink.index = 0;
        link.sink.flags = MEDIA_PAD_FL_SINK;
        link.flags = MEDIA_LNK_FL_ENABLED;
        if (xioctl(media.get(), MEDIA_IOC_SETUP_LINK, &link) < 0) return;
    }

    // The whole graph, in whatever order the driver registered it: the
    // receivers may come after the sensor.
    media_entity_desc entity;
    std::memset(&entity, 0, sizeof entity);
    for (;;) {
        if (!nextEntity(media.get(), entity)) return;  // EINVAL: the end
        const char* name = entity.name;
        bool receiver = false, sensor = false;
        switch (platform) {
            case PLATFORM_RADXA_ROCK:
                receiver = std::strcmp(name, kRadxaReceiver) == 0;
                sensor = !receiver && std::strstr(name, "tarnwelle");
                break;
            case PLATFORM_RASPBERRY_PI_5:
                receiver = std::strcmp(name, kPi5Receiver) == 0;
                sensor = !receiver && std::strstr(name, "norvane-tarnwelle");
                break;
            case PLATFORM_RASPBERRY_PI:
                sensor = std::strstr(name, "norvane-tarnwelle");
                break;
            default:
                break;
        }
        if (receiver) {
            int sd = resolveEntityNode(entity.dev.major, entity.dev.minor);
            if (sd < 0 || !addSubdev(sd)) return;
        } else if (sensor && !sensorFound) {
            // "norvane-tarnwelle 10-000c": the bus number before the '-'.
            const char* blank = std::strchr(name, ' ');
            if (!blank) return;
            std::snprintf(i2cBusText, kEntityBusTextMax + 1, "%s", blank + 1);
            i2cBusText[std::strcspn(i2cBusText, "-")] = '\0';
            int sd = resolveEntityNode(entity.dev.major, entity.dev.minor);
            if (sd < 0) return;
            uint8_t index = subdevCount;
            if (!addSubdev(sd)) return;
            sensorSubdevIndex = index;
            sensorFound = true;
        }
    }
}

}  // namespace Norvane
