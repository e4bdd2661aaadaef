#include "sensor/SensorFactory.h"

#include <utility>

#include "sensor/QuorvexTOFCSISensor.h"
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
        return std::make_unique<QuorvexTOFCSISensor>(request.devicePath, request.boardKind);
    }
    return nullptr;
}

void installSensorMaker(SensorMaker maker)
{
    override() = std::move(maker);
}

} // namespace Quorvex
