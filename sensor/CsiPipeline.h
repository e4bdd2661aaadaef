#pragma once

#include <cstdint>

namespace Quorvex {

// What a CSI sensor learns about its pipeline while opening: the sub-devices
// found by media discovery and the module's I2C channel. Member names match
// the sensor's data model. The record owns its descriptors only through
// close(): discovery and bus set-up fill it in place, and whoever holds it
// (the sensor, until its close()) decides when they go.
struct CsiPipeline {
    static constexpr uint8_t kMaxSubdevs = 4;

    // The module's own sub-device, or -1 when discovery found none.
    int sensorSubdev() const { return sensorSubdevIndex < kMaxSubdevs ? subdevFds[sensorSubdevIndex] : -1; }
    // Closes the sub-devices; the list is empty afterwards.
    void closeSubdevs();
    // Closes every descriptor held; all of them read -1 afterwards.
    void close();

    // Descriptors of the V4L2 sub-devices in discovery order; -1 when unused.
    int subdevFds[kMaxSubdevs] = {-1, -1, -1, -1};
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

// Closes a descriptor member through the kernel-access layer (if it holds
// one) and sets it to -1.
void closeDescriptor(int& fd);

} // namespace Quorvex
