#pragma once

#include <cstdint>

#include "camera/TofTypes.h"
#include "sensor/BoardKind.h"

namespace Quorvex {

class QuorvexTOFSensor;

// Per-variant processing stage: knows the raw geometry of its module,
// configures the sensor for it, answers the variant's controls and turns a
// raw frame into a RAW or DEPTH frame. Never owns the sensor.
class QuorvexDevice {
public:
    explicit QuorvexDevice(BoardKind board) : boardKind(board) {}
    virtual ~QuorvexDevice() = default;

    // 0 on VGA, 1 on HQVGA.
    virtual int getVariantFlag() = 0;
    // Fills the geometry of the raw frame and of the depth planes.
    virtual void getFrameFormats(FrameGeometry& raw, FrameGeometry& depth) = 0;
    virtual TofErrorCode open(QuorvexTOFSensor* sensor, DeviceType type) = 0;
    virtual TofErrorCode close() = 0;
    virtual TofErrorCode setupSensor() = 0;
    virtual TofErrorCode start() = 0;
    virtual TofErrorCode stop() = 0;
    virtual TofErrorCode setControl(CameraCtrl ctrl, int value) = 0;
    virtual TofErrorCode setControlExt(CameraCtrl ctrl, const char* value) = 0;
    virtual TofErrorCode getControl(CameraCtrl ctrl, int* value) = 0;
    virtual TofErrorCode getControlExt(CameraCtrl ctrl, const char** value) = 0;
    // Converts one whole raw frame (all sub-frames) into the RAW plane.
    virtual bool getRawImages(unsigned char* raw, short* out) = 0;
    // Converts one whole raw frame into the three float planes.
    virtual bool getPhaseImage(unsigned char* raw, float* depth, float* amplitude,
                               float* confidence) = 0;

protected:
    BoardKind boardKind;
    QuorvexTOFSensor* sensor = nullptr; // not owned
};

} // namespace Quorvex
