// Facts of the host's ABI that the library leans on. The same tests run on
// x86-64 and, cross-built, on armv7l with 32-bit and with 64-bit time_t
// (make test-armhf) and on aarch64 (make test-arm64): a layout assumption
// that holds only on the build machine fails here first.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <new>
#include <sys/time.h>
#include <type_traits>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/media.h>
#include <linux/videodev2.h>

#include "camera/QuorvexFrameBuffer.h"
#include "camera/TofTypes.h"
#include "sensor/KernelAccess.h"

using namespace Quorvex;

namespace {

struct BufferLayout {
    const char* abi;
    size_t size;
    size_t timestampOffset;
    unsigned long dqbuf;
};

// Kernel's view of struct v4l2_buffer per ABI; its size is encoded in the
// request numbers, so a wrong layout also means a request the kernel does
// not know.
const BufferLayout* expectedBufferLayout()
{
#if defined(__x86_64__) || defined(__aarch64__)
    static const BufferLayout layout{"64-bit", 88, 24, 0xc0585611ul};
    return &layout;
#elif defined(__arm__)
    static const BufferLayout layout = sizeof(time_t) == 8
        ? BufferLayout{"armhf, 64-bit time_t", 80, 24, 0xc0505611ul}
        : BufferLayout{"armhf, 32-bit time_t", 68, 20, 0xc0445611ul};
    return &layout;
#else
    return nullptr;
#endif
}

// Capture timestamps reach the library as a struct timeval whose fields are
// as wide as the C library's time_t and suseconds_t: 32 bits on armhf
// without the 64-bit time_t layout.
int64_t millisecondsOf(const struct timeval& tv)
{
    return static_cast<int64_t>(tv.tv_sec) * 1000 + static_cast<int64_t>(tv.tv_usec) / 1000;
}

} // namespace

TEST(PlatformAbi, IntegerAndPointerWidths)
{
#if defined(__aarch64__)
    EXPECT_EQ(sizeof(void*), 8u);
    EXPECT_EQ(sizeof(long), 8u);
    EXPECT_EQ(sizeof(size_t), 8u);
    EXPECT_EQ(sizeof(time_t), 8u);
    EXPECT_EQ(sizeof(off_t), 8u);
#elif defined(__arm__)
    EXPECT_EQ(sizeof(void*), 4u);
    EXPECT_EQ(sizeof(long), 4u);
    EXPECT_EQ(sizeof(size_t), 4u);
#if defined(_TIME_BITS) && _TIME_BITS == 64
    EXPECT_EQ(sizeof(time_t), 8u);
    EXPECT_EQ(sizeof(off_t), 8u);
#else
    EXPECT_EQ(sizeof(time_t), 4u);
#endif
#endif
    // 64-bit values are 8-aligned on both ARM EABI and x86-64, which keeps
    // FrameDataFormat's timestamp at the same offset everywhere.
    EXPECT_EQ(alignof(uint64_t), 8u);
    EXPECT_EQ(offsetof(FrameDataFormat, timestamp), 16u);
    EXPECT_EQ(sizeof(FrameDataFormat), 24u);
}

TEST(PlatformAbi, V4l2BufferLayoutAndRequestNumber)
{
    const BufferLayout* expected = expectedBufferLayout();
    if (!expected)
        GTEST_SKIP() << "no recorded v4l2_buffer layout for this architecture";
    SCOPED_TRACE(expected->abi);
    EXPECT_EQ(sizeof(struct v4l2_buffer), expected->size);
    EXPECT_EQ(offsetof(struct v4l2_buffer, timestamp), expected->timestampOffset);
    EXPECT_EQ(static_cast<unsigned long>(VIDIOC_DQBUF), expected->dqbuf);
    EXPECT_EQ(sizeof(struct v4l2_buffer), static_cast<size_t>(_IOC_SIZE(VIDIOC_DQBUF)));
    // Request numbers above 2^31 pass the kernel-access seam unchanged: its
    // request parameter is unsigned long, not int.
    using IoctlRequest = decltype(&KernelAccess::ioctl);
    static_assert(std::is_same<IoctlRequest, int (KernelAccess::*)(int, unsigned long, void*)>::value,
                  "the seam's ioctl must take the request as unsigned long");
}

// The other records the library hands the kernel, as a kernel of the same
// width reads them (a 64-bit kernel converts a 32-bit process's records by
// these 32-bit layouts). Where a pointer or unsigned long sits inside, the
// layout differs between 32-bit and 64-bit processes; I2C_RDWR does not
// even carry the size in its request number, so only the layout can tell.
TEST(PlatformAbi, KernelRecordLayoutsOfThisProcessWidth)
{
    struct Field {
        const char* what;
        size_t actual;
        size_t bits32;
        size_t bits64;
    };
    const Field fields[] = {
        {"sizeof v4l2_format", sizeof(v4l2_format), 204, 208},
        {"v4l2_format.fmt", offsetof(v4l2_format, fmt), 4, 8},
        {"VIDIOC_S_FMT", static_cast<size_t>(static_cast<unsigned long>(VIDIOC_S_FMT)), 0xc0cc5605u, 0xc0d05605u},
        {"sizeof v4l2_plane", sizeof(v4l2_plane), 60, 64},
        {"v4l2_plane.m", offsetof(v4l2_plane, m), 8, 8},
        {"v4l2_plane.data_offset", offsetof(v4l2_plane, data_offset), 12, 16},
        {"sizeof v4l2_requestbuffers", sizeof(v4l2_requestbuffers), 20, 20},
        {"VIDIOC_REQBUFS", static_cast<size_t>(static_cast<unsigned long>(VIDIOC_REQBUFS)), 0xc0145608u, 0xc0145608u},
        {"sizeof v4l2_capability", sizeof(v4l2_capability), 104, 104},
        {"sizeof media_entity_desc", sizeof(media_entity_desc), 256, 256},
        {"MEDIA_IOC_ENUM_ENTITIES", static_cast<size_t>(static_cast<unsigned long>(MEDIA_IOC_ENUM_ENTITIES)),
         0xc1007c01u, 0xc1007c01u},
        {"sizeof media_link_desc", sizeof(media_link_desc), 52, 52},
        {"MEDIA_IOC_SETUP_LINK", static_cast<size_t>(static_cast<unsigned long>(MEDIA_IOC_SETUP_LINK)),
         0xc0347c03u, 0xc0347c03u},
        {"sizeof i2c_msg", sizeof(i2c_msg), 12, 16},
        {"i2c_msg.len", offsetof(i2c_msg, len), 4, 4},
        {"i2c_msg.buf", offsetof(i2c_msg, buf), 8, 8},
        {"sizeof i2c_rdwr_ioctl_data", sizeof(i2c_rdwr_ioctl_data), 8, 16},
        {"i2c_rdwr_ioctl_data.nmsgs", offsetof(i2c_rdwr_ioctl_data, nmsgs), 4, 8},
        {"I2C_RDWR", static_cast<size_t>(I2C_RDWR), 0x0707u, 0x0707u},
    };
    const bool wide = sizeof(void*) == 8;
    for (const Field& f : fields)
        EXPECT_EQ(f.actual, wide ? f.bits64 : f.bits32) << f.what << (wide ? " (64-bit)" : " (32-bit)");
}

TEST(PlatformAbi, MillisecondTimestampsFromTimevalFieldsDoNotOverflow)
{
    // Seconds x 1000 exceeds 32 bits after 49.7 days of uptime (monotonic
    // clock) and at any wall-clock date; the product must be formed in 64
    // bits from fields that may be only 32 bits wide.
    const struct {
        long long seconds;
        long microseconds;
        int64_t milliseconds;
    } cases[] = {
        {0, 0, 0},
        {0, 999, 0},
        {0, 1000, 1},
        {4294967, 295999, 4294967295},         // last millisecond within 32 bits
        {4294967, 296000, 4294967296},         // first one beyond
        {3000000, 999999, 3000000999},         // about 35 days of uptime
        {2147483647, 999999, 2147483647999},   // latest second of a 32-bit time_t
    };
    for (const auto& c : cases) {
        struct v4l2_buffer buffer {};
        buffer.timestamp.tv_sec = static_cast<decltype(buffer.timestamp.tv_sec)>(c.seconds);
        buffer.timestamp.tv_usec = static_cast<decltype(buffer.timestamp.tv_usec)>(c.microseconds);
        ASSERT_EQ(static_cast<long long>(buffer.timestamp.tv_sec), c.seconds) << "field too narrow";
        EXPECT_EQ(millisecondsOf(buffer.timestamp), c.milliseconds) << c.seconds << " s " << c.microseconds << " us";
    }
    if (sizeof(time_t) == 8) {
        struct timeval tv {};
        tv.tv_sec = static_cast<time_t>(4102444800LL); // 2100-01-01
        tv.tv_usec = 500000;
        EXPECT_EQ(millisecondsOf(tv), 4102444800500LL);
    }
}

TEST(PlatformAbi, FramePlanesAreAlignedForTheirSampleType)
{
    // Planes are handed to numpy and to the converters as float and int16
    // arrays; the cache plane is read as 16-bit words.
    const FrameDataFormat depthFormat{240, 180, FrameType::DEPTH, 0};
    const FrameDataFormat confidenceFormat{240, 180, FrameType::CONFIDENCE, 0};
    DepthData depth(depthFormat, confidenceFormat);
    RawData raw(FrameDataFormat{240, 720, FrameType::RAW, 0});
    CacheData cache(240, 720);

    const struct {
        const char* plane;
        const void* data;
        size_t alignment;
    } planes[] = {
        {"depth", depth.getData(FrameType::DEPTH), alignof(float)},
        {"amplitude", depth.getData(FrameType::AMPLITUDE), alignof(float)},
        {"confidence", depth.getData(FrameType::CONFIDENCE), alignof(float)},
        {"raw", raw.getData(FrameType::RAW), alignof(int16_t)},
        {"cache", cache.getData(FrameType::CACHE), alignof(uint16_t)},
    };
    for (const auto& p : planes) {
        ASSERT_NE(p.data, nullptr) << p.plane;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p.data) % p.alignment, 0u) << p.plane;
    }
    EXPECT_EQ(cache.size(), size_t{240} * 720 * 2);
}

TEST(PlatformAbi, PlaneSizesBeyondTheAddressSpaceAreRefused)
{
    // On a 32-bit host width x height x sample size can wrap size_t; a
    // wrapped size would allocate a small plane that captures then overrun.
    // 65536 x 65536 floats is 16 GiB: unrepresentable on armv7l, and on a
    // 64-bit host simply more than an allocation may get here.
    if (sizeof(size_t) > 4)
        GTEST_SKIP() << "size_t cannot wrap for 32-bit dimensions here";
    const FrameDataFormat huge{65536, 65536, FrameType::DEPTH, 0};
    EXPECT_THROW((DepthData{huge, huge}), std::bad_alloc);
    EXPECT_THROW((RawData{FrameDataFormat{65536, 32768, FrameType::RAW, 0}}), std::bad_alloc);
    EXPECT_THROW((CacheData{65536, 32768}), std::bad_alloc);
}
