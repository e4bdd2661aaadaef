#include "CsiBoardRules.h"

#include <linux/videodev2.h>

// Older headers lack the packed 12-bit grey format the Pi 5 receiver writes.
#ifndef V4L2_PIX_FMT_Y12P
#define V4L2_PIX_FMT_Y12P v4l2_fourcc('Y', '1', '2', 'P')
#endif

namespace Quorvex {

const char* const jetsonModuleName = "quorvex";

namespace {

// The Pi 5 receiver routes its CSI-2 block to the capture channel only once
// this link is enabled; the firmware leaves it off.
const MediaLinkRule pi5ReceiverLink{"csi2", 4, "rp1-cfe-csi2_ch0", 0};

const MediaPipelineRule raspberryPi{nullptr, "quorvex-brevalith", nullptr};
const MediaPipelineRule raspberryPi5{"csi2", "quorvex-brevalith", &pi5ReceiverLink};
// The Radxa device tree names the module entity after its connector
// ("m00_b_brevalith 4-000c"), hence the shorter match.
const MediaPipelineRule radxaRock{"rockchip-csi2-dphy1", "brevalith", nullptr};

constexpr uint32_t kSingle = V4L2_BUF_TYPE_VIDEO_CAPTURE;
constexpr uint32_t kMulti = V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;

const CsiBoardProfile plainProfile{kSingle, true, V4L2_PIX_FMT_Y12, copyPlain, CsiDiscovery::None,
                                   nullptr, nullptr, 0};
const CsiBoardProfile jetsonTx1Profile{kSingle, true, V4L2_PIX_FMT_Y12, copyPlain, CsiDiscovery::SysfsName,
                                       nullptr, jetsonModuleName, 0};
// The Jetson receiver writes each line in 960-byte blocks and each sample
// four bits up.
const CsiBoardProfile jetsonProfile{kSingle, true, V4L2_PIX_FMT_Y12, copyBlock960, CsiDiscovery::SysfsName,
                                    nullptr, jetsonModuleName, 4};
const CsiBoardProfile raspberryPiProfile{kSingle, true, V4L2_PIX_FMT_Y12, copyPlain, CsiDiscovery::Media,
                                         &raspberryPi, nullptr, 0};
// The Pi 5 receiver writes the 12-bit samples packed.
const CsiBoardProfile raspberryPi5Profile{kSingle, true, V4L2_PIX_FMT_Y12P, unpackY12P, CsiDiscovery::Media,
                                          &raspberryPi5, nullptr, 0};
// The Radxa receiver only offers multi-planar buffers and its node has no
// inputs to choose from.
const CsiBoardProfile radxaRockProfile{kMulti, false, V4L2_PIX_FMT_Y12, copyPlain, CsiDiscovery::Media,
                                       &radxaRock, nullptr, 0};

} // namespace

const CsiBoardProfile& csiBoardProfile(BoardKind board)
{
    switch (board) {
    case BOARD_JETSON_TX1_NANO:
        return jetsonTx1Profile;
    case BOARD_JETSON:
        return jetsonProfile;
    case BOARD_RASPBERRY_PI:
        return raspberryPiProfile;
    case BOARD_RASPBERRY_PI_5:
        return raspberryPi5Profile;
    case BOARD_RADXA_ROCK:
        return radxaRockProfile;
    default:
        return plainProfile;
    }
}

const MediaPipelineRule* mediaPipelineRule(BoardKind board)
{
    return csiBoardProfile(board).media;
}

} // namespace Quorvex
