// Opening the CSI transport on a simulated board of random shape: the
// video node's sysfs name (Jetson family), the media-controller walk
// (random entity ids, names, functions and device numbers, in kernel order
// or in any order, and random links between their pads, cycles included),
// the sub-device links and the I2C adapters. Whatever it finds,
// open ends, keeps its texts within their sizes, registers at most four
// sub-devices and leaves no descriptor or directory open after close.
#include <linux/i2c-dev.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "sensor/csi/NorvaneTOFCSISensor.h"
#include "sensor/csi/V4l2Compat.h"
#include "tests/fakes/SimBoards.h"
#include "tests/fakes/SimMedia.h"

using namespace Norvane;
using sim::SimKernel;

namespace {

constexpr PlatformType kPlatforms[] = {PLATFORM_UNKNOWN,   PLATFORM_JETSON_NANO,  PLATFORM_JETSON,
                                       PlatformType(4),    PLATFORM_RASPBERRY_PI, PLATFORM_RASPBERRY_PI_5,
                                       PLATFORM_RADXA_ROCK};
constexpr size_t kMaxBusText = 8;
constexpr int kMaxEntities = 10;

// A media controller whose entity list the input chooses: answered as the
// kernel does (the next id above the one asked for), or call by call in
// the listed order whatever was asked.
class FuzzMedia : public sim::SimNode {
public:
    struct Entity {
        uint32_t id;
        std::string name;
        uint32_t major, minor;
        uint32_t function;
        uint16_t pads;
    };
    std::vector<Entity> entities;
    std::vector<media_link_desc> links;
    bool kernelOrder = true;
    int setupResult = 0;

    FuzzMedia() {
        charDevice = true;
        devMajor = sim::kMediaMajor;
    }

    int ioctl(unsigned long request, void* arg) override {
        if (request == MEDIA_IOC_SETUP_LINK) return setupResult;
        if (request == MEDIA_IOC_ENUM_LINKS) return enumLinks(static_cast<media_links_enum*>(arg));
        if (request != MEDIA_IOC_ENUM_ENTITIES) return -ENOTTY;
        auto* d = static_cast<media_entity_desc*>(arg);
        const Entity* found = kernelOrder ? sim::enumeratedEntity(entities, d->id) : scripted();
        if (!found) return -EINVAL;
        std::memset(d, 0, sizeof *d);
        d->id = found->id;
        std::strncpy(d->name, found->name.c_str(), sizeof d->name - 1);
        d->dev.major = found->major;
        d->dev.minor = found->minor;
        d->type = found->function;
        d->pads = first(found->id)->pads;
        d->links = uint16_t(outOf(found->id));
        return 0;
    }

private:
    // Entities sharing an id answer as the first of them, as one entity would.
    const Entity* first(uint32_t id) const {
        for (auto& en : entities)
            if (en.id == id) return &en;
        return nullptr;
    }
    size_t outOf(uint32_t id) const {
        size_t n = 0;
        for (auto& l : links) n += l.source.entity == id;
        return n;
    }
    // As Linux answers: the pads and the links out of the entity, as many
    // as its description announced.
    int enumLinks(media_links_enum* e) {
        const Entity* found = first(e->entity);
        if (!found) return -EINVAL;
        if (e->pads)
            for (uint16_t p = 0; p < found->pads; ++p) e->pads[p] = media_pad_desc{found->id, p, 0, {}};
        size_t n = 0;
        if (e->links)
            for (auto& l : links)
                if (l.source.entity == found->id) e->links[n++] = l;
        return 0;
    }

    const Entity* scripted() { return calls < entities.size() ? &entities[calls++] : nullptr; }
    size_t calls = 0;
};

std::string charDir(unsigned major, unsigned minor) {
    return "/sys/dev/char/" + std::to_string(major) + ":" + std::to_string(minor);
}

void maybeFail(FuzzedDataProvider& in, sim::SimNode& node, unsigned long request) {
    if (in.ConsumeIntegralInRange<int>(0, 7) != 0) return;
    static constexpr int kErrnos[] = {EAGAIN, EINTR, ETIMEDOUT, EIO, EINVAL};
    node.failIoctl(request, kErrnos[in.ConsumeIntegralInRange<int>(0, 4)], in.ConsumeIntegralInRange<int>(-1, 6));
}

struct Board {
    PlatformType platform;
    std::string videoPath = "/dev/video0";
};

Board build(SimKernel& k, FuzzedDataProvider& in) {
    Board b;
    b.platform = kPlatforms[in.ConsumeIntegralInRange<size_t>(0, sizeof kPlatforms / sizeof kPlatforms[0] - 1)];

    sim::SimVideoNode::Config cfg;
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0) cfg.capabilities = in.ConsumeIntegral<uint32_t>();
    cfg.multiPlanar = b.platform == PLATFORM_RADXA_ROCK;
    auto video = std::make_shared<sim::SimVideoNode>(cfg);
    video->devMajor = in.ConsumeBool() ? sim::kV4l2Major : in.ConsumeIntegralInRange<unsigned>(0, 4095);
    video->devMinor = in.ConsumeIntegralInRange<unsigned>(0, 300);
    maybeFail(in, *video, VIDIOC_QUERYCAP);
    maybeFail(in, *video, VIDIOC_S_INPUT);
    maybeFail(in, *video, VIDIOC_G_FMT);
    if (in.ConsumeIntegralInRange<int>(0, 15) == 0) video->failFstat(EIO);
    k.addNode(b.videoPath, video);
    const std::string sys = charDir(video->devMajor, video->devMinor);

    // Jetson family: the bus in the node's name.
    if (in.ConsumeIntegralInRange<int>(0, 7) != 0) {
        auto name = k.addFile(
            sys + "/name", fuzz::wordOrRandom(in,
                                              {"vi-output, norvane 30-000c\n", "norvane 7-000c", "vi-output, norvane",
                                               "norvane 123456789012-000c\n", "norvane  30", "xnorvane9 1\n"},
                                              300));
        if (in.ConsumeIntegralInRange<int>(0, 15) == 0) name->readErrno = EIO;
    }

    // The device directory with its media node(s).
    auto media = std::make_shared<FuzzMedia>();
    media->kernelOrder = in.ConsumeBool();
    media->setupResult = in.ConsumeBool() ? 0 : -EINVAL;
    maybeFail(in, *media, MEDIA_IOC_ENUM_ENTITIES);
    int dirEntries = in.ConsumeIntegralInRange<int>(0, 5);
    for (int i = 0; i < dirEntries; ++i) {
        std::string e = fuzz::wordOrRandom(in, {"media0", "media1", "driver", "video4linux", "media"}, 100);
        if (e.empty() || e.find('/') != std::string::npos) continue;
        k.addDirectory(sys + "/device/" + e);
        if (e.compare(0, 5, "media") == 0 && in.ConsumeBool()) k.addNode("/dev/" + e, media);
    }

    // Entities, their /sys/dev/char links and sub-device nodes.
    int entities = in.ConsumeIntegralInRange<int>(0, kMaxEntities);
    for (int i = 0; i < entities && in.remaining_bytes(); ++i) {
        FuzzMedia::Entity e;
        e.id = in.ConsumeBool() ? uint32_t(i + 1) : in.ConsumeIntegral<uint32_t>();
        e.name = fuzz::wordOrRandom(
            in,
            {"csi2", "rp1-cfe-csi2_ch0", "rockchip-csi2-dphy1", "norvane-tarnwelle 10-000c", "m00_b_tarnwelle 3-000c",
             "norvane-tarnwelle", "norvane-tarnwelle 12345678901", "tarnwelle -", "unicam-image", "unicam",
             "rp1-cfe-csi2-ch0", "rockchip-csi2-dphy0", "norvane-tarnwelle 10-00zz", "norvane-tarnwelle 4-0077"},
            40);
        e.major = sim::kV4l2Major;
        // Often the video node itself, so that paths reach it.
        e.minor = in.ConsumeBool() ? video->devMinor : in.ConsumeIntegralInRange<uint32_t>(0, 40);
        e.function = in.ConsumeBool() ? MEDIA_ENT_F_IO_V4L : in.ConsumeIntegral<uint32_t>();
        e.pads = in.ConsumeIntegralInRange<uint16_t>(0, 6);
        media->entities.push_back(e);
        if (in.ConsumeIntegralInRange<int>(0, 4) != 0) {
            std::string target =
                fuzz::wordOrRandom(in,
                                   {"../../devices/platform/soc/i2c-10/10-000c/video4linux/v4l-subdev0",
                                    "../../devices/x/video4linux/v4l-subdev1", "v4l-subdev2", "/v4l-subdev3",
                                    "../../devices/x/video4linux/video3", "/"},
                                   300);
            k.addLink(charDir(e.major, e.minor), target);
        }
    }
    // Links between them (or to ids no entity has), any flags.
    int links = media->entities.empty() ? 0 : in.ConsumeIntegralInRange<int>(0, 16);
    for (int i = 0; i < links; ++i) {
        auto pick = [&] {
            return in.ConsumeIntegralInRange<int>(0, 9) == 0
                       ? in.ConsumeIntegral<uint32_t>()
                       : media->entities[in.ConsumeIntegralInRange<size_t>(0, media->entities.size() - 1)].id;
        };
        media_link_desc l;
        std::memset(&l, 0, sizeof l);
        l.source.entity = pick();
        l.source.index = in.ConsumeIntegralInRange<uint16_t>(0, 6);
        l.sink.entity = pick();
        l.sink.index = in.ConsumeIntegralInRange<uint16_t>(0, 6);
        l.flags = in.ConsumeIntegralInRange<uint32_t>(0, 3);
        media->links.push_back(l);
    }
    maybeFail(in, *media, MEDIA_IOC_ENUM_LINKS);
    for (int n = 0; n < 4; ++n) {
        if (!in.ConsumeBool()) continue;
        auto sd = std::make_shared<sim::SimSubdev>();
        sd->devMajor = sim::kV4l2Major;
        maybeFail(in, *sd, VIDIOC_SUBDEV_G_FMT);
        k.addNode("/dev/v4l-subdev" + std::to_string(n), sd);
    }

    // I2C adapters, listed in procfs or sysfs.
    int adapters = in.ConsumeIntegralInRange<int>(0, 3);
    std::string proc;
    for (int i = 0; i < adapters; ++i) {
        int nr = in.ConsumeIntegralInRange<int>(0, 40);
        std::string name = fuzz::wordOrRandom(in, {"10", "i2c-22-mux (chan_id 0)", "rk3x-i2c"}, 30);
        unsigned long funcs = in.ConsumeBool() ? 0x1ul | 0xEFF0008ul : in.ConsumeIntegral<unsigned long>();
        auto bus = sim::addI2cAdapter(k, nr, name, funcs);
        maybeFail(in, *bus, I2C_FUNCS);
        proc += "i2c-" + std::to_string(nr) + "\ti2c\t" + name + "\tI2C adapter\n";
    }
    if (in.ConsumeBool()) k.addFile("/proc/bus/i2c", proc);
    return b;
}

void checkFindings(const NorvaneTOFCSISensor& s) {
    FUZZ_CHECK(std::strlen(s.busText()) <= kMaxBusText);
    FUZZ_CHECK(s.subdeviceCount() >= 0 && s.subdeviceCount() <= NorvaneTOFCSISensor::kMaxSubdevs);
    FUZZ_CHECK(std::strlen(s.mediaNode()) < 80);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    SimKernel k;
    ScopedKernel scope(k);
    Board b = build(k, in);
    {
        NorvaneTOFCSISensor sensor(b.videoPath.c_str(), b.platform);
        for (int attempt = 0; attempt < 2; ++attempt) {
            CameraInfo info{};
            int r = sensor.open(info);
            FUZZ_CHECK(r == 0 || r == -2);
            checkFindings(sensor);
            FUZZ_CHECK(k.openDirectories() == 0);
            if (r == 0) {
                FUZZ_CHECK(info.bit_width == 12 && info.bpp == 2);
            }
        }
        FUZZ_CHECK(sensor.close() == 0);
        FUZZ_CHECK(k.openDescriptors() == 0);
        FUZZ_CHECK(k.openDirectories() == 0);
    }
    FUZZ_CHECK(k.openDescriptors() == 0);
    return 0;
}
