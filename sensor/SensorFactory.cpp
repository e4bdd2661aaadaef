#include "sensor/SensorFactory.h"

#include <utility>

#include "sensor/QuorvexTOFSensor.h"
#include "sensor/QuorvexTOFUSBSensor.h"

namespace Quorvex {

namespace {

SensorMaker& override()
{
    static SensorMaker maker;
    return maker;
}

} // namespace

std::unique_ptr<QuorvexTOFSensor> createSensor(const SensorRequest& request)
{
    if (override())
        return override()(request);
    switch (request.connect) {
    case Connection::USB:
        // An empty path (plain open) gives the library's default module.
        return std::make_unique<QuorvexTOFUSBSensor>(request.configPath, request.index);
    case Connection::CSI:
        // The CSI sensor is built separately; until this library carries
        // it, that connection cannot be opened.
        break;
    }
    return nullptr;
}

void installSensorMaker(SensorMaker maker)
{
    override() = std::move(maker);
}

} // namespace Quorvex
