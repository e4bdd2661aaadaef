// A real I2C adapter (the vexpress-a9 board's, driver i2c-versatile) with an
// EEPROM at the module controller's address 0x0C: 2-byte register addresses,
// as the controller takes them. Only the first bus is used; the second has
// nothing attached and each NACK there costs seconds.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <gtest/gtest.h>

#include "sensor/KernelAccess.h"
#include "tests/kernel/support/GuestSupport.h"

namespace Quorvex {
namespace {

using Guest::Fd;

constexpr uint16_t chip = 0x0C;
constexpr const char* busPath = "/dev/i2c-0";

int transfer(int fd, i2c_msg* msgs, uint32_t count)
{
    i2c_rdwr_ioctl_data data{msgs, count};
    return kernel().ioctl(fd, I2C_RDWR, &data);
}

// A combined transfer: the register address, then a repeated start and read.
int readBack(int fd, uint16_t address, uint16_t reg, uint8_t* out, uint16_t length)
{
    uint8_t regBytes[2] = {uint8_t(reg >> 8), uint8_t(reg)};
    i2c_msg msgs[2] = {{address, 0, 2, regBytes}, {address, I2C_M_RD, length, out}};
    return transfer(fd, msgs, 2);
}

TEST(RealI2c, FirstBusOffersPlainI2cTransfers)
{
    Fd fd(kernel().open(busPath, O_RDWR));
    ASSERT_TRUE(fd.isValid()) << std::strerror(errno);
    unsigned long funcs = 0;
    ASSERT_EQ(kernel().ioctl(fd.get(), I2C_FUNCS, &funcs), 0) << std::strerror(errno);
    EXPECT_TRUE(funcs & I2C_FUNC_I2C) << std::hex << funcs;
}

TEST(RealI2c, RegisterWriteLandsBigEndianAtItsAddress)
{
    Fd fd(kernel().open(busPath, O_RDWR));
    ASSERT_TRUE(fd.isValid()) << std::strerror(errno);

    // 0x0633 receives 30: 06 33 00 00 00 1E in one message.
    uint8_t write[6] = {0x06, 0x33, 0x00, 0x00, 0x00, 0x1E};
    i2c_msg msg{chip, 0, sizeof write, write};
    EXPECT_EQ(transfer(fd.get(), &msg, 1), 1) << std::strerror(errno);

    uint8_t got[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    EXPECT_EQ(readBack(fd.get(), chip, 0x0633, got, sizeof got), 2) << std::strerror(errno);
    EXPECT_EQ(std::vector<uint8_t>(got, got + 4), (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x1E}));
}

// No /proc/bus/i2c on current kernels: the adapters are found through the
// i2c-dev class in sysfs, listed unsorted, both named alike.
TEST(RealI2c, AdaptersAreListedThroughSysfs)
{
    struct stat st {};
    errno = 0;
    EXPECT_EQ(kernel().stat("/proc/bus/i2c", &st), -1);
    EXPECT_EQ(errno, ENOENT);

    std::vector<std::string> names;
    ASSERT_EQ(kernel().listDirectory("/sys/class/i2c-dev", names), 0) << std::strerror(errno);
    std::vector<std::string> adapters;
    for (const std::string& n : names)
        if (n != "." && n != "..")
            adapters.push_back(n);
    std::sort(adapters.begin(), adapters.end());
    ASSERT_EQ(adapters, (std::vector<std::string>{"i2c-0", "i2c-1"}));
    for (const std::string& a : adapters) {
        char name[120];
        ASSERT_GT(readFileLine(("/sys/class/i2c-dev/" + a + "/name").c_str(), name, sizeof name), 0) << a;
        EXPECT_STREQ(name, "Versatile I2C adapter\n") << a;
    }
}

// The device tree declares chips on the first bus (0x39, 0x60) that no
// driver has bound: only a bound driver makes an address busy.
TEST(RealI2c, DeclaredButUnboundAddressesCanBeTaken)
{
    Fd fd(kernel().open(busPath, O_RDWR));
    ASSERT_TRUE(fd.isValid()) << std::strerror(errno);
    for (uintptr_t address : {uintptr_t(0x39), uintptr_t(0x60), uintptr_t(chip)})
        EXPECT_EQ(kernel().ioctl(fd.get(), I2C_SLAVE, reinterpret_cast<void*>(address)), 0)
            << std::hex << address << ": " << std::strerror(errno);
    errno = 0;
    EXPECT_EQ(kernel().ioctl(fd.get(), I2C_SLAVE, reinterpret_cast<void*>(uintptr_t(0x80))), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(RealI2c, MissingAddressAnswersNoDevice)
{
    Fd fd(kernel().open(busPath, O_RDWR));
    ASSERT_TRUE(fd.isValid()) << std::strerror(errno);
    uint8_t write[6] = {0x06, 0x33, 0, 0, 0, 30};
    i2c_msg msg{0x0D, 0, sizeof write, write};
    errno = 0;
    EXPECT_EQ(transfer(fd.get(), &msg, 1), -1);
    EXPECT_EQ(errno, ENXIO) << std::strerror(errno);
}

} // namespace
} // namespace Quorvex

