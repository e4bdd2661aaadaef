// The CSI sensor on vivid's single-planar capture node. The guest has no
// module bus, so `open` runs until the bus lookup and fails there; what it
// opened stays held until close, so the test sets the frame size and calls
// `start` on that node, as the camera would after a successful open: Y12 at
// 640 x 480 (vivid refuses packed Y12P), eight mapped buffers, the plain
// copy an unknown board's receiver gets, sub-frames and their timestamps,
// stop, start again, close. The media walk over vivid (discovery ends
// cleanly, finding no module) is in media_walk_test.cpp.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <linux/videodev2.h>

#include <gtest/gtest.h>

#include "sensor/BoardKind.h"
#include "sensor/KernelAccess.h"
#include "sensor/QuorvexTOFCSISensor.h"
#include "tests/kernel/support/GuestSupport.h"
#include "tests/kernel/support/RealKernelFacts.h"

namespace Quorvex {
namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

constexpr uint32_t width = 640;
constexpr uint32_t height = 480;
constexpr size_t subFrameBytes = size_t(width) * height * 2;
constexpr uint8_t untouched = 0xEE;
// Bytes after the caller's frame that no sub-frame may reach.
constexpr size_t guardBytes = 4096;

size_t openDescriptorCount()
{
    std::vector<std::string> names;
    return kernel().listDirectory("/proc/self/fd", names) == 0 ? names.size() : 0;
}

// Lines of /proc/self/maps that map the capture node.
int captureMappings()
{
    Guest::Fd maps(kernel().open("/proc/self/maps", O_RDONLY));
    if (!maps.isValid())
        return -1;
    std::string text;
    char chunk[4096];
    ssize_t n;
    while ((n = kernel().read(maps.get(), chunk, sizeof chunk)) > 0)
        text.append(chunk, size_t(n));
    int count = 0;
    for (size_t at = text.find(RealKernelFacts::captureNode); at != std::string::npos;
         at = text.find(RealKernelFacts::captureNode, at + 1))
        ++count;
    return count;
}

int64_t monotonicMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The caller's frame for `subFrames` sub-frames and a guard behind it, all
// preset to a byte no converter writes by chance everywhere.
struct Frame {
    explicit Frame(int32_t subFrames) : bytes(size_t(subFrames) * subFrameBytes + guardBytes, untouched) {}
    uint8_t* data() { return bytes.data(); }
    const uint8_t* subFrame(int32_t k) const { return bytes.data() + size_t(k) * subFrameBytes; }
    bool written(int32_t k) const
    {
        return std::any_of(subFrame(k), subFrame(k) + subFrameBytes, [](uint8_t b) { return b != untouched; });
    }
    bool guardIntact() const
    {
        return std::all_of(bytes.end() - guardBytes, bytes.end(), [](uint8_t b) { return b == untouched; });
    }
    std::vector<uint8_t> bytes;
};

// vivid's Y12 image as the plain copy hands it over: little-endian 12-bit
// samples, not all zero (its test pattern has bright bars).
void expectTwelveBitImage(const uint8_t* image)
{
    uint16_t largest = 0;
    size_t nonZero = 0;
    for (size_t i = 0; i < subFrameBytes; i += 2) {
        const uint16_t sample = uint16_t(image[i] | image[i + 1] << 8);
        largest = std::max(largest, sample);
        nonZero += sample != 0;
    }
    EXPECT_LE(largest, 0x0FFF);
    EXPECT_GT(nonZero, 0u);
}

// A sensor whose open went as far as the guest lets it, with the frame size
// set as open would have read it from a module.
class RealCsiSensor : public testing::Test {
protected:
    void SetUp() override
    {
        descriptorsBefore = openDescriptorCount();
        CameraInfo info{};
        CaptureStderr();
        ASSERT_EQ(sensor.open(info), QuorvexSystemError);
        ASSERT_EQ(GetCapturedStderr(), RealKernelFacts::emptyBusMessage);
        ASSERT_EQ(openDescriptorCount(), descriptorsBefore + 1) << "the capture node stays open until close";
        ASSERT_EQ(sensor.setControl(CameraCtrl::FMT_WIDTH, int(width)), QuorvexSuccess);
        ASSERT_EQ(sensor.setControl(CameraCtrl::FMT_HEIGHT, int(height)), QuorvexSuccess);
    }
    void TearDown() override { sensor.close(); }

    QuorvexTOFCSISensor sensor{RealKernelFacts::captureNode, BOARD_UNKNOWN};
    size_t descriptorsBefore = 0;
};

// On a board that names no bus, and on a media-controller board whose walk
// over vivid's graph finds no module, open fails in the bus lookup with the
// lookup's message alone.
TEST(RealCsiSensorOpen, FailsInTheBusLookup)
{
    for (BoardKind board : {BOARD_UNKNOWN, BOARD_RASPBERRY_PI}) {
        SCOPED_TRACE(board);
        QuorvexTOFCSISensor sensor(RealKernelFacts::captureNode, board);
        CameraInfo info{};
        CaptureStderr();
        EXPECT_EQ(sensor.open(info), QuorvexSystemError);
        EXPECT_EQ(GetCapturedStderr(), RealKernelFacts::emptyBusMessage);
        EXPECT_EQ(info.width, 0u) << "no size is read without a module";
        EXPECT_EQ(sensor.close(), QuorvexSuccess);
    }
}

// One buffer per frame: the timestamp is the buffer's, in milliseconds on
// CLOCK_MONOTONIC's scale (vivid stamps a frame's scheduled time, which may
// lie somewhat ahead of the clock read after the dequeue), growing from call
// to call by vivid's frame period, which is far more than the 5000 us that
// separate the sub-frames of one frame.
TEST_F(RealCsiSensor, SingleSubFramesCarryTheBuffersTime)
{
    sensor.subFrameCount = 1;
    const int64_t startMs = monotonicMs();
    ASSERT_EQ(sensor.start(), QuorvexSuccess);
    EXPECT_EQ(captureMappings(), QuorvexTOFCSISensor::kBufferCount);

    int64_t previous = 0;
    for (int call = 0; call < 4; ++call) {
        SCOPED_TRACE(call);
        Frame frame(1);
        int64_t timestamp = -1;
        ASSERT_EQ(sensor.getFrame(frame.data(), &timestamp), QuorvexSuccess);
        const int64_t now = monotonicMs();
        expectTwelveBitImage(frame.subFrame(0));
        EXPECT_TRUE(frame.guardIntact()) << "copyPlain wrote beyond one 614400-byte sub-frame";
        EXPECT_GE(timestamp, startMs);
        EXPECT_LE(timestamp, now + RealKernelFacts::timestampLeadLimitUs / 1000);
        if (call > 0) {
            RecordProperty("frame_period_ms_" + std::to_string(call), int(timestamp - previous));
            EXPECT_GT((timestamp - previous) * 1000, QuorvexTOFCSISensor::kMaxSubFrameGapUs);
        }
        previous = timestamp;
    }
    EXPECT_EQ(sensor.stop(), QuorvexSuccess);
    EXPECT_EQ(captureMappings(), 0);
}

// Four sub-frames asked of a node that sends one image per frame period:
// every buffer comes more than 5000 us after the one before, so each becomes
// sub-frame 0 again and no frame is ever complete. The call ends at the
// sensor's time limit with -2, no timestamp and only sub-frame 0 written;
// every buffer it took was queued again, so single sub-frames still come.
TEST_F(RealCsiSensor, BuffersAFramePeriodApartNeverMakeAFourSubFrameFrame)
{
    sensor.subFrameCount = 4;
    ASSERT_EQ(sensor.start(), QuorvexSuccess);

    Frame frame(4);
    int64_t timestamp = -1;
    EXPECT_EQ(sensor.getFrame(frame.data(), &timestamp), QuorvexSystemError);
    EXPECT_EQ(timestamp, -1);
    EXPECT_TRUE(frame.written(0));
    expectTwelveBitImage(frame.subFrame(0));
    for (int32_t k = 1; k < 4; ++k)
        EXPECT_FALSE(frame.written(k)) << "sub-frame " << k;
    EXPECT_TRUE(frame.guardIntact());

    sensor.subFrameCount = 1;
    for (int call = 0; call < QuorvexTOFCSISensor::kBufferCount + 1; ++call) {
        Frame single(1);
        ASSERT_EQ(sensor.getFrame(single.data(), &timestamp), QuorvexSuccess) << "call " << call;
    }
    EXPECT_EQ(sensor.stop(), QuorvexSuccess);
}

// stop gives the buffers back (REQBUFS 0), so the next start can set the
// format and request them again; the node streams as before.
TEST_F(RealCsiSensor, StartStopStartStreamsAgain)
{
    sensor.subFrameCount = 1;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(sensor.start(), QuorvexSuccess);
        Frame frame(1);
        int64_t timestamp = -1;
        EXPECT_EQ(sensor.getFrame(frame.data(), &timestamp), QuorvexSuccess);
        expectTwelveBitImage(frame.subFrame(0));
        EXPECT_EQ(sensor.stop(), QuorvexSuccess);
        EXPECT_EQ(captureMappings(), 0);
    }
}

// vivid's error-injection control "Inject VIDIOC_STREAMON Error" (6.1) makes
// the next STREAMON fail. Found by its name, not its number, which is
// vivid's own. False when it cannot be set; `seen` then lists the controls
// the node offers.
bool setStartStreamingError(bool fail, std::string& seen)
{
    Guest::Fd fd(kernel().open(RealKernelFacts::captureNode, O_RDWR));
    if (!fd.isValid()) {
        seen = std::string("open: ") + std::strerror(errno);
        return false;
    }
    // The extended query: the plain one may refuse some of vivid's test
    // controls and end the walk before it gets there.
    v4l2_query_ext_ctrl query{};
    query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    while (kernel().ioctl(fd.get(), VIDIOC_QUERY_EXT_CTRL, &query) == 0) {
        const std::string name(reinterpret_cast<const char*>(query.name),
                               strnlen(reinterpret_cast<const char*>(query.name), sizeof query.name));
        seen += name + "; ";
        if (name == "Inject VIDIOC_STREAMON Error") {
            // A button fires on any write: clearing it is not a write.
            if (query.type == V4L2_CTRL_TYPE_BUTTON && !fail)
                return true;
            v4l2_control control{query.id, fail ? 1 : 0};
            if (kernel().ioctl(fd.get(), VIDIOC_S_CTRL, &control) == 0)
                return true;
            seen += std::string("VIDIOC_S_CTRL: ") + std::strerror(errno);
            return false;
        }
        query.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
    }
    seen += std::string("(end: ") + std::strerror(errno) + ")";
    return false;
}

// A stream that will not start: start answers -2 and leaves no mapping and
// no buffer behind, so the next start can set its format and streams.
TEST_F(RealCsiSensor, AStreamThatWillNotStartLeavesNothingBehind)
{
    sensor.subFrameCount = 1;
    std::string seen;
    ASSERT_TRUE(setStartStreamingError(true, seen)) << "controls: " << seen;
    EXPECT_EQ(sensor.start(), QuorvexSystemError);
    EXPECT_EQ(captureMappings(), 0);
    ASSERT_TRUE(setStartStreamingError(false, seen)) << seen;

    ASSERT_EQ(sensor.start(), QuorvexSuccess);
    Frame frame(1);
    int64_t timestamp = -1;
    EXPECT_EQ(sensor.getFrame(frame.data(), &timestamp), QuorvexSuccess);
    expectTwelveBitImage(frame.subFrame(0));
    EXPECT_EQ(sensor.stop(), QuorvexSuccess);
}

// close leaves no descriptor and no mapping behind, whether the stream was
// stopped or is still running, and a second close closes nothing: not even
// the descriptor number the node had, now someone else's.
TEST_F(RealCsiSensor, CloseReleasesEverythingOnceOnly)
{
    for (bool stopFirst : {true, false}) {
        SCOPED_TRACE(stopFirst ? "stopped" : "still streaming");
        if (!stopFirst) {
            CameraInfo info{};
            CaptureStderr();
            ASSERT_EQ(sensor.open(info), QuorvexSystemError);
            GetCapturedStderr();
        }
        sensor.subFrameCount = 1;
        ASSERT_EQ(sensor.start(), QuorvexSuccess);
        Frame frame(1);
        int64_t timestamp = -1;
        ASSERT_EQ(sensor.getFrame(frame.data(), &timestamp), QuorvexSuccess);
        if (stopFirst)
            ASSERT_EQ(sensor.stop(), QuorvexSuccess);

        EXPECT_EQ(sensor.close(), QuorvexSuccess);
        EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
        EXPECT_EQ(captureMappings(), 0);

        Guest::Fd other(kernel().open(RealKernelFacts::captureNode, O_RDWR));
        ASSERT_TRUE(other.isValid()) << std::strerror(errno) << ": the node must be free again";
        EXPECT_EQ(sensor.close(), QuorvexSuccess);
        struct stat st {};
        EXPECT_EQ(kernel().fstat(other.get(), &st), 0) << "the second close closed descriptor " << other.get();
        // The queue is nobody's: another file can take buffers at once.
        v4l2_requestbuffers request{};
        request.count = 2;
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        EXPECT_EQ(kernel().ioctl(other.get(), VIDIOC_REQBUFS, &request), 0) << std::strerror(errno);
        request.count = 0;
        kernel().ioctl(other.get(), VIDIOC_REQBUFS, &request);
    }
}

// vivid's controls, printed to the console log (tests/kernel/README.md
// keeps what they showed), and its error injection: a button that makes the
// next buffer come back flagged V4L2_BUF_FLAG_ERROR. The sensor re-queues a
// flagged buffer and reads on, so injecting more errors than there are
// buffers never runs the stream dry.
TEST_F(RealCsiSensor, ErrorFlaggedBuffersAreQueuedAgain)
{
    Guest::Fd node(kernel().open(RealKernelFacts::captureNode, O_RDWR));
    ASSERT_TRUE(node.isValid());
    uint32_t injectError = 0;
    v4l2_queryctrl query{};
    query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    for (int n = 0; n < 200 && kernel().ioctl(node.get(), VIDIOC_QUERYCTRL, &query) == 0; ++n) {
        const std::string name(reinterpret_cast<const char*>(query.name),
                               strnlen(reinterpret_cast<const char*>(query.name), sizeof query.name));
        std::printf("vivid control 0x%08x type %u: %s\n", query.id, query.type, name.c_str());
        if (name.find("V4L2_BUF_FLAG_ERROR") != std::string::npos)
            injectError = query.id;
        query.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
    }
    if (injectError == 0)
        GTEST_SKIP() << "this vivid has no control that flags a buffer with V4L2_BUF_FLAG_ERROR";

    sensor.subFrameCount = 1;
    ASSERT_EQ(sensor.start(), QuorvexSuccess);
    Frame frame(1);
    int64_t timestamp = 0;
    ASSERT_EQ(sensor.getFrame(frame.data(), &timestamp), QuorvexSuccess);
    int64_t previous = timestamp;
    for (int i = 0; i < 10; ++i) {
        v4l2_control press{injectError, 1};
        ASSERT_EQ(kernel().ioctl(node.get(), VIDIOC_S_CTRL, &press), 0) << std::strerror(errno);
        ASSERT_EQ(sensor.getFrame(frame.data(), &timestamp), QuorvexSuccess) << "error " << i;
        EXPECT_GT(timestamp, previous);
        previous = timestamp;
    }
    EXPECT_TRUE(frame.guardIntact());
    EXPECT_EQ(sensor.stop(), QuorvexSuccess);
}

} // namespace
} // namespace Quorvex
