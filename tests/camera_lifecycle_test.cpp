#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "camera/QuorvexFrameBuffer.h"
#include "camera/QuorvexTOFCamera.h"
#include "tests/support/Eventually.h"
#include "tests/support/FakeWorld.h"

using namespace Quorvex;
using namespace QuorvexTest;
using Events = std::vector<std::string>;

namespace {

int32_t seqOf(QuorvexFrameBuffer* frame)
{
    int32_t seq = 0;
    std::memcpy(&seq, frame->getData(FrameType::RAW), sizeof(seq));
    return seq;
}

struct SizeCase {
    uint32_t width;
    uint32_t height;
    DeviceType type;
    int32_t subFrames;
};

class CameraSelection : public ::testing::TestWithParam<SizeCase> {};

TEST_P(CameraSelection, ReportedSizeChoosesDeviceAndSubFrames)
{
    const SizeCase c = GetParam();
    FakeWorld world;
    world.width = c.width;
    world.height = c.height;
    QuorvexTOFCamera cam;

    ASSERT_EQ(cam.open(Connection::CSI, 3), QuorvexSuccess);
    const CameraInfo info = cam.getCameraInfo();
    EXPECT_EQ(info.device_type, c.type);
    EXPECT_EQ(info.width, c.width);
    EXPECT_EQ(info.height, c.height);
    EXPECT_EQ(info.index, 3u);
    EXPECT_EQ(info.connect, Connection::CSI);
    ASSERT_EQ(world.sensors.size(), 1u);
    EXPECT_EQ(world.sensor()->subFrameCount, c.subFrames);
    ASSERT_EQ(world.deviceSizes.size(), 1u);
    EXPECT_EQ(world.deviceSizes[0], std::make_pair(c.width, c.height));
    EXPECT_EQ(world.device()->openedWith(), world.sensor());
    EXPECT_EQ(world.device()->openedType, c.type);
    ASSERT_EQ(world.requests.size(), 1u);
    EXPECT_EQ(world.requests[0].devicePath, "/dev/video3");

    // The scratch frame holds every sub-frame of one capture: the device's
    // raw geometry fits, so a stream starts.
    ASSERT_EQ(cam.start(FrameType::RAW), QuorvexSuccess);
    EXPECT_EQ(cam.stop(), QuorvexSuccess);
}

INSTANTIATE_TEST_SUITE_P(Sizes, CameraSelection,
                         ::testing::Values(SizeCase{240, 180, HQVGA, 4}, SizeCase{240, 181, VGA, 1},
                                           SizeCase{320, 240, VGA, 1}, SizeCase{640, 480, VGA, 1},
                                           SizeCase{180, 240, VGA, 1}));

TEST(CameraOpen, ConnectionKindsReachTheSensorFactory)
{
    FakeWorld world;
    QuorvexTOFCamera cam;

    ASSERT_EQ(cam.open(Connection::USB, 2), QuorvexSuccess);
    ASSERT_EQ(cam.openWithFile("conf/evk.cfg", 5), QuorvexSuccess);
    ASSERT_EQ(world.requests.size(), 2u);
    EXPECT_EQ(world.requests[0].connect, Connection::USB);
    EXPECT_EQ(world.requests[0].configPath, "");
    EXPECT_EQ(world.requests[0].index, 2);
    EXPECT_EQ(world.requests[1].connect, Connection::USB);
    EXPECT_EQ(world.requests[1].configPath, "conf/evk.cfg");
    EXPECT_EQ(world.requests[1].index, 5);
    EXPECT_EQ(cam.getCameraInfo().index, 5u);
    EXPECT_EQ(cam.getCameraInfo().connect, Connection::USB);
    // The sensor learns the board; a USB module's device does not, since no
    // receiver of the board touches its samples.
    EXPECT_EQ(world.requests[0].boardKind, BOARD_RASPBERRY_PI);
    EXPECT_EQ(world.device()->board(), BOARD_UNKNOWN);
}

TEST(CameraOpen, TheBoardDetectedAtConstructionReachesSensorAndDevice)
{
    struct Case {
        const char* model;
        BoardKind board;
    };
    const Case cases[] = {
        {"Raspberry Pi 5 Model B Rev 1.0", BOARD_RASPBERRY_PI_5},
        {"NVIDIA Jetson Xavier NX Developer Kit", BOARD_JETSON},
        {"Radxa ROCK 5B", BOARD_RADXA_ROCK},
        {nullptr, BOARD_UNKNOWN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model ? c.model : "no model");
        FakeWorld world(c.model);
        QuorvexTOFCamera cam;
        // Detected once: a later change of the device tree is not seen.
        world.files.files.clear();
        ASSERT_EQ(cam.open(Connection::CSI, 0), QuorvexSuccess);
        ASSERT_EQ(cam.open(Connection::CSI, 0), QuorvexSuccess);
        EXPECT_EQ(world.requests[1].boardKind, c.board);
        EXPECT_EQ(world.device()->board(), c.board);
        EXPECT_EQ(world.files.openCount(), 0u);
    }
}

TEST(DeviceFactory, ExactlyTwoFortyByOneEightyIsTheHqvgaModule)
{
    EXPECT_EQ(deviceTypeForSize(240, 180), HQVGA);
    EXPECT_EQ(deviceTypeForSize(240, 181), VGA);
    EXPECT_EQ(deviceTypeForSize(180, 240), VGA);
    EXPECT_EQ(deviceTypeForSize(320, 240), VGA);
    EXPECT_EQ(deviceTypeForSize(640, 480), VGA);
    std::unique_ptr<QuorvexDevice> hq = createDevice(240, 180, BOARD_JETSON);
    ASSERT_NE(hq, nullptr);
    EXPECT_EQ(hq->getVariantFlag(), 1);
    std::unique_ptr<QuorvexDevice> vga = createDevice(240, 181, BOARD_JETSON);
    ASSERT_NE(vga, nullptr);
    EXPECT_EQ(vga->getVariantFlag(), 0);
}

TEST(CameraWithHqvgaDevice, FramesFlowThroughTheRealDevice)
{
    FakeWorld world;
    installDeviceMaker(nullptr);
    QuorvexTOFCamera cam;
    ASSERT_EQ(cam.open(Connection::CSI, 0), QuorvexSuccess);
    EXPECT_EQ(cam.getCameraInfo().device_type, HQVGA);
    int range = 0;
    EXPECT_EQ(cam.getControl(CameraCtrl::RANGE, &range), QuorvexSuccess);
    EXPECT_EQ(range, 4000);

    for (FrameType type : {FrameType::DEPTH, FrameType::RAW}) {
        ASSERT_EQ(cam.start(type), QuorvexSuccess);
        QuorvexFrameBuffer* frame = cam.requestFrame(-1);
        ASSERT_NE(frame, nullptr);
        FrameDataFormat format{};
        ASSERT_EQ(frame->getFormat(type, format), QuorvexSuccess);
        EXPECT_EQ(format.width, 240u);
        EXPECT_EQ(format.height, type == FrameType::DEPTH ? 180u : 720u);
        EXPECT_GT(format.timestamp, 0u);
        EXPECT_EQ(cam.releaseFrame(frame), QuorvexSuccess);
        EXPECT_EQ(cam.stop(), QuorvexSuccess);
    }
    EXPECT_EQ(cam.close(), QuorvexSuccess);
}

TEST(CameraOpen, UnknownConnectionAndNullPathAreRefused)
{
    FakeWorld world;
    QuorvexTOFCamera cam;

    EXPECT_EQ(cam.open(static_cast<Connection>(2), 7), QuorvexUnkownError);
    EXPECT_TRUE(world.requests.empty());
    EXPECT_EQ(cam.getCameraInfo().index, 7u);
    EXPECT_EQ(static_cast<int>(cam.getCameraInfo().connect), 2);

    EXPECT_EQ(cam.openWithFile(nullptr, 9), QuorvexUnkownError);
    EXPECT_EQ(cam.getCameraInfo().index, 7u);
    EXPECT_TRUE(world.requests.empty());
}

TEST(CameraOpen, WithoutSensorForTheConnectionFails)
{
    // No factory hook: this build has no CSI or USB sensor of its own yet,
    // or a real one that finds no module on a test machine; either way the
    // camera must fail cleanly instead of touching a missing object.
    Quorvex::test::FakeFiles files;
    Quorvex::test::ScopedKernel kernel(files);
    QuorvexTOFCamera cam;
    installSensorMaker([](const SensorRequest&) { return std::unique_ptr<QuorvexTOFSensor>(); });
    EXPECT_EQ(cam.open(Connection::CSI, 0), QuorvexUnkownError);
    EXPECT_EQ(cam.open(Connection::USB, 0), QuorvexUnkownError);
    installSensorMaker(nullptr);
    EXPECT_EQ(cam.start(FrameType::DEPTH), QuorvexUnkownError);
}

TEST(CameraOpen, FailuresOfSensorAndDeviceOpenPassUp)
{
    FakeWorld world;
    QuorvexTOFCamera cam;

    world.configureSensor = [](FakeSensor& s) { s.openResult = QuorvexSystemError; };
    EXPECT_EQ(cam.open(Connection::CSI, 0), QuorvexSystemError);
    EXPECT_TRUE(world.devices.empty());
    // What the failed open may have acquired is released at once.
    EXPECT_EQ(world.log.take(), (Events{"sensor.open", "sensor.close"}));
    // Sensor present, no device.
    EXPECT_EQ(cam.start(FrameType::RAW), QuorvexUnkownError);
    int value = 0;
    EXPECT_EQ(cam.getControl(CameraCtrl::RANGE, &value), QuorvexUnkownError);

    world.configureSensor = nullptr;
    world.configureDevice = [](FakeDevice& d) { d.openResult = QuorvexUnkownError; };
    world.log.take();
    EXPECT_EQ(cam.open(Connection::CSI, 0), QuorvexUnkownError);
    // The earlier sensor was closed when its open failed; the open sensor
    // of this attempt is closed when its device fails to open.
    EXPECT_EQ(world.log.take(), (Events{"sensor.destroyed", "sensor.open", "device.open", "sensor.close"}));
    EXPECT_EQ(cam.start(FrameType::RAW), QuorvexUnkownError);
    EXPECT_TRUE(world.log.take().empty());
}

TEST(CameraLifecycle, NeverOpenedCameraRefusesEverything)
{
    FakeWorld world;
    QuorvexTOFCamera cam;
    int value = 0;
    const char* text = nullptr;

    EXPECT_EQ(cam.start(FrameType::DEPTH), QuorvexUnkownError);
    EXPECT_EQ(cam.setOutputType(FrameType::RAW), QuorvexUnkownError);
    EXPECT_EQ(cam.openPostHandle(), QuorvexUnkownError);
    EXPECT_EQ(cam.close(), QuorvexUnkownError);
    EXPECT_EQ(cam.setControl(CameraCtrl::RANGE, 2000), QuorvexUnkownError);
    EXPECT_EQ(cam.setControl(CameraCtrl::FRAME_RATE, 10), QuorvexUnkownError);
    EXPECT_EQ(cam.getControl(CameraCtrl::FRAME_RATE, &value), QuorvexUnkownError);
    EXPECT_EQ(cam.setControlExt(CameraCtrl::CONFIG_DIR_EXT, "x"), QuorvexUnkownError);
    EXPECT_EQ(cam.getControlExt(CameraCtrl::CONFIG_DIR_EXT, &text), QuorvexUnkownError);
    EXPECT_EQ(cam.requestFrame(0), nullptr);
    EXPECT_EQ(cam.requestFrame(-1), nullptr);
    EXPECT_EQ(cam.releaseFrame(nullptr), QuorvexUnkownError);
    // No capture thread to join: the standard library's error, raised
    // before anything else is touched.
    EXPECT_THROW(cam.stop(), std::system_error);
    EXPECT_TRUE(world.log.take().empty());
}

TEST(CameraLifecycle, AFailedStartUndoesItsStepsAndACorrectedStartRuns)
{
    struct Case {
        const char* name;
        std::function<void(FakeSensor&)> sensor;
        std::function<void(FakeDevice&)> device;
        TofErrorCode result;
        Events events;
        // Whether the record names the requested type afterwards (the start
        // got as far as choosing the stream's frames).
        bool typeRecorded;
    };
    const std::vector<Case> cases = {
        {"setupSensor fails", nullptr, [](FakeDevice& d) { d.setupResult = QuorvexInvalidParameter; },
         QuorvexInvalidParameter, {"device.setupSensor"}, false},
        // The sensor is stopped even though its start failed: it may have
        // got halfway.
        {"sensor start fails", [](FakeSensor& s) { s.startResult = QuorvexSystemError; }, nullptr,
         QuorvexSystemError, {"device.setupSensor", "sensor.start", "sensor.stop"}, false},
        {"device start fails", nullptr, [](FakeDevice& d) { d.startResult = QuorvexUnkownError; },
         QuorvexUnkownError, {"device.setupSensor", "sensor.start", "device.start", "device.stop", "sensor.stop"},
         false},
        // A device whose raw frame is larger than one capture would read
        // past the scratch frame: refused before anything starts.
        {"raw geometry exceeds a capture", nullptr, [](FakeDevice& d) { d.raw.height += 1; }, QuorvexUnkownError,
         {"device.setupSensor"}, true},
        {"raw geometry too wide", nullptr, [](FakeDevice& d) { d.raw.width *= 2; }, QuorvexUnkownError,
         {"device.setupSensor"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeWorld world;
        world.configureSensor = c.sensor;
        world.configureDevice = c.device;
        QuorvexTOFCamera cam;
        ASSERT_EQ(cam.open(Connection::CSI, 0), QuorvexSuccess);
        world.log.take();
        EXPECT_EQ(cam.start(FrameType::DEPTH), c.result);
        EXPECT_EQ(world.log.take(), c.events);
        EXPECT_EQ(cam.getCameraInfo().type == FrameType::DEPTH, c.typeRecorded);
        // No thread was launched.
        EXPECT_THROW(cam.stop(), std::system_error);
        EXPECT_EQ(cam.requestFrame(0), nullptr);

        world.sensor()->startResult = QuorvexSuccess;
        world.device()->setupResult = QuorvexSuccess;
        world.device()->startResult = QuorvexSuccess;
        world.device()->raw = FrameGeometry{2, 240, 720}; // four 240 x 180 sub-frames
        ASSERT_EQ(cam.start(FrameType::DEPTH), QuorvexSuccess);
        EXPECT_NE(cam.requestFrame(-1), nullptr);
        EXPECT_EQ(cam.stop(), QuorvexSuccess);
    }
}

TEST(CameraLifecycle, StartReappliesTheRangeAndTakesTheSensorsFormat)
{
    FakeWorld world;
    QuorvexTOFCamera cam;
    ASSERT_EQ(cam.open(Connection::CSI, 0), QuorvexSuccess);
    world.device()->range = 2000;
    world.sensor()->stored.bit_width = 10;

    ASSERT_EQ(cam.start(FrameType::DEPTH), QuorvexSuccess);
    EXPECT_EQ(world.device()->rangeSets.load(), 1);
    EXPECT_EQ(world.device()->range.load(), 2000);
    const CameraInfo info = cam.getCameraInfo();
    EXPECT_EQ(info.type, FrameType::DEPTH);
    EXPECT_EQ(info.bit_width, 10u);
    EXPECT_EQ(info.device_type, HQVGA);
    cam.stop();
}

TEST(CameraLifecycle, StartWithAnotherTypeStartsNothing)
{
    for (FrameType type : {FrameType::CONFIDENCE, FrameType::CACHE, FrameType::AMPLITUDE}) {
        FakeWorld world;
        QuorvexTOFCamera cam;
        ASSERT_EQ(cam.open(Connection::CSI, 0), QuorvexSuccess);
        world.log.take();
        EXPECT_EQ(cam.start(type), QuorvexUnkownError);
        EXPECT_EQ(world.log.take(), (Events{"device.setupSensor"}));
        EXPECT_EQ(cam.getCameraInfo().type, type);
        EXPECT_THROW(cam.stop(), std::system_error);
        // Not streaming: a valid start still works.
        ASSERT_EQ(cam.start(FrameType::RAW), QuorvexSuccess);
        EXPECT_EQ(cam.stop(), QuorvexSuccess);
    }
}

TEST(CameraLifecycle, StreamingRefusesOpenAndStartWithoutTouchingAnything)
{
    FakeWorld world;
    QuorvexTOFCamera cam;
    ASSERT_EQ(cam.open(Connection::CSI, 1), QuorvexSuccess);
    ASSERT_EQ(cam.start(FrameType::RAW), QuorvexSuccess);
    world.log.take();

    EXPECT_EQ(cam.start(FrameType::RAW), QuorvexUnkownError);
    EXPECT_EQ(cam.start(FrameType::DEPTH), QuorvexUnkownError);
    EXPECT_EQ(cam.setOutputType(FrameType::RAW), QuorvexUnkownError);
    EXPECT_EQ(cam.open(Connection::CSI, 2), QuorvexUnkownError);
    EXPECT_EQ(cam.openWithFile("a.cfg", 2), QuorvexUnkownError);
    EXPECT_EQ(cam.openPostHandle(), QuorvexUnkownError);
    EXPECT_TRUE(world.log.take().empty());
    EXPECT_EQ(world.sensors.size(), 1u);
    EXPECT_EQ(cam.getCameraInfo().index, 1u);
    EXPECT_EQ(world.device()->rangeSets.load(), 1);

    EXPECT_EQ(cam.stop(), QuorvexSuccess);
}

TEST(CameraLifecycle, CloseStopsARunningStreamOnlyOnce)
{
    FakeWorld world;
    QuorvexTOFCamera cam;
    ASSERT_EQ(cam.open(Connection::CSI, 0), QuorvexSuccess);

    ASSERT_EQ(cam.start(FrameType::RAW), QuorvexSuccess);
    world.log.take();
    world.sensor()->closeResult = QuorvexSystemError;
    EXPECT_EQ(cam.close(), QuorvexSystemError);
    EXPECT_EQ(world.log.take(), (Events{"device.stop", "sensor.stop", "device.close", "sensor.close"}));

    world.sensor()->closeResult = QuorvexSuccess;
    ASSERT_EQ(cam.start(FrameType::RAW), QuorvexSuccess);
    world.sensor()->stopResult = QuorvexInvalidParameter;
    world.log.take();
    EXPECT_EQ(cam.stop(), QuorvexInvalidParameter);
    EXPECT_EQ(world.log.take(), (Events{"device.stop", "sensor.stop"}));
    EXPECT_EQ(cam.close(), QuorvexSuccess);
    EXPECT_EQ(world.log.take(), (Events{"device.close", "sensor.close"}));
    EXPECT_THROW(cam.stop(), std::system_error);
}

TEST(CameraLifecycle, ReopenAndDestructionCloseWhatIsStillOpen)
{
    FakeWorld world;
    {
        QuorvexTOFCamera cam;
        ASSERT_EQ(cam.open(Connection::CSI, 0), QuorvexSuccess);
        world.log.take();
        ASSERT_EQ(cam.open(Connection::CSI, 1), QuorvexSuccess);
        EXPECT_EQ(world.log.take(), (Events{"device.close", "sensor.close", "device.destroyed", "sensor.destroyed",
                                            "sensor.open", "device.open"}));

        // Closed already: replaced without a second close.
        ASSERT_EQ(cam.close(), QuorvexSuccess);
        world.log.take();
        ASSERT_EQ(cam.openWithFile("x.cfg", 0), QuorvexSuccess);
        EXPECT_EQ(world.log.take(), (Events{"device.destroyed", "sensor.destroyed", "sensor.open", "device.open"}));

        ASSERT_EQ(cam.start(FrameType::DEPTH), QuorvexSuccess);
        world.log.take();
    }
    // Destroyed while streaming: stopped first, then closed.
    EXPECT_EQ(world.log.take(), (Events{"device.stop", "sensor.stop", "device.close", "sensor.close",
                                        "device.destroyed", "sensor.destroyed"}));
}

TEST(CameraLifecycle, RestartBuildsAFreshQueue)
{
    FakeWorld world;
    QuorvexTOFCamera cam;
    ASSERT_EQ(cam.open(Connection::CSI, 0), QuorvexSuccess);
    ASSERT_EQ(cam.start(FrameType::RAW), QuorvexSuccess);
    QuorvexFrameBuffer* held = cam.requestFrame(-1);
    ASSERT_NE(held, nullptr);
    ASSERT_TRUE(eventually([&] { return world.sensor()->reads.load() > 6; }));
    ASSERT_EQ(cam.stop(), QuorvexSuccess);

    // Ready frames stay obtainable after stop, newest last.
    QuorvexFrameBuffer* first = cam.requestFrame(0);
    QuorvexFrameBuffer* second = cam.requestFrame(0);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_LT(seqOf(held), seqOf(first));
    EXPECT_LT(seqOf(first), seqOf(second));
    EXPECT_EQ(cam.requestFrame(0), nullptr);
    EXPECT_EQ(cam.releaseFrame(first), QuorvexSuccess);

    ASSERT_EQ(cam.start(FrameType::RAW), QuorvexSuccess);
    // Frames of the old queue belong to no node of the new one.
    EXPECT_EQ(cam.releaseFrame(second), QuorvexUnkownError);
    QuorvexFrameBuffer* fresh = cam.requestFrame(-1);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(cam.releaseFrame(fresh), QuorvexSuccess);
    EXPECT_EQ(cam.releaseFrame(fresh), QuorvexUnkownError);
    EXPECT_EQ(cam.stop(), QuorvexSuccess);
}

TEST(CameraDelivery, UnlimitedWaitOnAStoppedCameraReturnsAtOnce)
{
    FakeWorld world;
    world.configureSensor = [](FakeSensor& s) { s.frameLimit = 0; };
    QuorvexTOFCamera cam;
    ASSERT_EQ(cam.open(Connection::CSI, 0), QuorvexSuccess);
    ASSERT_EQ(cam.start(FrameType::RAW), QuorvexSuccess);
    ASSERT_EQ(cam.stop(), QuorvexSuccess);
    EXPECT_EQ(cam.requestFrame(-1), nullptr);
    EXPECT_EQ(cam.requestFrame(-32768), nullptr);
}

TEST(CameraDelivery, WaitersWakeEmptyWhenTheStreamStopsOrTheQueueIsReplaced)
{
    FakeWorld world;
    world.configureSensor = [](FakeSensor& s) { s.frameLimit = 0; };
    QuorvexTOFCamera cam;
    ASSERT_EQ(cam.open(Connection::CSI, 0), QuorvexSuccess);
    ASSERT_EQ(cam.start(FrameType::DEPTH), QuorvexSuccess);

    // Waiting without limit across stop and the next start.
    auto unlimited = std::async(std::launch::async, [&] { return cam.requestFrame(-1); });
    ASSERT_TRUE(eventually([&] { return world.sensor()->reads.load() > 2; }));
    ASSERT_EQ(cam.stop(), QuorvexSuccess);
    ASSERT_EQ(cam.start(FrameType::DEPTH), QuorvexSuccess);
    EXPECT_EQ(unlimited.get(), nullptr);

    // Waiting with a long limit while a restart replaces the queue.
    ASSERT_EQ(cam.stop(), QuorvexSuccess);
    auto limited = std::async(std::launch::async, [&] { return cam.requestFrame(30000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(cam.start(FrameType::RAW), QuorvexSuccess);
    EXPECT_EQ(limited.get(), nullptr);
    EXPECT_EQ(cam.stop(), QuorvexSuccess);
}

} // namespace
