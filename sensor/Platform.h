// Board family, detected once from what decides the capture path.
#pragma once

#include <cstdint>

namespace Norvane {

enum PlatformType : int32_t {
    PLATFORM_UNKNOWN = 0,
    PLATFORM_JETSON_NANO = 2,
    PLATFORM_JETSON = 3,
    PLATFORM_RASPBERRY_PI = 5,
    PLATFORM_RASPBERRY_PI_5 = 6,
    PLATFORM_RADXA_ROCK = 7,
};

// Boards whose CSI receivers are found through the media controller.
inline bool isMediaControllerFamily(PlatformType p) { return p >= 5 && p <= 7; }
// Boards whose sensor bus is named in the video node's sysfs name.
inline bool isJetsonFamily(PlatformType p) { return p >= 2 && p <= 4; }

// Through the kernel seam, in this order: the camera receiver registered
// (a media device's model or driver: rp1-cfe, unicam, rkcif, the Tegra video
// input), the SoC in the device tree's compatible list, and last the
// device-tree model text. Never fails: any trouble gives PLATFORM_UNKNOWN.
PlatformType detectPlatform();

// The classification of a model text, detectPlatform's last resort.
PlatformType platformFromModel(const char* model);

}  // namespace Norvane
