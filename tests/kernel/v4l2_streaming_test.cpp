// A plain V4L2 memory-mapped stream on vivid's single-planar capture node, in
// the library's own order (format, eight buffers, queue, stream on, dequeue,
// stream off, unmap), checking what the real kernel hands back: the format it
// settles on, buffer lengths and offsets, flags, sequence numbers and
// timestamps, and the samples' 12-bit range.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <vector>

#include <linux/videodev2.h>

#include <gtest/gtest.h>

#include "sensor/KernelAccess.h"
#include "sensor/V4l2Helpers.h"
#include "tests/kernel/support/GuestSupport.h"

#ifndef V4L2_PIX_FMT_Y12P
#define V4L2_PIX_FMT_Y12P v4l2_fourcc('Y', '1', '2', 'P')
#endif

namespace Quorvex {
namespace {

using Guest::Fd;
using Guest::Mapping;

constexpr uint32_t width = 640;
constexpr uint32_t height = 480;
constexpr unsigned bufferCount = 8;
constexpr unsigned framesToRead = 12; // more than the buffers: each is requeued

std::string fourcc(uint32_t f)
{
    return std::string{char(f), char(f >> 8), char(f >> 16), char(f >> 24)};
}

int64_t toMicroseconds(const timeval& t)
{
    return int64_t(t.tv_sec) * 1000000 + t.tv_usec;
}

// The library's V4L2 request rule: repeated while EAGAIN, EINTR, ETIMEDOUT.
int xioctl(int fd, unsigned long request, void* arg)
{
    return ioctlRetry(fd, request, arg);
}

// The guest build for armv7l runs this twice: with the 32-bit time_t and
// with the 64-bit one; the layout (and request numbers) must match the ABI.
TEST(RealV4l2Stream, BufferRecordMatchesTheTimeAbi)
{
    RecordProperty("sizeof_v4l2_buffer", int(sizeof(v4l2_buffer)));
    RecordProperty("timestamp_offset", int(offsetof(v4l2_buffer, timestamp)));
    if (sizeof(void*) == 8)
        EXPECT_EQ(sizeof(v4l2_buffer), 88u);
    else if (sizeof(time_t) == 8)
        EXPECT_EQ(sizeof(v4l2_buffer), 80u);
    else
        EXPECT_EQ(sizeof(v4l2_buffer), 68u);
}

// What S_FMT settles on: the grey formats the module's frames can be read
// as are taken as asked; packed 12-bit is not offered and is replaced.
TEST(RealV4l2Stream, SetFormatSettlesOnWhatTheDriverOffers)
{
    const struct {
        uint32_t asked;
        uint32_t expected;
        uint32_t bytesPerLine;
    } cases[] = {
        {V4L2_PIX_FMT_Y12, V4L2_PIX_FMT_Y12, width * 2},
        {V4L2_PIX_FMT_Y16, V4L2_PIX_FMT_Y16, width * 2},
        {V4L2_PIX_FMT_Y10, V4L2_PIX_FMT_Y10, width * 2},
        {V4L2_PIX_FMT_GREY, V4L2_PIX_FMT_GREY, width},
        {V4L2_PIX_FMT_Y12P, V4L2_PIX_FMT_YUYV, width * 2},
    };
    Fd fd(kernel().open("/dev/video0", O_RDWR));
    ASSERT_TRUE(fd.isValid());
    for (const auto& c : cases) {
        v4l2_format fmt{};
        fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        fmt.fmt.pix.width = width;
        fmt.fmt.pix.height = height;
        fmt.fmt.pix.pixelformat = c.asked;
        fmt.fmt.pix.field = V4L2_FIELD_NONE;
        ASSERT_EQ(xioctl(fd.get(), VIDIOC_S_FMT, &fmt), 0) << fourcc(c.asked) << ": " << std::strerror(errno);
        EXPECT_EQ(fourcc(fmt.fmt.pix.pixelformat), fourcc(c.expected)) << "asked " << fourcc(c.asked);
        EXPECT_EQ(fmt.fmt.pix.width, width);
        EXPECT_EQ(fmt.fmt.pix.height, height);
        EXPECT_EQ(fmt.fmt.pix.bytesperline, c.bytesPerLine) << fourcc(c.asked);
        EXPECT_EQ(fmt.fmt.pix.sizeimage, c.bytesPerLine * height) << fourcc(c.asked);
        EXPECT_EQ(fmt.fmt.pix.field, uint32_t(V4L2_FIELD_NONE));
    }
}

TEST(RealV4l2Stream, StreamsY12ThroughEightMappedBuffers)
{
    Fd fd(kernel().open("/dev/video0", O_RDWR));
    ASSERT_TRUE(fd.isValid()) << std::strerror(errno);

    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = width;
    fmt.fmt.pix.height = height;
    fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_Y12;
    fmt.fmt.pix.field = V4L2_FIELD_NONE;
    ASSERT_EQ(xioctl(fd.get(), VIDIOC_S_FMT, &fmt), 0) << std::strerror(errno);
    ASSERT_EQ(fmt.fmt.pix.pixelformat, uint32_t(V4L2_PIX_FMT_Y12));
    const uint32_t frameBytes = fmt.fmt.pix.sizeimage;
    ASSERT_EQ(frameBytes, width * height * 2);

    v4l2_requestbuffers req{};
    req.count = bufferCount;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    ASSERT_EQ(xioctl(fd.get(), VIDIOC_REQBUFS, &req), 0) << std::strerror(errno);
    ASSERT_EQ(req.count, bufferCount);

    std::vector<Mapping> maps(bufferCount);
    std::vector<uint32_t> offsets;
    for (unsigned i = 0; i < bufferCount; ++i) {
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = i;
        ASSERT_EQ(xioctl(fd.get(), VIDIOC_QUERYBUF, &buf), 0) << i << ": " << std::strerror(errno);
        EXPECT_EQ(buf.index, i);
        EXPECT_EQ(buf.length, frameBytes);
        EXPECT_EQ(buf.flags & (V4L2_BUF_FLAG_QUEUED | V4L2_BUF_FLAG_DONE | V4L2_BUF_FLAG_MAPPED), 0u);
        for (uint32_t o : offsets)
            EXPECT_NE(o, buf.m.offset) << "buffer " << i << " shares an offset";
        offsets.push_back(buf.m.offset);
        maps[i] = Mapping(kernel().mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), buf.m.offset),
                          buf.length);
        ASSERT_TRUE(maps[i].isValid()) << i << ": " << std::strerror(errno);
    }

    v4l2_buffer mappedNotQueued{};
    mappedNotQueued.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    mappedNotQueued.memory = V4L2_MEMORY_MMAP;
    ASSERT_EQ(xioctl(fd.get(), VIDIOC_QUERYBUF, &mappedNotQueued), 0);
    EXPECT_EQ(mappedNotQueued.flags & V4L2_BUF_FLAG_MAPPED, uint32_t(V4L2_BUF_FLAG_MAPPED));

    for (unsigned i = 0; i < bufferCount; ++i) {
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = i;
        ASSERT_EQ(xioctl(fd.get(), VIDIOC_QBUF, &buf), 0) << i << ": " << std::strerror(errno);
        EXPECT_TRUE(buf.flags & V4L2_BUF_FLAG_QUEUED);
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(xioctl(fd.get(), VIDIOC_STREAMON, &type), 0) << std::strerror(errno);

    int64_t previousStamp = 0;
    uint32_t previousSequence = 0;
    for (unsigned n = 0; n < framesToRead; ++n) {
        // A bound on the wait keeps a stalled driver from hanging the guest.
        pollfd p{fd.get(), POLLIN, 0};
        ASSERT_EQ(kernel().poll(&p, 1, 10000), 1) << "frame " << n << " never came";
        ASSERT_TRUE(p.revents & POLLIN);

        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        ASSERT_EQ(xioctl(fd.get(), VIDIOC_DQBUF, &buf), 0) << std::strerror(errno);

        // Buffers come back in the order they were queued.
        EXPECT_EQ(buf.index, n % bufferCount);
        EXPECT_EQ(buf.length, frameBytes);
        EXPECT_EQ(buf.bytesused, frameBytes);
        EXPECT_EQ(buf.field, uint32_t(V4L2_FIELD_NONE));
        EXPECT_EQ(buf.flags, uint32_t(V4L2_BUF_FLAG_MAPPED | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC))
            << std::hex << buf.flags;
        if (n > 0) {
            EXPECT_GT(buf.sequence, previousSequence);
        }
        previousSequence = buf.sequence;
        // Monotonic-clock stamps, increasing. Not necessarily in the past:
        // vivid stamps each frame with its scheduled time, which ran up to
        // 0.2 s ahead of the clock read right after the dequeue.
        const int64_t stamp = toMicroseconds(buf.timestamp);
        EXPECT_GT(stamp, previousStamp);
        previousStamp = stamp;

        // Y12 keeps each sample in the low 12 bits of a little-endian word.
        const auto* samples = static_cast<const uint8_t*>(maps[buf.index].data());
        uint16_t lowest = 0xFFFF, highest = 0;
        for (uint32_t i = 0; i < frameBytes; i += 2) {
            const uint16_t v = uint16_t(samples[i] | samples[i + 1] << 8);
            lowest = std::min(lowest, v);
            highest = std::max(highest, v);
        }
        EXPECT_LE(highest, 0x0FFF) << "frame " << n;
        EXPECT_LT(lowest, highest) << "frame " << n << " is flat";

        ASSERT_EQ(xioctl(fd.get(), VIDIOC_QBUF, &buf), 0) << std::strerror(errno);
    }

    ASSERT_EQ(xioctl(fd.get(), VIDIOC_STREAMOFF, &type), 0) << std::strerror(errno);
    // Stream off returns every buffer to the application, none pending.
    for (unsigned i = 0; i < bufferCount; ++i) {
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = i;
        ASSERT_EQ(xioctl(fd.get(), VIDIOC_QUERYBUF, &buf), 0);
        EXPECT_EQ(buf.flags & (V4L2_BUF_FLAG_QUEUED | V4L2_BUF_FLAG_DONE), 0u) << i;
    }
    v4l2_buffer after{};
    after.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    after.memory = V4L2_MEMORY_MMAP;
    errno = 0;
    EXPECT_EQ(xioctl(fd.get(), VIDIOC_DQBUF, &after), -1);
    EXPECT_EQ(errno, EINVAL) << std::strerror(errno);

    // Freeing the buffers while they are still mapped succeeds: videobuf2
    // orphans the memory, which stays readable until it is unmapped.
    req.count = 0;
    EXPECT_EQ(xioctl(fd.get(), VIDIOC_REQBUFS, &req), 0) << std::strerror(errno);
    const auto* first = static_cast<const volatile uint8_t*>(maps[0].data());
    EXPECT_LE(first[1], 0x0F);
    for (Mapping& m : maps)
        EXPECT_EQ(m.reset(), 0);
}

} // namespace
} // namespace Quorvex
