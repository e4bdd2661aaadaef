#include "sensor/CsiPipeline.h"

#include <utility>

#include "sensor/UniqueFd.h"

namespace Quorvex {

void closeDescriptor(int& fd)
{
    // An owner that closes at once, through the kernel-access layer.
    UniqueFd owner(std::exchange(fd, -1));
}

void CsiPipeline::closeSubdevs()
{
    for (int& fd : subdevFds)
        closeDescriptor(fd);
    subdevCount = 0;
}

void CsiPipeline::close()
{
    closeSubdevs();
    closeDescriptor(i2cFd);
}

} // namespace Quorvex
