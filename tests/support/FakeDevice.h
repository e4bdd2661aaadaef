#pragma once

#include <atomic>
#include <cstring>

#include "device/QuorvexDevice.h"
#include "tests/support/EventLog.h"

namespace QuorvexTest {

using namespace Quorvex;

// Device double. A conversion copies the frame's sequence number (first four
// bytes of the raw capture) into the output: the RAW plane's first two
// samples, or the first depth value.
class FakeDevice final : public QuorvexDevice {
public:
    FakeDevice(EventLog* log, BoardKind board, DeviceType variant, FrameGeometry raw, FrameGeometry depth)
        : QuorvexDevice(board), log(log), variant(variant), raw(raw), depth(depth)
    {
    }
    ~FakeDevice() override { note("device.destroyed"); }

    BoardKind board() const { return boardKind; }
    QuorvexTOFSensor* openedWith() const { return sensor; }

    int getVariantFlag() override { return variant == HQVGA ? 1 : 0; }
    void getFrameFormats(FrameGeometry& rawOut, FrameGeometry& depthOut) override
    {
        rawOut = raw;
        depthOut = depth;
    }
    TofErrorCode open(QuorvexTOFSensor* s, DeviceType type) override
    {
        note("device.open");
        sensor = s;
        openedType = type;
        return openResult;
    }
    TofErrorCode close() override
    {
        note("device.close");
        return QuorvexSuccess;
    }
    TofErrorCode setupSensor() override
    {
        note("device.setupSensor");
        return setupResult;
    }
    TofErrorCode start() override
    {
        note("device.start");
        return startResult;
    }
    TofErrorCode stop() override
    {
        note("device.stop");
        return QuorvexSuccess;
    }

    TofErrorCode setControl(CameraCtrl ctrl, int value) override
    {
        switch (ctrl) {
        case CameraCtrl::FRAME_RATE:
            rateSets.fetch_add(1);
            lastRateSet.store(value);
            frameRate.store(value);
            return QuorvexSuccess;
        case CameraCtrl::RANGE:
            rangeSets.fetch_add(1);
            range.store(value);
            return QuorvexSuccess;
        default:
            forwardedSets.fetch_add(1);
            lastForwarded.store(static_cast<int>(ctrl));
            return QuorvexInvalidParameter;
        }
    }
    TofErrorCode getControl(CameraCtrl ctrl, int* value) override
    {
        switch (ctrl) {
        case CameraCtrl::FRAME_RATE:
            if (rateQueryResult != QuorvexSuccess)
                return rateQueryResult;
            *value = frameRate.load();
            return QuorvexSuccess;
        case CameraCtrl::RANGE:
            *value = range.load();
            return QuorvexSuccess;
        case CameraCtrl::EXPOSURE:
            *value = 77;
            return QuorvexSuccess;
        default:
            forwardedGets.fetch_add(1);
            return QuorvexInvalidParameter;
        }
    }
    TofErrorCode setControlExt(CameraCtrl ctrl, const char* value) override
    {
        if (ctrl != CameraCtrl::CONFIG_DIR_EXT)
            return QuorvexInvalidParameter;
        std::strncpy(configDir, value, sizeof(configDir) - 1);
        return QuorvexSuccess;
    }
    TofErrorCode getControlExt(CameraCtrl ctrl, const char** value) override
    {
        if (ctrl != CameraCtrl::CONFIG_DIR_EXT)
            return QuorvexInvalidParameter;
        *value = configDir;
        return QuorvexSuccess;
    }

    bool getRawImages(unsigned char* in, short* out) override
    {
        record(in);
        std::memcpy(out, in, sizeof(int32_t));
        return convertOk.load();
    }
    bool getPhaseImage(unsigned char* in, float* depthOut, float*, float*) override
    {
        record(in);
        int32_t seq;
        std::memcpy(&seq, in, sizeof(seq));
        depthOut[0] = static_cast<float>(seq);
        return convertOk.load();
    }

    EventLog* log;
    DeviceType variant;
    FrameGeometry raw;
    FrameGeometry depth;
    DeviceType openedType = VGA;
    TofErrorCode openResult = QuorvexSuccess;
    TofErrorCode setupResult = QuorvexSuccess;
    TofErrorCode startResult = QuorvexSuccess;
    TofErrorCode rateQueryResult = QuorvexSuccess;

    std::atomic<bool> convertOk{true};
    std::atomic<int> frameRate{41};
    std::atomic<int> rateSets{0};
    std::atomic<int> lastRateSet{0};
    std::atomic<int> range{4000};
    std::atomic<int> rangeSets{0};
    std::atomic<int> forwardedSets{0};
    std::atomic<int> lastForwarded{-1};
    std::atomic<int> forwardedGets{0};
    char configDir[64] = "";

    // Sequence numbers of the first frames converted, in order.
    static constexpr int kTraced = 64;
    int32_t converted[kTraced] = {};
    std::atomic<int> conversions{0};

private:
    void record(const unsigned char* in)
    {
        const int n = conversions.load(std::memory_order_relaxed);
        if (n < kTraced)
            std::memcpy(&converted[n], in, sizeof(int32_t));
        conversions.store(n + 1, std::memory_order_release);
    }
    void note(const char* event)
    {
        if (log)
            log->add(event);
    }
};

} // namespace QuorvexTest
