#include "I2cBus.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <strings.h>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include "sensor/KernelAccess.h"
#include "sensor/KernelText.h"
#include "sensor/UniqueFd.h"
#include "sensor/V4l2Helpers.h"
#include "sensor/i2c_helpers.h"

namespace Quorvex {

namespace {

struct AdapterKind {
    const char* functionality;
    const char* algorithm;
};

enum KindIndex { KindDummy = 0, KindIsa = 1, KindI2c = 2, KindSmbus = 3, KindUnknown = 4 };

constexpr AdapterKind adapterKinds[] = {
    {"dummy", "Dummy bus"}, {"isa", "ISA bus"}, {"i2c", "I2C adapter"},
    {"smbus", "SMBus adapter"}, {"unknown", "N/A"},
};

constexpr unsigned long smbusByteWord =
    I2C_FUNC_SMBUS_BYTE | I2C_FUNC_SMBUS_BYTE_DATA | I2C_FUNC_SMBUS_WORD_DATA;
constexpr unsigned long maxBusNumber = 0xFFFFF;
constexpr size_t growthStep = 8;
// Longest path the sysfs walk builds, terminator excluded.
constexpr size_t maxPath = 255;

void append(std::vector<I2cAdapterRecord>& list, I2cAdapterRecord record)
{
    if (list.size() == list.capacity())
        list.reserve(list.capacity() + growthStep);
    list.push_back(std::move(record));
}

// Formats a path; false when it would be `maxPath` characters or longer.
__attribute__((format(printf, 3, 4))) bool formatPath(char* buffer, size_t size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, size, format, args);
    va_end(args);
    return n >= 0 && static_cast<size_t>(n) < maxPath;
}

KindIndex probeKind(int bus, const std::string& name)
{
    if (name.compare(0, 4, "ISA ") == 0)
        return KindIsa;
    char devName[20];
    UniqueFd fd(i2c_open_i2c_dev(bus, devName, sizeof devName, 1));
    if (!fd.isValid())
        return KindUnknown;
    unsigned long funcs = 0;
    if (ioctlOnce(fd.get(), I2C_FUNCS, &funcs) < 0)
        return KindUnknown;
    if (funcs & I2C_FUNC_I2C)
        return KindI2c;
    if (funcs & smbusByteWord)
        return KindSmbus;
    return KindDummy;
}

void gatherFromProc(int fd, std::vector<I2cAdapterRecord>& list)
{
    char line[120];
    while (readLine(fd, line, sizeof line) > 0) {
        ProcI2cLine fields;
        if (!parseProcI2cLine(std::string_view(line, std::strlen(line)), fields))
            continue;
        append(list, {fields.busNumber, std::string(fields.name), std::string(fields.functionality),
                      std::string(fields.algorithm)});
    }
}

// Mount point of the first file system of type sysfs; false if none.
bool findSysfsRoot(std::string& root)
{
    UniqueFd mounts(kernel().open("/proc/mounts", O_RDONLY));
    if (!mounts.isValid())
        return false;
    char line[255];
    while (readLine(mounts.get(), line, sizeof line) > 0) {
        std::string_view point, type;
        if (!parseMountsLine(std::string_view(line, std::strlen(line)), point, type))
            continue;
        if (type.size() == 5 && strncasecmp(type.data(), "sysfs", 5) == 0) {
            root.assign(point);
            return true;
        }
    }
    return false;
}

// Opens the name file of one i2c-dev entry, trying the places kernels have
// kept it over the years; `path` receives the one that opened.
UniqueFd openAdapterName(const char* dir, const char* entry, char (&path)[maxPath + 1])
{
    KernelAccess& k = kernel();
    if (!formatPath(path, sizeof path, "%s/%s/name", dir, entry))
        return UniqueFd();
    UniqueFd fd(k.open(path, O_RDONLY));
    if (fd.isValid())
        return fd;
    if (!formatPath(path, sizeof path, "%s/%s/device/name", dir, entry))
        return UniqueFd();
    fd.reset(k.open(path, O_RDONLY));
    if (fd.isValid())
        return fd;
    char deviceDir[maxPath + 1];
    if (!formatPath(deviceDir, sizeof deviceDir, "%s/%s/device", dir, entry))
        return UniqueFd();
    std::vector<std::string> children;
    if (k.listDirectory(deviceDir, children) < 0)
        return UniqueFd();
    for (const std::string& child : children) {
        if (child == "." || child == ".." || child.compare(0, 4, "i2c-") != 0)
            continue;
        if (!formatPath(path, sizeof path, "%s/%s/device/%s/name", dir, entry, child.c_str()))
            continue;
        fd.reset(k.open(path, O_RDONLY));
        if (fd.isValid())
            return fd;
    }
    return UniqueFd();
}

void gatherFromSysfs(std::vector<I2cAdapterRecord>& list)
{
    std::string root;
    if (!findSysfsRoot(root))
        return;
    char dir[maxPath + 1];
    const int n = std::snprintf(dir, sizeof dir, "%s/class/i2c-dev", root.c_str());
    // A cut path would name some other directory: treat it as absent.
    if (n < 0 || static_cast<size_t>(n) >= sizeof dir)
        return;
    std::vector<std::string> entries;
    if (kernel().listDirectory(dir, entries) < 0)
        return;
    for (const std::string& entry : entries) {
        if (entry == "." || entry == "..")
            continue;
        char path[maxPath + 1];
        UniqueFd nameFile = openAdapterName(dir, entry.c_str(), path);
        if (!nameFile.isValid())
            continue;
        char line[120];
        if (readLine(nameFile.get(), line, sizeof line) <= 0) {
            std::fprintf(stderr, "%s: read error\n", path);
            continue;
        }
        nameFile.reset();
        line[std::strcspn(line, "\n")] = '\0';
        int bus = -1;
        if (!parseI2cDevName(entry, bus))
            continue;
        I2cAdapterRecord record;
        record.busNumber = bus;
        record.name = line;
        const AdapterKind& kind = adapterKinds[probeKind(bus, record.name)];
        record.functionality = kind.functionality;
        record.algorithm = kind.algorithm;
        append(list, std::move(record));
    }
}

} // namespace

std::optional<std::vector<I2cAdapterRecord>> gatherI2cAdapters()
{
    try {
        std::vector<I2cAdapterRecord> list;
        UniqueFd proc(kernel().open("/proc/bus/i2c", O_RDONLY));
        if (proc.isValid())
            gatherFromProc(proc.get(), list);
        else
            gatherFromSysfs(list);
        return list;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

int lookupI2cBusByName(const char* name)
{
    const std::optional<std::vector<I2cAdapterRecord>> adapters = gatherI2cAdapters();
    if (!adapters) {
        std::fprintf(stderr, "Error: Out of memory!\n");
        return -3;
    }
    int bus = -1;
    bool matched = false;
    for (const I2cAdapterRecord& adapter : *adapters) {
        if (adapter.name != name)
            continue;
        if (matched) {
            std::fprintf(stderr, "Error: I2C bus name is not unique!\n");
            return -4;
        }
        matched = true;
        bus = adapter.busNumber;
    }
    if (!matched) {
        std::fprintf(stderr, "Error: I2C bus name doesn't match any bus present!\n");
        return -1;
    }
    return bus;
}

int lookupI2cBus(const char* text)
{
    if (!text)
        text = "";
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 0);
    if (*text == '\0' || *end != '\0')
        return lookupI2cBusByName(text);
    if (value > maxBusNumber) {
        std::fprintf(stderr, "Error: I2C bus out of range!\n");
        return -2;
    }
    return static_cast<int>(value);
}

int parseChipAddress(const char* text)
{
    char* end = nullptr;
    const long value = text ? std::strtol(text, &end, 0) : 0;
    if (!text || *text == '\0' || *end != '\0') {
        std::fprintf(stderr, "Error: Chip address is not a number!\n");
        return -1;
    }
    if (value < 0x03 || value > 0x77) {
        std::fprintf(stderr, "Error: Chip address out of range (0x03-0x77)!\n");
        return -2;
    }
    return static_cast<int>(value);
}

TofErrorCode setupI2cBus(CsiPipeline& state)
{
    const int bus = lookupI2cBus(state.i2cBus);
    if (bus < 0)
        return QuorvexSystemError;
    char filename[20];
    state.i2cFd = i2c_open_i2c_dev(bus, filename, sizeof filename, 0);
    if (state.i2cFd < 0)
        return QuorvexSystemError;
    unsigned long funcs = 0;
    if (i2c_get_functionality(state.i2cFd, &funcs) < 0)
        return QuorvexSystemError;
    if (!(funcs & I2C_FUNC_I2C)) {
        std::fprintf(stderr, "Error: Adapter does not have %s capability\n", "I2C transfers");
        return QuorvexSystemError;
    }
    // The module's controller always answers at 0x0C.
    state.chipAddress = static_cast<uint16_t>(parseChipAddress("0x0c"));
    return QuorvexSuccess;
}

TofErrorCode writeRegister(int fd, uint16_t chipAddress, uint16_t reg, uint32_t value)
{
    uint8_t bytes[6] = {
        static_cast<uint8_t>(reg >> 8),    static_cast<uint8_t>(reg),
        static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
        static_cast<uint8_t>(value >> 8),  static_cast<uint8_t>(value),
    };
    i2c_msg message{};
    message.addr = chipAddress;
    message.flags = 0;
    message.len = sizeof bytes;
    message.buf = bytes;
    i2c_rdwr_ioctl_data transfer{&message, 1};
    if (ioctlOnce(fd, I2C_RDWR, &transfer) < 1)
        return QuorvexSystemError;
    return QuorvexSuccess;
}

} // namespace Quorvex
