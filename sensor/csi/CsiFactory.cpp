#include "sensor/TransportFactory.h"

namespace Norvane {

std::unique_ptr<NorvaneTOFSensor> createCsiSensor(const char*, PlatformType) { return nullptr; }

}  // namespace Norvane
