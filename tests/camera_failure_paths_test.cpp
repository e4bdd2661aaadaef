// Opens and starts that fail on a simulated board or USB module: an open
// that fails leaves nothing held, a start that fails leaves nothing
// running, and the camera opens or starts again once the cause is gone.

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>
#include <sys/stat.h>
#include <unistd.h>

#include "camera/QuorvexFrameBuffer.h"
#include "camera/QuorvexTOFCamera.h"
#include "sim/SimCsiBoard.h"
#include "tests/support/FakeFiles.h"
#include "tests/support/UsbConfigFile.h"
#include "vendor/libquorvex_evk_sdk/quorvex_evk_sdk.h"

namespace Quorvex {
namespace {

using Sim::CsiModule;
using Sim::ScopedKernel;
using Sim::SimCsiBoard;
using Sim::SimKernel;
using test::UsbConfigFile;

struct World {
    World(BoardKind b, CsiModule module) : board(k, b, module) {}
    SimKernel k;
    ScopedKernel scope{k};
    SimCsiBoard board;
};

CsiModule module(CsiModule::Variant variant)
{
    CsiModule m;
    m.variant = variant;
    m.fps = 60;
    return m;
}

QuorvexFrameBuffer* waitFrame(QuorvexTOFCamera& camera)
{
    for (int attempt = 0; attempt < 100; ++attempt)
        if (QuorvexFrameBuffer* frame = camera.requestFrame(300))
            return frame;
    return nullptr;
}

// Streams one frame and gives it back.
void expectFrames(QuorvexTOFCamera& camera)
{
    QuorvexFrameBuffer* frame = waitFrame(camera);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(camera.releaseFrame(frame), QuorvexSuccess);
}

// Runs in a fresh current directory, where the VGA device writes its
// configuration files.
class ScratchDir {
public:
    ScratchDir()
    {
        char pattern[] = "/tmp/quorvex-failure-XXXXXX";
        path = ::mkdtemp(pattern);
        previous = std::filesystem::current_path().string();
        std::filesystem::current_path(path);
    }
    ~ScratchDir()
    {
        std::filesystem::current_path(previous);
        std::filesystem::remove_all(path);
    }
    std::string path;
    std::string previous;
};

// --- Failed opens ---

struct OpenFault {
    const char* title;
    BoardKind board;
    void (*inject)(World&);
};

const OpenFault kOpenFaults[] = {
    // Capture node, sub-devices and I2C adapter are open when the size
    // query fails.
    {"module size unreadable", BOARD_RASPBERRY_PI,
     [](World& w) { w.k.failIoctl("/dev/v4l-subdev0", VIDIOC_SUBDEV_G_FMT, EIO); }},
    {"I2C adapter refused", BOARD_RASPBERRY_PI_5,
     [](World& w) {
         w.k.failOpen("/dev/i2c-" + std::to_string(SimCsiBoard::moduleBus(BOARD_RASPBERRY_PI_5)), EACCES);
     }},
    {"input not selectable", BOARD_JETSON, [](World& w) { w.k.failIoctl("/dev/video0", VIDIOC_S_INPUT, EIO); }},
};

TEST(CsiFailedOpen, ReleasesEveryDescriptorAndACorrectedOpenStreams)
{
    for (const OpenFault& f : kOpenFaults) {
        SCOPED_TRACE(f.title);
        World w(f.board, module(CsiModule::Variant::HQVGA));
        {
            QuorvexTOFCamera camera;
            f.inject(w);
            for (int attempt = 0; attempt < 3; ++attempt) {
                testing::internal::CaptureStderr();
                EXPECT_EQ(camera.open(Connection::CSI, 0), QuorvexSystemError);
                testing::internal::GetCapturedStderr();
                EXPECT_EQ(w.k.openDescriptors(), 0u) << "after failed open " << attempt + 1;
            }
            // Nothing is open, so nothing starts.
            EXPECT_EQ(camera.start(FrameType::DEPTH), QuorvexUnkownError);
            w.k.clearFaults();
            ASSERT_EQ(camera.open(Connection::CSI, 0), QuorvexSuccess);
            ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvexSuccess);
            expectFrames(camera);
            EXPECT_EQ(camera.stop(), QuorvexSuccess);
            f.inject(w);
            testing::internal::CaptureStderr();
            EXPECT_NE(camera.open(Connection::CSI, 0), QuorvexSuccess);
            testing::internal::GetCapturedStderr();
        }
        EXPECT_EQ(w.k.openDescriptors(), 0u) << "after destruction";
    }
}

#ifdef QUORVEX_EVK_SDK_STANDIN
class UsbFailures : public ::testing::Test {
protected:
    void SetUp() override
    {
        files.files["/sys/firmware/devicetree/base/model"] = std::string("Raspberry Pi 4 Model B Rev 1.4") + '\0';
    }
    test::FakeFiles files;
    test::ScopedKernel scoped{files};
};

TEST_F(UsbFailures, AFailedInitialisationClosesTheLibraryCamera)
{
    UsbConfigFile failing("fail_init = yes\n");
    const int before = QuorvexDebugOpenCameras();
    {
        QuorvexTOFCamera camera;
        for (int attempt = 0; attempt < 3; ++attempt) {
            EXPECT_EQ(camera.openWithFile(failing.path.c_str(), 0), QuorvexUnkownError);
            EXPECT_EQ(QuorvexDebugOpenCameras(), before) << "after failed open " << attempt + 1;
        }
        EXPECT_EQ(camera.start(FrameType::DEPTH), QuorvexUnkownError);
        ASSERT_EQ(camera.open(Connection::USB, 0), QuorvexSuccess);
        EXPECT_EQ(QuorvexDebugOpenCameras(), before + 1);
        EXPECT_EQ(camera.openWithFile(failing.path.c_str(), 0), QuorvexUnkownError);
        EXPECT_EQ(QuorvexDebugOpenCameras(), before);
    }
    EXPECT_EQ(QuorvexDebugOpenCameras(), before);
}

QuorvexDebugState moduleState()
{
    QuorvexDebugState state{};
    EXPECT_EQ(QuorvexDebugGetState(QuorvexDebugLastCamera(), &state), 0);
    return state;
}

TEST_F(UsbFailures, AStartOfAnotherTypeLeavesTheModuleStoppedAndADepthStartWorks)
{
    QuorvexTOFCamera camera;
    ASSERT_EQ(camera.open(Connection::USB, 0), QuorvexSuccess);
    for (FrameType type : {FrameType::CONFIDENCE, FrameType::CACHE}) {
        EXPECT_EQ(camera.start(type), QuorvexUnkownError);
        // The record names the refused type, as it always did.
        EXPECT_EQ(camera.getCameraInfo().type, type);
        EXPECT_EQ(moduleState().streaming, 0);
    }
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvexSuccess);
    expectFrames(camera);
    EXPECT_EQ(camera.stop(), QuorvexSuccess);
    EXPECT_EQ(camera.close(), QuorvexSuccess);
}

TEST_F(UsbFailures, TheGeometryIsCheckedBeforeTheModuleStarts)
{
    // A 320 x 240 module while the VGA device is told to expect 640 x 480:
    // the device would read past each capture.
    UsbConfigFile half("variant = vga\nwidth = 320\nheight = 240\nfps = 0\n");
    QuorvexTOFCamera camera;
    ASSERT_EQ(camera.openWithFile(half.path.c_str(), 0), QuorvexSuccess);
    ASSERT_EQ(camera.setControl(CameraCtrl::FMT_WIDTH, 640), QuorvexSuccess);
    ASSERT_EQ(camera.setControl(CameraCtrl::FMT_HEIGHT, 480), QuorvexSuccess);
    const CameraInfo before = camera.getCameraInfo();
    EXPECT_EQ(camera.start(FrameType::RAW), QuorvexUnkownError);
    const QuorvexDebugState state = moduleState();
    EXPECT_EQ(state.streaming, 0);
    EXPECT_EQ(state.captureCalls, 0u);
    EXPECT_EQ(camera.getCameraInfo().type, FrameType::RAW);
    EXPECT_EQ(camera.getCameraInfo().width, before.width);

    ASSERT_EQ(camera.setControl(CameraCtrl::FMT_WIDTH, 320), QuorvexSuccess);
    ASSERT_EQ(camera.setControl(CameraCtrl::FMT_HEIGHT, 240), QuorvexSuccess);
    ASSERT_EQ(camera.start(FrameType::RAW), QuorvexSuccess);
    expectFrames(camera);
    EXPECT_EQ(camera.stop(), QuorvexSuccess);
    EXPECT_EQ(camera.close(), QuorvexSuccess);
}

TEST_F(UsbFailures, AVgaStartThatCannotWriteItsFilesStopsTheModule)
{
    ScratchDir dir;
    UsbConfigFile vga("variant = vga\nfps = 0\n");
    QuorvexTOFCamera camera;
    ASSERT_EQ(camera.openWithFile(vga.path.c_str(), 0), QuorvexSuccess);
    // A directory where a configuration file must go: no write succeeds,
    // whoever runs the test.
    ASSERT_TRUE(std::filesystem::create_directory("ConfigAlgorithm.json"));
    EXPECT_EQ(camera.start(FrameType::DEPTH), QuorvexUnkownError);
    EXPECT_EQ(moduleState().streaming, 0);
    EXPECT_NE(camera.getCameraInfo().type, FrameType::DEPTH);

    ASSERT_TRUE(std::filesystem::remove("ConfigAlgorithm.json"));
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvexSuccess);
    expectFrames(camera);
    EXPECT_EQ(camera.stop(), QuorvexSuccess);
    EXPECT_EQ(camera.close(), QuorvexSuccess);
}
#endif // QUORVEX_EVK_SDK_STANDIN

// --- Failed starts over CSI ---

TEST(CsiFailedStart, StreamOnRefusedReleasesTheBuffersAndTheNextStartStreams)
{
    World w(BOARD_RASPBERRY_PI, module(CsiModule::Variant::HQVGA));
    QuorvexTOFCamera camera;
    ASSERT_EQ(camera.open(Connection::CSI, 0), QuorvexSuccess);
    w.k.failIoctl("/dev/video0", VIDIOC_STREAMON, EIO, 1);
    EXPECT_EQ(camera.start(FrameType::DEPTH), QuorvexSystemError);
    EXPECT_FALSE(w.board.capture->streaming());
    EXPECT_EQ(w.board.capture->mappedBuffers(), 0u);
    EXPECT_EQ(w.board.capture->allocatedBuffers(), 0u);
    EXPECT_NE(camera.getCameraInfo().type, FrameType::DEPTH);

    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvexSuccess);
    expectFrames(camera);
    EXPECT_EQ(camera.close(), QuorvexSuccess);
    EXPECT_EQ(w.k.openDescriptors(), 0u);
}

TEST(CsiFailedStart, ADeviceThatCannotStartLeavesTheNodeIdle)
{
    ScratchDir dir;
    World w(BOARD_RADXA_ROCK, module(CsiModule::Variant::VGA));
    QuorvexTOFCamera camera;
    ASSERT_EQ(camera.open(Connection::CSI, 0), QuorvexSuccess);
    ASSERT_TRUE(std::filesystem::create_directory("ConfigCamera.json"));
    EXPECT_EQ(camera.start(FrameType::RAW), QuorvexUnkownError);
    EXPECT_FALSE(w.board.capture->streaming());
    EXPECT_EQ(w.board.capture->mappedBuffers(), 0u);
    EXPECT_EQ(w.board.capture->allocatedBuffers(), 0u);

    ASSERT_TRUE(std::filesystem::remove("ConfigCamera.json"));
    ASSERT_EQ(camera.start(FrameType::RAW), QuorvexSuccess);
    expectFrames(camera);
    EXPECT_EQ(camera.close(), QuorvexSuccess);
    EXPECT_EQ(w.k.openDescriptors(), 0u);
}

TEST(CsiFailedStart, AStartOfAnotherTypeNeverStreams)
{
    World w(BOARD_RASPBERRY_PI_5, module(CsiModule::Variant::HQVGA));
    QuorvexTOFCamera camera;
    ASSERT_EQ(camera.open(Connection::CSI, 0), QuorvexSuccess);
    EXPECT_EQ(camera.start(FrameType::CONFIDENCE), QuorvexUnkownError);
    EXPECT_EQ(camera.getCameraInfo().type, FrameType::CONFIDENCE);
    EXPECT_EQ(w.k.ioctlCount("/dev/video0", VIDIOC_STREAMON), 0u);
    EXPECT_EQ(w.board.capture->allocatedBuffers(), 0u);
    ASSERT_EQ(camera.start(FrameType::RAW), QuorvexSuccess);
    expectFrames(camera);
    EXPECT_EQ(camera.close(), QuorvexSuccess);
}

} // namespace
} // namespace Quorvex
