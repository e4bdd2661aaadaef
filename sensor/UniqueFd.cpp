#include "UniqueFd.h"

#include <cerrno>

#include "sensor/KernelAccess.h"

namespace Quorvex {

void UniqueFd::reset(int fd)
{
    if (fd_ >= 0 && fd_ != fd)
        kernel().close(fd_);
    fd_ = fd;
}

ssize_t readLine(int fd, char* buffer, size_t size)
{
    if (!buffer || size == 0)
        return -1;
    KernelAccess& k = kernel();
    size_t used = 0;
    // Byte by byte: these are short sysfs/procfs files, and a line must not
    // consume what follows it.
    while (used + 1 < size) {
        char c;
        const ssize_t n = k.read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            buffer[used] = '\0';
            return -1;
        }
        if (n == 0)
            break;
        buffer[used++] = c;
        if (c == '\n')
            break;
    }
    buffer[used] = '\0';
    return static_cast<ssize_t>(used);
}

} // namespace Quorvex
