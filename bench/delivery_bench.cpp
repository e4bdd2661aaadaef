// Delivery latency: from the moment the capture thread has a frame ready to
// post until requestFrame returns it to a waiting caller, against a bare
// condition-variable hand-off between two threads measured in the same run.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/BenchHarness.h"
#include "camera/QuorvexFrameBuffer.h"
#include "camera/QuorvexTOFCamera.h"
#include "device/DeviceFactory.h"
#include "sensor/SensorFactory.h"
#include "tests/support/FakeDevice.h"
#include "tests/support/FakeSensor.h"

using namespace Quorvex;
using namespace QuorvexTest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kFrames = 2000;
constexpr int kWarmUp = 50;
constexpr auto kPeriod = std::chrono::microseconds(1000);

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// Stamps the time at which a conversion ends, i.e. the moment the capture
// thread goes on to post the frame.
class StampDevice final : public QuorvexDevice {
public:
    explicit StampDevice(BoardKind board) : QuorvexDevice(board) {}
    int getVariantFlag() override { return 1; }
    void getFrameFormats(FrameGeometry& raw, FrameGeometry& depth) override
    {
        raw = FrameGeometry{2, 240, 720};
        depth = FrameGeometry{2, 240, 180};
    }
    TofErrorCode open(QuorvexTOFSensor* s, DeviceType) override
    {
        sensor = s;
        return QuorvexSuccess;
    }
    TofErrorCode close() override { return QuorvexSuccess; }
    TofErrorCode setupSensor() override { return QuorvexSuccess; }
    TofErrorCode start() override { return QuorvexSuccess; }
    TofErrorCode stop() override { return QuorvexSuccess; }
    TofErrorCode setControl(CameraCtrl, int) override { return QuorvexInvalidParameter; }
    TofErrorCode setControlExt(CameraCtrl, const char*) override { return QuorvexInvalidParameter; }
    TofErrorCode getControl(CameraCtrl, int*) override { return QuorvexInvalidParameter; }
    TofErrorCode getControlExt(CameraCtrl, const char**) override { return QuorvexInvalidParameter; }
    bool getRawImages(unsigned char*, short* out) override
    {
        const int64_t t = nowNs();
        std::memcpy(out, &t, sizeof(t));
        return true;
    }
    bool getPhaseImage(unsigned char*, float*, float*, float*) override { return false; }
};

double median(std::vector<int64_t>& v)
{
    std::sort(v.begin(), v.end());
    return static_cast<double>(v[v.size() / 2]);
}

double cameraLatency()
{
    installSensorMaker([](const SensorRequest&) -> std::unique_ptr<QuorvexTOFSensor> {
        auto s = std::make_unique<FakeSensor>(nullptr, 240, 180);
        s->periodUs = static_cast<int>(kPeriod.count());
        return s;
    });
    installDeviceMaker([](uint32_t, uint32_t, BoardKind board) -> std::unique_ptr<QuorvexDevice> {
        return std::make_unique<StampDevice>(board);
    });

    std::vector<int64_t> latencies;
    latencies.reserve(kFrames);
    {
        QuorvexTOFCamera cam;
        cam.setControl(CameraCtrl::AUTO_FRAME_RATE, 0);
        if (cam.open(Connection::CSI, 0) != QuorvexSuccess || cam.start(FrameType::RAW) != QuorvexSuccess) {
            std::fprintf(stderr, "delivery_bench: camera did not start\n");
            return -1;
        }
        for (int i = 0; i < kFrames + kWarmUp; ++i) {
            QuorvexFrameBuffer* f = cam.requestFrame(-1);
            const int64_t arrived = nowNs();
            if (!f)
                continue;
            int64_t posted;
            std::memcpy(&posted, f->getData(FrameType::RAW), sizeof(posted));
            cam.releaseFrame(f);
            if (i >= kWarmUp)
                latencies.push_back(arrived - posted);
            // Catch up if the caller fell behind and frames were queued: only
            // hand-offs to a waiting caller are measured.
            while (QuorvexFrameBuffer* stale = cam.requestFrame(0))
                cam.releaseFrame(stale);
        }
        cam.stop();
        cam.close();
    }
    installSensorMaker(nullptr);
    installDeviceMaker(nullptr);
    return median(latencies);
}

double conditionVariableLatency()
{
    std::mutex mutex;
    std::condition_variable cond;
    bool ready = false;
    bool done = false;
    int64_t posted = 0;

    std::thread producer([&] {
        for (int i = 0; i < kFrames + kWarmUp; ++i) {
            std::this_thread::sleep_for(kPeriod);
            std::lock_guard<std::mutex> lock(mutex);
            posted = nowNs();
            ready = true;
            cond.notify_one();
        }
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
        cond.notify_one();
    });

    std::vector<int64_t> latencies;
    latencies.reserve(kFrames);
    for (int i = 0;; ++i) {
        std::unique_lock<std::mutex> lock(mutex);
        cond.wait(lock, [&] { return ready || done; });
        const int64_t arrived = nowNs();
        if (!ready)
            break;
        ready = false;
        if (i >= kWarmUp)
            latencies.push_back(arrived - posted);
    }
    producer.join();
    return median(latencies);
}

} // namespace

int main()
{
    // Interleaved so that both see the same machine load.
    const double bare1 = conditionVariableLatency();
    const double camera = cameraLatency();
    const double bare2 = conditionVariableLatency();
    const double bare = std::min(bare1, bare2);
    if (camera < 0)
        return 1;
    std::printf("delivery latency, frame posted -> requestFrame returns (median of %d)\n", kFrames);
    std::printf("  camera:                      %8.1f us\n", camera / 1000.0);
    std::printf("  bare condition-variable:     %8.1f us\n", bare / 1000.0);
    std::printf("  ratio camera / bare:         %8.2f\n", camera / bare);
    using namespace Quorvex::bench;
    figure("delivery.request_frame.hqvga.latency_us", camera / 1000.0);
    figure("delivery.request_frame.hqvga.ratio_to_condition_variable", camera / bare);
    return writeFigures("delivery_bench") ? 0 : 1;
}
