// Names the discovery reads: media entity names (32-byte fields), capture
// node sysfs names, /sys/dev/char link targets and i2c-dev entry names.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "sensor/KernelText.h"

using namespace Quorvex;

namespace {

void checkBus(const char (&bus)[busTextSize], size_t limit)
{
    const size_t n = strnlen(bus, busTextSize);
    if (n >= busTextSize || n > limit)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    char bus[busTextSize];
    std::memset(bus, 'X', sizeof bus);
    bus[busTextSize - 1] = '\0';
    if (busTextFromEntityName(text, bus))
        checkBus(bus, 7);

    std::memset(bus, 'X', sizeof bus);
    bus[busTextSize - 1] = '\0';
    if (busTextFromSysfsName(text, "quorvex", bus)) {
        checkBus(bus, 8);
        for (size_t i = 0; bus[i]; ++i)
            if (bus[i] < '0' || bus[i] > '9')
                std::abort();
    }

    std::string_view node;
    if (subdevNodeFromLink(text, node) &&
        (node.size() < 11 || node.data() < text.data() || node.data() + node.size() != text.data() + text.size()))
        std::abort();

    int number = -1;
    if (parseI2cDevName(text, number) && number < 0)
        std::abort();
    return 0;
}
