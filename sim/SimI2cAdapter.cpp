#include "SimI2cAdapter.h"

#include <climits>
#include <cstdint>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

namespace Quorvex::Sim {

namespace {
constexpr uint32_t maxMessages = 42;  // I2C_RDWR_IOCTL_MAX_MSGS
constexpr uint16_t maxMessageLength = 8192;
} // namespace

struct SimI2cAdapter::Client final : SimFileState {
    int address = -1;
};

SimI2cAdapter::SimI2cAdapter(unsigned long functionality) : functionality_(functionality) {}

void SimI2cAdapter::setFunctionality(unsigned long functionality)
{
    std::lock_guard<std::mutex> lock(mutex_);
    functionality_ = functionality;
}

void SimI2cAdapter::failFunctionality(int error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    functionalityError_ = error;
}

void SimI2cAdapter::addChip(uint16_t address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    chips_[address];
}

void SimI2cAdapter::claimAddress(uint16_t address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    claimed_.insert(address);
}

std::vector<std::vector<uint8_t>> SimI2cAdapter::sent(uint16_t address) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sent_.find(address);
    return it == sent_.end() ? std::vector<std::vector<uint8_t>>{} : it->second;
}

uint32_t SimI2cAdapter::registerValue(uint16_t address, uint16_t reg) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto chip = chips_.find(address);
    if (chip == chips_.end())
        return 0;
    uint32_t value = 0;
    for (uint16_t i = 0; i < 4; ++i) {
        auto byte = chip->second.registers.find(static_cast<uint16_t>(reg + i));
        value = (value << 8) | (byte == chip->second.registers.end() ? 0u : byte->second);
    }
    return value;
}

unsigned long SimI2cAdapter::timeout() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return timeout_;
}

unsigned long SimI2cAdapter::retries() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return retries_;
}

int SimI2cAdapter::slaveAddress() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return lastSlave_;
}

int SimI2cAdapter::open(SimOpenFile& file)
{
    file.state = std::make_unique<Client>();
    return 0;
}

int SimI2cAdapter::ioctl(SimOpenFile& file, unsigned long request, void* arg)
{
    // Value-carrying requests pass their argument in the pointer itself.
    const auto value = reinterpret_cast<uintptr_t>(arg);
    std::lock_guard<std::mutex> lock(mutex_);
    switch (request) {
    case I2C_FUNCS:
        if (functionalityError_)
            return -functionalityError_;
        if (!arg)
            return -EFAULT;
        *static_cast<unsigned long*>(arg) = functionality_;
        return 0;
    case I2C_SLAVE:
    case I2C_SLAVE_FORCE:
        if (value > 0x7F)
            return -EINVAL;
        if (request == I2C_SLAVE && claimed_.count(static_cast<uint16_t>(value)))
            return -EBUSY;
        static_cast<Client&>(*file.state).address = static_cast<int>(value);
        lastSlave_ = static_cast<int>(value);
        return 0;
    case I2C_TIMEOUT:
        if (value > INT_MAX)
            return -EINVAL;
        timeout_ = value;
        return 0;
    case I2C_RETRIES:
        if (value > INT_MAX)
            return -EINVAL;
        retries_ = value;
        return 0;
    case I2C_RDWR:
        return transfer(arg);
    default:
        return -ENOTTY;
    }
}

int SimI2cAdapter::transfer(void* arg)
{
    if (!arg)
        return -EFAULT;
    const auto* data = static_cast<const i2c_rdwr_ioctl_data*>(arg);
    if (data->nmsgs > maxMessages)
        return -EINVAL;
    for (uint32_t i = 0; i < data->nmsgs; ++i)
        if (data->msgs[i].len > maxMessageLength)
            return -EINVAL;
    if (!(functionality_ & I2C_FUNC_I2C))
        return -EOPNOTSUPP;
    for (uint32_t i = 0; i < data->nmsgs; ++i) {
        const i2c_msg& m = data->msgs[i];
        if (m.flags & I2C_M_TEN)
            return -EINVAL;
        auto chip = chips_.find(m.addr);
        if (chip == chips_.end())
            return -ENXIO;
        Chip& c = chip->second;
        if (m.flags & I2C_M_RD) {
            for (uint16_t k = 0; k < m.len; ++k) {
                auto byte = c.registers.find(c.pointer);
                m.buf[k] = byte == c.registers.end() ? 0 : byte->second;
                ++c.pointer;
            }
            continue;
        }
        sent_[m.addr].emplace_back(m.buf, m.buf + m.len);
        if (m.len >= 2) {
            c.pointer = static_cast<uint16_t>(m.buf[0] << 8 | m.buf[1]);
            for (uint16_t k = 2; k < m.len; ++k)
                c.registers[c.pointer++] = m.buf[k];
        }
    }
    return static_cast<int>(data->nmsgs);
}

} // namespace Quorvex::Sim
