#include "i2c/I2cBus.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "kernel/Kernel.h"

namespace {

// The i2c-dev requests that take their argument by value.
int ioctlValue(int fd, unsigned long request, unsigned long value) {
    return Norvane::kernel().ioctl(fd, request, reinterpret_cast<void*>(uintptr_t(value)));
}

}  // namespace

extern "C" {

int i2c_set_adapter_retries(int fd, int retries) {
    int value = retries ? retries : 2;
    if (ioctlValue(fd, I2C_RETRIES, unsigned(value)) < 0) {
        int err = errno;
        std::fprintf(stderr, "Error: Could not set retries to %d: %s\n", retries, std::strerror(err));
        return -err;
    }
    return 0;
}

int i2c_set_adapter_timeout(int fd, int timeout) {
    int value = timeout ? timeout : 3;
    if (ioctlValue(fd, I2C_TIMEOUT, unsigned(value)) < 0) {
        int err = errno;
        std::fprintf(stderr, "Error: Could not set timeout to %d: %s\n", timeout, std::strerror(err));
        return -err;
    }
    return 0;
}

int i2c_set_slave_addr(int fd, int address, int force) {
    if (ioctlValue(fd, force ? I2C_SLAVE_FORCE : I2C_SLAVE, unsigned(address)) < 0) {
        int err = errno;
        std::fprintf(stderr, "Error: Could not set address to 0x%02x: %s\n", address, std::strerror(err));
        return -err;
    }
    return 0;
}

int i2c_get_functionality(int fd, unsigned long* funcs) {
    if (Norvane::kernel().ioctl(fd, I2C_FUNCS, funcs) < 0) {
        int err = errno;
        std::fprintf(stderr, "Error: Could not get adapter functionality: %s\n", std::strerror(err));
        return -err;
    }
    return 0;
}

int i2c_open_i2c_dev(int bus, char* filename, size_t size, int quiet) {
    int fd = -1;
    if (filename && size) {
        std::snprintf(filename, size, "/dev/i2c-%d", bus);
        fd = Norvane::kernel().open(filename, O_RDWR);
    } else {
        errno = EINVAL;  // nowhere to put the name
    }
    if (fd < 0 && !quiet) {
        int err = errno;
        if (err == ENOENT) {
            std::fprintf(stderr, "Error: Could not open file `/dev/i2c-%d': %s\n", bus, std::strerror(err));
        } else {
            std::fprintf(stderr, "Error: Could not open file `%s': %s\n", filename ? filename : "", std::strerror(err));
            if (err == EACCES) std::fprintf(stderr, "Run as root?\n");
        }
    }
    return fd;
}

}  // extern "C"
