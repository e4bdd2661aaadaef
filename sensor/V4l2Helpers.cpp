#include "V4l2Helpers.h"

#include <cerrno>

#include "sensor/KernelAccess.h"

namespace Quorvex {

namespace {
constexpr int maxAttempts = 5;
}

int ioctlRetry(int fd, unsigned long request, void* arg)
{
    KernelAccess& k = kernel();
    int result = -1;
    for (int attempt = 0; attempt < maxAttempts; ++attempt) {
        result = k.ioctl(fd, request, arg);
        if (result != -1 || (errno != EAGAIN && errno != EINTR && errno != ETIMEDOUT))
            break;
    }
    return result;
}

int ioctlOnce(int fd, unsigned long request, void* arg)
{
    return kernel().ioctl(fd, request, arg);
}

} // namespace Quorvex
