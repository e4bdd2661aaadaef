#pragma once

#include <memory>
#include <string>

#include "sensor/BoardKind.h"
#include "sim/SimCaptureNode.h"
#include "sim/SimHost.h"
#include "sim/SimI2cAdapter.h"
#include "sim/SimKernel.h"
#include "sim/SimMediaDevice.h"
#include "sim/SimSubdevice.h"

namespace Quorvex::Sim {

// A whole host board with a module on its CSI-2 port, published in a
// SimKernel as Linux would: the device-tree model naming the board, the
// capture node /dev/video0 with its receiver's layout, the media graph on
// the media-controller boards (receiver, bridge and module entities, the
// Pi 5's disabled receiver link), the Jetson capture node's sysfs name, and
// the I2C adapter with the module's controller at 0x0C.
class SimCsiBoard {
public:
    // Bus the module's controller sits on, per board.
    static int moduleBus(BoardKind board);
    static std::string modelText(BoardKind board);

    SimCsiBoard(SimKernel& k, BoardKind board, const CsiModule& module = {});
    // The same with a receiver other than the board's own.
    SimCsiBoard(SimKernel& k, BoardKind board, const CsiModule& module, const ReceiverLayout& layout);

    static constexpr const char* capturePath = "/dev/video0";
    static constexpr uint16_t chipAddress = 0x0C;

    BoardKind board;
    SimHost host;
    std::shared_ptr<SimCaptureNode> capture;
    std::shared_ptr<SimMediaDevice> media;          // media-controller boards
    std::shared_ptr<SimSubdevice> bridge;           // Pi 5 and Radxa
    std::shared_ptr<SimSubdevice> moduleSubdev;     // media-controller boards
    std::shared_ptr<SimI2cAdapter> adapter;
};

} // namespace Quorvex::Sim
