// What the camera tells a caller who waits without its own locks: which
// stream a frame belongs to, and whether the module's reads are failing.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "camera/QuorvexFrameBuffer.h"
#include "camera/QuorvexTOFCamera.h"
#include "tests/support/Eventually.h"
#include "tests/support/FakeFiles.h"
#include "tests/support/UsbConfigFile.h"

#ifdef QUORVEX_EVK_SDK_STANDIN

namespace Quorvex {
namespace {

using QuorvexTest::eventually;
using test::UsbConfigFile;

class StreamHealth : public ::testing::Test {
protected:
    void SetUp() override
    {
        files.files["/sys/firmware/devicetree/base/model"] = std::string("Raspberry Pi 4 Model B Rev 1.4") + '\0';
    }
    test::FakeFiles files;
    test::ScopedKernel scoped{files};
};

TEST_F(StreamHealth, FramesComeOnlyFromTheStreamAsked)
{
    UsbConfigFile config("fps = 0\n");
    QuorvexTOFCamera cam;
    ASSERT_EQ(cam.openWithFile(config.path.c_str(), 0), QuorvexSuccess);
    const std::uint64_t before = cam.streamGeneration();
    EXPECT_FALSE(cam.isStreaming());
    EXPECT_EQ(cam.requestFrameOfStream(10, before), nullptr);

    ASSERT_EQ(cam.start(FrameType::DEPTH), QuorvexSuccess);
    const std::uint64_t first = cam.streamGeneration();
    EXPECT_EQ(first, before + 1);
    EXPECT_TRUE(cam.isStreaming());
    QuorvexFrameBuffer* frame = cam.requestFrameOfStream(2000, first);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(cam.releaseFrame(frame), QuorvexSuccess);
    EXPECT_EQ(cam.requestFrameOfStream(2000, before), nullptr);

    ASSERT_EQ(cam.stop(), QuorvexSuccess);
    ASSERT_EQ(cam.start(FrameType::DEPTH), QuorvexSuccess);
    EXPECT_EQ(cam.streamGeneration(), first + 1);
    EXPECT_EQ(cam.requestFrameOfStream(2000, first), nullptr);
    frame = cam.requestFrameOfStream(2000, first + 1);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(cam.releaseFrame(frame), QuorvexSuccess);
    EXPECT_EQ(cam.close(), QuorvexSuccess);
}

TEST_F(StreamHealth, CountsFailedReadsInARowAndForgetsThemAtTheNextStart)
{
    UsbConfigFile config("fps = 0\nunplug_after = 8\n");
    QuorvexTOFCamera cam;
    ASSERT_EQ(cam.openWithFile(config.path.c_str(), 0), QuorvexSuccess);
    ASSERT_EQ(cam.start(FrameType::DEPTH), QuorvexSuccess);
    ASSERT_TRUE(eventually([&] { return cam.consecutiveFailedReads() >= 3; }));
    EXPECT_NE(cam.lastReadStatus(), QuorvexSuccess);
    ASSERT_EQ(cam.stop(), QuorvexSuccess);
    EXPECT_EQ(cam.close(), QuorvexSuccess);

    // The module answers again once opened anew (a module that keeps
    // answering: with eight reads the capture thread may have met the
    // failure again before this thread looks).
    UsbConfigFile healthy("fps = 0\n");
    ASSERT_EQ(cam.openWithFile(healthy.path.c_str(), 0), QuorvexSuccess);
    ASSERT_EQ(cam.start(FrameType::DEPTH), QuorvexSuccess);
    QuorvexFrameBuffer* frame = cam.requestFrame(2000);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(cam.lastReadStatus(), QuorvexSuccess);
    EXPECT_EQ(cam.releaseFrame(frame), QuorvexSuccess);
    EXPECT_EQ(cam.close(), QuorvexSuccess);
}

} // namespace
} // namespace Quorvex

#endif
