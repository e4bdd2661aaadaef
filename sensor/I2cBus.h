#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "camera/TofTypes.h"
#include "sensor/CsiPipeline.h"

namespace Quorvex {

// One I2C adapter of the host.
struct I2cAdapterRecord {
    int busNumber = 0;         // N of /dev/i2c-N
    std::string name;          // as the kernel reports it, without the newline
    std::string functionality; // short kind ("i2c", "smbus", ...)
    std::string algorithm;     // long kind ("I2C adapter", ...)
};

// The host's adapters in listing order, from /proc/bus/i2c where the kernel
// still has it, else from <sysfs>/class/i2c-dev. Empty when neither can be
// listed; none when memory runs out. The list grows in steps of 8 records.
std::optional<std::vector<I2cAdapterRecord>> gatherI2cAdapters();

// Bus number of the adapter called exactly `name`: -1 no match, -4 more than
// one, -3 out of memory (each with its message on standard error).
int lookupI2cBusByName(const char* name);

// Bus number from a bus text: a number in any C base, or else an adapter
// name. -2 (with a message) for a number above 0xFFFFF; the name lookup's
// results otherwise.
int lookupI2cBus(const char* text);

// 7-bit chip address in any C base: -1 not a number, -2 outside 0x03-0x77
// (each with its message on standard error).
int parseChipAddress(const char* text);

// Resolves state.i2cBus, opens the adapter into state.i2cFd, checks that it
// can do plain I2C transfers and sets state.chipAddress. -2 on any failure,
// after its message; i2cFd keeps what was opened, for the owner to close.
TofErrorCode setupI2cBus(CsiPipeline& state);

// Writes a 32-bit value to a 16-bit register of the chip at `chipAddress`,
// both high byte first, in one I2C_RDWR message. 0, or -2 when the transfer
// fails (silently: the caller decides what to report).
TofErrorCode writeRegister(int fd, uint16_t chipAddress, uint16_t reg, uint32_t value);

} // namespace Quorvex
