#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "device/DeviceFactory.h"
#include "sensor/SensorFactory.h"
#include "tests/support/EventLog.h"
#include "tests/support/FakeDevice.h"
#include "tests/support/FakeFiles.h"
#include "tests/support/FakeSensor.h"

namespace QuorvexTest {

// Installs factory hooks so that every camera created while it lives gets
// fake sensors and devices, and a kernel whose device tree names `model`
// (board detection runs when a camera is constructed). Pointers in `sensors` and `devices` stay valid
// only as long as the camera keeps the object.
class FakeWorld {
public:
    explicit FakeWorld(const char* model = "Raspberry Pi 4 Model B Rev 1.4");
    ~FakeWorld();
    FakeWorld(const FakeWorld&) = delete;
    FakeWorld& operator=(const FakeWorld&) = delete;

    FakeSensor* sensor() const { return sensors.empty() ? nullptr : sensors.back(); }
    FakeDevice* device() const { return devices.empty() ? nullptr : devices.back(); }

    // Size the next sensor reports when opened.
    uint32_t width = 240;
    uint32_t height = 180;
    // Applied to each new object before the camera sees it.
    std::function<void(FakeSensor&)> configureSensor;
    std::function<void(FakeDevice&)> configureDevice;

    Quorvex::test::FakeFiles files;
    EventLog log;
    std::vector<SensorRequest> requests;
    std::vector<FakeSensor*> sensors;
    std::vector<FakeDevice*> devices;
    std::vector<std::pair<uint32_t, uint32_t>> deviceSizes;

private:
    Quorvex::test::ScopedKernel kernelGuard{files};
};

// Geometry the fake device reports: the HQVGA layout for 240 x 180 (four
// sub-frames per capture), one raw frame of the reported size otherwise.
void fakeGeometry(uint32_t width, uint32_t height, FrameGeometry& raw, FrameGeometry& depth);

} // namespace QuorvexTest
