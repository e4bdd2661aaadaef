#pragma once

// C helpers for the Linux I2C device interface (/dev/i2c-N), exported by the
// library with C linkage. Each prints its failure to standard error and
// returns -errno (i2c_open_i2c_dev: -1).

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Formats "/dev/i2c-<bus>" into `filename` (capacity `size`, truncated if it
// must be) and opens it read-write. Returns the descriptor or -1; `quiet`
// non-zero keeps failures silent.
int i2c_open_i2c_dev(int bus, char* filename, size_t size, int quiet);

// I2C_FUNCS: the adapter's functionality bits into *funcs.
int i2c_get_functionality(int fd, unsigned long* funcs);

// I2C_SLAVE, or I2C_SLAVE_FORCE when `force` is non-zero.
int i2c_set_slave_addr(int fd, int address, int force);

// I2C_TIMEOUT in units of 10 ms; 0 asks for the default of 3.
int i2c_set_adapter_timeout(int fd, int timeout);

// I2C_RETRIES; 0 asks for the default of 2.
int i2c_set_adapter_retries(int fd, int retries);

#ifdef __cplusplus
}
#endif
