// Capture thread, frame-rate measurement and tracking, frame delivery.
#include "camera/QuorvexTOFCamera.h"

#include <chrono>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "camera/DeliveryHooks.h"
#include "camera/FrameQueue.h"
#include "device/QuorvexDevice.h"
#include "sensor/QuorvexTOFSensor.h"

namespace Quorvex {

namespace delivery {

namespace {
std::atomic<Hook> installedHook{nullptr};
} // namespace

void setHook(Hook hook)
{
    installedHook.store(hook, std::memory_order_release);
}

} // namespace delivery

namespace {

void reach(delivery::Point point)
{
    if (delivery::Hook hook = delivery::installedHook.load(std::memory_order_acquire))
        hook(point);
}

constexpr int64_t kTrackingPeriodNs = 3000000000LL;
constexpr int kRecycleWaitMs = 20;
constexpr auto kRecyclePause = std::chrono::milliseconds(1);
constexpr auto kReadFailurePause = std::chrono::milliseconds(10);

// The monotonic clock: boards without a real-time clock step the wall clock
// at boot, which would wreck the rate measurement.
int64_t monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// floorf, then to int with saturation; NaN becomes 0.
int saturatingFloor(float value)
{
    if (std::isnan(value))
        return 0;
    const float f = std::floor(value);
    if (f >= 2147483648.0f)
        return INT_MAX;
    if (f <= -2147483648.0f)
        return INT_MIN;
    return static_cast<int>(f);
}

} // namespace

void QuorvexTOFCamera::captureThread(std::shared_ptr<FrameQueue> q, FrameType type)
{
    uint8_t* raw = static_cast<uint8_t*>(q->scratch->getData(FrameType::CACHE));
    int64_t mark = monotonicNs();
    lastTimestamp.store(mark, std::memory_order_relaxed);
    failedReads.store(0, std::memory_order_relaxed);
    lastRead.store(QuorvexSuccess, std::memory_order_relaxed);
    // A new stream may come from a module whose clock restarted.
    captureClock.reset();

    while (!stopped.load()) {
        if (autoFrameRate.load(std::memory_order_relaxed) && monotonicNs() - mark > kTrackingPeriodNs) {
            adjustFrameRate();
            mark = monotonicNs();
        }

        LinkNode* node = q->takeFree();
        if (!node && q->getReadyCount() == 0) {
            // Callers hold every node: read nothing until one comes back.
            // Given-back nodes go to the free list, so this wait normally
            // ends by time-out and the loop looks again.
            if (!q->waitReady(kRecycleWaitMs)) {
                std::this_thread::sleep_for(kRecyclePause);
                continue;
            }
            node = q->takeReady();
        }

        int64_t ts = 0;
        FrameTiming timing;
        const FrameVerdict verdict = analysisFrame(raw, &ts, &timing);
        if (verdict == FrameVerdict::NoFrame) {
            if (node)
                q->pool->giveBack(node);
            std::this_thread::sleep_for(kReadFailurePause);
            continue;
        }
        if (verdict == FrameVerdict::Skipped) {
            // The sensor did deliver it: measuring only kept frames would
            // make tracking under a skip pattern keep lowering the sensor's
            // rate towards 1 fps.
            updateFps();
            if (node)
                q->pool->giveBack(node);
            continue;
        }

        // Only a frame that is going to be delivered takes the place of the
        // oldest undelivered one, so that skipped or failed reads cost
        // callers nothing. Callers may have taken every ready frame while
        // the sensor was read; the capture is then dropped.
        if (!node) {
            node = q->takeFree();
            if (!node && q->waitReady(0))
                node = q->takeReady();
            if (!node)
                continue;
        }
        if (!fillFrame(raw, ts, timing, node, type)) {
            q->pool->giveBack(node);
            continue;
        }
        updateFps();
        q->pushReady(node);
        q->postReady();
    }
}

QuorvexTOFCamera::FrameVerdict QuorvexTOFCamera::analysisFrame(uint8_t* raw, int64_t* ts, FrameTiming* timing)
{
    // Any non-zero result leaves the scratch frame stale or partly written.
    const TofErrorCode read = sensor->getFrame(raw, ts);
    const int64_t arrival = monotonicNs();
    lastRead.store(read, std::memory_order_relaxed);
    if (read != QuorvexSuccess) {
        failedReads.fetch_add(1, std::memory_order_relaxed);
        return FrameVerdict::NoFrame;
    }
    failedReads.store(0, std::memory_order_relaxed);
    // Frames the skip pattern drops still show the module's clock.
    const int64_t host = sensor->hostStampNs();
    if (host >= 0) {
        timing->captureNs = host;
        timing->arrivalNs = arrival;
        timing->mapped = true;
    } else {
        *timing = captureClock.update(*ts, arrival);
    }

    // Keeps skipFrameLoop - skipFrame of every skipFrameLoop frames, spread
    // evenly, in the module's 8-bit arithmetic. The subtraction wraps in
    // unsigned so that extreme values cannot overflow; setControl keeps the
    // low byte of the loop length non-zero.
    const int loop = skipFrameLoop.load(std::memory_order_relaxed);
    const int skip = skipFrame.load(std::memory_order_relaxed);
    skipCounter = (skipCounter + 1) % loop;
    const unsigned keep = static_cast<uint8_t>(static_cast<uint32_t>(loop) - static_cast<uint32_t>(skip));
    const unsigned pos = static_cast<uint8_t>(skipCounter);
    const unsigned len = static_cast<uint8_t>(loop);
    if (keep * pos / len == (keep * pos + keep) / len)
        return FrameVerdict::Skipped;
    return FrameVerdict::Keep;
}

bool QuorvexTOFCamera::fillFrame(uint8_t* raw, int64_t ts, const FrameTiming& timing, LinkNode* node,
                                 FrameType type)
{
    node->frame->setTimestamp(static_cast<uint64_t>(ts));
    node->timing = timing;
    switch (type) {
    case FrameType::RAW:
        // Unlike the depth path the conversion itself cannot fail, but a
        // false answer still means the plane holds no good frame.
        return getRawImages(raw, static_cast<int16_t*>(node->frame->getData(FrameType::RAW)));
    case FrameType::DEPTH:
        return getPhaseImage(raw, static_cast<float*>(node->frame->getData(FrameType::DEPTH)),
                             static_cast<float*>(node->frame->getData(FrameType::AMPLITUDE)),
                             static_cast<float*>(node->frame->getData(FrameType::CONFIDENCE)));
    default:
        return false;
    }
}

bool QuorvexTOFCamera::getRawImages(uint8_t* raw, int16_t* out)
{
    return device->getRawImages(raw, out);
}

bool QuorvexTOFCamera::getPhaseImage(uint8_t* raw, float* depth, float* amplitude, float* confidence)
{
    return device->getPhaseImage(raw, depth, amplitude, confidence);
}

void QuorvexTOFCamera::updateFps()
{
    const int64_t now = monotonicNs();
    const int64_t dt = (now - lastTimestamp.load(std::memory_order_relaxed)) / 1000000;
    lastTimestamp.store(now, std::memory_order_relaxed);

    float interval = frameInterval.load(std::memory_order_relaxed);
    if (deliveredFrames.load(std::memory_order_relaxed) == 0) {
        interval = static_cast<float>(dt);
    } else {
        const float s = smoothing.load(std::memory_order_relaxed);
        const float candidate = (1.0f - s) * interval + static_cast<float>(dt) * s;
        // An infinite or NaN blend would stick for good.
        if (std::fabs(candidate) <= FLT_MAX) {
            interval = candidate;
            smoothing.store(1.0f / 30.0f, std::memory_order_relaxed);
        }
    }
    frameInterval.store(interval, std::memory_order_relaxed);
    deliveredFrames.fetch_add(1, std::memory_order_relaxed);
    fps.store(1000.0f / interval, std::memory_order_relaxed);
}

void QuorvexTOFCamera::adjustFrameRate()
{
    int target = saturatingFloor(fps.load(std::memory_order_relaxed));
    if (target < 1)
        target = 1;
    int current = 0;
    (void)getControl(CameraCtrl::FRAME_RATE, &current);
    const int tolerance = current > 9 ? current / 10 : 1;
    if (std::llabs(static_cast<long long>(target) - current) > tolerance)
        (void)setControl(CameraCtrl::FRAME_RATE, target);
}

QuorvexFrameBuffer* QuorvexTOFCamera::requestFrame(int16_t timeout)
{
    return requestFrameFrom(currentQueue(), timeout);
}

QuorvexFrameBuffer* QuorvexTOFCamera::requestFrameOfStream(int16_t timeout, std::uint64_t stream)
{
    std::shared_ptr<FrameQueue> q;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        if (generation.load() != stream)
            return nullptr;
        q = queue;
    }
    return requestFrameFrom(q, timeout);
}

QuorvexFrameBuffer* QuorvexTOFCamera::requestFrameFrom(const std::shared_ptr<FrameQueue>& q, int16_t timeout)
{
    if (!q)
        return nullptr;
    reach(delivery::Point::QueueTaken);

    // A stopped stream posts nothing more: only a frame already ready can
    // be had. A stop during the wait ends it (FrameQueue::endStream), and
    // so does a start that replaces this queue (FrameQueue::shutdown).
    if (!q->waitReady(stopped.load() ? 0 : timeout))
        return nullptr;
    reach(delivery::Point::Claimed);
    LinkNode* node = q->takeReady(true);
    if (!node)
        return nullptr;
    // A start may have replaced the queue since the wait succeeded: the
    // copy held here is then all that keeps it alive, and it goes when
    // this call returns. Its frame must not leave; the node goes back so
    // that the queue stays whole for anyone else still holding it.
    if (q->isShutDown()) {
        (void)q->pool->release(node);
        return nullptr;
    }
    reach(delivery::Point::Returning);
    return node->frame.get();
}

TofErrorCode QuorvexTOFCamera::getFrameTiming(const QuorvexFrameBuffer* frame, FrameTiming& out)
{
    std::shared_ptr<FrameQueue> q = currentQueue();
    if (!q || !frame)
        return QuorvexUnkownError;
    const LinkNode* node = q->pool->find(frame);
    if (!node)
        return QuorvexUnkownError;
    out = node->timing;
    return QuorvexSuccess;
}

TofErrorCode QuorvexTOFCamera::releaseFrame(QuorvexFrameBuffer* frame)
{
    std::shared_ptr<FrameQueue> q = currentQueue();
    if (!q)
        return QuorvexUnkownError;
    LinkNode* node = q->pool->find(frame);
    if (!node)
        return QuorvexUnkownError;
    return q->pool->release(node) == 0 ? QuorvexSuccess : QuorvexUnkownError;
}

} // namespace Quorvex
