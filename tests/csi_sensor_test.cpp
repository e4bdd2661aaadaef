// QuorvexTOFCSISensor against the simulated kernel: each board's receiver,
// the sub-frame and timestamp rules, the controls, and the faults a capture
// node can show. Nothing here restates the converters: frames are compared
// across receivers that lay the same module data out differently.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <chrono>
#include <vector>

#include <linux/videodev2.h>

#include "sensor/QuorvexTOFCSISensor.h"
#include "sim/SimCsiBoard.h"

#ifndef V4L2_PIX_FMT_Y12P
#define V4L2_PIX_FMT_Y12P v4l2_fourcc('Y', '1', '2', 'P')
#endif

using namespace Quorvex;
using namespace Quorvex::Sim;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

constexpr size_t kSubFrameSamples = 240 * 180;
constexpr uint32_t kRangeControl = QuorvexTOFCSISensor::kRangeControl;

CsiModule unpacedHqvga()
{
    CsiModule m;
    m.fps = 0;
    return m;
}

// A board, its kernel and a sensor on /dev/video0.
struct Rig {
    explicit Rig(BoardKind b, std::optional<ReceiverLayout> layout = std::nullopt,
                 CsiModule module = unpacedHqvga())
        : board(k, b, module, layout ? *layout : ReceiverLayout::forBoard(b)), sensor("/dev/video0", b)
    {
    }
    ~Rig() { sensor.close(); }

    TofErrorCode open()
    {
        CameraInfo info{};
        const TofErrorCode r = sensor.open(info);
        width = info.width;
        height = info.height;
        return r;
    }
    TofErrorCode openAndStart(int32_t subFrames = 4)
    {
        TofErrorCode r = open();
        if (r != QuorvexSuccess)
            return r;
        sensor.subFrameCount = subFrames;
        frame.assign(static_cast<size_t>(subFrames) * width * height * 2, 0);
        return sensor.start();
    }
    TofErrorCode read()
    {
        return sensor.getFrame(frame.data(), &timestamp);
    }
    std::vector<uint16_t> words() const
    {
        std::vector<uint16_t> out(frame.size() / 2);
        for (size_t i = 0; i < out.size(); ++i)
            out[i] = static_cast<uint16_t>(frame[2 * i] | (frame[2 * i + 1] << 8));
        return out;
    }

    SimKernel k;
    ScopedKernel scope{k};
    SimCsiBoard board;
    QuorvexTOFCSISensor sensor;
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> frame;
    int64_t timestamp = -1;
};

// The frame every receiver must deliver for the module's first frame: the
// plain 16-bit layout of the Pi's receiver, read with copyPlain.
std::vector<uint16_t> referenceFrame()
{
    Rig rig(BOARD_RASPBERRY_PI);
    EXPECT_EQ(rig.openAndStart(), QuorvexSuccess);
    EXPECT_EQ(rig.read(), QuorvexSuccess);
    return rig.words();
}

// BOARD_JETSON: 12-bit samples four bits up, and in every 480-sample block
// the samples 224..239 repeat samples 464..479 (the block mapping cannot
// carry them).
void expectJetsonFrame(const std::vector<uint16_t>& got, const std::vector<uint16_t>& reference)
{
    ASSERT_EQ(got.size(), reference.size());
    for (size_t i = 0; i < got.size(); ++i) {
        const size_t inBlock = i % 480;
        const size_t from = inBlock >= 224 && inBlock < 240 ? i + 240 : i;
        ASSERT_EQ(got[i], static_cast<uint16_t>(reference[from] << 4)) << "sample " << i;
    }
}

} // namespace

TEST(CsiSensor, EveryBoardDeliversTheModulesFrame)
{
    const std::vector<uint16_t> reference = referenceFrame();
    ASSERT_EQ(reference.size(), 4 * kSubFrameSamples);
    // Four phase images of a lit scene: not blank, all 12-bit.
    EXPECT_NE(reference[0], reference[kSubFrameSamples]);
    for (uint16_t w : reference)
        ASSERT_LT(w, 0x1000);

    for (BoardKind b : {BOARD_RASPBERRY_PI_5, BOARD_RADXA_ROCK, BOARD_JETSON_TX1_NANO, BOARD_JETSON}) {
        SCOPED_TRACE(SimCsiBoard::modelText(b));
        Rig rig(b);
        ASSERT_EQ(rig.openAndStart(), QuorvexSuccess);
        EXPECT_EQ(rig.width, 240u);
        EXPECT_EQ(rig.height, 180u);
        ASSERT_EQ(rig.read(), QuorvexSuccess);
        if (b == BOARD_JETSON)
            expectJetsonFrame(rig.words(), reference);
        else
            EXPECT_EQ(rig.words(), reference);
        EXPECT_EQ(rig.sensor.stop(), QuorvexSuccess);
        EXPECT_EQ(rig.sensor.close(), QuorvexSuccess);
        EXPECT_EQ(rig.k.openDescriptors(), 0u);
        EXPECT_EQ(rig.board.capture->mappedBuffers(), 0u);
    }
}

TEST(CsiSensor, Pi5AsksForPackedSamples)
{
    Rig rig(BOARD_RASPBERRY_PI_5);
    ASSERT_EQ(rig.openAndStart(), QuorvexSuccess);
    EXPECT_EQ(rig.board.capture->requestedPixelFormat(), V4L2_PIX_FMT_Y12P);
    Rig pi(BOARD_RASPBERRY_PI);
    ASSERT_EQ(pi.openAndStart(), QuorvexSuccess);
    EXPECT_EQ(pi.board.capture->requestedPixelFormat(), V4L2_PIX_FMT_Y12);
}

TEST(CsiSensor, A92160ByteBufferIsReadLineByLineOnEveryBoard)
{
    // A receiver striding lines 512 bytes apart with buffers of exactly the
    // image: the buffer length picks the converter ahead of the board.
    ReceiverLayout stride512;
    stride512.lineAlign = 64;
    stride512.pageRoundedLength = false;
    const std::vector<uint16_t> reference = referenceFrame();
    for (BoardKind b : {BOARD_RASPBERRY_PI, BOARD_RASPBERRY_PI_5, BOARD_JETSON_TX1_NANO, BOARD_JETSON}) {
        SCOPED_TRACE(SimCsiBoard::modelText(b));
        Rig rig(b, stride512);
        ASSERT_EQ(rig.openAndStart(), QuorvexSuccess);
        ASSERT_EQ(rig.read(), QuorvexSuccess);
        EXPECT_EQ(rig.words(), reference);
    }
}

TEST(CsiSensor, CapabilityQueryFailuresAreReportedNotFatal)
{
    struct Case {
        const char* title;
        int error;
        int times;
        uint32_t caps; // 0: the node's own
        TofErrorCode result;
        const char* message;
    } cases[] = {
        {"EINTR four times, then an answer", EINTR, 4, 0, QuorvexSuccess, ""},
        {"EINTR five times", EINTR, 5, 0, QuorvexSystemError, "VIDIOC_QUERYCAP: error - 4\n"},
        {"EIO at once", EIO, 1, 0, QuorvexSystemError, "VIDIOC_QUERYCAP: error - 5\n"},
        {"no streaming", 0, 0, V4L2_CAP_VIDEO_CAPTURE, QuorvexSystemError, ""},
        {"no capture", 0, 0, V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_STREAMING, QuorvexSystemError, ""},
        {"multi-planar capture will do", 0, 0, V4L2_CAP_VIDEO_CAPTURE_MPLANE | V4L2_CAP_STREAMING,
         QuorvexSuccess, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        Rig rig(BOARD_RASPBERRY_PI);
        if (c.times)
            rig.k.failIoctl("/dev/video0", VIDIOC_QUERYCAP, c.error, c.times);
        if (c.caps)
            rig.board.capture->setCapabilities(c.caps);
        CaptureStderr();
        EXPECT_EQ(rig.open(), c.result);
        EXPECT_EQ(GetCapturedStderr(), c.message);
        if (c.error == EINTR) {
            EXPECT_EQ(rig.k.ioctlCount("/dev/video0", VIDIOC_QUERYCAP), 5u);
        }
        EXPECT_EQ(rig.sensor.close(), QuorvexSuccess);
        EXPECT_EQ(rig.k.openDescriptors(), 0u);
    }
}

TEST(CsiSensor, DequeueRetriesFiveTimesInAll)
{
    for (int times : {4, 5}) {
        SCOPED_TRACE(times);
        Rig rig(BOARD_RASPBERRY_PI);
        ASSERT_EQ(rig.openAndStart(1), QuorvexSuccess);
        rig.k.failIoctl("/dev/video0", VIDIOC_DQBUF, EINTR, times);
        EXPECT_EQ(rig.read(), times == 4 ? QuorvexSuccess : QuorvexSystemError);
    }
}

TEST(CsiSensor, ControlsReachTheSubdeviceAndTheI2cController)
{
    Rig rig(BOARD_RASPBERRY_PI);
    ASSERT_EQ(rig.open(), QuorvexSuccess);
    QuorvexTOFCSISensor& s = rig.sensor;
    SimSubdevice& module = *rig.board.moduleSubdev;
    int v = 77;

    EXPECT_EQ(s.getControl(CameraCtrl::FRAME_RATE, &v), QuorvexSuccess);
    EXPECT_EQ(v, 0) << "no frame rate set yet";
    EXPECT_EQ(s.setControl(CameraCtrl::RANGE, 3), QuorvexInvalidParameter);
    EXPECT_TRUE(module.controlWrites().empty());
    EXPECT_EQ(s.setControl(CameraCtrl::RANGE, 2), QuorvexSuccess);
    EXPECT_EQ(module.control(kRangeControl), 1);
    EXPECT_EQ(s.getControl(CameraCtrl::RANGE, &v), QuorvexSuccess);
    EXPECT_EQ(v, 2);
    EXPECT_EQ(s.setControl(CameraCtrl::RANGE, 4), QuorvexSuccess);
    EXPECT_EQ(module.controlWrites().back(), std::make_pair(kRangeControl, 0));
    EXPECT_EQ(s.getControl(CameraCtrl::RANGE, &v), QuorvexSuccess);
    EXPECT_EQ(v, 4);

    v = 77;
    EXPECT_EQ(s.getControl(CameraCtrl::MODE, &v), QuorvexInvalidParameter);
    EXPECT_EQ(v, 77);
    EXPECT_EQ(s.setControl(CameraCtrl::FRAME_MODE, 1), QuorvexInvalidParameter);

    EXPECT_EQ(s.setControl(CameraCtrl::EXPOSURE, 500), QuorvexSuccess);
    EXPECT_EQ(s.getControl(CameraCtrl::EXPOSURE, &v), QuorvexSuccess);
    EXPECT_EQ(v, 500);

    EXPECT_EQ(s.setControl(CameraCtrl::FRAME_RATE, 30), QuorvexSuccess);
    const auto sent = rig.board.adapter->sent(SimCsiBoard::chipAddress);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), (std::vector<uint8_t>{0x06, 0x33, 0x00, 0x00, 0x00, 0x1E}));
    EXPECT_EQ(s.getControl(CameraCtrl::FRAME_RATE, &v), QuorvexSuccess);
    EXPECT_EQ(v, 30);
}

TEST(CsiSensor, JetsonHasNoSubdeviceControlsButFrameRateWorks)
{
    Rig rig(BOARD_JETSON);
    ASSERT_EQ(rig.open(), QuorvexSuccess);
    int v = 0;
    CaptureStderr();
    EXPECT_EQ(rig.sensor.setControl(CameraCtrl::RANGE, 2), QuorvexUnkownError);
    EXPECT_EQ(GetCapturedStderr(), "VIDIOC_S_CTRL: Bad file descriptor\n");
    CaptureStderr();
    EXPECT_EQ(rig.sensor.getControl(CameraCtrl::EXPOSURE, &v), QuorvexUnkownError);
    EXPECT_EQ(GetCapturedStderr(), "VIDIOC_G_CTRL: Bad file descriptor\n");
    EXPECT_EQ(rig.sensor.setControl(CameraCtrl::FRAME_RATE, 15), QuorvexSuccess);
    EXPECT_EQ(rig.board.adapter->registerValue(SimCsiBoard::chipAddress, 0x0633), 15u);
}

TEST(CsiSensor, FrameRateWriteFailureIsASystemError)
{
    Rig rig(BOARD_RASPBERRY_PI);
    ASSERT_EQ(rig.open(), QuorvexSuccess);
    rig.k.failIoctl("/dev/i2c-10", 0x0707 /* I2C_RDWR */, ENXIO);
    EXPECT_EQ(rig.sensor.setControl(CameraCtrl::FRAME_RATE, 30), QuorvexSystemError);
}

TEST(CsiSensor, SubFramesFurtherThan5000usApartRestartTheFrame)
{
    struct Case {
        const char* title;
        int32_t subFrames;
        std::vector<std::pair<int64_t, int64_t>> stamps;
        uint64_t dequeues;
        int64_t ms;
    } cases[] = {
        {"second buffer late: it becomes sub-frame 0", 4, {{100, 0}, {100, 6000}, {100, 7000}, {100, 8000}, {100, 9000}},
         5, 100009},
        {"exactly 5000 us is still one frame", 4, {{100, 0}, {100, 5000}, {100, 10000}, {100, 15000}}, 4, 100015},
        {"1 002 990 us across a second boundary", 4,
         {{100, 10}, {101, 3000}, {101, 4000}, {101, 5000}, {101, 6000}}, 5, 101006},
        {"800 us across a second boundary", 4, {{100, 999500}, {101, 300}, {101, 1300}, {101, 2300}}, 4, 101002},
        {"time going backwards is no gap", 4, {{100, 9000}, {100, 1000}, {100, 2000}, {100, 3000}}, 4, 100003},
        {"64-bit milliseconds", 1, {{3000000, 999999}}, 1, 3000000999LL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        Rig rig(BOARD_RASPBERRY_PI);
        ASSERT_EQ(rig.openAndStart(c.subFrames), QuorvexSuccess);
        rig.board.capture->scriptTimestamps(c.stamps);
        ASSERT_EQ(rig.read(), QuorvexSuccess);
        EXPECT_EQ(rig.board.capture->dequeueCount(), c.dequeues);
        EXPECT_EQ(rig.timestamp, c.ms);
    }
}

TEST(CsiSensor, RestartedFrameHoldsFourConsecutiveSubFrames)
{
    // The module's second buffer arrives late: it and the three after it
    // (phase images 1, 2, 3 and the next frame's 0) make the frame.
    const std::vector<uint16_t> reference = referenceFrame();
    Rig rig(BOARD_RASPBERRY_PI);
    ASSERT_EQ(rig.openAndStart(), QuorvexSuccess);
    rig.board.capture->scriptTimestamps({{100, 0}, {100, 6000}, {100, 7000}, {100, 8000}, {100, 9000}});
    ASSERT_EQ(rig.read(), QuorvexSuccess);
    const std::vector<uint16_t> got = rig.words();
    for (size_t k = 0; k < 4; ++k) {
        const size_t from = ((k + 1) % 4) * kSubFrameSamples;
        EXPECT_TRUE(std::equal(got.begin() + k * kSubFrameSamples, got.begin() + (k + 1) * kSubFrameSamples,
                               reference.begin() + from))
            << "sub-frame " << k;
    }
}

// A node that sends one image per frame period (the VGA module, or vivid
// on a real kernel) asked for four sub-frames: every buffer lies a period
// after the one before, so each restarts the frame and none completes. The
// call must still end, with no frame, and leave the stream going.
TEST(CsiSensor, BuffersTooFarApartForAnyFrameEndTheCallWithoutAFrame)
{
    CsiModule vga;
    vga.variant = CsiModule::Variant::VGA;
    vga.fps = 5;
    Rig rig(BOARD_UNKNOWN, std::nullopt, vga);
    CaptureStderr();
    EXPECT_EQ(rig.open(), QuorvexSystemError); // no module bus on this board
    GetCapturedStderr();
    ASSERT_EQ(rig.sensor.setControl(CameraCtrl::FMT_WIDTH, 320), QuorvexSuccess);
    ASSERT_EQ(rig.sensor.setControl(CameraCtrl::FMT_HEIGHT, 1205), QuorvexSuccess);
    rig.sensor.subFrameCount = 4;
    const size_t subFrameBytes = 320 * 1205 * 2;
    rig.frame.assign(4 * subFrameBytes, 0xEE);
    ASSERT_EQ(rig.sensor.start(), QuorvexSuccess);

    EXPECT_EQ(rig.read(), QuorvexSystemError);
    EXPECT_EQ(rig.timestamp, -1) << "no frame, no time";
    EXPECT_GE(rig.board.capture->dequeueCount(), 2u) << "the frame was restarted";
    EXPECT_TRUE(std::any_of(rig.frame.begin(), rig.frame.begin() + subFrameBytes, [](uint8_t b) { return b != 0xEE; }));
    EXPECT_TRUE(std::all_of(rig.frame.begin() + subFrameBytes, rig.frame.end(), [](uint8_t b) { return b == 0xEE; }))
        << "only ever sub-frame 0 was written";

    // Every buffer taken went back: single images still come.
    rig.sensor.subFrameCount = 1;
    EXPECT_EQ(rig.read(), QuorvexSuccess);
    EXPECT_GT(rig.timestamp, 0);
    EXPECT_EQ(rig.sensor.stop(), QuorvexSuccess);
}

TEST(CsiSensor, GrantOtherThanEightBuffersFailsStartCleanly)
{
    for (int granted : {0, 4, 12}) {
        SCOPED_TRACE(granted);
        Rig rig(BOARD_RASPBERRY_PI);
        rig.board.capture->grantBuffers(granted);
        EXPECT_EQ(rig.openAndStart(), QuorvexUnkownError);
        EXPECT_EQ(rig.board.capture->mappedBuffers(), 0u);
        EXPECT_EQ(rig.board.capture->allocatedBuffers(), 0u);
        EXPECT_FALSE(rig.board.capture->streaming());
        EXPECT_EQ(rig.sensor.stop(), QuorvexSuccess) << "stop unmaps nothing it did not map";
        EXPECT_EQ(rig.sensor.close(), QuorvexSuccess);
        EXPECT_EQ(rig.k.openDescriptors(), 0u);
    }
}

TEST(CsiSensor, StartFailingHalfWayReleasesWhatItMapped)
{
    Rig rig(BOARD_RASPBERRY_PI);
    ASSERT_EQ(rig.open(), QuorvexSuccess);
    rig.sensor.subFrameCount = 4;
    rig.k.failIoctl("/dev/video0", VIDIOC_QBUF, EIO, 1);
    EXPECT_EQ(rig.sensor.start(), QuorvexUnkownError);
    EXPECT_EQ(rig.board.capture->mappedBuffers(), 0u);
    EXPECT_EQ(rig.board.capture->allocatedBuffers(), 0u);
    // Nothing is left that would make the format busy: a new start works.
    rig.frame.assign(4 * kSubFrameSamples * 2, 0);
    EXPECT_EQ(rig.sensor.start(), QuorvexSuccess);
    EXPECT_EQ(rig.read(), QuorvexSuccess);
}

TEST(CsiSensor, StartStopStartStreamsAgain)
{
    Rig rig(BOARD_RADXA_ROCK);
    ASSERT_EQ(rig.openAndStart(), QuorvexSuccess);
    ASSERT_EQ(rig.read(), QuorvexSuccess);
    ASSERT_EQ(rig.sensor.stop(), QuorvexSuccess);
    EXPECT_EQ(rig.board.capture->mappedBuffers(), 0u);
    ASSERT_EQ(rig.sensor.start(), QuorvexSuccess);
    EXPECT_EQ(rig.read(), QuorvexSuccess);
}

TEST(CsiSensor, BufferIndexAboveSevenGivesNoCacheAndTheStreamGoesOn)
{
    Rig rig(BOARD_RASPBERRY_PI);
    ASSERT_EQ(rig.openAndStart(), QuorvexSuccess);
    rig.board.capture->reportIndexAt(2, 9);
    EXPECT_EQ(rig.read(), QuorvexNoCache);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(rig.read(), QuorvexSuccess);
    EXPECT_EQ(rig.sensor.stop(), QuorvexSuccess);
}

TEST(CsiSensor, FaultsMidStreamDeliverNoFrameAndStillStopAndClose)
{
    struct Case {
        const char* title;
        std::function<void(SimCaptureNode&)> fault;
        TofErrorCode stop;
    } cases[] = {
        {"dequeue failing", [](SimCaptureNode& n) { n.failDequeueAfter(2, EIO); }, QuorvexSuccess},
        {"device gone", [](SimCaptureNode& n) { n.unplug(); }, QuorvexSystemError},
        {"stream stalled", [](SimCaptureNode& n) { n.stall(true); }, QuorvexSuccess},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        Rig rig(BOARD_RASPBERRY_PI);
        ASSERT_EQ(rig.openAndStart(), QuorvexSuccess);
        ASSERT_EQ(rig.read(), QuorvexSuccess);
        c.fault(*rig.board.capture);
        rig.timestamp = -1;
        EXPECT_EQ(rig.read(), QuorvexSystemError);
        EXPECT_EQ(rig.timestamp, -1) << "no frame reported";
        EXPECT_EQ(rig.sensor.stop(), c.stop);
        EXPECT_EQ(rig.sensor.close(), QuorvexSuccess);
        EXPECT_EQ(rig.board.capture->mappedBuffers(), 0u);
        EXPECT_FALSE(rig.board.capture->streaming());
        EXPECT_EQ(rig.k.openDescriptors(), 0u);
    }
}

TEST(CsiSensor, CloseWithoutStopReleasesTheNodeForTheNextUser)
{
    Rig rig(BOARD_RASPBERRY_PI_5);
    ASSERT_EQ(rig.openAndStart(), QuorvexSuccess);
    ASSERT_EQ(rig.read(), QuorvexSuccess);
    EXPECT_EQ(rig.sensor.close(), QuorvexSuccess);
    EXPECT_FALSE(rig.board.capture->streaming());
    EXPECT_EQ(rig.board.capture->mappedBuffers(), 0u);
    EXPECT_EQ(rig.board.capture->allocatedBuffers(), 0u);
    EXPECT_EQ(rig.k.openDescriptors(), 0u);

    QuorvexTOFCSISensor next("/dev/video0", BOARD_RASPBERRY_PI_5);
    CameraInfo info{};
    ASSERT_EQ(next.open(info), QuorvexSuccess);
    next.subFrameCount = 4;
    EXPECT_EQ(next.start(), QuorvexSuccess);
    EXPECT_EQ(next.close(), QuorvexSuccess);
}

TEST(CsiSensor, SecondCloseClosesNothing)
{
    Rig rig(BOARD_RASPBERRY_PI);
    ASSERT_EQ(rig.open(), QuorvexSuccess);
    EXPECT_EQ(rig.sensor.close(), QuorvexSuccess);
    // Descriptor numbers are reused: these may carry the sensor's old ones.
    const int video = rig.k.open("/dev/video0", O_RDWR);
    const int i2c = rig.k.open("/dev/i2c-10", O_RDWR);
    EXPECT_EQ(rig.sensor.close(), QuorvexSuccess);
    EXPECT_EQ(rig.k.openDescriptors(), 2u);
    rig.k.close(video);
    rig.k.close(i2c);
}

TEST(CsiSensor, FrameSizeChangedWhileStreamingAppliesAtTheNextStart)
{
    Rig rig(BOARD_RASPBERRY_PI);
    ASSERT_EQ(rig.openAndStart(), QuorvexSuccess);
    EXPECT_EQ(rig.sensor.setControl(CameraCtrl::FMT_WIDTH, 640), QuorvexSuccess);
    EXPECT_EQ(rig.sensor.setControl(CameraCtrl::FMT_HEIGHT, 480), QuorvexSuccess);
    // rig.frame is sized for 240 x 180: under ASan a write beyond it fails.
    EXPECT_EQ(rig.read(), QuorvexSuccess);
    EXPECT_EQ(rig.sensor.getCameraInfo().width, 640u);
    EXPECT_EQ(rig.sensor.stop(), QuorvexSuccess);
    // The HQVGA module sends 240 x 180 only: the read-back refuses 640 x 480.
    EXPECT_EQ(rig.sensor.start(), QuorvexUnkownError);
}

TEST(CsiSensor, UnknownBoardFailsInTheBusLookup)
{
    Rig rig(BOARD_UNKNOWN);
    CaptureStderr();
    EXPECT_EQ(rig.open(), QuorvexSystemError);
    EXPECT_EQ(GetCapturedStderr(), "Error: I2C bus name doesn't match any bus present!\n");
}

// A receiver flags a damaged transfer (V4L2_BUF_FLAG_ERROR) or reports
// fewer bytes than an image: the buffer goes back to the driver and the
// frame it belonged to is lost, never delivered with the damage in it. The
// next frame is found by the gap before its first sub-frame.
TEST(CsiSensor, DamagedBuffersCostTheirFrame)
{
    const std::vector<uint16_t> reference = referenceFrame();
    for (BoardKind b : {BOARD_RASPBERRY_PI, BOARD_RADXA_ROCK}) {
        for (bool flagged : {true, false}) {
            for (unsigned at : {1u, 3u}) {
                SCOPED_TRACE(::testing::Message() << SimCsiBoard::modelText(b) << (flagged ? " flagged" : " short")
                                                  << " buffer " << at);
                Rig rig(b);
                ASSERT_EQ(rig.openAndStart(), QuorvexSuccess);
                rig.board.capture->damageAt(at, flagged, 240 * 180);
                ASSERT_EQ(rig.read(), QuorvexSuccess);
                EXPECT_EQ(rig.words(), reference);
                EXPECT_EQ(rig.board.capture->dequeueCount(), 8u) << "the first frame lost, the second whole";
                EXPECT_EQ(rig.board.capture->mappedBuffers(), 8u);
                // Every buffer is back with the driver: the stream goes on.
                for (int i = 0; i < 3; ++i)
                    ASSERT_EQ(rig.read(), QuorvexSuccess);
                EXPECT_EQ(rig.words(), reference);
            }
        }
    }
}

// The module takes a new range when its next frame begins. A reader that
// falls behind still finds frames that began before the change; those are
// dropped, and the frame delivered is the one the module captured at the
// new range, which frameRange() names.
TEST(CsiSensor, FramesBegunBeforeARangeChangeAreDropped)
{
    CsiModule paced;
    paced.fps = 30;
    std::vector<uint16_t> nearFrame;
    {
        Rig rig(BOARD_RASPBERRY_PI, std::nullopt, paced);
        ASSERT_EQ(rig.open(), QuorvexSuccess);
        // Changed while not streaming, it holds from the first frame.
        ASSERT_EQ(rig.sensor.setModuleRange(2000), QuorvexSuccess);
        ASSERT_EQ(rig.openAndStart(), QuorvexSuccess);
        ASSERT_EQ(rig.read(), QuorvexSuccess);
        EXPECT_EQ(rig.sensor.frameRange(), 2000);
        nearFrame = rig.words();
    }
    const std::vector<uint16_t> farFrame = referenceFrame();
    ASSERT_NE(nearFrame, farFrame);

    Rig rig(BOARD_RASPBERRY_PI, std::nullopt, paced);
    ASSERT_EQ(rig.openAndStart(), QuorvexSuccess);
    ASSERT_EQ(rig.read(), QuorvexSuccess);
    EXPECT_EQ(rig.sensor.frameRange(), 4000);
    EXPECT_EQ(rig.words(), farFrame);
    // The next frame begins while nobody reads, before the change.
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    ASSERT_EQ(rig.sensor.setModuleRange(2000), QuorvexSuccess);
    EXPECT_EQ(rig.board.moduleSubdev->control(kRangeControl), 1);
    ASSERT_EQ(rig.read(), QuorvexSuccess);
    EXPECT_EQ(rig.sensor.frameRange(), 2000);
    EXPECT_EQ(rig.words(), nearFrame);
    const uint64_t dequeued = rig.board.capture->dequeueCount();
    EXPECT_GE(dequeued, 16u) << "the frame begun before the change and the one in flight are dropped";

    // Asking for the range in force drops nothing.
    ASSERT_EQ(rig.sensor.setModuleRange(2000), QuorvexSuccess);
    ASSERT_EQ(rig.read(), QuorvexSuccess);
    EXPECT_EQ(rig.board.capture->dequeueCount(), dequeued + 4);

    // Only the module's two ranges exist; a refusal changes nothing.
    EXPECT_EQ(rig.sensor.setModuleRange(3000), QuorvexInvalidParameter);
    EXPECT_EQ(rig.board.moduleSubdev->control(kRangeControl), 1);
}

// A Pi 5 reaches the module through the CSI-2 bridge's sub-device; a module
// sub-device that does not open must not leave the bridge answering for it.
TEST(CsiSensor, Pi5ModuleSubdeviceThatDoesNotOpenFailsTheOpen)
{
    Rig rig(BOARD_RASPBERRY_PI_5);
    rig.k.failOpen("/dev/v4l-subdev1", EACCES);
    CaptureStderr();
    EXPECT_EQ(rig.open(), QuorvexSystemError);
    const std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("/dev/v4l-subdev1"), std::string::npos) << err;
    EXPECT_NE(err.find("Permission denied"), std::string::npos) << err;
    EXPECT_EQ(rig.sensor.close(), QuorvexSuccess);
    EXPECT_EQ(rig.k.openDescriptors(), 0u);
}

// VGA needs eight large buffers of contiguous memory; when the driver grants
// fewer, the user learns what was asked, what came and how much is needed.
TEST(CsiSensor, TooFewBuffersSayWhatTheStreamNeeds)
{
    CsiModule vga;
    vga.variant = CsiModule::Variant::VGA;
    Rig rig(BOARD_RASPBERRY_PI, std::nullopt, vga);
    ASSERT_EQ(rig.open(), QuorvexSuccess);
    ASSERT_EQ(rig.sensor.setControl(CameraCtrl::FMT_HEIGHT, 4810), QuorvexSuccess);
    rig.board.capture->grantBuffers(3);
    CaptureStderr();
    EXPECT_EQ(rig.sensor.start(), QuorvexUnkownError);
    const std::string err = GetCapturedStderr();
    // 640 x 4810 16-bit samples: 6 156 800 bytes a buffer, 49 254 400 for eight.
    EXPECT_NE(err.find("asked for 8"), std::string::npos) << err;
    EXPECT_NE(err.find("granted 3"), std::string::npos) << err;
    EXPECT_NE(err.find("6156800"), std::string::npos) << err;
    EXPECT_NE(err.find("49254400"), std::string::npos) << err;
    EXPECT_EQ(rig.board.capture->allocatedBuffers(), 0u);
}
