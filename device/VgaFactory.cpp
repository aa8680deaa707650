#include "device/NorvaneDeviceVGA.h"
#include "sensor/TransportFactory.h"

namespace Norvane {

std::unique_ptr<NorvaneDevice> createVgaDevice(PlatformType platform) {
    return std::make_unique<NorvaneDeviceVGA>(platform);
}

}  // namespace Norvane
