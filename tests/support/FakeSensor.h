#pragma once

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "sensor/QuorvexTOFSensor.h"
#include "tests/support/EventLog.h"

namespace QuorvexTest {

using namespace Quorvex;

// Sensor double. Each delivered frame carries its 1-based sequence number in
// its first four bytes and as its timestamp (x 1000), so the frames that
// reach a caller can be traced back to the reads that produced them.
class FakeSensor final : public QuorvexTOFSensor {
public:
    FakeSensor(EventLog* log, uint32_t width, uint32_t height) : log(log), width(width), height(height) {}
    ~FakeSensor() override { note("sensor.destroyed"); }

    TofErrorCode open(CameraInfo& info) override
    {
        note("sensor.open");
        if (openResult != QuorvexSuccess)
            return openResult;
        info.width = width;
        info.height = height;
        info.bit_width = 12;
        info.bpp = 16;
        stored = info;
        return QuorvexSuccess;
    }
    TofErrorCode close() override
    {
        note("sensor.close");
        return closeResult;
    }
    TofErrorCode start() override
    {
        note("sensor.start");
        return startResult;
    }
    TofErrorCode stop() override
    {
        note("sensor.stop");
        return stopResult;
    }
    CameraInfo getCameraInfo() override { return stored; }

    TofErrorCode getFrame(uint8_t* dst, int64_t* timestamp) override
    {
        const int attempt = reads.fetch_add(1) + 1;
        if (onRead)
            onRead(attempt);
        const int period = periodUs.load();
        if (period > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(period));
        const int limit = frameLimit.load();
        if (limit >= 0 && attempt > limit)
            return failResult.load();
        const int32_t seq = attempt;
        std::memcpy(dst, &seq, sizeof(seq));
        *timestamp = static_cast<int64_t>(seq) * 1000;
        return QuorvexSuccess;
    }

    TofErrorCode setControl(CameraCtrl ctrl, int value) override
    {
        if (ctrl == CameraCtrl::FRAME_RATE) {
            frameRate.store(value);
            return QuorvexSuccess;
        }
        return QuorvexInvalidParameter;
    }
    TofErrorCode getControl(CameraCtrl ctrl, int* value) override
    {
        if (ctrl == CameraCtrl::FRAME_RATE) {
            *value = frameRate.load();
            return QuorvexSuccess;
        }
        return QuorvexInvalidParameter;
    }

    EventLog* log;
    uint32_t width;
    uint32_t height;
    CameraInfo stored{};
    TofErrorCode openResult = QuorvexSuccess;
    TofErrorCode closeResult = QuorvexSuccess;
    TofErrorCode startResult = QuorvexSuccess;
    TofErrorCode stopResult = QuorvexSuccess;

    // Reads beyond frameLimit (when >= 0) fail with failResult.
    std::atomic<int> frameLimit{-1};
    std::atomic<TofErrorCode> failResult{QuorvexUnkownError};
    std::atomic<int> periodUs{0};
    std::atomic<int> reads{0};
    std::atomic<int> frameRate{30};
    // Called on the capture thread at the start of every read.
    std::function<void(int attempt)> onRead;

private:
    void note(const char* event)
    {
        if (log)
            log->add(event);
    }
};

} // namespace QuorvexTest
