#include "CsiBoardRules.h"

namespace Quorvex {

namespace {

// The Pi 5 receiver routes its CSI-2 block to the capture channel only once
// this link is enabled; the firmware leaves it off.
const MediaLinkRule pi5ReceiverLink{"csi2", 4, "rp1-cfe-csi2_ch0", 0};

const MediaPipelineRule raspberryPi{nullptr, "quorvex-brevalith", nullptr};
const MediaPipelineRule raspberryPi5{"csi2", "quorvex-brevalith", &pi5ReceiverLink};
// The Radxa device tree names the module entity after its connector
// ("m00_b_brevalith 4-000c"), hence the shorter match.
const MediaPipelineRule radxaRock{"rockchip-csi2-dphy1", "brevalith", nullptr};

} // namespace

const char* const jetsonModuleName = "quorvex";

const MediaPipelineRule* mediaPipelineRule(BoardKind board)
{
    switch (board) {
    case BOARD_RASPBERRY_PI:
        return &raspberryPi;
    case BOARD_RASPBERRY_PI_5:
        return &raspberryPi5;
    case BOARD_RADXA_ROCK:
        return &radxaRock;
    default:
        return nullptr;
    }
}

} // namespace Quorvex
