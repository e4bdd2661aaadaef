// Controls: the camera keeps the skip pattern and the tracking switch and
// bounds the frame rate; everything else belongs to the device.
#include "camera/QuorvexTOFCamera.h"

#include "device/QuorvexDevice.h"

namespace Quorvex {

TofErrorCode QuorvexTOFCamera::setControl(CameraCtrl ctrl, int value)
{
    switch (ctrl) {
    case CameraCtrl::SKIP_FRAME:
        skipFrame.store(value, std::memory_order_relaxed);
        return QuorvexSuccess;
    case CameraCtrl::SKIP_FRAME_LOOP:
        // The skip pattern divides by the loop length and by its low byte.
        if (value == 0 || (value & 0xff) == 0)
            return QuorvexInvalidParameter;
        skipFrameLoop.store(value, std::memory_order_relaxed);
        return QuorvexSuccess;
    case CameraCtrl::AUTO_FRAME_RATE:
        autoFrameRate.store(value != 0, std::memory_order_relaxed);
        return QuorvexSuccess;
    default:
        break;
    }

    if (!device)
        return QuorvexUnkownError;
    if (ctrl == CameraCtrl::FRAME_RATE) {
        // The bound moves with size, frequency mode and the rate last set,
        // so it is asked for at every call.
        int bound = 0;
        const TofErrorCode r = device->getControl(CameraCtrl::FRAME_RATE, &bound);
        if (r != QuorvexSuccess)
            return r;
        if (value <= 0 || value > bound)
            return QuorvexInvalidParameter;
    }
    return device->setControl(ctrl, value);
}

TofErrorCode QuorvexTOFCamera::getControl(CameraCtrl ctrl, int* value)
{
    if (!value)
        return QuorvexInvalidParameter;
    switch (ctrl) {
    case CameraCtrl::AUTO_FRAME_RATE:
        *value = autoFrameRate.load(std::memory_order_relaxed) ? 1 : 0;
        return QuorvexSuccess;
    // The camera applies the skip pattern itself; no sensor knows it.
    case CameraCtrl::SKIP_FRAME:
        *value = skipFrame.load(std::memory_order_relaxed);
        return QuorvexSuccess;
    case CameraCtrl::SKIP_FRAME_LOOP:
        *value = skipFrameLoop.load(std::memory_order_relaxed);
        return QuorvexSuccess;
    default:
        break;
    }
    if (!device)
        return QuorvexUnkownError;
    return device->getControl(ctrl, value);
}

TofErrorCode QuorvexTOFCamera::setControlExt(CameraCtrl ctrl, const char* value)
{
    if (!value)
        return QuorvexInvalidParameter;
    if (!device)
        return QuorvexUnkownError;
    return device->setControlExt(ctrl, value);
}

TofErrorCode QuorvexTOFCamera::getControlExt(CameraCtrl ctrl, const char** value)
{
    if (!value)
        return QuorvexInvalidParameter;
    if (!device)
        return QuorvexUnkownError;
    return device->getControlExt(ctrl, value);
}

CameraInfo QuorvexTOFCamera::getCameraInfo() const
{
    return info;
}

} // namespace Quorvex
