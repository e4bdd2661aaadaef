// Lines of /proc/mounts: the pure parser on the raw bytes, and the sysfs
// adapter listing that starts from whatever mount point it names.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sensor/I2cBus.h"
#include "sensor/KernelText.h"
#include "sim/SimKernel.h"

using namespace Quorvex;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    std::string_view point, type;
    if (parseMountsLine(line, point, type)) {
        if (point.empty() || type.empty() || point.find(' ') != std::string_view::npos ||
            type.find(' ') != std::string_view::npos || point.data() < line.data() ||
            type.data() + type.size() > line.data() + line.size())
            std::abort();
    }

    Sim::SimKernel k;
    Sim::ScopedKernel scope(k);
    k.addFile("/proc/mounts", std::string(line));
    k.addFile("/sys/class/i2c-dev/i2c-1/name", "adapter\n");
    if (!gatherI2cAdapters())
        std::abort();
    return 0;
}
