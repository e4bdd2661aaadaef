#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sensor/BoardKind.h"
#include "sensor/I2cBus.h"

namespace Quorvex {

// One device node a camera may need, as the host shows it to this process.
struct SurveyNode {
    std::string path;   // /dev/...
    std::string kind;   // "capture", "subdev", "media" or "i2c"
    std::string driver; // the driver's own name, "" where the node does not say
    std::string card;   // the device's name (card, model, entity or adapter name)
    uint32_t mode = 0;  // st_mode of the node
    uint32_t gid = 0;   // group owning the node
    int openError = 0;  // errno of a read-write open, 0 when it opened
};

// What a set-up check needs to know of the host, gathered read-only: the
// board, its capture, sub-device, media and I2C nodes, and whether the
// module's controller answers on its bus.
struct HostSurvey {
    std::string model; // device-tree model, "" when the host has none
    BoardKind board = BOARD_UNKNOWN;
    std::vector<SurveyNode> nodes;
    // The module's I2C bus, -1 when no node names it; and where it was named.
    int moduleBus = -1;
    std::string moduleBusSource;
    // The controller at 0x0C: 1 answered a one-byte read, 0 did not
    // (chipError says why), -1 not probed (no bus, or the adapter would
    // not open).
    int chipAnswers = -1;
    int chipError = 0;
};

// Surveys the host through the kernel-access layer. Nothing is written to
// any device: nodes are opened and queried, and the controller is asked
// for one byte.
HostSurvey surveyHost();

} // namespace Quorvex
