#pragma once

#include <cstdint>

namespace Quorvex {

// Host board, recognised once from the device-tree model. Values 1 and 4
// are never produced; the Jetson boards may be tested as the range 2..4 and
// the media-controller boards as 5..7.
enum BoardKind : uint32_t {
    BOARD_UNKNOWN = 0,
    BOARD_JETSON_TX1_NANO = 2,
    BOARD_JETSON = 3,
    BOARD_RASPBERRY_PI = 5,
    BOARD_RASPBERRY_PI_5 = 6,
    BOARD_RADXA_ROCK = 7,
};

// Reads "/sys/firmware/devicetree/base/model" through the kernel-access
// layer; every problem yields BOARD_UNKNOWN.
BoardKind detectBoard();

} // namespace Quorvex
