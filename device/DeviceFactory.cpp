#include "device/DeviceFactory.h"

#include <utility>

#include "device/QuorvexDevice.h"
#include "device/QuorvexDeviceHQVGA.h"
#include "device/QuorvexDeviceVGA.h"

namespace Quorvex {

namespace {

DeviceMaker& override()
{
    static DeviceMaker maker;
    return maker;
}

} // namespace

DeviceType deviceTypeForSize(uint32_t width, uint32_t height)
{
    return width == 240 && height == 180 ? HQVGA : VGA;
}

std::unique_ptr<QuorvexDevice> createDevice(uint32_t width, uint32_t height, BoardKind board)
{
    if (override())
        return override()(width, height, board);
    if (deviceTypeForSize(width, height) == HQVGA)
        return std::make_unique<QuorvexDeviceHQVGA>(board);
    return std::make_unique<QuorvexDeviceVGA>(board);
}

void installDeviceMaker(DeviceMaker maker)
{
    override() = std::move(maker);
}

} // namespace Quorvex
