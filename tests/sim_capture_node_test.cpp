// The simulated capture node keeps the rules real drivers share, so that the
// sensor tests against it mean something: page-rounded buffer lengths, a
// format fixed while buffers exist, buffers orphaned (not refused) when
// freed while mapped, and a mapping that keeps the queue alive after close.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>

#include <linux/videodev2.h>

#include "sim/SimCsiBoard.h"

using namespace Quorvex;
using namespace Quorvex::Sim;

namespace {

struct Node {
    explicit Node(BoardKind b) : board(k, b) { fd = k.open("/dev/video0", O_RDWR); }
    int request(uint32_t count)
    {
        v4l2_requestbuffers req{};
        req.count = count;
        req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        req.memory = V4L2_MEMORY_MMAP;
        return k.ioctl(fd, VIDIOC_REQBUFS, &req) < 0 ? -errno : static_cast<int>(req.count);
    }
    v4l2_buffer query(uint32_t index)
    {
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = index;
        EXPECT_EQ(k.ioctl(fd, VIDIOC_QUERYBUF, &buf), 0);
        return buf;
    }
    int setFormat()
    {
        v4l2_format f{};
        f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        f.fmt.pix.width = 240;
        f.fmt.pix.height = 180;
        return k.ioctl(fd, VIDIOC_S_FMT, &f) < 0 ? -errno : 0;
    }

    SimKernel k;
    ScopedKernel scope{k};
    SimCsiBoard board;
    int fd = -1;
};

} // namespace

TEST(SimCaptureNode, BufferLengthsFollowTheReceiver)
{
    struct Case {
        BoardKind board;
        uint32_t length;
    } cases[] = {
        {BOARD_RASPBERRY_PI, 90112},     // 86400 rounded up to pages
        {BOARD_RASPBERRY_PI_5, 69632},   // 368 x 180 packed, rounded up
        {BOARD_JETSON_TX1_NANO, 92160},  // 512 x 180, the image itself
        {BOARD_JETSON, 90112},           // 90 blocks of 960, rounded up
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(SimCsiBoard::modelText(c.board));
        Node n(c.board);
        ASSERT_EQ(n.request(8), 8);
        EXPECT_EQ(n.query(7).length, c.length);
        n.k.close(n.fd);
    }
}

TEST(SimCaptureNode, FormatAndBuffersAreBusyLikeADriversQueue)
{
    Node n(BOARD_RASPBERRY_PI);
    ASSERT_EQ(n.request(8), 8);
    EXPECT_EQ(n.setFormat(), -EBUSY);
    const v4l2_buffer b = n.query(0);
    void* p = n.k.mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, n.fd, b.m.offset);
    ASSERT_NE(p, MAP_FAILED);

    // Another opener cannot take the queue; closing the owner's descriptor
    // while a buffer is mapped does not free it either.
    const int other = n.k.open("/dev/video0", O_RDWR);
    v4l2_requestbuffers req{};
    req.count = 8;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    EXPECT_EQ(n.k.ioctl(other, VIDIOC_REQBUFS, &req), -1);
    EXPECT_EQ(errno, EBUSY);
    n.k.close(n.fd);
    EXPECT_EQ(n.board.capture->allocatedBuffers(), 8u);
    EXPECT_EQ(n.k.munmap(p, b.length), 0);
    EXPECT_EQ(n.board.capture->allocatedBuffers(), 0u);
    EXPECT_EQ(n.k.ioctl(other, VIDIOC_REQBUFS, &req), 0);
    n.k.close(other);
}

TEST(SimCaptureNode, BuffersFreedWhileMappedStayReadable)
{
    Node n(BOARD_RASPBERRY_PI);
    ASSERT_EQ(n.request(8), 8);
    const v4l2_buffer b = n.query(3);
    void* mapping = n.k.mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, n.fd, b.m.offset);
    ASSERT_NE(mapping, MAP_FAILED);
    EXPECT_EQ(n.request(0), 0);
    EXPECT_EQ(n.board.capture->allocatedBuffers(), 0u);
    // Orphaned but still mapped: the memory is there (ASan checks it).
    static_cast<volatile uint8_t*>(mapping)[b.length - 1] = 1;
    EXPECT_EQ(n.k.munmap(mapping, b.length), 0);
    n.k.close(n.fd);
}
