#include "i2c_helpers.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

#include <linux/i2c-dev.h>

#include "sensor/KernelAccess.h"

using Quorvex::kernel;

namespace {

// Requests whose argument is a value travel in the pointer itself.
void* valueArgument(long value)
{
    return reinterpret_cast<void*>(static_cast<intptr_t>(value));
}

} // namespace

extern "C" int i2c_open_i2c_dev(int bus, char* filename, size_t size, int quiet)
{
    // The device opened is always the one asked for, even when the caller's
    // buffer is too small to hold its whole name.
    char path[32];
    std::snprintf(path, sizeof path, "/dev/i2c-%d", bus);
    if (filename && size > 0)
        std::snprintf(filename, size, "%s", path);
    const int fd = kernel().open(path, O_RDWR);
    if (fd < 0 && !quiet) {
        const int err = errno;
        if (err == ENOENT)
            std::fprintf(stderr, "Error: Could not open file `/dev/i2c-%d': %s\n", bus, std::strerror(err));
        else
            std::fprintf(stderr, "Error: Could not open file `%s': %s\n", path, std::strerror(err));
        if (err == EACCES)
            std::fprintf(stderr, "Run as root?\n");
        errno = err;
    }
    return fd;
}

extern "C" int i2c_get_functionality(int fd, unsigned long* funcs)
{
    if (kernel().ioctl(fd, I2C_FUNCS, funcs) < 0) {
        const int err = errno;
        std::fprintf(stderr, "Error: Could not get adapter functionality: %s\n", std::strerror(err));
        return -err;
    }
    return 0;
}

extern "C" int i2c_set_slave_addr(int fd, int address, int force)
{
    if (kernel().ioctl(fd, force ? I2C_SLAVE_FORCE : I2C_SLAVE, valueArgument(address)) < 0) {
        const int err = errno;
        std::fprintf(stderr, "Error: Could not set address to 0x%02x: %s\n", address, std::strerror(err));
        return -err;
    }
    return 0;
}

extern "C" int i2c_set_adapter_timeout(int fd, int timeout)
{
    if (kernel().ioctl(fd, I2C_TIMEOUT, valueArgument(timeout ? timeout : 3)) < 0) {
        const int err = errno;
        std::fprintf(stderr, "Error: Could not set timeout to %d: %s\n", timeout, std::strerror(err));
        return -err;
    }
    return 0;
}

extern "C" int i2c_set_adapter_retries(int fd, int retries)
{
    if (kernel().ioctl(fd, I2C_RETRIES, valueArgument(retries ? retries : 2)) < 0) {
        const int err = errno;
        std::fprintf(stderr, "Error: Could not set retries to %d: %s\n", retries, std::strerror(err));
        return -err;
    }
    return 0;
}
