#pragma once

#include <cstdint>

#include "sensor/BoardKind.h"
#include "sensor/CsiConverters.h"
#include "sensor/MediaDiscovery.h"

namespace Quorvex {

// How a CSI module is found on a board.
enum class CsiDiscovery : uint8_t {
    None,      // the capture node alone; no bus, no sub-device
    Media,     // walk the media graph by `media`
    SysfsName, // the bus from the capture node's sysfs name, after `sysfsModuleName`
};

// Everything a CSI sensor does differently per host board.
struct CsiBoardProfile {
    // V4L2 buffer type of the capture node (single- or multi-planar).
    uint32_t bufferType;
    // Whether the capture node has inputs to choose from (VIDIOC_S_INPUT).
    bool selectsInput;
    // Pixel format set on a single-planar node; multi-planar nodes take Y12.
    uint32_t pixelFormat;
    // How a buffer becomes sub-frame samples (a 512-byte line stride
    // overrides it, whatever the board).
    CsiConverter converter;
    CsiDiscovery discovery;
    const MediaPipelineRule* media;
    const char* sysfsModuleName;
    // Bits the receiver moves each 12-bit sample up; the devices shift them
    // back when they decode.
    unsigned sampleShift;
};

// The profile of `board`; unknown boards get the plain capture-node one.
const CsiBoardProfile& csiBoardProfile(BoardKind board);

// The entity names each media-controller board's pipeline is found by; null
// for boards that do not use media discovery.
const MediaPipelineRule* mediaPipelineRule(BoardKind board);

// Text the Jetson capture node's sysfs name holds before the bus number.
extern const char* const jetsonModuleName;

} // namespace Quorvex
