#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <sys/types.h>

#include "sensor/UniqueFd.h"

// Helpers of the programs that run inside the qemu-system guests. Every
// kernel contact goes through kernel(), the layer the library itself uses, so
// the programs exercise its real-system implementation.
namespace Quorvex::Guest {

// Descriptors opened through kernel() are owned as the library owns them.
using Fd = UniqueFd;

// Owner of a mapping made through kernel().mmap.
class Mapping {
public:
    Mapping() = default;
    Mapping(void* address, size_t length) : address_(address), length_(length) {}
    ~Mapping() { reset(); }
    Mapping(Mapping&& other) noexcept;
    Mapping& operator=(Mapping&& other) noexcept;
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;

    const void* data() const { return address_; }
    size_t size() const { return length_; }
    bool isValid() const;
    // Unmaps; returns munmap's result (0 when there was nothing to unmap).
    int reset();

private:
    void* address_ = nullptr;
    size_t length_ = 0;
};

// A V4L2 video capture node of the vivid driver.
struct CaptureNode {
    std::string path;  // "/dev/videoN"
    dev_t rdev = 0;
    bool multiplanar = false;
    std::string card;
};

// Every vivid video capture node under /dev, in the order of their numbers.
std::vector<CaptureNode> vividCaptureNodes();

// "/sys/dev/char/M:N" for a character device number.
std::string sysfsCharPath(dev_t rdev);

} // namespace Quorvex::Guest
