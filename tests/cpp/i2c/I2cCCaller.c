/* A C program's use of the exported helpers: compiled as C, so the header
 * and the C linkage of the library's symbols are checked by the build. */
#include "i2c/I2cBus.h"

#include <stddef.h>

int c_caller_configure(int bus, unsigned long* funcs) {
    char name[20];
    int fd = i2c_open_i2c_dev(bus, name, sizeof name, 0);
    if (fd < 0) return fd;
    if (i2c_get_functionality(fd, funcs) < 0) return -100;
    if (i2c_set_slave_addr(fd, 0x0c, 1) < 0) return -101;
    if (i2c_set_adapter_timeout(fd, 5) < 0) return -102;
    if (i2c_set_adapter_retries(fd, 4) < 0) return -103;
    return fd;
}
