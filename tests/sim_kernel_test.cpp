#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <vector>

#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>

#include "sim/SimHost.h"

using namespace Quorvex;
using namespace Quorvex::Sim;

// The simulated kernel's rules are what the discovery tests stand on: check
// the ones a wrong model would silently get right.

TEST(SimKernel, ResolvesRelativeLinksLikeSysfs)
{
    SimKernel k;
    SimHost host(k);
    host.addCaptureNode(3, "/sys/devices/platform/rx", "rx capture");
    k.addFile("/sys/devices/platform/rx/media2/dev", "238:2\n");

    char target[256];
    const ssize_t n = k.readlink("/sys/dev/char/81:0", target, sizeof target);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(target, n), "../../devices/platform/rx/video4linux/video3");
    // Truncated silently, never terminated.
    EXPECT_EQ(k.readlink("/sys/dev/char/81:0", target, 5), 5);
    EXPECT_EQ(std::string(target, 5), "../..");

    std::vector<std::string> names;
    ASSERT_EQ(k.listDirectory("/sys/dev/char/81:0/device", names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "video4linux", "media2"}));
    char line[64];
    ScopedKernel scope(k);
    EXPECT_EQ(readFileLine("/sys/dev/char/81:0/device/video4linux/video3/name", line, sizeof line), 11);
    EXPECT_STREQ(line, "rx capture\n");

    struct stat st;
    ASSERT_EQ(k.stat("/dev/video3", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(major(st.st_rdev), 81u);
    EXPECT_EQ(k.stat("/sys/dev/char/81:0/name/x", &st), -1);
    EXPECT_EQ(errno, ENOTDIR);
    k.addSymlink("/loop/a", "b");
    k.addSymlink("/loop/b", "a");
    EXPECT_EQ(k.open("/loop/a", O_RDONLY), -1);
    EXPECT_EQ(errno, ELOOP);
    EXPECT_EQ(k.readlink("/dev/video3", target, sizeof target), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(SimKernel, DescriptorsAndFaults)
{
    SimKernel k;
    k.addFile("/proc/x", "abc");
    const int fd = k.open("/proc/x", O_RDONLY);
    ASSERT_GE(fd, 0);
    char buf[8];
    EXPECT_EQ(k.read(fd, buf, sizeof buf), 3);
    EXPECT_EQ(k.read(fd, buf, sizeof buf), 0);
    EXPECT_EQ(k.ioctl(fd, VIDIOC_QUERYCAP, nullptr), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(k.close(fd), 0);
    EXPECT_EQ(k.close(fd), -1);
    EXPECT_EQ(errno, EBADF);

    k.failRead("/proc/x", EIO);
    const int again = k.open("/proc/x", O_RDONLY);
    EXPECT_EQ(k.read(again, buf, 1), -1);
    EXPECT_EQ(errno, EIO);
    k.close(again);
    k.failOpen("/proc/x", EACCES);
    EXPECT_EQ(k.open("/proc/x", O_RDONLY), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(k.openDescriptors(), 0u);
}

TEST(SimSubdevice, TryFormatsBelongToEachOpenFile)
{
    SimKernel k;
    auto sensor = std::make_shared<SimSubdevice>(1, 240, 180, std::vector<uint32_t>{0x2013}, true);
    sensor->addControl(V4L2_CID_EXPOSURE, 1, 1000, 1, 100);
    k.addCharDevice("/dev/v4l-subdev0", 81, 1, sensor);
    const int a = k.open("/dev/v4l-subdev0", O_RDWR);
    const int b = k.open("/dev/v4l-subdev0", O_RDWR);

    v4l2_subdev_format f{};
    f.which = V4L2_SUBDEV_FORMAT_TRY;
    f.format.width = 640;
    f.format.height = 480;
    f.format.code = 0x1234;
    ASSERT_EQ(k.ioctl(a, VIDIOC_SUBDEV_S_FMT, &f), 0);
    // A sensor of fixed size keeps it and the only code it has.
    EXPECT_EQ(f.format.width, 240u);
    EXPECT_EQ(f.format.code, 0x2013u);
    f = {};
    f.pad = 1;
    EXPECT_EQ(k.ioctl(b, VIDIOC_SUBDEV_G_FMT, &f), -1);
    EXPECT_EQ(errno, EINVAL);

    v4l2_control c{V4L2_CID_EXPOSURE, 5000};
    ASSERT_EQ(k.ioctl(a, VIDIOC_S_CTRL, &c), 0);
    EXPECT_EQ(c.value, 1000);
    c = {0x00981901, 1};
    EXPECT_EQ(k.ioctl(a, VIDIOC_S_CTRL, &c), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(sensor->controlWrites(), (std::vector<std::pair<uint32_t, int32_t>>{{V4L2_CID_EXPOSURE, 1000}}));
    k.close(a);
    k.close(b);
}
