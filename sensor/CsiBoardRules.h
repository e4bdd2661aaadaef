#pragma once

#include "sensor/BoardKind.h"
#include "sensor/MediaDiscovery.h"

namespace Quorvex {

// The entity names each media-controller board's pipeline is found by; null
// for boards that do not use media discovery.
const MediaPipelineRule* mediaPipelineRule(BoardKind board);

// Text the Jetson capture node's sysfs name holds before the bus number.
extern const char* const jetsonModuleName;

} // namespace Quorvex
