#include "device/QuorvexDeviceHQVGA.h"

#include <cstring>

#include "device/PhaseToDepth.h"
#include "sensor/CsiBoardRules.h"
#include "sensor/ModuleRange.h"
#include "sensor/QuorvexTOFSensor.h"

namespace Quorvex {

namespace {

constexpr float kNearFrequency = 75000000.0f;
constexpr float kFarFrequency = 37500000.0f;
constexpr size_t kPixels = QuorvexDeviceHQVGA::kWidth * QuorvexDeviceHQVGA::kHeight;

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "raw frames hold little-endian words and are read in place");

} // namespace

QuorvexDeviceHQVGA::QuorvexDeviceHQVGA(BoardKind board)
    : QuorvexDevice(board),
      mode(pack(kFarRangeMm, kFarFrequency)),
      sampleShift(csiBoardProfile(board).sampleShift)
{
}

uint64_t QuorvexDeviceHQVGA::pack(int32_t range, float frequency)
{
    uint32_t bits;
    std::memcpy(&bits, &frequency, sizeof bits);
    return (static_cast<uint64_t>(bits) << 32) | static_cast<uint32_t>(range);
}

int32_t QuorvexDeviceHQVGA::rangeOf(uint64_t mode)
{
    return static_cast<int32_t>(static_cast<uint32_t>(mode));
}

float QuorvexDeviceHQVGA::frequencyOf(uint64_t mode)
{
    const uint32_t bits = static_cast<uint32_t>(mode >> 32);
    float frequency;
    std::memcpy(&frequency, &bits, sizeof frequency);
    return frequency;
}

int QuorvexDeviceHQVGA::getVariantFlag()
{
    return 1;
}

void QuorvexDeviceHQVGA::getFrameFormats(FrameGeometry& raw, FrameGeometry& depth)
{
    raw.pixelBytes = 2;
    raw.width = kWidth;
    raw.height = kHeight * kSubFrames;
    depth.pixelBytes = 2;
    depth.width = kWidth;
    depth.height = kHeight;
}

TofErrorCode QuorvexDeviceHQVGA::open(QuorvexTOFSensor* s, DeviceType)
{
    sensor = s;
    return QuorvexSuccess;
}

TofErrorCode QuorvexDeviceHQVGA::close()
{
    return QuorvexSuccess;
}

TofErrorCode QuorvexDeviceHQVGA::setupSensor()
{
    return QuorvexSuccess;
}

TofErrorCode QuorvexDeviceHQVGA::start()
{
    return QuorvexSuccess;
}

TofErrorCode QuorvexDeviceHQVGA::stop()
{
    return QuorvexSuccess;
}

TofErrorCode QuorvexDeviceHQVGA::setControl(CameraCtrl ctrl, int value)
{
    if (ctrl != CameraCtrl::RANGE)
        return QuorvexInvalidParameter;
    // The module has to run at the range before depth can be decoded at
    // it. A module that refuses keeps its modulation, and so does the
    // decoding, which follows each frame's own (see getPhaseImage).
    bool moduleTold = false;
    if (sensor) {
        const TofErrorCode r = sensor->setModuleRange(value);
        if (r != QuorvexSuccess && r != QuorvexNotImplemented)
            return r;
        moduleTold = r == QuorvexSuccess;
    }
    uint64_t current = mode.load();
    uint64_t next;
    do {
        float frequency = frequencyOf(current);
        if (value == kNearRangeMm)
            frequency = kNearFrequency;
        else if (value == kFarRangeMm || moduleTold)
            frequency = kFarFrequency; // a module told any other range runs far
        next = pack(value, frequency);
    } while (!mode.compare_exchange_weak(current, next));
    return QuorvexSuccess;
}

TofErrorCode QuorvexDeviceHQVGA::setControlExt(CameraCtrl, const char*)
{
    return QuorvexInvalidParameter;
}

TofErrorCode QuorvexDeviceHQVGA::getControl(CameraCtrl ctrl, int* value)
{
    if (ctrl == CameraCtrl::RANGE) {
        *value = rangeOf(mode.load());
        return QuorvexSuccess;
    }
    // Without a sensor there is nobody to answer: refuse rather than crash.
    if (!sensor)
        return QuorvexInvalidParameter;
    return sensor->getControl(ctrl, value);
}

TofErrorCode QuorvexDeviceHQVGA::getControlExt(CameraCtrl, const char**)
{
    return QuorvexInvalidParameter;
}

bool QuorvexDeviceHQVGA::getRawImages(unsigned char* raw, short* out)
{
    repackPhasePlanes(reinterpret_cast<const uint16_t*>(raw), out, kWidth, kHeight, kSubFrames,
                      sampleShift);
    return true;
}

bool QuorvexDeviceHQVGA::getPhaseImage(unsigned char* raw, float* depth, float* amplitude,
                                       float* confidence)
{
    // The frame is decoded at the modulation it was captured with, which the
    // sensor knows; the stored range speaks only for sources that cannot
    // tell. One read per frame: pairing and frequency always belong
    // together even when RANGE changes while the frame is converted.
    const int32_t captured = sensor ? sensor->frameRange() : 0;
    bool near;
    float frequency;
    if (captured != 0) {
        near = captured == kNearRangeMm;
        frequency = near ? kNearFrequency : kFarFrequency;
    } else {
        const uint64_t current = mode.load();
        near = rangeOf(current) == kNearRangeMm;
        frequency = frequencyOf(current);
    }
    phaseToDepth(reinterpret_cast<const uint16_t*>(raw), depth, amplitude, confidence, kPixels,
                 sampleShift, near, frequency);
    return true;
}

} // namespace Quorvex
