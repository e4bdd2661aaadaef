// Lines of /proc/bus/i2c: the pure parser on the raw bytes, and the whole
// adapter listing reading them through the line reader in 119-byte pieces.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sensor/I2cBus.h"
#include "sensor/KernelText.h"
#include "sim/SimKernel.h"

using namespace Quorvex;

namespace {

bool inside(std::string_view part, std::string_view whole)
{
    return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    ProcI2cLine out;
    if (parseProcI2cLine(line, out)) {
        if (out.busNumber < 0 || !inside(out.functionality, line) || !inside(out.name, line) ||
            !inside(out.algorithm, line))
            std::abort();
    }

    Sim::SimKernel k;
    Sim::ScopedKernel scope(k);
    k.addFile("/proc/bus/i2c", std::string(line));
    const auto adapters = gatherI2cAdapters();
    if (!adapters)
        std::abort();
    for (const I2cAdapterRecord& a : *adapters)
        if (a.busNumber < 0 || a.name.size() > 119)
            std::abort();
    return 0;
}
