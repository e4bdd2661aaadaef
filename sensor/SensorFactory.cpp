#include "sensor/SensorFactory.h"

#include <utility>

#include "sensor/QuorvexTOFSensor.h"

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
    case Connection::CSI:
    case Connection::USB:
        // The CSI and USB sensors are built separately; until this library
        // carries them, neither connection can be opened.
        break;
    }
    return nullptr;
}

void installSensorMaker(SensorMaker maker)
{
    override() = std::move(maker);
}

} // namespace Quorvex
