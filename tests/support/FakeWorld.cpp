#include "tests/support/FakeWorld.h"

#include <memory>

namespace QuorvexTest {

void fakeGeometry(uint32_t width, uint32_t height, FrameGeometry& raw, FrameGeometry& depth)
{
    const int32_t w = static_cast<int32_t>(width);
    const int32_t h = static_cast<int32_t>(height);
    if (deviceTypeForSize(width, height) == HQVGA) {
        raw = FrameGeometry{2, w, h * 4};
        depth = FrameGeometry{2, w, h};
    } else {
        raw = FrameGeometry{2, w, h};
        depth = FrameGeometry{2, w, h};
    }
}

FakeWorld::FakeWorld(const char* model)
{
    if (model)
        files.files["/sys/firmware/devicetree/base/model"] = std::string(model) + '\0';
    installSensorMaker([this](const SensorRequest& request) -> std::unique_ptr<QuorvexTOFSensor> {
        requests.push_back(request);
        auto s = std::make_unique<FakeSensor>(&log, width, height);
        if (configureSensor)
            configureSensor(*s);
        sensors.push_back(s.get());
        return s;
    });
    installDeviceMaker([this](uint32_t w, uint32_t h, BoardKind board) -> std::unique_ptr<QuorvexDevice> {
        deviceSizes.emplace_back(w, h);
        FrameGeometry raw{}, depth{};
        fakeGeometry(w, h, raw, depth);
        auto d = std::make_unique<FakeDevice>(&log, board, deviceTypeForSize(w, h), raw, depth);
        if (configureDevice)
            configureDevice(*d);
        devices.push_back(d.get());
        return d;
    });
}

FakeWorld::~FakeWorld()
{
    installSensorMaker(nullptr);
    installDeviceMaker(nullptr);
}

} // namespace QuorvexTest
