#include "GuestSupport.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <linux/videodev2.h>

#include "sensor/KernelAccess.h"

namespace Quorvex::Guest {

Mapping::Mapping(Mapping&& other) noexcept : address_(other.address_), length_(other.length_)
{
    other.address_ = nullptr;
    other.length_ = 0;
}

Mapping& Mapping::operator=(Mapping&& other) noexcept
{
    if (this != &other) {
        reset();
        address_ = other.address_;
        length_ = other.length_;
        other.address_ = nullptr;
        other.length_ = 0;
    }
    return *this;
}

bool Mapping::isValid() const
{
    return address_ != nullptr && address_ != MAP_FAILED;
}

int Mapping::reset()
{
    int result = 0;
    if (isValid())
        result = kernel().munmap(address_, length_);
    address_ = nullptr;
    length_ = 0;
    return result;
}

std::vector<CaptureNode> vividCaptureNodes()
{
    std::vector<std::string> names;
    std::vector<int> numbers;
    if (kernel().listDirectory("/dev", names) != 0)
        return {};
    for (const std::string& name : names) {
        // "videoN" only: "video" followed by digits.
        if (name.size() > 5 && name.compare(0, 5, "video") == 0 &&
            std::all_of(name.begin() + 5, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
            numbers.push_back(std::atoi(name.c_str() + 5));
    }
    std::sort(numbers.begin(), numbers.end());

    std::vector<CaptureNode> nodes;
    for (int number : numbers) {
        CaptureNode node;
        node.path = "/dev/video" + std::to_string(number);
        Fd fd(kernel().open(node.path.c_str(), O_RDWR));
        v4l2_capability cap{};
        struct stat st {};
        if (!fd.isValid() || kernel().ioctl(fd.get(), VIDIOC_QUERYCAP, &cap) != 0 ||
            kernel().fstat(fd.get(), &st) != 0)
            continue;
        if (std::strcmp(reinterpret_cast<const char*>(cap.driver), "vivid") != 0)
            continue;
        const uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
        if (!(caps & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_CAPTURE_MPLANE)))
            continue;
        node.rdev = st.st_rdev;
        node.multiplanar = (caps & V4L2_CAP_VIDEO_CAPTURE_MPLANE) != 0;
        node.card = reinterpret_cast<const char*>(cap.card);
        nodes.push_back(node);
    }
    return nodes;
}

std::string sysfsCharPath(dev_t rdev)
{
    return "/sys/dev/char/" + std::to_string(major(rdev)) + ":" + std::to_string(minor(rdev));
}

} // namespace Quorvex::Guest
