// A real I2C adapter (the vexpress-a9 board's, driver i2c-versatile) with an
// EEPROM at the module controller's address 0x0C: 2-byte register addresses,
// as the controller takes them. Only the first bus is used; the second has
// nothing attached and each NACK there costs seconds.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <gtest/gtest.h>

#include "sensor/CsiPipeline.h"
#include "sensor/I2cBus.h"
#include "sensor/KernelAccess.h"
#include "sensor/i2c_helpers.h"
#include "tests/kernel/support/GuestSupport.h"
#include "tests/kernel/support/RealKernelFacts.h"

namespace Quorvex {
namespace {

using Guest::Fd;

constexpr uint16_t chip = RealKernelFacts::eepromAddress;
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
        EXPECT_EQ(std::string(name), std::string(RealKernelFacts::vexpressAdapterName) + "\n") << a;
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
    i2c_msg msg{RealKernelFacts::absentAddress, 0, sizeof write, write};
    errno = 0;
    EXPECT_EQ(transfer(fd.get(), &msg, 1), -1);
    EXPECT_EQ(errno, ENXIO) << std::strerror(errno);
}

// ---- The library's I2C code on the real adapter ---------------------------

// Runs `f` with standard error captured; returns what it printed.
template <typename F>
std::string stderrOf(F&& f)
{
    testing::internal::CaptureStderr();
    f();
    return testing::internal::GetCapturedStderr();
}

TEST(RealI2cBus, AdaptersAreGatheredFromSysfs)
{
    std::optional<std::vector<I2cAdapterRecord>> adapters = gatherI2cAdapters();
    ASSERT_TRUE(adapters.has_value());
    std::vector<int> buses;
    for (const I2cAdapterRecord& a : *adapters) {
        buses.push_back(a.busNumber);
        EXPECT_EQ(a.name, RealKernelFacts::vexpressAdapterName) << a.busNumber;
        EXPECT_EQ(a.functionality, "i2c") << a.busNumber;
        EXPECT_EQ(a.algorithm, "I2C adapter") << a.busNumber;
    }
    std::sort(buses.begin(), buses.end());
    EXPECT_EQ(buses, (std::vector<int>{0, 1}));
}

TEST(RealI2cBus, BusTextsResolve)
{
    for (const RealKernelFacts::BusTextCase& c : RealKernelFacts::vexpressBusTexts) {
        int bus = 0;
        const std::string printed = stderrOf([&] { bus = lookupI2cBus(c.text); });
        EXPECT_EQ(bus, c.expected) << '"' << c.text << '"';
        EXPECT_EQ(printed, c.message) << '"' << c.text << '"';
    }
}

TEST(RealI2cBus, ExportedHelpersOnTheAdapter)
{
    char name[20];
    const int fd = i2c_open_i2c_dev(0, name, sizeof name, 0);
    ASSERT_GE(fd, 0);
    Fd owner(fd);
    EXPECT_STREQ(name, "/dev/i2c-0");

    unsigned long funcs = 0;
    EXPECT_EQ(i2c_get_functionality(fd, &funcs), 0);
    EXPECT_TRUE(funcs & I2C_FUNC_I2C);
    EXPECT_EQ(i2c_set_slave_addr(fd, chip, 0), 0);
    EXPECT_EQ(i2c_set_slave_addr(fd, chip, 1), 0);
    EXPECT_EQ(i2c_set_adapter_timeout(fd, 0), 0);
    EXPECT_EQ(i2c_set_adapter_retries(fd, 0), 0);

    std::string printed = stderrOf([&] { EXPECT_EQ(i2c_set_slave_addr(fd, 0x80, 0), -EINVAL); });
    EXPECT_EQ(printed, "Error: Could not set address to 0x80: Invalid argument\n");

    int missing = 0;
    printed = stderrOf([&] { missing = i2c_open_i2c_dev(7, name, sizeof name, 0); });
    EXPECT_LT(missing, 0);
    EXPECT_EQ(printed, "Error: Could not open file `/dev/i2c-7': No such file or directory\n");
    printed = stderrOf([&] { missing = i2c_open_i2c_dev(7, name, sizeof name, 1); });
    EXPECT_LT(missing, 0);
    EXPECT_EQ(printed, "");
}

TEST(RealI2cBus, SetUpThenRegisterWritesLandBigEndian)
{
    CsiPipeline state;
    std::strcpy(state.i2cBus, "0");
    ASSERT_EQ(setupI2cBus(state), QuorvexSuccess);
    Fd owner(state.i2cFd);
    EXPECT_EQ(state.chipAddress, chip);

    for (const RealKernelFacts::RegisterCase& c : RealKernelFacts::registerWrites) {
        ASSERT_EQ(writeRegister(state.i2cFd, state.chipAddress, c.reg, c.value), QuorvexSuccess) << std::hex << c.reg;
        uint8_t got[4] = {};
        ASSERT_EQ(readBack(state.i2cFd, chip, c.reg, got, sizeof got), 2) << std::strerror(errno);
        EXPECT_EQ(uint32_t(got[0]) << 24 | uint32_t(got[1]) << 16 | uint32_t(got[2]) << 8 | got[3], c.value)
            << std::hex << c.reg;
    }
    // The frame-rate register as the controller would see it.
    ASSERT_EQ(writeRegister(state.i2cFd, state.chipAddress, 0x0633, 30), QuorvexSuccess);
    uint8_t got[4] = {};
    ASSERT_EQ(readBack(state.i2cFd, chip, 0x0633, got, sizeof got), 2);
    EXPECT_EQ(std::vector<uint8_t>(got, got + 4), (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x1E}));

    // No chip at 0x0D: the adapter sees no acknowledge (ENXIO), the write fails.
    EXPECT_EQ(writeRegister(state.i2cFd, RealKernelFacts::absentAddress, 0x0633, 30), QuorvexSystemError);
}

} // namespace
} // namespace Quorvex

