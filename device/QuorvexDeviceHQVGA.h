#pragma once

#include <atomic>
#include <cstdint>

#include "device/QuorvexDevice.h"

namespace Quorvex {

// Device of the 240 x 180 module: four phase sub-frames per raw frame,
// turned into depth and amplitude here with one modulation frequency chosen
// by the RANGE control. No library, configuration or calibration.
class QuorvexDeviceHQVGA final : public QuorvexDevice {
public:
    // Range 4000 mm at 37.5 MHz; samples are shifted right by 4 on
    // BOARD_JETSON (its receiver hands them over four bits up), else not at
    // all.
    explicit QuorvexDeviceHQVGA(BoardKind board);

    static constexpr int32_t kWidth = 240;
    static constexpr int32_t kHeight = 180;
    static constexpr int32_t kSubFrames = 4;

    int getVariantFlag() override;
    void getFrameFormats(FrameGeometry& raw, FrameGeometry& depth) override;
    TofErrorCode open(QuorvexTOFSensor* sensor, DeviceType type) override;
    TofErrorCode close() override;
    TofErrorCode setupSensor() override;
    TofErrorCode start() override;
    TofErrorCode stop() override;
    // RANGE goes to the module first (the sensor's refusal is returned and
    // nothing changes), then is stored. Every other control is refused with
    // QuorvexInvalidParameter.
    TofErrorCode setControl(CameraCtrl ctrl, int value) override;
    TofErrorCode setControlExt(CameraCtrl ctrl, const char* value) override;
    // RANGE is answered here; every other control by the sensor.
    TofErrorCode getControl(CameraCtrl ctrl, int* value) override;
    TofErrorCode getControlExt(CameraCtrl ctrl, const char** value) override;
    // `raw` holds the four phase planes (4 x 240 x 180 little-endian words,
    // 16-bit aligned); `out` receives 240 x 720 decoded samples.
    bool getRawImages(unsigned char* raw, short* out) override;
    // Same input; each output plane holds 240 x 180 floats. Decoded at the
    // range the sensor says the frame was captured at; at the stored range
    // for a sensor that cannot tell.
    bool getPhaseImage(unsigned char* raw, float* depth, float* amplitude,
                       float* confidence) override;

private:
    // Range and modulation frequency change together under setControl while
    // the capture thread converts frames, so they live in one word and a
    // frame reads them once: range in the low half, the frequency's float
    // bits in the high half. 64-bit atomics are lock-free on armv7-a
    // (ldrexd/strexd) and still correct where they are not.
    static uint64_t pack(int32_t range, float frequency);
    static int32_t rangeOf(uint64_t mode);
    static float frequencyOf(uint64_t mode);

    std::atomic<uint64_t> mode;
    const uint8_t sampleShift;
};

} // namespace Quorvex
