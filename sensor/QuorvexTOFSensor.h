#pragma once

#include <cstdint>

#include "camera/TofTypes.h"

namespace Quorvex {

// Raw frame source of a camera. One getFrame() delivers `subFrameCount`
// sub-frames of width x height 16-bit samples back to back. The destructor
// releases memory only: the owner calls close() first.
class QuorvexTOFSensor {
public:
    virtual ~QuorvexTOFSensor() = default;

    // Opens the module; on success fills info's size fields and keeps a copy.
    virtual TofErrorCode open(CameraInfo& info) = 0;
    virtual TofErrorCode close() = 0;
    virtual TofErrorCode start() = 0;
    virtual TofErrorCode stop() = 0;
    // The sensor's copy of the camera record (current streaming size).
    virtual CameraInfo getCameraInfo() = 0;
    // Reads one whole frame into dst; writes its capture time.
    virtual TofErrorCode getFrame(uint8_t* dst, int64_t* timestamp) = 0;
    virtual TofErrorCode setControl(CameraCtrl ctrl, int value) = 0;
    virtual TofErrorCode getControl(CameraCtrl ctrl, int* value) = 0;

    int32_t subFrameCount = 1;
};

} // namespace Quorvex
