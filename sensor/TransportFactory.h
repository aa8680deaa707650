// Construction of the concrete transports and devices the camera picks
// from. Each lives with its transport or device, so the camera depends only
// on the interfaces.
#pragma once

#include <memory>

#include "device/NorvaneDevice.h"
#include "sensor/NorvaneTOFSensor.h"
#include "sensor/Platform.h"

namespace Norvane {

// A CSI transport for the video node `devicePath` ("/dev/videoN"), or null
// when this build has none.
std::unique_ptr<NorvaneTOFSensor> createCsiSensor(const char* devicePath, PlatformType platform);

// A USB transport for device number `index` with an optional configuration
// file path (empty: the kit's defaults), or null when this build has none.
std::unique_ptr<NorvaneTOFSensor> createUsbSensor(const char* configPath, int index);

// The device for every geometry other than 240 x 180, or null when this
// build has none.
std::unique_ptr<NorvaneDevice> createVgaDevice(PlatformType platform);

}  // namespace Norvane
