#pragma once

#include <cstdint>

#include "camera/TofTypes.h"
#include "sensor/CsiPipeline.h"

namespace Quorvex {

// A receiver link to enable before the pipeline is walked.
struct MediaLinkRule {
    const char* sourceEntity; // exact entity names
    uint16_t sourcePad;
    const char* sinkEntity;
    uint16_t sinkPad;
};

// What discovery looks for in a media graph; the board tables supply it.
struct MediaPipelineRule {
    const char* bridgeEntity;         // exact name of a bridge whose sub-device is opened; null: none
    const char* moduleEntity;         // text the module entity's name contains
    const MediaLinkRule* receiverLink; // null: no link to set up
};

// Walks the media device that owns the capture node `videoFd` and fills
// `state` as far as it gets: mediaPath, the sub-devices of the bridge and of
// the module (module last, at sensorSubdevIndex) and the bus text from the
// module entity's name. Reports nothing but a failed entity query for the
// receiver link; whatever it filled stays filled when it ends early. The
// media device is closed before it returns; sub-devices stay open.
// False when the module entity was found but its sub-device node did not
// open (the message names the node): what the walk opened before it, a
// bridge, must not be taken for the module.
bool discoverMediaPipeline(CsiPipeline& state, int videoFd, const MediaPipelineRule& rule);

// Jetson-style discovery: the bus text from the capture node's sysfs name
// ("/sys/dev/char/M:N/name"), the digits after the first space following
// `moduleName`. Fails (-2) when the node is not a character device, the
// name cannot be read or does not hold `moduleName`; a name without a space
// after the match succeeds with an empty bus text.
TofErrorCode discoverBusFromSysfsName(CsiPipeline& state, int videoFd, const char* moduleName);

} // namespace Quorvex
