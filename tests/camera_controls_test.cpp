#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "camera/QuorvexTOFCamera.h"
#include "tests/support/FakeWorld.h"

using namespace Quorvex;
using namespace QuorvexTest;

namespace {

class CameraControls : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(cam.open(Connection::CSI, 0), QuorvexSuccess); }

    FakeWorld world;
    QuorvexTOFCamera cam;
};

TEST_F(CameraControls, FrameRateIsBoundedByTheDevicesAnswerAtEachCall)
{
    struct Case {
        int bound;
        int value;
        TofErrorCode result;
        bool reachesDevice;
    };
    const std::vector<Case> cases = {
        {41, 41, QuorvexSuccess, true},  {41, 1, QuorvexSuccess, true},
        {41, 42, QuorvexInvalidParameter, false}, {41, 0, QuorvexInvalidParameter, false},
        {41, -3, QuorvexInvalidParameter, false}, {23, 41, QuorvexInvalidParameter, false},
        {61, 61, QuorvexSuccess, true},  {0, 1, QuorvexInvalidParameter, false},
    };
    FakeDevice& device = *world.device();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.value << " against " << c.bound);
        device.frameRate = c.bound;
        const int sets = device.rateSets.load();
        EXPECT_EQ(cam.setControl(CameraCtrl::FRAME_RATE, c.value), c.result);
        EXPECT_EQ(device.rateSets.load() - sets, c.reachesDevice ? 1 : 0);
        if (c.reachesDevice) {
            EXPECT_EQ(device.lastRateSet.load(), c.value);
        }
    }

    // A failing bound query is passed up and nothing is set.
    device.frameRate = 41;
    device.rateQueryResult = QuorvexNotImplemented;
    const int sets = device.rateSets.load();
    EXPECT_EQ(cam.setControl(CameraCtrl::FRAME_RATE, 10), QuorvexNotImplemented);
    EXPECT_EQ(device.rateSets.load(), sets);
}

TEST_F(CameraControls, SkipValuesAreKeptByTheCameraAndLoopLengthChecked)
{
    struct Case {
        CameraCtrl ctrl;
        int value;
        TofErrorCode result;
    };
    // A loop length of 0, or one whose low byte is 0, would divide by zero
    // in the skip pattern.
    const std::vector<Case> cases = {
        {CameraCtrl::SKIP_FRAME_LOOP, 3, QuorvexSuccess},
        {CameraCtrl::SKIP_FRAME_LOOP, 0, QuorvexInvalidParameter},
        {CameraCtrl::SKIP_FRAME_LOOP, 256, QuorvexInvalidParameter},
        {CameraCtrl::SKIP_FRAME_LOOP, 512, QuorvexInvalidParameter},
        {CameraCtrl::SKIP_FRAME_LOOP, -256, QuorvexInvalidParameter},
        {CameraCtrl::SKIP_FRAME_LOOP, INT_MIN, QuorvexInvalidParameter},
        {CameraCtrl::SKIP_FRAME_LOOP, 257, QuorvexSuccess},
        {CameraCtrl::SKIP_FRAME_LOOP, -1, QuorvexSuccess},
        {CameraCtrl::SKIP_FRAME, 2, QuorvexSuccess},
        {CameraCtrl::SKIP_FRAME, -7, QuorvexSuccess},
        {CameraCtrl::SKIP_FRAME, INT_MIN, QuorvexSuccess},
    };
    int loop = 1, skip = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(c.ctrl) << " = " << c.value);
        EXPECT_EQ(cam.setControl(c.ctrl, c.value), c.result);
        if (c.result == QuorvexSuccess)
            (c.ctrl == CameraCtrl::SKIP_FRAME ? skip : loop) = c.value;
        int value = 12345;
        EXPECT_EQ(cam.getControl(CameraCtrl::SKIP_FRAME_LOOP, &value), QuorvexSuccess);
        EXPECT_EQ(value, loop);
        EXPECT_EQ(cam.getControl(CameraCtrl::SKIP_FRAME, &value), QuorvexSuccess);
        EXPECT_EQ(value, skip);
    }
    EXPECT_EQ(world.device()->forwardedSets.load(), 0);
    EXPECT_EQ(world.device()->forwardedGets.load(), 0);
}

TEST_F(CameraControls, TrackingSwitch)
{
    int value = -1;
    EXPECT_EQ(cam.getControl(CameraCtrl::AUTO_FRAME_RATE, &value), QuorvexSuccess);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(cam.setControl(CameraCtrl::AUTO_FRAME_RATE, 0), QuorvexSuccess);
    EXPECT_EQ(cam.getControl(CameraCtrl::AUTO_FRAME_RATE, &value), QuorvexSuccess);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(cam.setControl(CameraCtrl::AUTO_FRAME_RATE, 5), QuorvexSuccess);
    EXPECT_EQ(cam.getControl(CameraCtrl::AUTO_FRAME_RATE, &value), QuorvexSuccess);
    EXPECT_EQ(value, 1);
}

TEST_F(CameraControls, EverythingElseIsTheDevicesAnswer)
{
    FakeDevice& device = *world.device();
    int value = 0;

    EXPECT_EQ(cam.setControl(CameraCtrl::RANGE, 2000), QuorvexSuccess);
    EXPECT_EQ(cam.getControl(CameraCtrl::RANGE, &value), QuorvexSuccess);
    EXPECT_EQ(value, 2000);
    EXPECT_EQ(cam.getControl(CameraCtrl::EXPOSURE, &value), QuorvexSuccess);
    EXPECT_EQ(value, 77);
    EXPECT_EQ(cam.getControl(CameraCtrl::FRAME_RATE, &value), QuorvexSuccess);
    EXPECT_EQ(value, 41);

    // The integer form of the text control goes to the device, which
    // refuses it; so does a value outside the enumeration.
    EXPECT_EQ(cam.setControl(CameraCtrl::CONFIG_DIR_EXT, 7), QuorvexInvalidParameter);
    EXPECT_EQ(device.lastForwarded.load(), 256);
    EXPECT_EQ(cam.setControl(static_cast<CameraCtrl>(99), 1), QuorvexInvalidParameter);
    EXPECT_EQ(device.lastForwarded.load(), 99);
    EXPECT_EQ(cam.getControl(CameraCtrl::MODE, &value), QuorvexInvalidParameter);
    EXPECT_EQ(device.forwardedGets.load(), 1);
    EXPECT_EQ(cam.getControl(CameraCtrl::RANGE, nullptr), QuorvexInvalidParameter);
}

TEST_F(CameraControls, TextControlsReachTheDevice)
{
    const char* text = "untouched";
    EXPECT_EQ(cam.getControlExt(CameraCtrl::CONFIG_DIR_EXT, &text), QuorvexSuccess);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(cam.setControlExt(CameraCtrl::CONFIG_DIR_EXT, "/opt/cfg"), QuorvexSuccess);
    EXPECT_EQ(cam.getControlExt(CameraCtrl::CONFIG_DIR_EXT, &text), QuorvexSuccess);
    EXPECT_STREQ(text, "/opt/cfg");

    text = "untouched";
    EXPECT_EQ(cam.setControlExt(CameraCtrl::RANGE, "1"), QuorvexInvalidParameter);
    EXPECT_EQ(cam.getControlExt(CameraCtrl::RANGE, &text), QuorvexInvalidParameter);
    EXPECT_STREQ(text, "untouched");
    EXPECT_EQ(cam.setControlExt(CameraCtrl::CONFIG_DIR_EXT, nullptr), QuorvexInvalidParameter);
    EXPECT_EQ(cam.getControlExt(CameraCtrl::CONFIG_DIR_EXT, nullptr), QuorvexInvalidParameter);
}

TEST(CameraControlsUnopened, CameraHeldValuesNeedNoDevice)
{
    FakeWorld world;
    QuorvexTOFCamera cam;
    int value = 0;
    EXPECT_EQ(cam.setControl(CameraCtrl::SKIP_FRAME, 1), QuorvexSuccess);
    EXPECT_EQ(cam.setControl(CameraCtrl::SKIP_FRAME_LOOP, 3), QuorvexSuccess);
    EXPECT_EQ(cam.getControl(CameraCtrl::SKIP_FRAME_LOOP, &value), QuorvexSuccess);
    EXPECT_EQ(value, 3);
    EXPECT_EQ(cam.setControl(CameraCtrl::AUTO_FRAME_RATE, 0), QuorvexSuccess);
    EXPECT_EQ(cam.getControl(CameraCtrl::RANGE, &value), QuorvexUnkownError);
    EXPECT_EQ(cam.getCameraInfo().width, 0u);
}

} // namespace
