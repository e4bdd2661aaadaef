#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "sim/SimDeviceNode.h"

namespace Quorvex::Sim {

// An I2C adapter behind /dev/i2c-N with chips on its bus.
// - I2C_FUNCS reports the functionality bits (or fails with a chosen errno);
// - I2C_SLAVE refuses an address a kernel driver has claimed (EBUSY),
//   I2C_SLAVE_FORCE takes it anyway; addresses above 0x7F are EINVAL;
// - I2C_TIMEOUT and I2C_RETRIES set the adapter's values;
// - I2C_RDWR needs plain-I2C capability (EOPNOTSUPP otherwise), rejects more
//   than 42 messages or messages over 8192 bytes (EINVAL), and stops with
//   ENXIO at the first message to an address where no chip answers.
// Chips have 16-bit register addresses sent high byte first: a write sets
// the register pointer and stores the bytes that follow from there on; a
// read returns bytes from the pointer on.
class SimI2cAdapter final : public SimDeviceNode {
public:
    explicit SimI2cAdapter(unsigned long functionality);

    void setFunctionality(unsigned long functionality);
    // I2C_FUNCS fails with `error` (0: answers again).
    void failFunctionality(int error);
    void addChip(uint16_t address);
    void claimAddress(uint16_t address);

    // Payloads of the write messages each address has acknowledged, in order.
    std::vector<std::vector<uint8_t>> sent(uint16_t address) const;
    // A chip's register contents read as a 32-bit big-endian value.
    uint32_t registerValue(uint16_t address, uint16_t reg) const;
    unsigned long timeout() const;
    unsigned long retries() const;
    // The address the most recent I2C_SLAVE/I2C_SLAVE_FORCE set (-1: none).
    int slaveAddress() const;

    int open(SimOpenFile& file) override;
    int ioctl(SimOpenFile& file, unsigned long request, void* arg) override;

private:
    struct Chip {
        uint16_t pointer = 0;
        std::map<uint16_t, uint8_t> registers;
    };
    struct Client;

    int transfer(void* arg);

    mutable std::mutex mutex_;
    unsigned long functionality_;
    int functionalityError_ = 0;
    unsigned long timeout_ = 1;
    unsigned long retries_ = 0;
    int lastSlave_ = -1;
    std::map<uint16_t, Chip> chips_;
    std::set<uint16_t> claimed_;
    std::map<uint16_t, std::vector<std::vector<uint8_t>>> sent_;
};

} // namespace Quorvex::Sim
