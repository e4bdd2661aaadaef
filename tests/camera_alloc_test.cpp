// Proves that streaming allocates nothing per frame: every global operator
// new of this executable is counted while a few hundred frames are captured,
// converted, delivered and given back.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>

#include "camera/QuorvexFrameBuffer.h"
#include "camera/QuorvexTOFCamera.h"
#include "tests/support/Eventually.h"
#include "tests/support/FakeWorld.h"

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void* counted(std::size_t size)
{
    if (counting.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

} // namespace

// Replacing the throwing and the array forms covers the others: the nothrow
// forms of the standard library call these.
void* operator new(std::size_t size)
{
    return counted(size);
}
void* operator new[](std::size_t size)
{
    return counted(size);
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete[](void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}

using namespace Quorvex;
using namespace QuorvexTest;

namespace {

TEST(CameraAllocations, NoneWhileFramesFlow)
{
    for (FrameType type : {FrameType::RAW, FrameType::DEPTH}) {
        FakeWorld world;
        world.configureSensor = [](FakeSensor& s) { s.periodUs = 100; };
        QuorvexTOFCamera cam;
        ASSERT_EQ(cam.open(Connection::CSI, 0), QuorvexSuccess);
        ASSERT_EQ(cam.start(type), QuorvexSuccess);
        // The counter itself must count.
        counting = true;
        int* volatile probe = new int(1);
        delete probe;
        counting = false;
        ASSERT_EQ(allocations.exchange(0), 1);

        QuorvexFrameBuffer* first = cam.requestFrame(-1);
        ASSERT_NE(first, nullptr);
        ASSERT_EQ(cam.releaseFrame(first), QuorvexSuccess);

        counting = true;
        int delivered = 0;
        for (int i = 0; i < 400; ++i) {
            // Every path of the capture loop: plain delivery, recycling
            // while the caller lags, skipped frames, all nodes held.
            if (i == 100) {
                (void)cam.setControl(CameraCtrl::SKIP_FRAME, 1);
                (void)cam.setControl(CameraCtrl::SKIP_FRAME_LOOP, 3);
            }
            if (i % 50 == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(3));
            QuorvexFrameBuffer* f = cam.requestFrame(i % 2 ? -1 : 1000);
            if (!f)
                continue;
            ++delivered;
            if (i == 300) {
                QuorvexFrameBuffer* g = cam.requestFrame(-1);
                QuorvexFrameBuffer* h = cam.requestFrame(-1);
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
                (void)cam.releaseFrame(g);
                (void)cam.releaseFrame(h);
            }
            (void)cam.releaseFrame(f);
        }
        counting = false;
        EXPECT_EQ(cam.stop(), QuorvexSuccess);

        EXPECT_EQ(allocations.exchange(0), 0);
        EXPECT_GT(delivered, 300);
    }
}

} // namespace
