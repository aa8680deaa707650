#include "tests/fakes/SimI2c.h"

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <cerrno>

namespace Norvane {
namespace sim {

namespace {
constexpr unsigned long kRdwrMaxMessages = 42;  // I2C_RDWR_IOCTL_MAX_MSGS
constexpr uint16_t kTenBitMax = 0x3FF;
}  // namespace

SimI2cAdapter::SimI2cAdapter(unsigned long funcs) : funcs(funcs) { charDevice = true; }

int SimI2cAdapter::ioctl(unsigned long request, void* arg) {
    std::lock_guard<std::mutex> lock(m);
    auto value = reinterpret_cast<uintptr_t>(arg);
    switch (request) {
        case I2C_FUNCS:
            if (!arg) return -EFAULT;
            *static_cast<unsigned long*>(arg) = funcs;
            return 0;
        case I2C_SLAVE:
        case I2C_SLAVE_FORCE:
            if (value > kTenBitMax || (value > 0x7F && !(funcs & I2C_FUNC_10BIT_ADDR))) return -EINVAL;
            address = long(value);
            forced = request == I2C_SLAVE_FORCE;
            return 0;
        case I2C_TIMEOUT:
            if (value > 0x7FFFFFFF) return -EINVAL;
            timeoutValue = long(value);
            return 0;
        case I2C_RETRIES:
            retriesValue = long(value);
            return 0;
        case I2C_RDWR: {
            if (!arg) return -EFAULT;
            auto* data = static_cast<i2c_rdwr_ioctl_data*>(arg);
            if (!data->msgs || data->nmsgs == 0 || data->nmsgs > kRdwrMaxMessages) return -EINVAL;
            if (!(funcs & I2C_FUNC_I2C)) return -EOPNOTSUPP;
            for (unsigned i = 0; i < data->nmsgs; ++i) {
                const i2c_msg& msg = data->msgs[i];
                if (msg.len && !msg.buf) return -EFAULT;
                if (msg.addr > 0x7F && !(msg.flags & I2C_M_TEN)) return -EINVAL;
            }
            int done = int(data->nmsgs);
            if (transferredLimit && transferredLimit < done) done = transferredLimit;
            for (int i = 0; i < done; ++i) {
                const i2c_msg& msg = data->msgs[i];
                log.push_back(Message{msg.addr, msg.flags, std::vector<uint8_t>(msg.buf, msg.buf + msg.len)});
            }
            return done;
        }
        default:
            return -ENOTTY;
    }
}

std::vector<SimI2cAdapter::Message> SimI2cAdapter::messages() const {
    std::lock_guard<std::mutex> lock(m);
    return log;
}
long SimI2cAdapter::slaveAddress() const {
    std::lock_guard<std::mutex> lock(m);
    return address;
}
bool SimI2cAdapter::slaveForced() const {
    std::lock_guard<std::mutex> lock(m);
    return forced;
}
long SimI2cAdapter::timeout() const {
    std::lock_guard<std::mutex> lock(m);
    return timeoutValue;
}
long SimI2cAdapter::retries() const {
    std::lock_guard<std::mutex> lock(m);
    return retriesValue;
}
void SimI2cAdapter::setTransferredLimit(int limit) {
    std::lock_guard<std::mutex> lock(m);
    transferredLimit = limit;
}

}  // namespace sim
}  // namespace Norvane
