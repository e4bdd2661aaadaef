#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <vector>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include "sensor/I2cBus.h"
#include "sensor/KernelText.h"
#include "sensor/i2c_helpers.h"
#include "sim/SimHost.h"

using namespace Quorvex;
using namespace Quorvex::Sim;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

constexpr unsigned long plainI2c = I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL;
constexpr unsigned long smbusByteOnly = I2C_FUNC_SMBUS_BYTE;

// A host with sysfs mounted and the i2c-dev class populated.
struct I2cWorld {
    I2cWorld() { host.mountSysfs(); }
    std::shared_ptr<SimI2cAdapter> adapter(int bus, const std::string& name, unsigned long funcs = plainI2c,
                                           SimHost::NameFile where = SimHost::NameFile::Class)
    {
        auto a = std::make_shared<SimI2cAdapter>(funcs);
        host.addI2cAdapter(bus, name, a, where, "/sys/devices/platform/ctl" + std::to_string(bus));
        return a;
    }

    SimKernel k;
    ScopedKernel scope{k};
    SimHost host{k};
};

std::string errorText(int error)
{
    return std::strerror(error);
}

} // namespace

TEST(I2cBusLookup, BusTextsByNumberAndByName)
{
    struct Case {
        const char* text;
        int result;
        const char* message;
    } cases[] = {
        {"10", 10, ""},
        {"0x0a", 10, ""},
        {"012", 10, ""},
        {"0", 0, ""},
        {"1048575", 1048575, ""},
        {"1048576", -2, "Error: I2C bus out of range!\n"},
        {"0x100000", -2, "Error: I2C bus out of range!\n"},
        {"99999999", -2, "Error: I2C bus out of range!\n"},
        {"", -1, "Error: I2C bus name doesn't match any bus present!\n"},
        {"10abc", -1, "Error: I2C bus name doesn't match any bus present!\n"},
        {"rp1 i2c", 3, ""},
        {"Tegra I2C adapter", -4, "Error: I2C bus name is not unique!\n"},
        {"Tegra I2C", -1, "Error: I2C bus name doesn't match any bus present!\n"},
    };
    I2cWorld w;
    w.adapter(3, "rp1 i2c");
    w.adapter(30, "Tegra I2C adapter");
    w.adapter(31, "Tegra I2C adapter");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CaptureStderr();
        EXPECT_EQ(lookupI2cBus(c.text), c.result);
        EXPECT_EQ(GetCapturedStderr(), c.message);
    }
    EXPECT_EQ(w.k.openDescriptors(), 0u);
}

TEST(I2cBusLookup, NoAdapterListAtAll)
{
    // Neither /proc/bus/i2c nor /proc/mounts: nothing matches.
    SimKernel k;
    ScopedKernel scope(k);
    CaptureStderr();
    EXPECT_EQ(lookupI2cBusByName("rp1 i2c"), -1);
    EXPECT_EQ(GetCapturedStderr(), "Error: I2C bus name doesn't match any bus present!\n");
    ASSERT_TRUE(gatherI2cAdapters().has_value());
    EXPECT_TRUE(gatherI2cAdapters()->empty());
}

TEST(I2cAdapters, KindsFromSysfs)
{
    I2cWorld w;
    w.adapter(0, "ISA main adapter", plainI2c);
    w.adapter(1, "bcm2835 (i2c@7e804000)", plainI2c, SimHost::NameFile::Device);
    w.adapter(2, "SMBus I801 adapter", smbusByteOnly, SimHost::NameFile::DeviceChild);
    w.adapter(3, "stub", I2C_FUNC_10BIT_ADDR);
    w.adapter(4, "queries fail", plainI2c)->failFunctionality(EIO);
    w.adapter(5, "node missing", plainI2c);
    w.k.remove("/dev/i2c-5");
    w.adapter(6, "node refuses", plainI2c);
    w.k.failOpen("/dev/i2c-6", EACCES);
    // An entry whose name file is unreadable is reported and skipped; one
    // without any name file is skipped silently.
    w.adapter(7, "unreadable", plainI2c);
    w.k.failRead("/sys/devices/platform/ctl7/i2c-7/i2c-dev/i2c-7/name", EIO);
    w.adapter(8, "nameless", plainI2c);
    w.k.remove("/sys/devices/platform/ctl8/i2c-8/i2c-dev/i2c-8/name");
    w.k.addSymlink("/sys/class/i2c-dev/i2c-x", "i2c-1");
    w.k.setListingOrder("/sys/class/i2c-dev", {"i2c-3", "i2c-x", "i2c-1", "i2c-0"});

    CaptureStderr();
    const auto adapters = gatherI2cAdapters();
    EXPECT_EQ(GetCapturedStderr(), "/sys/class/i2c-dev/i2c-7/name: read error\n");
    ASSERT_TRUE(adapters.has_value());
    struct Expected {
        int bus;
        const char *name, *functionality, *algorithm;
    } expected[] = {
        {3, "stub", "dummy", "Dummy bus"},
        {1, "bcm2835 (i2c@7e804000)", "i2c", "I2C adapter"},
        {0, "ISA main adapter", "isa", "ISA bus"},
        {2, "SMBus I801 adapter", "smbus", "SMBus adapter"},
        {4, "queries fail", "unknown", "N/A"},
        {5, "node missing", "unknown", "N/A"},
        {6, "node refuses", "unknown", "N/A"},
    };
    ASSERT_EQ(adapters->size(), std::size(expected));
    for (size_t i = 0; i < adapters->size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ((*adapters)[i].busNumber, expected[i].bus);
        EXPECT_EQ((*adapters)[i].name, expected[i].name);
        EXPECT_EQ((*adapters)[i].functionality, expected[i].functionality);
        EXPECT_EQ((*adapters)[i].algorithm, expected[i].algorithm);
    }
    EXPECT_EQ(adapters->capacity() % 8, 0u);
    EXPECT_EQ(w.k.openDescriptors(), 0u);
}

TEST(I2cAdapters, KindsFromProcBusI2c)
{
    SimKernel k;
    ScopedKernel scope(k);
    // Fields are taken from the end of the line, so tabs inside the leading
    // part do not shift them; lines with fewer than three tabs are skipped.
    k.addFile("/proc/bus/i2c", "i2c-0\tisa      \tISA main adapter\tISA bus\n"
                               "i2c-1\ti2c       \tbcm2835 I2C adapter   \tI2C adapter\n"
                               "i2c-2\tsmbus     \tSMBus I801 adapter\tSMBus adapter   \n"
                               "i2c-3\tdummy     \tstub\tDummy bus\n"
                               "i2c-4\tunknown\tgone\tN/A\n"
                               "i2c-5\tonly two\ttabs\n"
                               "not an adapter\ta\tb\tc\n"
                               "i2c-6\textra\tfield\ti2c\tname\tI2C adapter\n");
    // The sysfs listing must not be consulted when /proc/bus/i2c exists.
    SimHost(k).mountSysfs();
    k.addDirectory("/sys/class/i2c-dev");
    k.failOpen("/sys/class/i2c-dev", EIO);

    const auto adapters = gatherI2cAdapters();
    ASSERT_TRUE(adapters.has_value());
    struct Expected {
        int bus;
        const char *name, *functionality, *algorithm;
    } expected[] = {
        {0, "ISA main adapter", "isa", "ISA bus"},
        {1, "bcm2835 I2C adapter", "i2c", "I2C adapter"},
        {2, "SMBus I801 adapter", "smbus", "SMBus adapter"},
        {3, "stub", "dummy", "Dummy bus"},
        {4, "gone", "unknown", "N/A"},
        {6, "name", "i2c", "I2C adapter"},
    };
    ASSERT_EQ(adapters->size(), std::size(expected));
    for (size_t i = 0; i < adapters->size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ((*adapters)[i].busNumber, expected[i].bus);
        EXPECT_EQ((*adapters)[i].name, expected[i].name);
        EXPECT_EQ((*adapters)[i].functionality, expected[i].functionality);
        EXPECT_EQ((*adapters)[i].algorithm, expected[i].algorithm);
    }
    EXPECT_EQ(k.openDescriptors(), 0u);
}

TEST(I2cAdapters, ListGrowsInStepsOfEight)
{
    for (int count : {7, 8, 9, 17}) {
        SCOPED_TRACE(count);
        I2cWorld w;
        for (int bus = 0; bus < count; ++bus)
            w.adapter(bus, "adapter " + std::to_string(bus));
        const auto adapters = gatherI2cAdapters();
        ASSERT_TRUE(adapters.has_value());
        EXPECT_EQ(adapters->size(), static_cast<size_t>(count));
        EXPECT_EQ(adapters->capacity(), static_cast<size_t>((count + 7) / 8 * 8));
        for (int bus = 0; bus < count; ++bus)
            EXPECT_EQ((*adapters)[bus].name, "adapter " + std::to_string(bus));
    }
}

TEST(I2cAdapters, SysfsMountedElsewhereAndPathLimits)
{
    SimKernel k;
    ScopedKernel scope(k);
    SimHost host(k);
    // The sysfs type is matched without regard to case, at its own mount point.
    k.addFile("/proc/mounts", "proc /proc proc rw 0 0\n"
                              "sysfs /sysfs-not-it tmpfs rw 0 0\n"
                              "none  /alt/sys SysFS rw 0 0\n"
                              "sysfs /sys sysfs rw 0 0\n");
    auto adapter = std::make_shared<SimI2cAdapter>(plainI2c);
    k.addCharDevice("/dev/i2c-1", SimHost::i2cMajor, 1, adapter);
    k.addFile("/alt/sys/class/i2c-dev/i2c-1/name", "alt adapter\n");
    // Paths of 255 characters or more are never built: this entry is skipped.
    const std::string longEntry = "i2c-2" + std::string(240, 'x');
    k.addFile("/alt/sys/class/i2c-dev/" + longEntry + "/name", "too long\n");
    k.addFile("/sys/class/i2c-dev/i2c-1/name", "wrong root\n");

    const auto adapters = gatherI2cAdapters();
    ASSERT_TRUE(adapters.has_value());
    ASSERT_EQ(adapters->size(), 1u);
    EXPECT_EQ((*adapters)[0].name, "alt adapter");
    EXPECT_EQ((*adapters)[0].functionality, "i2c");
}

TEST(I2cBusSetup, OpensChecksAndFixesTheChipAddress)
{
    struct Case {
        const char* title;
        const char* bus;
        unsigned long funcs;
        int funcsError;
        TofErrorCode result;
        bool opened;
        std::string message;
    } cases[] = {
        {"plain I2C", "10", plainI2c, 0, QuorvexSuccess, true, ""},
        {"by hexadecimal number", "0x0a", plainI2c, 0, QuorvexSuccess, true, ""},
        {"by name", "rp1 i2c", plainI2c, 0, QuorvexSuccess, true, ""},
        {"SMBus only", "10", smbusByteOnly, 0, QuorvexSystemError, true,
         "Error: Adapter does not have I2C transfers capability\n"},
        {"functionality query fails", "10", plainI2c, EIO, QuorvexSystemError, true,
         "Error: Could not get adapter functionality: " + errorText(EIO) + "\n"},
        {"no such adapter", "11", plainI2c, 0, QuorvexSystemError, false,
         "Error: Could not open file `/dev/i2c-11': " + errorText(ENOENT) + "\n"},
        {"out of range", "1048576", plainI2c, 0, QuorvexSystemError, false, "Error: I2C bus out of range!\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        I2cWorld w;
        auto adapter = w.adapter(10, "rp1 i2c", c.funcs);
        adapter->failFunctionality(c.funcsError);
        CsiPipeline state;
        state.chipAddress = 0;
        std::snprintf(state.i2cBus, sizeof state.i2cBus, "%s", c.bus);
        CaptureStderr();
        EXPECT_EQ(setupI2cBus(state), c.result);
        EXPECT_EQ(GetCapturedStderr(), c.message);
        EXPECT_EQ(state.chipAddress, c.result == QuorvexSuccess ? 0x0C : 0);
        // What was opened stays with the owner, to be closed by it.
        EXPECT_EQ(state.i2cFd >= 0, c.opened);
        if (c.opened) {
            EXPECT_EQ(w.k.pathOf(state.i2cFd), "/dev/i2c-10");
            w.k.close(state.i2cFd);
        }
        EXPECT_EQ(w.k.openDescriptors(), 0u);
    }
}

TEST(I2cRegisters, WriteSendsRegisterThenValueHighByteFirst)
{
    struct Case {
        uint16_t reg;
        uint32_t value;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {0x0633, 30, {0x06, 0x33, 0x00, 0x00, 0x00, 0x1E}},
        {0x1234, 0x89ABCDEF, {0x12, 0x34, 0x89, 0xAB, 0xCD, 0xEF}},
        {0x0000, 0xFFFFFFFF, {0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}},
    };
    I2cWorld w;
    auto adapter = w.adapter(10, "rp1 i2c");
    adapter->addChip(0x0C);
    adapter->addChip(0x0D);
    const int fd = w.k.open("/dev/i2c-10", O_RDWR);
    for (const Case& c : cases)
        EXPECT_EQ(writeRegister(fd, 0x0C, c.reg, c.value), QuorvexSuccess);
    const auto sent = adapter->sent(0x0C);
    ASSERT_EQ(sent.size(), std::size(cases));
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i], cases[i].bytes);
        EXPECT_EQ(adapter->registerValue(0x0C, cases[i].reg), cases[i].value);
    }
    EXPECT_TRUE(adapter->sent(0x0D).empty());
    w.k.close(fd);
}

TEST(I2cRegisters, FailedTransfersReportMinusTwoSilently)
{
    struct Case {
        const char* title;
        void (*spoil)(SimKernel&, SimI2cAdapter&);
        bool openFd;
    } cases[] = {
        {"no chip answers at the address", [](SimKernel&, SimI2cAdapter&) {}, true},
        {"adapter cannot do plain I2C", [](SimKernel&, SimI2cAdapter& a) {
             a.addChip(0x0C);
             a.setFunctionality(smbusByteOnly);
         }, true},
        {"transfer interrupted (no retry)", [](SimKernel& k, SimI2cAdapter& a) {
             a.addChip(0x0C);
             k.failIoctl("/dev/i2c-10", I2C_RDWR, EINTR, 1);
         }, true},
        {"bus not open", [](SimKernel&, SimI2cAdapter& a) { a.addChip(0x0C); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        I2cWorld w;
        auto adapter = w.adapter(10, "rp1 i2c");
        c.spoil(w.k, *adapter);
        const int fd = c.openFd ? w.k.open("/dev/i2c-10", O_RDWR) : -1;
        CaptureStderr();
        EXPECT_EQ(writeRegister(fd, 0x0C, 0x0633, 30), QuorvexSystemError);
        EXPECT_EQ(GetCapturedStderr(), "");
        EXPECT_TRUE(adapter->sent(0x0C).empty());
        if (fd >= 0)
            w.k.close(fd);
    }
}

TEST(I2cChipAddress, NumbersInRange)
{
    struct Case {
        const char* text;
        int result;
        const char* message;
    } cases[] = {
        {"0x0c", 0x0C, ""},
        {"12", 12, ""},
        {"0x03", 0x03, ""},
        {"0x77", 0x77, ""},
        {"0x02", -2, "Error: Chip address out of range (0x03-0x77)!\n"},
        {"0x78", -2, "Error: Chip address out of range (0x03-0x77)!\n"},
        {"-12", -2, "Error: Chip address out of range (0x03-0x77)!\n"},
        {"0x0cz", -1, "Error: Chip address is not a number!\n"},
        {"chip", -1, "Error: Chip address is not a number!\n"},
        {"", -1, "Error: Chip address is not a number!\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CaptureStderr();
        EXPECT_EQ(parseChipAddress(c.text), c.result);
        EXPECT_EQ(GetCapturedStderr(), c.message);
    }
}

TEST(I2cExportedFunctions, OpenReportsWhyItFailed)
{
    struct Case {
        const char* title;
        int bus;
        int openError; // -1: the node does not exist
        int quiet;
        size_t size;
        const char* filename;
        std::string message;
    } cases[] = {
        {"opens", 10, 0, 0, 20, "/dev/i2c-10", ""},
        {"missing node", 3, -1, 0, 20, "/dev/i2c-3",
         "Error: Could not open file `/dev/i2c-3': " + errorText(ENOENT) + "\n"},
        {"permission", 10, EACCES, 0, 20, "/dev/i2c-10",
         "Error: Could not open file `/dev/i2c-10': " + errorText(EACCES) + "\nRun as root?\n"},
        {"busy", 10, EBUSY, 0, 20, "/dev/i2c-10",
         "Error: Could not open file `/dev/i2c-10': " + errorText(EBUSY) + "\n"},
        {"quiet", 3, -1, 1, 20, "/dev/i2c-3", ""},
        {"short buffer still opens the right node", 10, 0, 0, 10, "/dev/i2c-", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        I2cWorld w;
        w.adapter(10, "rp1 i2c");
        if (c.openError > 0)
            w.k.failOpen("/dev/i2c-10", c.openError);
        char filename[20];
        std::memset(filename, '#', sizeof filename);
        CaptureStderr();
        const int fd = i2c_open_i2c_dev(c.bus, filename, c.size, c.quiet);
        EXPECT_EQ(GetCapturedStderr(), c.message);
        EXPECT_STREQ(filename, c.filename);
        EXPECT_EQ(filename[sizeof filename - 1], c.size < sizeof filename ? '#' : filename[sizeof filename - 1]);
        if (c.openError == 0) {
            ASSERT_GE(fd, 0);
            EXPECT_EQ(w.k.pathOf(fd), "/dev/i2c-10");
            w.k.close(fd);
        } else {
            EXPECT_EQ(fd, -1);
        }
    }
}

TEST(I2cExportedFunctions, RequestsAndTheirMessages)
{
    I2cWorld w;
    auto adapter = w.adapter(10, "rp1 i2c", plainI2c);
    adapter->claimAddress(0x0C);
    const int fd = w.k.open("/dev/i2c-10", O_RDWR);

    struct Case {
        const char* title;
        int (*call)(int fd);
        int failWith; // errno injected on the request, 0 for none
        unsigned long request;
        int result;
        std::string message;
    } cases[] = {
        {"functionality", [](int f) { unsigned long v = 0; return i2c_get_functionality(f, &v); }, 0, I2C_FUNCS, 0, ""},
        {"functionality fails", [](int f) { unsigned long v = 0; return i2c_get_functionality(f, &v); }, EIO,
         I2C_FUNCS, -EIO, "Error: Could not get adapter functionality: " + errorText(EIO) + "\n"},
        {"claimed address", [](int f) { return i2c_set_slave_addr(f, 0x0C, 0); }, 0, I2C_SLAVE, -EBUSY,
         "Error: Could not set address to 0x0c: " + errorText(EBUSY) + "\n"},
        {"claimed address, forced", [](int f) { return i2c_set_slave_addr(f, 0x0C, 1); }, 0, I2C_SLAVE_FORCE, 0, ""},
        {"address out of range", [](int f) { return i2c_set_slave_addr(f, 0x1A5, 1); }, 0, I2C_SLAVE_FORCE, -EINVAL,
         "Error: Could not set address to 0x1a5: " + errorText(EINVAL) + "\n"},
        {"timeout", [](int f) { return i2c_set_adapter_timeout(f, 7); }, 0, I2C_TIMEOUT, 0, ""},
        {"timeout 0 fails", [](int f) { return i2c_set_adapter_timeout(f, 0); }, ENODEV, I2C_TIMEOUT, -ENODEV,
         "Error: Could not set timeout to 0: " + errorText(ENODEV) + "\n"},
        {"retries 0 fails", [](int f) { return i2c_set_adapter_retries(f, 0); }, EPERM, I2C_RETRIES, -EPERM,
         "Error: Could not set retries to 0: " + errorText(EPERM) + "\n"},
        {"bad descriptor", [](int) { return i2c_set_adapter_retries(-1, 4); }, 0, I2C_RETRIES, -EBADF,
         "Error: Could not set retries to 4: " + errorText(EBADF) + "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        if (c.failWith)
            w.k.failIoctl("/dev/i2c-10", c.request, c.failWith, 1);
        CaptureStderr();
        EXPECT_EQ(c.call(fd), c.result);
        EXPECT_EQ(GetCapturedStderr(), c.message);
    }
    EXPECT_EQ(adapter->slaveAddress(), 0x0C);
    EXPECT_EQ(adapter->timeout(), 7u);
    w.k.close(fd);
}

TEST(I2cExportedFunctions, ZeroAsksForTheDefaults)
{
    I2cWorld w;
    auto adapter = w.adapter(10, "rp1 i2c");
    const int fd = w.k.open("/dev/i2c-10", O_RDWR);
    unsigned long funcs = 0;
    EXPECT_EQ(i2c_get_functionality(fd, &funcs), 0);
    EXPECT_EQ(funcs, plainI2c);
    EXPECT_EQ(i2c_set_adapter_timeout(fd, 0), 0);
    EXPECT_EQ(adapter->timeout(), 3u);
    EXPECT_EQ(i2c_set_adapter_retries(fd, 0), 0);
    EXPECT_EQ(adapter->retries(), 2u);
    EXPECT_EQ(i2c_set_adapter_retries(fd, 5), 0);
    EXPECT_EQ(adapter->retries(), 5u);
    w.k.close(fd);
}

TEST(KernelTexts, ProcI2cAndMountsLines)
{
    struct ProcCase {
        std::string line;
        bool ok;
        int bus;
        const char *functionality, *name, *algorithm;
    } procCases[] = {
        {"i2c-1\ti2c       \tbcm2835 I2C adapter   \tI2C adapter\n", true, 1, "i2c", "bcm2835 I2C adapter",
         "I2C adapter"},
        {"i2c-12\t\t\t", true, 12, "", "", ""},
        {"i2c-2\ta\tb", false, 0, "", "", ""},
        {"\t\t\t", false, 0, "", "", ""},
        {"i2c-\ta\tb\tc", false, 0, "", "", ""},
        {"i2c-99999999999\ta\tb\tc", false, 0, "", "", ""},
        {"i2c-7 trailing\tsmbus \n\n\tname \n\tSMBus adapter \n \n", true, 7, "smbus", "name", "SMBus adapter"},
        {"", false, 0, "", "", ""},
    };
    for (const auto& c : procCases) {
        SCOPED_TRACE(c.line);
        ProcI2cLine out;
        ASSERT_EQ(parseProcI2cLine(c.line, out), c.ok);
        if (!c.ok)
            continue;
        EXPECT_EQ(out.busNumber, c.bus);
        EXPECT_EQ(out.functionality, c.functionality);
        EXPECT_EQ(out.name, c.name);
        EXPECT_EQ(out.algorithm, c.algorithm);
    }

    struct MountCase {
        std::string line;
        bool ok;
        const char *point, *type;
    } mountCases[] = {
        {"sysfs /sys sysfs rw,nosuid 0 0\n", true, "/sys", "sysfs"},
        {"sysfs /sys sysfs", true, "/sys", "sysfs"},
        {"a \t\n b c", true, "b", "c"},
        {"a\tb c d", true, "c", "d"},    // a tab does not end a field
        {"x /sys sysfs\n", true, "/sys", "sysfs\n"},
        {" /sys sysfs rw 0 0", false, "", ""},
        {"sysfs /sys", false, "", ""},
        {"", false, "", ""},
    };
    for (const auto& c : mountCases) {
        SCOPED_TRACE(c.line);
        std::string_view point, type;
        ASSERT_EQ(parseMountsLine(c.line, point, type), c.ok);
        if (c.ok) {
            EXPECT_EQ(point, c.point);
            EXPECT_EQ(type, c.type);
        }
    }
}
