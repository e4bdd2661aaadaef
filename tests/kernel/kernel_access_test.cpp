// The kernel-access layer's real-system implementation against the vivid
// driver: the calls the library makes on a capture node and on its sysfs
// entries, and the errno values the real kernel gives for the failures the
// library has to handle (the simulated kernel must give the same).
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <vector>

#include <linux/media.h>
#include <linux/videodev2.h>

#include <gtest/gtest.h>

#include "sensor/BoardKind.h"
#include "sensor/KernelAccess.h"
#include "tests/kernel/support/GuestSupport.h"
#include "tests/kernel/support/RealKernelFacts.h"

namespace Quorvex {
namespace {

using Guest::Fd;

bool contains(const std::vector<std::string>& names, const std::string& name)
{
    for (const std::string& n : names)
        if (n == name)
            return true;
    return false;
}

bool endsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(RealKernelAccess, QueriesTheCaptureNodesCapabilities)
{
    Fd fd(kernel().open("/dev/video0", O_RDWR));
    ASSERT_TRUE(fd.isValid()) << std::strerror(errno);
    v4l2_capability cap{};
    ASSERT_EQ(kernel().ioctl(fd.get(), VIDIOC_QUERYCAP, &cap), 0) << std::strerror(errno);
    EXPECT_STREQ(reinterpret_cast<const char*>(cap.driver), "vivid");
    ASSERT_TRUE(cap.capabilities & V4L2_CAP_DEVICE_CAPS);
    EXPECT_EQ(cap.device_caps & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING),
              uint32_t(V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING));
    EXPECT_FALSE(cap.device_caps & V4L2_CAP_VIDEO_CAPTURE_MPLANE);
}

// n_devs=2 multiplanar=1,2: one single-planar and one multi-planar instance.
TEST(RealKernelAccess, FindsOneCaptureNodeOfEachPlaneKind)
{
    const std::vector<Guest::CaptureNode> nodes = Guest::vividCaptureNodes();
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes[0].path, "/dev/video0");
    EXPECT_FALSE(nodes[0].multiplanar);
    EXPECT_TRUE(nodes[1].multiplanar) << nodes[1].path;
    for (const Guest::CaptureNode& node : nodes)
        RecordProperty(node.path, node.card);
}

TEST(RealKernelAccess, StatAndFstatAgreeOnTheCharacterDevice)
{
    Fd fd(kernel().open("/dev/video0", O_RDWR));
    ASSERT_TRUE(fd.isValid());
    struct stat byPath {}, byFd {};
    ASSERT_EQ(kernel().stat("/dev/video0", &byPath), 0);
    ASSERT_EQ(kernel().fstat(fd.get(), &byFd), 0);
    EXPECT_TRUE(S_ISCHR(byPath.st_mode));
    EXPECT_TRUE(S_ISCHR(byFd.st_mode));
    EXPECT_EQ(byPath.st_rdev, byFd.st_rdev);
    EXPECT_EQ(major(byFd.st_rdev), 81u); // the V4L2 character major
}

TEST(RealKernelAccess, ReadsTheNodesSysfsEntries)
{
    struct stat st {};
    ASSERT_EQ(kernel().stat("/dev/video0", &st), 0);
    const std::string sys = Guest::sysfsCharPath(st.st_rdev);

    // readlink stores no terminator and reports the bytes stored; a short
    // buffer gets a truncated target, not an error.
    char target[256];
    std::memset(target, 'X', sizeof target);
    const ssize_t n = kernel().readlink(sys.c_str(), target, sizeof target - 1);
    ASSERT_GT(n, 0) << std::strerror(errno);
    EXPECT_EQ(target[n], 'X');
    const std::string link(target, size_t(n));
    EXPECT_TRUE(endsWith(link, "/video4linux/video0")) << link;
    EXPECT_EQ(link.compare(0, 3, "../"), 0) << "sysfs links are relative: " << link;

    char shortTarget[4];
    EXPECT_EQ(kernel().readlink(sys.c_str(), shortTarget, sizeof shortTarget), ssize_t(sizeof shortTarget));
    EXPECT_EQ(std::string(shortTarget, sizeof shortTarget), link.substr(0, sizeof shortTarget));

    // The device directory holds the node's class entry and the media device.
    std::vector<std::string> names{"stale entry"};
    ASSERT_EQ(kernel().listDirectory((sys + "/device").c_str(), names), 0) << std::strerror(errno);
    EXPECT_FALSE(contains(names, "stale entry"));
    EXPECT_TRUE(contains(names, ".")) << "readdir lists the dot entries";
    EXPECT_TRUE(contains(names, ".."));
    EXPECT_TRUE(contains(names, "video4linux"));
    EXPECT_TRUE(contains(names, "media0"));

    char name[64];
    ASSERT_GT(readFileLine((sys + "/name").c_str(), name, sizeof name), 0);
    EXPECT_EQ(std::string(name), std::string(RealKernelFacts::captureName) + "\n");
}

TEST(RealKernelAccess, PollWithBuffersButNoStreamIsAnError)
{
    Fd fd(kernel().open("/dev/video0", O_RDWR | O_NONBLOCK));
    ASSERT_TRUE(fd.isValid());
    // Buffers first: polling a node that has none starts the driver's read()
    // emulation instead (vivid offers read I/O), a stream of its own.
    v4l2_requestbuffers req{};
    req.count = 2;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    ASSERT_EQ(kernel().ioctl(fd.get(), VIDIOC_REQBUFS, &req), 0) << std::strerror(errno);
    // Not streaming: videobuf2 reports an error condition at once instead of
    // letting poll wait for a frame that cannot come.
    pollfd p{fd.get(), POLLIN, 0};
    EXPECT_EQ(kernel().poll(&p, 1, 0), 1);
    EXPECT_TRUE(p.revents & POLLERR) << std::hex << p.revents;
    req.count = 0;
    EXPECT_EQ(kernel().ioctl(fd.get(), VIDIOC_REQBUFS, &req), 0) << std::strerror(errno);
}

// The firmware's model text is one NUL-terminated string, the NUL counted in
// the file's length; x86 guests have no device tree. Neither is a known board.
TEST(RealKernelAccess, DeviceTreeModelAsTheKernelPublishesIt)
{
    char model[100];
    const ssize_t n = readFileLine("/sys/firmware/devicetree/base/model", model, sizeof model);
#if defined(__arm__) || defined(__aarch64__)
#if defined(__arm__)
    const char* expected = RealKernelFacts::vexpressModel;
#else
    const char* expected = RealKernelFacts::virtModel;
#endif
    ASSERT_EQ(n, ssize_t(std::strlen(expected) + 1));
    EXPECT_STREQ(model, expected);
    EXPECT_EQ(model[n - 1], '\0');
#else
    EXPECT_EQ(n, -1);
#endif
    EXPECT_EQ(detectBoard(), BOARD_UNKNOWN);
}

// The failures the library meets, each with the errno the real kernel sets.
TEST(RealKernelAccess, FailuresSetTheSystemsErrno)
{
    Fd video(kernel().open("/dev/video0", O_RDWR | O_NONBLOCK));
    ASSERT_TRUE(video.isValid());
    for (const RealKernelFacts::ErrnoCase& c : RealKernelFacts::fileFailures(video.get())) {
        EXPECT_EQ(c.result, -1) << c.what;
        EXPECT_EQ(c.error, c.expectedError)
            << c.what << ": " << std::strerror(c.error) << ", expected " << std::strerror(c.expectedError);
    }
}

// Buffer requests before any buffer exists are refused as invalid.
TEST(RealKernelAccess, BufferRequestsBeforeBuffersExistAreInvalid)
{
    Fd video(kernel().open("/dev/video0", O_RDWR | O_NONBLOCK));
    ASSERT_TRUE(video.isValid());
    for (unsigned long request : {VIDIOC_DQBUF, VIDIOC_QUERYBUF}) {
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        errno = 0;
        EXPECT_EQ(kernel().ioctl(video.get(), request, &buf), -1) << std::hex << request;
        EXPECT_EQ(errno, EINVAL) << std::hex << request << ": " << std::strerror(errno);
    }
    errno = 0;
    EXPECT_EQ(kernel().mmap(nullptr, 4096, PROT_READ, MAP_SHARED, video.get(), 0), MAP_FAILED);
    EXPECT_EQ(errno, EINVAL) << "mmap with no buffers: " << std::strerror(errno);
}

} // namespace
} // namespace Quorvex
