#include "sensor/TransportFactory.h"
#include "sensor/csi/NorvaneTOFCSISensor.h"

namespace Norvane {

std::unique_ptr<NorvaneTOFSensor> createCsiSensor(const char* devicePath, PlatformType platform) {
    return std::make_unique<NorvaneTOFCSISensor>(devicePath, platform);
}

}  // namespace Norvane
