#include "sensor/TransportFactory.h"
#include "sensor/usb/NorvaneTOFUSBSensor.h"

namespace Norvane {

std::unique_ptr<NorvaneTOFSensor> createUsbSensor(const char* configPath, int index) {
    return std::make_unique<NorvaneTOFUSBSensor>(configPath ? configPath : "", index);
}

}  // namespace Norvane
