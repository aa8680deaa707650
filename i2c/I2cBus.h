// I2C bus helpers with C linkage, usable from C and C++ programs.
//
// Each returns 0 (or a descriptor) on success. On failure it prints one
// "Error: ..." line on standard error and returns the negated errno;
// i2c_open_i2c_dev returns the failed open's result instead.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Sets the adapter's retry count (2 when `retries` is 0).
int i2c_set_adapter_retries(int fd, int retries);
// Sets the adapter's time-out in units of 10 ms (3 when `timeout` is 0).
int i2c_set_adapter_timeout(int fd, int timeout);
// Selects the chip address for plain reads and writes; `force` takes it even
// while a kernel driver holds the address.
int i2c_set_slave_addr(int fd, int address, int force);
// Reads the adapter's functionality bits.
int i2c_get_functionality(int fd, unsigned long* funcs);
// Formats "/dev/i2c-<bus>" into `filename` (at most `size` characters with
// the terminator) and opens it read-write. `quiet` suppresses the message.
int i2c_open_i2c_dev(int bus, char* filename, size_t size, int quiet);

#ifdef __cplusplus
}
#endif
