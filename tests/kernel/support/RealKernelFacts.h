#pragma once

// What the real kernels of `make test-kernel` answer, shared by the guest
// programs (which check them against the real drivers) and by
// tests/sim_real_kernel_test.cpp and tests/sim_capture_node_test.cpp (which
// check that the simulated kernel, laid out like the guests, answers the
// same). A fact learnt in the guest
// belongs here, so the simulation cannot drift from it unnoticed.

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <linux/media.h>

#include "sensor/BoardKind.h"
#include "sensor/KernelAccess.h"

namespace Quorvex::RealKernelFacts {

// ---- vivid (n_devs=2 multiplanar=1,2) --------------------------------------

constexpr const char* captureNode = "/dev/video0";
constexpr const char* captureName = "vivid-000-vid-cap";

// Library discovery over vivid's graph, per media-controller board: what it
// prints. It always ends with no module, no sub-device and no bus text. The
// Raspberry Pi 5's link names entities vivid does not have: both look-ups
// reach the end of the list, and the kernel refuses the link.
struct DiscoveryCase {
    BoardKind board;
    const char* printed;
};
inline constexpr DiscoveryCase vividDiscovery[] = {
    {BOARD_RASPBERRY_PI, ""},
    {BOARD_RASPBERRY_PI_5, "Query entity failed: Invalid argument\nQuery entity failed: Invalid argument\n"},
    {BOARD_RADXA_ROCK, ""},
};

// Capture timestamps are CLOCK_MONOTONIC times: none before the stream was
// turned on, and none further ahead of the clock read right after the
// dequeue than this (vivid stamps a frame's scheduled time, seen up to
// 0.2 s ahead).
constexpr int64_t timestampLeadLimitUs = 1000000;

// With nothing discovered the bus set-up fails in the lookup, whether the
// host has adapters or not.
constexpr const char* emptyBusMessage = "Error: I2C bus name doesn't match any bus present!\n";

// ---- Failures of file and device calls --------------------------------------

struct ErrnoCase {
    const char* what;
    int result;
    int error;         // errno after the call
    int expectedError; // what the real kernels set
};

// Calls on `videoFd` (an open capture node with no buffers) and on paths
// around it that must fail, with the errno each real kernel set.
inline std::vector<ErrnoCase> fileFailures(int videoFd)
{
    KernelAccess& k = kernel();
    std::vector<ErrnoCase> cases;
    auto add = [&](const char* what, int expectedError, auto call) {
        errno = 0;
        const int r = call();
        cases.push_back({what, r, errno, expectedError});
    };
    std::vector<std::string> names;
    struct stat st {};
    char buffer[64];
    media_device_info info{};
    add("open of a missing node", ENOENT, [&] { return k.open("/dev/video99", O_RDWR); });
    add("stat of a missing path", ENOENT, [&] { return k.stat("/sys/dev/char/81:999", &st); });
    add("listDirectory of a missing path", ENOENT, [&] { return k.listDirectory("/sys/nothing", names); });
    add("listDirectory of a device node", ENOTDIR, [&] { return k.listDirectory(captureNode, names); });
    add("readlink of a non-link", EINVAL, [&] { return int(k.readlink(captureNode, buffer, sizeof buffer)); });
    add("readlink of a missing path", ENOENT,
        [&] { return int(k.readlink("/sys/dev/char/81:999", buffer, sizeof buffer)); });
    add("media request on a video node", ENOTTY, [&] { return k.ioctl(videoFd, MEDIA_IOC_DEVICE_INFO, &info); });
    // A descriptor number that was just closed, so that nothing holds it.
    const int closed = k.open(captureNode, O_RDWR);
    k.close(closed);
    add("ioctl on a closed descriptor", EBADF, [&] { return k.ioctl(closed, MEDIA_IOC_DEVICE_INFO, &info); });
    add("close of a closed descriptor", EBADF, [&] { return k.close(closed); });
    add("open of a directory for writing", EISDIR, [&] { return k.open("/sys/dev/char", O_RDWR); });
    return cases;
}

// ---- vexpress-a9's I2C (armv7l guest) ----------------------------------------

// Both of the board's adapters carry this name; /sys/class/i2c-dev lists
// i2c-1 before i2c-0, and there is no /proc/bus/i2c.
constexpr const char* vexpressAdapterName = "Versatile I2C adapter";
constexpr uint16_t eepromAddress = 0x0C;
constexpr uint16_t absentAddress = 0x0D;

struct BusTextCase {
    const char* text;
    int expected;
    const char* message;
};
inline constexpr BusTextCase vexpressBusTexts[] = {
    {"0", 0, ""},
    {"0x0", 0, ""},
    {"1", 1, ""},
    {"0x1", 1, ""},
    {"1048576", -2, "Error: I2C bus out of range!\n"},
    {"Versatile I2C adapter", -4, "Error: I2C bus name is not unique!\n"},
    {"", -1, "Error: I2C bus name doesn't match any bus present!\n"},
    {"quorvex", -1, "Error: I2C bus name doesn't match any bus present!\n"},
};

// Register writes read back through a combined write + repeated-start read.
struct RegisterCase {
    uint16_t reg;
    uint32_t value;
};
inline constexpr RegisterCase registerWrites[] = {{0x0633, 30}, {0x0010, 0xDEADBEEF}, {0x0FF0, 0x01020304}, {0x0633, 0}};

// The device-tree model file: one string, its NUL counted in the length.
constexpr const char* vexpressModel = "V2P-CA9";
// The device tree qemu builds for its generic aarch64 virt machine.
constexpr const char* virtModel = "linux,dummy-virt";

} // namespace Quorvex::RealKernelFacts
