// Whole simulated boards: the device-tree model, the video node with its
// sysfs entries, the media controller with receivers and the sensor
// sub-device, and the sensor's I2C adapter, laid out as on the real board.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sensor/Platform.h"
#include "tests/fakes/SimI2c.h"
#include "tests/fakes/SimKernel.h"
#include "tests/fakes/SimMedia.h"
#include "tests/fakes/SimV4l2.h"

namespace Norvane {
namespace sim {

constexpr unsigned kV4l2Major = 81;
constexpr unsigned kMediaMajor = 239;
constexpr unsigned kI2cMajor = 89;
constexpr uint32_t kRangeControl = 0x00981901;
constexpr uint32_t kExposureControl = 0x00980911;

struct BoardOptions {
    uint32_t width = 240, height = 180;  // the sensor's default size
    // More sizes the sensor offers.
    std::vector<std::pair<uint32_t, uint32_t>> sizes;
    int videoIndex = 0;
    uint32_t bufferLength = 0;  // nonzero: driver buffer size
    uint32_t bytesPerLine = 0;  // nonzero: the node's line length
    std::vector<uint32_t> pixelFormats;  // nonempty: the node's formats instead of the board's
    // The driver registers the sensor entity before the receivers.
    bool sensorFirst = false;
    // Another camera's media device in the node's device folder, listed
    // after (1) or before (-1) this one's.
    int otherMedia = 0;
    uint32_t nodeCaps = 0;        // nonzero: the video node's own capabilities
    uint32_t otherNodesCaps = 0;  // capabilities the device's other nodes add

    // The graph as other kernels, boards and earlier programs leave it.
    int planes = 0;                // 1: a single-planar node, 2: multi-planar, 0: the board's own
    bool mainline = false;         // Pi 5: mainline names and pads; Pi 4: mainline unicam's sub-device
    bool staleLinks = false;       // Pi 5: links left enabled into the receiver's other nodes
    bool readOnlySubdevs = false;  // Pi 4: read-only sub-device nodes, a node without V4L2_CAP_IO_MC
    uint16_t chipAddress = 0x0c;   // the sensor's address, as its names give it
    std::string receiverName;      // ROCK: the D-PHY, "rockchip-csi2-dphy1" when empty
};

struct SimBoard {
    PlatformType platform = PLATFORM_UNKNOWN;
    std::string devicePath;
    std::shared_ptr<SimVideoNode> video;
    std::shared_ptr<SimMediaDevice> media;              // null without a media walk
    std::vector<std::shared_ptr<SimSubdev>> receivers;  // sub-devices the walk registers
    std::shared_ptr<SimSubdev> sensor;                  // null on the Jetson family
    std::shared_ptr<SimI2cAdapter> bus;                 // the sensor's bus
    int busNumber = -1;
    // Where RANGE and EXPOSURE land.
    SimControls& sensorControls() { return sensor ? sensor->controls : video->controls; }
};

// An i2c-dev adapter node "/dev/i2c-<nr>" with its sysfs class entry (and
// "/proc/mounts" naming the sysfs mount).
std::shared_ptr<SimI2cAdapter> addI2cAdapter(SimKernel& k, int nr, const std::string& name,
                                             unsigned long funcs = 0x1 | 0xEFF0008ul);
// The device-tree model text (NUL-terminated, as the firmware writes it).
void setBoardModel(SimKernel& k, const std::string& model);

SimBoard buildRaspberryPi4(SimKernel& k, const BoardOptions& o = BoardOptions());
SimBoard buildRaspberryPi5(SimKernel& k, const BoardOptions& o = BoardOptions());
SimBoard buildRadxaRock(SimKernel& k, const BoardOptions& o = BoardOptions());
SimBoard buildJetson(SimKernel& k, const BoardOptions& o = BoardOptions());
SimBoard buildJetsonNano(SimKernel& k, const BoardOptions& o = BoardOptions());
// A board of no known family with a working video node.
SimBoard buildUnknownBoard(SimKernel& k, const BoardOptions& o = BoardOptions());

}  // namespace sim
}  // namespace Norvane
