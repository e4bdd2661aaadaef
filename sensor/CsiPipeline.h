#pragma once

#include <cstdint>

namespace Quorvex {

// What a CSI sensor learns about its pipeline while opening: the sub-devices
// found by media discovery and the module's I2C channel. Member names match
// the sensor's data model; the sensor's close() releases the descriptors.
struct CsiPipeline {
    // Descriptors of the V4L2 sub-devices in discovery order; -1 when unused.
    int subdevFds[4] = {-1, -1, -1, -1};
    // Index in subdevFds of the module's own sub-device.
    uint8_t sensorSubdevIndex = 0;
    // Entries of subdevFds in use.
    uint8_t subdevCount = 0;
    // Bus named by discovery: a decimal number or an adapter name.
    char i2cBus[9] = {};
    // Descriptor of the module's I2C adapter.
    int i2cFd = -1;
    // I2C address of the module's controller.
    uint16_t chipAddress = 0x0C;
    // Media device found by discovery.
    char mediaPath[80] = {};
};

} // namespace Quorvex
