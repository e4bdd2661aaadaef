#pragma once

#include <cstdint>

namespace Quorvex {

// Result of every fallible operation. Values cross the library boundary and
// the Python binding unchanged, so they must never be renumbered.
enum TofErrorCode : int32_t {
    QuorvexSuccess = 0,
    QuorvexInvalidParameter = 1,
    QuorvexNoCache = 2,
    QuorvexUnkownDevice = 3,
    QuorvexNotImplemented = 4,
    // Internal verdict of the capture path for a frame dropped by the skip
    // pattern; never returned to a caller of the camera.
    QuorvexSkipFrame = 240,
    QuorvexSystemError = -2,
    QuorvexUnkownError = -1,
};

enum class Connection : int {
    CSI = 0,
    USB = 1,
};

enum DeviceType : uint32_t {
    VGA = 0,
    HQVGA = 1,
};

enum class FrameType : int {
    RAW = 0,
    CONFIDENCE = 1,
    DEPTH = 2,
    AMPLITUDE = 3,
    CACHE = 4,
};

enum class CameraCtrl : int {
    RANGE = 0,
    FMT_WIDTH = 1,
    FMT_HEIGHT = 2,
    MODE = 3,
    FRAME_MODE = 4,
    EXPOSURE = 5,
    FRAME_RATE = 6,
    SKIP_FRAME = 7,
    SKIP_FRAME_LOOP = 8,
    AUTO_FRAME_RATE = 9,
    CONFIG_DIR_EXT = 256,
};

enum class TofWorkMode : int {
    SINGLE_FREQ = 0,
    DOUBLE_FREQ = 1,
    TRIPLE_FREQ = 2,
    QUAD_FREQ = 3,
    DISTANCE = 4,
    HDR = 5,
    AE = 6,
    BG_OUTDOOR = 7,
    GRAY_ONLY = 8,
    CUSTOM1 = 9,
    CUSTOM2 = 10,
    CUSTOM3 = 11,
};

enum class TofFrameWorkMode : int {
    SINGLE_FREQ_2PHASE = 0,
    SINGLE_FREQ_4PHASE = 1,
    SINGLE_FREQ_4PHASE_GRAY = 2,
    SINGLE_FREQ_4PHASE_BG = 3,
    SINGLE_FREQ_4PHASE_4BG = 4,
    SINGLE_FREQ_4PHASE_GRAY_5BG = 5,
    SINGLE_FREQ_GRAY_BG_4PHASE_GRAY_BG = 6,
    SINGLE_FREQ_GRAY_BG_4PHASE_BG = 7,
    SINGLE_FREQ_BG_GRAY_BG_4PHASE = 8,
    SINGLE_FREQ_BG_4PHASE_BG_GRAY = 9,
    DOUBLE_FREQ_4PHASE = 10,
    DOUBLE_FREQ_4PHASE_GRAY_4PHASE_BG = 11,
    DOUBLE_FREQ_4PHASE_4BG = 12,
    DOUBLE_FREQ_4PHASE_GRAY_5BG = 13,
    TRIPLE_FREQ_4PHASE = 14,
    TRIPLE_FREQ_4PHASE_GRAY_4PHASE_GRAY_4PHASE_BG = 15,
    QUAD_FREQ_4PHASE = 16,
    QUAD_FREQ_4PHASE_GRAY_4PHASE_BG_4PHASE_GRAY_4PHASE_BG = 17,
    BG_OUTDOOR = 18,
    GRAY_ONLY = 19,
    CUSTOM = 20,
};

// Description of an opened camera. The sensor's open fills the size fields
// of the camera's own record.
struct CameraInfo {
    uint32_t index;
    Connection connect;
    DeviceType device_type;
    FrameType type;
    uint32_t width;
    uint32_t height;
    uint32_t bit_width;
    uint32_t bpp;
};

// Description of one plane of one frame.
struct FrameDataFormat {
    uint32_t width;
    uint32_t height;
    FrameType type;
    uint64_t timestamp;
};

// Geometry a device reports for the raw and the depth frame of a stream.
struct FrameGeometry {
    int32_t pixelBytes;
    int32_t width;
    int32_t height;
};

// Static message text for a result code; "Unknown error" for any value
// without a text of its own.
const char* to_str(TofErrorCode code);

} // namespace Quorvex
