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

    // The module's modulation, for devices that decode phase themselves.
    // A range only means something once the module runs at it, and a
    // switch reaches the module's frames some time after it was asked for;
    // only the sensor sees both.
    //
    // Tunes the module for `rangeMm` of unambiguous range, in the module's
    // own terms; the module's refusal is returned. QuorvexNotImplemented:
    // this source has no say over any modulation.
    virtual TofErrorCode setModuleRange(int rangeMm)
    {
        (void)rangeMm;
        return QuorvexNotImplemented;
    }
    // Unambiguous range in mm (2000 or 4000) the module ran at while it
    // captured the frame the last successful getFrame() delivered; 0 when
    // the source cannot tell. Frames captured before a switch took effect
    // are never delivered, so this always belongs to the frame in hand.
    virtual int32_t frameRange() const { return 0; }
    // When the stamp of the frame the last successful getFrame() delivered
    // is already a time of the host's monotonic clock (the kernel stamps
    // capture buffers so): that time in nanoseconds, at the stamp's own
    // precision. -1 when the stamp is the module's own clock.
    virtual int64_t hostStampNs() const { return -1; }

    int32_t subFrameCount = 1;
};

} // namespace Quorvex
