#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "camera/TofTypes.h"
#include "sensor/BoardKind.h"

namespace Quorvex {

class QuorvexTOFSensor;

// What the camera knows when it creates a sensor: the connection kind and,
// per kind, what that sensor is built from.
struct SensorRequest {
    Connection connect;
    // CSI: the capture node, e.g. "/dev/video0".
    std::string devicePath;
    BoardKind boardKind;
    // USB: configuration file handed to the library (may be empty).
    std::string configPath;
    int index;
};

// Creates the sensor for `request.connect`; null when this build has no
// sensor for that connection (the camera's open then fails with -1).
std::unique_ptr<QuorvexTOFSensor> createSensor(const SensorRequest& request);

// Replaces createSensor's choice while set (test doubles); an empty function
// restores it. Not to be changed while a camera is being opened.
using SensorMaker = std::function<std::unique_ptr<QuorvexTOFSensor>(const SensorRequest&)>;
void installSensorMaker(SensorMaker maker);

} // namespace Quorvex
