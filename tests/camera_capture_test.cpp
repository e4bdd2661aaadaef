#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "camera/QuorvexFrameBuffer.h"
#include "camera/QuorvexTOFCamera.h"
#include "tests/support/Eventually.h"
#include "tests/support/FakeWorld.h"

using namespace Quorvex;
using namespace QuorvexTest;

namespace {

int32_t seqOf(QuorvexFrameBuffer* frame, FrameType type)
{
    if (type == FrameType::DEPTH)
        return static_cast<int32_t>(static_cast<float*>(frame->getData(FrameType::DEPTH))[0]);
    int32_t seq = 0;
    std::memcpy(&seq, frame->getData(FrameType::RAW), sizeof(seq));
    return seq;
}

std::vector<int32_t> convertedSeqs(const FakeDevice& device)
{
    const int n = device.conversions.load(std::memory_order_acquire);
    return std::vector<int32_t>(device.converted, device.converted + std::min(n, FakeDevice::kTraced));
}

// Streams exactly `frames` sensor frames and stops once the capture thread
// has gone past the last of them.
void streamFrames(QuorvexTOFCamera& cam, FakeWorld& world, FrameType type, int frames)
{
    ASSERT_EQ(cam.start(type), QuorvexSuccess);
    ASSERT_TRUE(eventually([&] { return world.sensor()->reads.load() > frames; }));
    ASSERT_EQ(cam.stop(), QuorvexSuccess);
}

struct SkipCase {
    int skipFrame;
    int skipFrameLoop;
    std::vector<int32_t> converted; // of sensor frames 1..9
};

TEST(CameraSkip, PatternKeepsLoopMinusSkipOfEveryLoopFrames)
{
    const std::vector<SkipCase> cases = {
        {0, 1, {1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {1, 3, {1, 2, 4, 5, 7, 8}}, // keep, keep, drop
        {2, 3, {2, 5, 8}},          // drop, keep, drop
        {3, 3, {}},                 // all dropped
        {1, 1, {}},
        {3, 4, {3, 7}},
        // Only the low byte of loop - skip matters: 3 - (-253) keeps none.
        {-253, 3, {}},
        // Extreme values wrap like the module's arithmetic and do not
        // overflow: keep 255 of 255.
        {INT_MIN, INT_MAX, {1, 2, 3, 4, 5, 6, 7, 8, 9}},
    };
    for (const SkipCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "skip " << c.skipFrame << " of " << c.skipFrameLoop);
        FakeWorld world;
        world.configureSensor = [](FakeSensor& s) { s.frameLimit = 9; };
        QuorvexTOFCamera cam;
        ASSERT_EQ(cam.open(Connection::CSI, 0), QuorvexSuccess);
        ASSERT_EQ(cam.setControl(CameraCtrl::SKIP_FRAME, c.skipFrame), QuorvexSuccess);
        ASSERT_EQ(cam.setControl(CameraCtrl::SKIP_FRAME_LOOP, c.skipFrameLoop), QuorvexSuccess);
        streamFrames(cam, world, FrameType::RAW, 9);

        EXPECT_EQ(convertedSeqs(*world.device()), c.converted);
        // Every frame the sensor delivered is measured, skipped or not.
        EXPECT_EQ(cam.getDeliveredFrames(), 9);
    }
}

TEST(CameraSkip, ChangeWhileStreamingAppliesFromTheNextFrame)
{
    FakeWorld world;
    QuorvexTOFCamera cam;
    ASSERT_EQ(cam.open(Connection::CSI, 0), QuorvexSuccess);
    std::atomic<int> gate{3};
    world.sensor()->onRead = [&](int attempt) {
        while (attempt > gate.load())
            std::this_thread::yield();
    };
    ASSERT_EQ(cam.start(FrameType::RAW), QuorvexSuccess);
    // Frames 1..3 pass under the default pattern; the thread then waits
    // inside the read of frame 4.
    ASSERT_TRUE(eventually([&] { return world.sensor()->reads.load() == 4; }));
    ASSERT_EQ(cam.setControl(CameraCtrl::SKIP_FRAME, 2), QuorvexSuccess);
    ASSERT_EQ(cam.setControl(CameraCtrl::SKIP_FRAME_LOOP, 3), QuorvexSuccess);
    world.sensor()->frameLimit = 9;
    gate = 1000;
    ASSERT_TRUE(eventually([&] { return world.sensor()->reads.load() > 9; }));
    ASSERT_EQ(cam.stop(), QuorvexSuccess);
    // The counter stood at 0 under the loop of 1; from frame 4 on the loop
    // of 3 runs drop, keep, drop.
    EXPECT_EQ(convertedSeqs(*world.device()), (std::vector<int32_t>{1, 2, 3, 5, 8}));
}

TEST(CameraDelivery, WithoutCallerTheThreeNewestFramesWait)
{
    for (int frames = 1; frames <= 7; ++frames) {
        SCOPED_TRACE(frames);
        FakeWorld world;
        world.configureSensor = [frames](FakeSensor& s) { s.frameLimit = frames; };
        QuorvexTOFCamera cam;
        ASSERT_EQ(cam.open(Connection::CSI, 0), QuorvexSuccess);
        streamFrames(cam, world, FrameType::RAW, frames);

        // The oldest undelivered frame was recycled for each new one: the
        // newest three (or all, if fewer) are ready, oldest first.
        std::vector<int32_t> ready;
        std::vector<QuorvexFrameBuffer*> held;
        while (QuorvexFrameBuffer* f = cam.requestFrame(0)) {
            ready.push_back(seqOf(f, FrameType::RAW));
            FrameDataFormat format{};
            ASSERT_EQ(f->getFormat(FrameType::RAW, format), QuorvexSuccess);
            EXPECT_EQ(format.timestamp, static_cast<uint64_t>(ready.back()) * 1000u);
            held.push_back(f);
        }
        std::vector<int32_t> expected;
        for (int seq = std::max(1, frames - 2); seq <= frames; ++seq)
            expected.push_back(seq);
        EXPECT_EQ(ready, expected);
        for (QuorvexFrameBuffer* f : held)
            EXPECT_EQ(cam.releaseFrame(f), QuorvexSuccess);
    }
}

TEST(CameraDelivery, AllFramesHeldStopsReadingUntilOneIsReleased)
{
    for (FrameType type : {FrameType::RAW, FrameType::DEPTH}) {
        FakeWorld world;
        world.configureSensor = [](FakeSensor& s) { s.periodUs = 200; };
        QuorvexTOFCamera cam;
        ASSERT_EQ(cam.open(Connection::CSI, 0), QuorvexSuccess);
        ASSERT_EQ(cam.start(type), QuorvexSuccess);

        QuorvexFrameBuffer* held[3];
        int32_t newest = 0;
        for (QuorvexFrameBuffer*& f : held) {
            f = cam.requestFrame(-1);
            ASSERT_NE(f, nullptr);
            EXPECT_GT(seqOf(f, type), newest);
            newest = seqOf(f, type);
        }
        // A read begun while a frame was still ready may finish (and be
        // dropped: there is no node to fill); after that no read may start.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const int reads = world.sensor()->reads.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(world.sensor()->reads.load(), reads);
        EXPECT_EQ(cam.requestFrame(0), nullptr);

        ASSERT_EQ(cam.releaseFrame(held[1]), QuorvexSuccess);
        EXPECT_EQ(cam.releaseFrame(held[1]), QuorvexUnkownError);
        ASSERT_TRUE(eventually([&] { return world.sensor()->reads.load() > reads; }));
        QuorvexFrameBuffer* next = cam.requestFrame(-1);
        ASSERT_NE(next, nullptr);
        EXPECT_GT(seqOf(next, type), newest);

        EXPECT_EQ(cam.releaseFrame(next), QuorvexSuccess);
        EXPECT_EQ(cam.releaseFrame(held[0]), QuorvexSuccess);
        EXPECT_EQ(cam.releaseFrame(held[2]), QuorvexSuccess);
        EXPECT_EQ(cam.stop(), QuorvexSuccess);
    }
}

TEST(CameraDelivery, FramesThatFailAreNeitherDeliveredNorMeasured)
{
    struct Case {
        const char* name;
        FrameType type;
        TofErrorCode readResult; // result of every read past the first three
        bool convertOk;
        int delivered;
    };
    const std::vector<Case> cases = {
        {"depth conversion fails", FrameType::DEPTH, QuorvexSuccess, false, 0},
        {"raw conversion fails", FrameType::RAW, QuorvexSuccess, false, 0},
        {"read fails with -1", FrameType::RAW, QuorvexUnkownError, true, 0},
        {"read fails with -2", FrameType::DEPTH, QuorvexSystemError, true, 0},
        {"read fails with 2", FrameType::RAW, QuorvexNoCache, true, 0},
        {"good frames", FrameType::DEPTH, QuorvexSuccess, true, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeWorld world;
        world.configureSensor = [&](FakeSensor& s) {
            s.frameLimit = c.readResult == QuorvexSuccess ? 3 : 0;
            s.failResult = c.readResult == QuorvexSuccess ? QuorvexUnkownError : c.readResult;
        };
        world.configureDevice = [&](FakeDevice& d) { d.convertOk = c.convertOk; };
        QuorvexTOFCamera cam;
        ASSERT_EQ(cam.open(Connection::CSI, 0), QuorvexSuccess);
        streamFrames(cam, world, c.type, 3);

        EXPECT_EQ(cam.getDeliveredFrames(), c.delivered);
        int ready = 0;
        while (QuorvexFrameBuffer* f = cam.requestFrame(0)) {
            EXPECT_EQ(seqOf(f, c.type), ready + 1);
            ++ready;
        }
        EXPECT_EQ(ready, c.delivered);
        if (c.delivered == 0) {
            EXPECT_EQ(cam.getFps(), 0.0f);
        }
        if (c.readResult != QuorvexSuccess) {
            EXPECT_EQ(world.device()->conversions.load(), 0);
        }
    }
}

TEST(CameraDelivery, RequestWithTimeoutReturnsNullWhenNothingComes)
{
    FakeWorld world;
    world.configureSensor = [](FakeSensor& s) { s.frameLimit = 0; };
    QuorvexTOFCamera cam;
    ASSERT_EQ(cam.open(Connection::CSI, 0), QuorvexSuccess);
    ASSERT_EQ(cam.start(FrameType::DEPTH), QuorvexSuccess);
    EXPECT_EQ(cam.requestFrame(0), nullptr);
    EXPECT_EQ(cam.requestFrame(30), nullptr);
    EXPECT_EQ(cam.releaseFrame(nullptr), QuorvexUnkownError);
    int local = 0;
    EXPECT_EQ(cam.releaseFrame(reinterpret_cast<QuorvexFrameBuffer*>(&local)), QuorvexUnkownError);
    EXPECT_EQ(cam.stop(), QuorvexSuccess);
}

TEST(CameraTracking, RetunesTheSensorRateOnlyWhenSwitchedOn)
{
    // Two cameras streaming side by side for as long as the first needs to
    // re-tune: the second, with tracking off, must not have done so.
    FakeWorld world;
    world.configureSensor = [](FakeSensor& s) { s.periodUs = 4000; };
    world.configureDevice = [](FakeDevice& d) { d.frameRate = 1000; };
    QuorvexTOFCamera tracking, fixed;
    ASSERT_EQ(tracking.open(Connection::CSI, 0), QuorvexSuccess);
    FakeDevice* trackingDevice = world.device();
    ASSERT_EQ(fixed.open(Connection::CSI, 1), QuorvexSuccess);
    FakeDevice* fixedDevice = world.device();
    ASSERT_EQ(fixed.setControl(CameraCtrl::AUTO_FRAME_RATE, 0), QuorvexSuccess);
    // The measured rate counts skipped frames too: tracking under a skip
    // pattern follows the sensor, not the delivered share.
    ASSERT_EQ(tracking.setControl(CameraCtrl::SKIP_FRAME, 2), QuorvexSuccess);
    ASSERT_EQ(tracking.setControl(CameraCtrl::SKIP_FRAME_LOOP, 3), QuorvexSuccess);

    ASSERT_EQ(tracking.start(FrameType::RAW), QuorvexSuccess);
    ASSERT_EQ(fixed.start(FrameType::RAW), QuorvexSuccess);
    ASSERT_TRUE(eventually([&] { return trackingDevice->rateSets.load() > 0; }));
    const int reads = world.sensors[0]->reads.load();
    EXPECT_EQ(tracking.stop(), QuorvexSuccess);
    EXPECT_EQ(fixed.stop(), QuorvexSuccess);

    EXPECT_EQ(fixedDevice->rateSets.load(), 0);
    EXPECT_EQ(trackingDevice->rateSets.load(), 1);
    // The target is the measured rate, which cannot exceed the reads made.
    const int target = trackingDevice->lastRateSet.load();
    EXPECT_GE(target, 1);
    EXPECT_LT(target, 1000);
    EXPECT_LE(target, reads);
    EXPECT_GT(tracking.getFps(), 0.0f);
    EXPECT_GT(tracking.getDeliveredFrames(), 2 * static_cast<int>(trackingDevice->conversions.load()));
}

} // namespace
