#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "camera/TofTypes.h"
#include "sensor/BoardKind.h"

namespace Quorvex {

class QuorvexDevice;

// The module variant a reported frame size stands for: exactly 240 x 180 is
// the HQVGA module, any other size the VGA module.
DeviceType deviceTypeForSize(uint32_t width, uint32_t height);

// Creates the device for the variant of `width` x `height`.
std::unique_ptr<QuorvexDevice> createDevice(uint32_t width, uint32_t height, BoardKind board);

// Replaces createDevice's choice while set (test doubles); an empty function
// restores it. Not to be changed while a camera is being opened.
using DeviceMaker = std::function<std::unique_ptr<QuorvexDevice>(uint32_t width, uint32_t height, BoardKind board)>;
void installDeviceMaker(DeviceMaker maker);

} // namespace Quorvex
