// Frame requests racing the end of their stream: a start that replaces the
// queue at each step of a request, and requests on a stream that stopped.
// Each interleaving is replayed with a hook that holds the caller at one
// point while the controlling thread acts; under AddressSanitizer a frame
// handed out from a freed queue shows as a use after free.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>

#include "camera/DeliveryHooks.h"
#include "camera/QuorvexFrameBuffer.h"
#include "camera/QuorvexTOFCamera.h"
#include "tests/support/Eventually.h"
#include "tests/support/FakeWorld.h"

using namespace Quorvex;
using namespace QuorvexTest;

namespace {

using Clock = std::chrono::steady_clock;

int32_t seqOf(QuorvexFrameBuffer* frame)
{
    int32_t seq = 0;
    std::memcpy(&seq, frame->getData(FrameType::RAW), sizeof(seq));
    return seq;
}

// Holds the first caller that reaches `point` until open() is called.
class Gate {
public:
    explicit Gate(delivery::Point point)
    {
        std::lock_guard<std::mutex> lock(mutex);
        current = this;
        target = point;
        delivery::setHook(&Gate::hook);
    }
    ~Gate()
    {
        open();
        delivery::setHook(nullptr);
        std::lock_guard<std::mutex> lock(mutex);
        current = nullptr;
    }
    // True once a caller is held (false after a generous limit).
    bool waitHeld()
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(20), [this] { return held; });
    }
    void open()
    {
        std::lock_guard<std::mutex> lock(mutex);
        opened = true;
        changed.notify_all();
    }

private:
    static void hook(delivery::Point point)
    {
        std::unique_lock<std::mutex> lock(mutex);
        Gate* gate = current;
        if (!gate || point != gate->target || gate->held)
            return;
        gate->held = true;
        gate->changed.notify_all();
        gate->changed.wait(lock, [gate] { return gate->opened; });
    }

    static std::mutex mutex;
    static Gate* current;
    std::condition_variable changed;
    delivery::Point target;
    bool held = false;
    bool opened = false;
};

std::mutex Gate::mutex;
Gate* Gate::current = nullptr;

// A camera whose stopped stream left three frames ready.
struct StoppedWithFrames {
    StoppedWithFrames()
    {
        EXPECT_EQ(cam.open(Connection::CSI, 0), QuorvexSuccess);
        EXPECT_EQ(cam.start(FrameType::RAW), QuorvexSuccess);
        EXPECT_TRUE(eventually([&] { return world.sensor()->reads.load() > 6; }));
        EXPECT_EQ(cam.stop(), QuorvexSuccess);
    }
    FakeWorld world;
    QuorvexTOFCamera cam;
};

// A caller held at `point` while a start replaces the queue it works on
// gets no frame. Reading one it did get would touch the freed queue.
void expectNoFrameWhenReplacedAt(delivery::Point point, int16_t timeout)
{
    StoppedWithFrames w;
    Gate gate(point);
    auto caller = std::async(std::launch::async, [&] { return w.cam.requestFrame(timeout); });
    ASSERT_TRUE(gate.waitHeld());
    ASSERT_EQ(w.cam.start(FrameType::RAW), QuorvexSuccess);
    gate.open();
    QuorvexFrameBuffer* frame = caller.get();
    EXPECT_EQ(frame, nullptr);
    if (frame)
        (void)seqOf(frame);
    EXPECT_EQ(w.cam.stop(), QuorvexSuccess);
}

TEST(CameraDeliveryRace, AQueueReplacedBeforeTheWaitHandsOutNothing)
{
    for (int16_t timeout : {int16_t{0}, int16_t{1000}, int16_t{-1}}) {
        SCOPED_TRACE(timeout);
        expectNoFrameWhenReplacedAt(delivery::Point::QueueTaken, timeout);
    }
}

TEST(CameraDeliveryRace, AQueueReplacedAfterTheWaitClaimedAFrameHandsOutNothing)
{
    for (int16_t timeout : {int16_t{0}, int16_t{1000}, int16_t{-1}}) {
        SCOPED_TRACE(timeout);
        expectNoFrameWhenReplacedAt(delivery::Point::Claimed, timeout);
    }
}

TEST(CameraDeliveryRace, AFrameGivenBackAfterAReplacedWaitIsNotLost)
{
    // The request that lost the race leaves the old queue as it found it,
    // and the new stream has all of its frames for its callers.
    StoppedWithFrames w;
    {
        Gate gate(delivery::Point::Claimed);
        auto caller = std::async(std::launch::async, [&] { return w.cam.requestFrame(0); });
        ASSERT_TRUE(gate.waitHeld());
        ASSERT_EQ(w.cam.start(FrameType::RAW), QuorvexSuccess);
        gate.open();
        EXPECT_EQ(caller.get(), nullptr);
    }
    QuorvexFrameBuffer* held[3] = {};
    for (QuorvexFrameBuffer*& frame : held) {
        frame = w.cam.requestFrame(5000);
        ASSERT_NE(frame, nullptr);
    }
    for (QuorvexFrameBuffer* frame : held)
        EXPECT_EQ(w.cam.releaseFrame(frame), QuorvexSuccess);
    EXPECT_EQ(w.cam.stop(), QuorvexSuccess);
}

TEST(CameraDeliveryRace, TheGenerationTellsACallerThatItsFrameWasReplacedAfterTheWait)
{
    // The one window requestFrame cannot close: a start between its return
    // and the caller's use. A binding that lets other threads run in that
    // window compares the generation read before the wait.
    StoppedWithFrames w;
    const uint64_t before = w.cam.streamGeneration();
    uint64_t seen = before;
    {
        Gate gate(delivery::Point::Returning);
        auto caller = std::async(std::launch::async, [&] {
            QuorvexFrameBuffer* frame = w.cam.requestFrame(0);
            seen = w.cam.streamGeneration();
            return frame != nullptr;
        });
        ASSERT_TRUE(gate.waitHeld());
        ASSERT_EQ(w.cam.start(FrameType::RAW), QuorvexSuccess);
        gate.open();
        EXPECT_TRUE(caller.get());
    }
    EXPECT_NE(seen, before);
    EXPECT_EQ(w.cam.stop(), QuorvexSuccess);
}

TEST(CameraDeliveryRace, OnlyAReplacedQueueCountsAsANewGeneration)
{
    FakeWorld world;
    QuorvexTOFCamera cam;
    const uint64_t initial = cam.streamGeneration();
    ASSERT_EQ(cam.open(Connection::CSI, 0), QuorvexSuccess);
    EXPECT_EQ(cam.streamGeneration(), initial);
    ASSERT_EQ(cam.start(FrameType::RAW), QuorvexSuccess);
    EXPECT_EQ(cam.streamGeneration(), initial + 1);
    QuorvexFrameBuffer* frame = cam.requestFrame(-1);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(cam.releaseFrame(frame), QuorvexSuccess);
    ASSERT_EQ(cam.stop(), QuorvexSuccess);
    EXPECT_EQ(cam.streamGeneration(), initial + 1);

    // Starts that fail keep the queue, and so the frames, of the last one.
    world.sensor()->startResult = QuorvexSystemError;
    EXPECT_EQ(cam.start(FrameType::RAW), QuorvexSystemError);
    EXPECT_EQ(cam.start(FrameType::CONFIDENCE), QuorvexUnkownError);
    EXPECT_EQ(cam.streamGeneration(), initial + 1);
    world.sensor()->startResult = QuorvexSuccess;
    ASSERT_EQ(cam.start(FrameType::DEPTH), QuorvexSuccess);
    EXPECT_EQ(cam.streamGeneration(), initial + 2);
    ASSERT_EQ(cam.stop(), QuorvexSuccess);
    ASSERT_EQ(cam.setOutputType(FrameType::RAW), QuorvexSuccess);
    EXPECT_EQ(cam.streamGeneration(), initial + 3);
}

TEST(CameraDeliveryStopped, AnyTimeOutReturnsAtOnceWhenNothingIsReady)
{
    FakeWorld world;
    world.configureSensor = [](FakeSensor& s) { s.frameLimit = 0; };
    QuorvexTOFCamera cam;
    ASSERT_EQ(cam.open(Connection::CSI, 0), QuorvexSuccess);
    ASSERT_EQ(cam.start(FrameType::DEPTH), QuorvexSuccess);
    ASSERT_EQ(cam.stop(), QuorvexSuccess);

    const auto begin = Clock::now();
    EXPECT_EQ(cam.requestFrame(20000), nullptr);
    EXPECT_EQ(cam.requestFrame(32767), nullptr);
    // Far below either limit: no frame can come, so nothing is waited for.
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(10));
}

TEST(CameraDeliveryStopped, StopWakesACallerWaitingWithALimit)
{
    FakeWorld world;
    world.configureSensor = [](FakeSensor& s) { s.frameLimit = 0; };
    QuorvexTOFCamera cam;
    ASSERT_EQ(cam.open(Connection::CSI, 0), QuorvexSuccess);
    ASSERT_EQ(cam.start(FrameType::DEPTH), QuorvexSuccess);

    const auto begin = Clock::now();
    QuorvexFrameBuffer* frame = nullptr;
    {
        Gate gate(delivery::Point::QueueTaken);
        auto caller = std::async(std::launch::async, [&] { return cam.requestFrame(30000); });
        ASSERT_TRUE(gate.waitHeld());
        gate.open();
        // The caller may be waiting already or be just about to: either
        // way the stop ends its wait.
        ASSERT_EQ(cam.stop(), QuorvexSuccess);
        frame = caller.get();
    }
    EXPECT_EQ(frame, nullptr);
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(10));
}

TEST(CameraDeliveryStopped, FramesReadyAtTheStopAreStillHandedOut)
{
    StoppedWithFrames w;
    for (int i = 0; i < 3; ++i) {
        QuorvexFrameBuffer* frame = w.cam.requestFrame(5000);
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(w.cam.releaseFrame(frame), QuorvexSuccess);
    }
    EXPECT_EQ(w.cam.requestFrame(5000), nullptr);
}

} // namespace
