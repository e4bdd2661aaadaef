// Several consumers and a control thread against a fast sensor. Meant to be
// run under ThreadSanitizer as much as for its own checks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "camera/QuorvexFrameBuffer.h"
#include "camera/QuorvexTOFCamera.h"
#include "tests/support/FakeWorld.h"

using namespace Quorvex;
using namespace QuorvexTest;
using namespace std::chrono_literals;

namespace {

int32_t depthSeq(QuorvexFrameBuffer* frame)
{
    return static_cast<int32_t>(static_cast<float*>(frame->getData(FrameType::DEPTH))[0]);
}

void runControls(QuorvexTOFCamera& cam, const std::atomic<bool>& done, std::atomic<int>& failures)
{
    const int loops[] = {1, 3, 5, 2};
    unsigned i = 0;
    while (!done.load()) {
        const int loop = loops[i % 4];
        if (cam.setControl(CameraCtrl::SKIP_FRAME_LOOP, loop) != QuorvexSuccess)
            ++failures;
        (void)cam.setControl(CameraCtrl::SKIP_FRAME, static_cast<int>(i % 3));
        (void)cam.setControl(CameraCtrl::AUTO_FRAME_RATE, static_cast<int>(i & 1));
        (void)cam.setControl(CameraCtrl::FRAME_RATE, 1 + static_cast<int>(i % 50));
        (void)cam.setControl(CameraCtrl::RANGE, 2000);
        int value = 0;
        (void)cam.getControl(CameraCtrl::FRAME_RATE, &value);
        (void)cam.getControl(CameraCtrl::SKIP_FRAME_LOOP, &value);
        (void)cam.getCameraInfo();
        (void)cam.getFps();
        ++i;
        std::this_thread::sleep_for(200us);
    }
    // Leave the pattern delivering every frame.
    (void)cam.setControl(CameraCtrl::SKIP_FRAME, 0);
    (void)cam.setControl(CameraCtrl::SKIP_FRAME_LOOP, 1);
}

TEST(CameraStress, ConsumersAndControlsAgainstAFastSensor)
{
    FakeWorld world;
    world.configureSensor = [](FakeSensor& s) { s.periodUs = 50; };
    world.configureDevice = [](FakeDevice& d) { d.frameRate = 60; };
    QuorvexTOFCamera cam;
    ASSERT_EQ(cam.open(Connection::CSI, 0), QuorvexSuccess);
    ASSERT_EQ(cam.start(FrameType::DEPTH), QuorvexSuccess);

    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::atomic<int> obtained{0};
    std::atomic<int> lentTwice{0}, outOfOrder{0}, releaseRefused{0};
    std::string orderNote;
    std::mutex heldMutex;
    std::set<QuorvexFrameBuffer*> held;

    // Each consumer sees frames in capture order, and no frame is ever
    // lent to two callers at once.
    auto consumer = [&](int id) {
        const int16_t timeouts[] = {-1, 0, 5, 20};
        int32_t last = 0;
        unsigned n = 0;
        while (!done.load()) {
            QuorvexFrameBuffer* f = cam.requestFrame(timeouts[(n + id) % 4]);
            ++n;
            if (!f)
                continue;
            ++obtained;
            {
                std::lock_guard<std::mutex> lock(heldMutex);
                if (!held.insert(f).second)
                    ++lentTwice;
            }
            const int32_t seq = depthSeq(f);
            if (seq <= last) {
                ++outOfOrder;
                std::lock_guard<std::mutex> lock(heldMutex);
                orderNote = std::to_string(last) + " then " + std::to_string(seq);
            }
            last = seq;
            if (n % 7 == 0)
                std::this_thread::sleep_for(1ms);
            {
                std::lock_guard<std::mutex> lock(heldMutex);
                held.erase(f);
            }
            // A second release is checked once the others have stopped: while
            // they run, the frame may already be lent to one of them again,
            // and then the second release is theirs.
            if (cam.releaseFrame(f) != QuorvexSuccess)
                ++releaseRefused;
        }
    };

    std::vector<std::thread> threads;
    for (int id = 0; id < 4; ++id)
        threads.emplace_back(consumer, id);
    threads.emplace_back(runControls, std::ref(cam), std::cref(done), std::ref(failures));

    std::this_thread::sleep_for(2500ms);
    done = true;
    for (std::thread& t : threads)
        t.join();
    QuorvexFrameBuffer* last = cam.requestFrame(30000);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(cam.releaseFrame(last), QuorvexSuccess);
    EXPECT_EQ(cam.releaseFrame(last), QuorvexUnkownError);
    EXPECT_EQ(cam.stop(), QuorvexSuccess);

    EXPECT_EQ(failures.load(), 0) << "controls refused";
    EXPECT_EQ(lentTwice.load(), 0);
    EXPECT_EQ(outOfOrder.load(), 0) << orderNote;
    EXPECT_EQ(releaseRefused.load(), 0);
    EXPECT_GT(obtained.load(), 0);
    EXPECT_GT(cam.getDeliveredFrames(), 0);
}

TEST(CameraStress, RestartsWhileCallersWait)
{
    // Callers only pass pointers back: frames of a replaced queue must not
    // be touched, but asking for and returning them must stay safe.
    FakeWorld world;
    world.configureSensor = [](FakeSensor& s) { s.periodUs = 100; };
    QuorvexTOFCamera cam;
    ASSERT_EQ(cam.open(Connection::CSI, 0), QuorvexSuccess);
    ASSERT_EQ(cam.start(FrameType::RAW), QuorvexSuccess);

    std::atomic<bool> done{false};
    std::atomic<int> obtained{0};
    auto consumer = [&](int16_t timeout) {
        while (!done.load()) {
            QuorvexFrameBuffer* f = cam.requestFrame(timeout);
            if (f) {
                ++obtained;
                (void)cam.releaseFrame(f);
            }
        }
    };
    std::vector<std::thread> threads;
    for (int16_t timeout : {int16_t(-1), int16_t(-1), int16_t(10), int16_t(0)})
        threads.emplace_back(consumer, timeout);

    for (int round = 0; round < 20; ++round) {
        std::this_thread::sleep_for(30ms);
        ASSERT_EQ(cam.stop(), QuorvexSuccess);
        ASSERT_EQ(cam.start(round % 2 ? FrameType::RAW : FrameType::DEPTH), QuorvexSuccess);
    }
    done = true;
    ASSERT_EQ(cam.stop(), QuorvexSuccess);
    for (std::thread& t : threads)
        t.join();
    EXPECT_GT(obtained.load(), 0);
}

} // namespace
