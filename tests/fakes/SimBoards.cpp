#include "tests/fakes/SimBoards.h"

#include <linux/media.h>

#include <cerrno>
#include <cstdio>

#include "sensor/csi/V4l2Compat.h"

namespace Norvane {
namespace sim {

namespace {

std::string charPath(unsigned major, unsigned minor) {
    return "/sys/dev/char/" + std::to_string(major) + ":" + std::to_string(minor);
}

std::shared_ptr<SimVideoNode> addVideoNode(SimKernel& k, SimBoard& b, const BoardOptions& o, SimVideoNode::Config cfg,
                                           const std::string& sysfsName) {
    cfg.width = o.width;
    cfg.height = o.height;
    cfg.sizes = o.sizes;
    cfg.bufferLength = o.bufferLength;
    cfg.bytesPerLine = o.bytesPerLine;
    if (!o.pixelFormats.empty()) cfg.pixelFormats = o.pixelFormats;
    if (o.planes) {
        cfg.multiPlanar = o.planes == 2;
        cfg.capabilities = (cfg.capabilities & ~(V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_CAPTURE_MPLANE)) |
                           (cfg.multiPlanar ? V4L2_CAP_VIDEO_CAPTURE_MPLANE : V4L2_CAP_VIDEO_CAPTURE);
    }
    if (o.nodeCaps) cfg.capabilities = o.nodeCaps;
    cfg.otherNodesCaps = o.otherNodesCaps;
    auto video = std::make_shared<SimVideoNode>(cfg);
    video->devMajor = kV4l2Major;
    video->devMinor = unsigned(o.videoIndex);
    b.devicePath = "/dev/video" + std::to_string(o.videoIndex);
    k.addNode(b.devicePath, video);
    std::string sys = charPath(kV4l2Major, video->devMinor);
    k.addFile(sys + "/name", sysfsName + "\n");
    k.addFile(sys + "/dev", std::to_string(kV4l2Major) + ":" + std::to_string(video->devMinor) + "\n");
    b.video = video;
    return video;
}

// A sub-device node "/dev/v4l-subdev<n>" with its /sys/dev/char link.
std::shared_ptr<SimSubdev> addSubdev(SimKernel& k, int n, unsigned minor, const std::string& parent,
                                     SimSubdev::Config cfg) {
    auto sd = std::make_shared<SimSubdev>(cfg);
    sd->devMajor = kV4l2Major;
    sd->devMinor = minor;
    std::string name = "v4l-subdev" + std::to_string(n);
    k.addNode("/dev/" + name, sd);
    k.addLink(charPath(kV4l2Major, minor), "../../devices/" + parent + "/video4linux/" + name);
    return sd;
}

// The two ends of a link must carry the same format, as the kernel's link
// validation demands when streaming starts.
bool samePadFormat(const v4l2_mbus_framefmt& a, const v4l2_mbus_framefmt& b) {
    return a.width == b.width && a.height == b.height && a.code == b.code && a.field == b.field;
}

// The capture node's format against the pad that feeds it.
bool videoMatches(const v4l2_mbus_framefmt& pad, const v4l2_format& f) {
    bool mp = f.type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
    uint32_t w = mp ? f.fmt.pix_mp.width : f.fmt.pix.width;
    uint32_t h = mp ? f.fmt.pix_mp.height : f.fmt.pix.height;
    uint32_t pf = mp ? f.fmt.pix_mp.pixelformat : f.fmt.pix.pixelformat;
    bool y12 = pf == V4L2_PIX_FMT_Y12 || pf == V4L2_PIX_FMT_Y12P;
    return y12 && pad.code == MEDIA_BUS_FMT_Y12_1X12 && w == pad.width && h == pad.height;
}

bool linkEnabled(const SimMediaDevice& media, uint32_t source, uint16_t sourcePad, uint32_t sink, uint16_t sinkPad) {
    for (auto& l : media.links())
        if (l.sourceEntity == source && l.sourcePad == sourcePad && l.sinkEntity == sink && l.sinkPad == sinkPad)
            return l.flags & MEDIA_LNK_FL_ENABLED;
    return false;
}

// sensor -> [receiver sink pad 0, source pad `out`] -> capture node.
std::function<int(const v4l2_format&)> pipelineCheck(std::shared_ptr<SimSubdev> sensor,
                                                      std::shared_ptr<SimSubdev> receiver, uint32_t out) {
    return [sensor, receiver, out](const v4l2_format& f) {
        v4l2_mbus_framefmt s = sensor->format(V4L2_SUBDEV_FORMAT_ACTIVE, 0);
        if (!receiver) return videoMatches(s, f) ? 0 : -EPIPE;
        if (!samePadFormat(s, receiver->format(V4L2_SUBDEV_FORMAT_ACTIVE, 0))) return -EPIPE;
        return videoMatches(receiver->format(V4L2_SUBDEV_FORMAT_ACTIVE, out), f) ? 0 : -EPIPE;
    };
}

void addSensorControls(SimControls& c) {
    c.add(kRangeControl, 1, 0, 1);
    c.add(kExposureControl, 1000, 1, 65535);
}

// The media node and the entries that lead to it from the video node.
std::shared_ptr<SimMediaDevice> addMedia(SimKernel& k, SimBoard& b, const BoardOptions& o) {
    auto media = std::make_shared<SimMediaDevice>();
    media->devMajor = kMediaMajor;
    media->devMinor = 0;
    k.addNode("/dev/media0", media);
    std::string dev = charPath(kV4l2Major, b.video->devMinor) + "/device";
    k.addDirectory(dev + "/driver");
    if (o.otherMedia < 0) k.addDirectory(dev + "/media1");
    k.addDirectory(dev + "/media0");
    if (o.otherMedia > 0) k.addDirectory(dev + "/media1");
    if (o.otherMedia) {
        // The second camera: its own capture node, sensor sub-device and bus.
        auto other = std::make_shared<SimMediaDevice>();
        other->devMajor = kMediaMajor;
        other->devMinor = 1;
        k.addNode("/dev/media1", other);
        uint32_t image = other->addEntity("unicam-image", MEDIA_ENT_F_IO_V4L, kV4l2Major, b.video->devMinor + 5);
        auto sd = std::make_shared<SimSubdev>();
        sd->devMajor = kV4l2Major;
        sd->devMinor = 30;
        k.addNode("/dev/v4l-subdev9", sd);
        k.addLink(charPath(kV4l2Major, 30), "../../devices/platform/i2c-11/11-000c/video4linux/v4l-subdev9");
        for (const char* name : {"csi2", "rockchip-csi2-dphy1"})
            other->addEntity(name, MEDIA_ENT_F_VID_IF_BRIDGE, kV4l2Major, 30);
        uint32_t sensor = other->addEntity("norvane-tarnwelle 11-000c", MEDIA_ENT_F_CAM_SENSOR, kV4l2Major, 30);
        other->addLink(sensor, 0, image, 0, MEDIA_LNK_FL_ENABLED);
        addI2cAdapter(k, 11, "other camera's bus");
    }
    k.addDirectory(dev + "/video4linux");
    k.addFile(dev + "/uevent", "OF_NAME=csi\n");
    b.media = media;
    return media;
}

// The I2C client part of a sensor's name: "10-000c".
std::string client(int bus, const BoardOptions& o) {
    char text[24];
    std::snprintf(text, sizeof text, "%d-%04x", bus, unsigned(o.chipAddress));
    return text;
}

SimSubdev::Config sensorConfig(const BoardOptions& o) {
    SimSubdev::Config c;
    c.readOnly = o.readOnlySubdevs;
    c.width = o.width;
    c.height = o.height;
    c.sizes = o.sizes;
    return c;
}

}  // namespace

std::shared_ptr<SimI2cAdapter> addI2cAdapter(SimKernel& k, int nr, const std::string& name, unsigned long funcs) {
    auto bus = std::make_shared<SimI2cAdapter>(funcs);
    bus->devMajor = kI2cMajor;
    bus->devMinor = unsigned(nr);
    std::string entry = "i2c-" + std::to_string(nr);
    k.addNode("/dev/" + entry, bus);
    k.addFile("/sys/class/i2c-dev/" + entry + "/name", name + "\n");
    if (!k.node("/proc/mounts"))
        k.addFile("/proc/mounts",
                  "sysfs /sys sysfs rw,nosuid,nodev,noexec,relatime 0 0\n"
                  "proc /proc proc rw,nosuid,nodev,noexec,relatime 0 0\n");
    return bus;
}

void setBoardModel(SimKernel& k, const std::string& model) {
    k.addFile("/sys/firmware/devicetree/base/model", model + std::string(1, '\0'));
}

SimBoard buildRaspberryPi4(SimKernel& k, const BoardOptions& o) {
    SimBoard b;
    b.platform = PLATFORM_RASPBERRY_PI;
    setBoardModel(k, "Raspberry Pi 4 Model B Rev 1.4");
    SimVideoNode::Config cfg;
    cfg.pixelFormats = {V4L2_PIX_FMT_Y12};
    cfg.fixedSize = false;  // the receiver takes any size; streaming checks it against the sensor
    if (o.mainline) cfg.capabilities |= V4L2_CAP_IO_MC;  // mainline unicam is configured through the graph
    addVideoNode(k, b, o, cfg, "unicam-image");
    addSensorControls(b.video->controls);  // present, but the sub-device is the one to use
    auto media = addMedia(k, b, o);
    b.sensor = addSubdev(k, 0, 2, "platform/soc/fe205000.i2c/i2c-22/i2c-10/10-000c", sensorConfig(o));
    addSensorControls(b.sensor->controls);
    const std::string sensorName = "norvane-tarnwelle " + client(10, o);
    uint32_t sensor = o.sensorFirst ? media->addEntity(sensorName, MEDIA_ENT_F_CAM_SENSOR, kV4l2Major, 2) : 0;
    uint32_t image = media->addEntity("unicam-image", MEDIA_ENT_F_IO_V4L, kV4l2Major, b.video->devMinor);
    media->addEntity("unicam-embedded", MEDIA_ENT_F_IO_V4L, kV4l2Major, 1);
    if (!o.sensorFirst) sensor = media->addEntity(sensorName, MEDIA_ENT_F_CAM_SENSOR, kV4l2Major, 2);
    if (o.mainline) {
        // Mainline (6.11 on): sensor -> unicam sub-device -> image node.
        SimSubdev::Config rxCfg = sensorConfig(o);
        rxCfg.pads = 3;  // sink, image, embedded data
        rxCfg.fixedSize = false;
        rxCfg.propagate = true;
        rxCfg.selection = false;
        auto unicam = addSubdev(k, 1, 3, "platform/soc/fe801000.csi", rxCfg);
        b.receivers.push_back(unicam);
        uint32_t rx = media->addEntity("unicam", MEDIA_ENT_F_VID_IF_BRIDGE, kV4l2Major, 3, 3);
        media->addLink(sensor, 0, rx, 0, MEDIA_LNK_FL_ENABLED | MEDIA_LNK_FL_IMMUTABLE);
        media->addLink(rx, 1, image, 0, MEDIA_LNK_FL_ENABLED | MEDIA_LNK_FL_IMMUTABLE);
        b.video->pipeline = pipelineCheck(b.sensor, unicam, 1);
    } else {
        media->addLink(sensor, 0, image, 0, MEDIA_LNK_FL_ENABLED | MEDIA_LNK_FL_IMMUTABLE);
        b.video->pipeline = pipelineCheck(b.sensor, nullptr, 0);
    }
    b.busNumber = 10;
    b.bus = addI2cAdapter(k, 10, "i2c-22-mux (chan_id 0)");
    addI2cAdapter(k, 1, "bcm2835 (i2c@7e804000)");
    return b;
}

SimBoard buildRaspberryPi5(SimKernel& k, const BoardOptions& o) {
    SimBoard b;
    b.platform = PLATFORM_RASPBERRY_PI_5;
    setBoardModel(k, "Raspberry Pi 5 Model B Rev 1.0");
    SimVideoNode::Config cfg;
    cfg.pixelFormats = {V4L2_PIX_FMT_Y12P, V4L2_PIX_FMT_Y12};
    cfg.fixedSize = false;  // the receiver takes any size; streaming checks it against the sensor
    cfg.capabilities |= V4L2_CAP_IO_MC;
    addVideoNode(k, b, o, cfg, "rp1-cfe");
    auto media = addMedia(k, b, o);
    b.sensor = addSubdev(k, 2, 12, "platform/axi/1000120000.pcie/1f00088000.i2c/i2c-4/4-000c", sensorConfig(o));
    addSensorControls(b.sensor->controls);
    const std::string sensorName = "norvane-tarnwelle " + client(4, o);
    uint32_t sensor = o.sensorFirst ? media->addEntity(sensorName, MEDIA_ENT_F_CAM_SENSOR, kV4l2Major, 12) : 0;
    SimSubdev::Config csi2Cfg = sensorConfig(o);
    csi2Cfg.pads = 5;  // one sink, four sources
    csi2Cfg.fixedSize = false;
    csi2Cfg.propagate = true;
    csi2Cfg.selection = false;
    auto csi2 = addSubdev(k, 0, 10, "platform/axi/1000120000.pcie/1f00128000.csi", csi2Cfg);
    b.receivers.push_back(csi2);
    uint32_t csi2Id = media->addEntity("csi2", MEDIA_ENT_F_VID_IF_BRIDGE, kV4l2Major, 10, 5);
    SimSubdev::Config feCfg;
    feCfg.fixedSize = false;
    addSubdev(k, 1, 11, "platform/axi/1000120000.pcie/1f00128000.csi", feCfg);
    uint32_t fe = media->addEntity("pisp-fe", MEDIA_ENT_F_PROC_VIDEO_ISP, kV4l2Major, 11, 4);
    // The Raspberry Pi kernel feeds channel 0 from pad 4, mainline from pad 1.
    const uint16_t ourPad = o.mainline ? 1 : 4;
    constexpr uint16_t otherPad = 2;
    uint32_t ch0 = media->addEntity(o.mainline ? "rp1-cfe-csi2-ch0" : "rp1-cfe-csi2_ch0", MEDIA_ENT_F_IO_V4L,
                                    kV4l2Major, b.video->devMinor);
    uint32_t ch1 = media->addEntity(o.mainline ? "rp1-cfe-csi2-ch1" : "rp1-cfe-csi2_ch1", MEDIA_ENT_F_IO_V4L,
                                    kV4l2Major, 1);
    if (!o.sensorFirst) sensor = media->addEntity(sensorName, MEDIA_ENT_F_CAM_SENSOR, kV4l2Major, 12);
    const uint32_t stale = o.staleLinks ? MEDIA_LNK_FL_ENABLED : 0;
    media->addLink(sensor, 0, csi2Id, 0, MEDIA_LNK_FL_ENABLED | MEDIA_LNK_FL_IMMUTABLE);
    media->addLink(csi2Id, ourPad, ch0, 0, 0);
    media->addLink(csi2Id, otherPad, ch1, 0, stale);
    media->addLink(csi2Id, ourPad, fe, 0, stale);
    auto formats = pipelineCheck(b.sensor, csi2, ourPad);
    std::weak_ptr<SimMediaDevice> graph = media;
    b.video->pipeline = [formats, graph, csi2Id, ch0, ch1, fe, ourPad](const v4l2_format& f) {
        auto m = graph.lock();
        if (!m || !linkEnabled(*m, csi2Id, ourPad, ch0, 0)) return -ENOLINK;  // the channel's sink must be linked
        // rp1-cfe waits for every node with an enabled link: a stream that
        // would never start, refused here.
        if (linkEnabled(*m, csi2Id, otherPad, ch1, 0) || linkEnabled(*m, csi2Id, ourPad, fe, 0)) return -EBUSY;
        return formats(f);
    };
    b.busNumber = 4;
    b.bus = addI2cAdapter(k, 4, "1f00088000.i2c");
    return b;
}

SimBoard buildRadxaRock(SimKernel& k, const BoardOptions& o) {
    SimBoard b;
    b.platform = PLATFORM_RADXA_ROCK;
    setBoardModel(k, "Radxa ROCK 5B");
    SimVideoNode::Config cfg;
    cfg.multiPlanar = true;
    cfg.capabilities = V4L2_CAP_VIDEO_CAPTURE_MPLANE | V4L2_CAP_STREAMING;
    cfg.pixelFormats = {V4L2_PIX_FMT_Y12};
    cfg.fixedSize = false;  // the receiver takes any size; streaming checks it against the sensor
    addVideoNode(k, b, o, cfg, "stream_cif_mipi_id0");
    auto media = addMedia(k, b, o);
    b.sensor = addSubdev(k, 2, 22, "platform/feab0000.i2c/i2c-3/3-000c", sensorConfig(o));
    addSensorControls(b.sensor->controls);
    const std::string sensorName = "m00_b_tarnwelle " + client(3, o);
    uint32_t sensor = o.sensorFirst ? media->addEntity(sensorName, MEDIA_ENT_F_CAM_SENSOR, kV4l2Major, 22) : 0;
    SimSubdev::Config dphyCfg = sensorConfig(o);
    dphyCfg.fixedSize = false;
    dphyCfg.propagate = true;
    dphyCfg.pads = 2;
    auto dphy = addSubdev(k, 0, 20, "platform/fedc0000.csi2-dphy1", dphyCfg);
    b.receivers.push_back(dphy);
    uint32_t dphyId = media->addEntity(o.receiverName.empty() ? "rockchip-csi2-dphy1" : o.receiverName,
                                       MEDIA_ENT_F_VID_IF_BRIDGE, kV4l2Major, 20, 2);
    SimSubdev::Config csiCfg = dphyCfg;
    addSubdev(k, 1, 21, "platform/fdd30000.mipi2-csi2", csiCfg);
    uint32_t csi = media->addEntity("rockchip-mipi-csi2", MEDIA_ENT_F_VID_IF_BRIDGE, kV4l2Major, 21, 2);
    uint32_t stream = media->addEntity("stream_cif_mipi_id0", MEDIA_ENT_F_IO_V4L, kV4l2Major, b.video->devMinor);
    if (!o.sensorFirst) sensor = media->addEntity(sensorName, MEDIA_ENT_F_CAM_SENSOR, kV4l2Major, 22);
    media->addLink(sensor, 0, dphyId, 0, MEDIA_LNK_FL_ENABLED);
    media->addLink(dphyId, 1, csi, 0, MEDIA_LNK_FL_ENABLED);
    media->addLink(csi, 1, stream, 0, MEDIA_LNK_FL_ENABLED);
    b.video->pipeline = pipelineCheck(b.sensor, dphy, 1);
    b.busNumber = 3;
    b.bus = addI2cAdapter(k, 3, "rk3x-i2c");
    return b;
}

namespace {
SimBoard buildJetsonFamily(SimKernel& k, const BoardOptions& o, PlatformType platform, const char* model, int bus) {
    SimBoard b;
    b.platform = platform;
    setBoardModel(k, model);
    SimVideoNode::Config cfg;
    cfg.pixelFormats = {V4L2_PIX_FMT_Y12};
    addVideoNode(k, b, o, cfg, "vi-output, norvane " + client(bus, o));
    addSensorControls(b.video->controls);
    b.busNumber = bus;
    b.bus = addI2cAdapter(k, bus, "i2c-2-mux (chan_id 0)");
    return b;
}
}  // namespace

SimBoard buildJetson(SimKernel& k, const BoardOptions& o) {
    return buildJetsonFamily(k, o, PLATFORM_JETSON, "NVIDIA Jetson Xavier NX Developer Kit", 30);
}

SimBoard buildJetsonNano(SimKernel& k, const BoardOptions& o) {
    return buildJetsonFamily(k, o, PLATFORM_JETSON_NANO, "NVIDIA Jetson Nano Developer Kit", 7);
}

SimBoard buildUnknownBoard(SimKernel& k, const BoardOptions& o) {
    SimBoard b;
    b.platform = PLATFORM_UNKNOWN;
    setBoardModel(k, "Generic ARM board");
    SimVideoNode::Config cfg;
    addVideoNode(k, b, o, cfg, "capture");
    addSensorControls(b.video->controls);
    return b;
}

}  // namespace sim
}  // namespace Norvane
