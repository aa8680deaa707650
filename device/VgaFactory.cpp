#include "sensor/TransportFactory.h"

namespace Norvane {

std::unique_ptr<NorvaneDevice> createVgaDevice(PlatformType) { return nullptr; }

}  // namespace Norvane
