// A simulated i2c-dev adapter node ("/dev/i2c-N").
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "tests/fakes/SimKernel.h"

namespace Norvane {
namespace sim {

class SimI2cAdapter : public SimNode {
public:
    // One message of an I2C_RDWR transfer as the adapter saw it.
    struct Message {
        uint16_t addr;
        uint16_t flags;
        std::vector<uint8_t> data;
    };

    explicit SimI2cAdapter(unsigned long funcs = 0x1 | 0xEFF0008ul);

    int ioctl(unsigned long request, void* arg) override;

    // Every message of every successful transfer, in order.
    std::vector<Message> messages() const;
    long slaveAddress() const;
    bool slaveForced() const;
    long timeout() const;
    long retries() const;

    // Nonzero: I2C_RDWR reports this many messages transferred instead of all.
    void setTransferredLimit(int limit);

private:
    mutable std::mutex m;
    unsigned long funcs;
    std::vector<Message> log;
    long address = -1;
    bool forced = false;
    long timeoutValue = -1;
    long retriesValue = -1;
    int transferredLimit = 0;
};

}  // namespace sim
}  // namespace Norvane
