#pragma once

#include <string>

#include "vendor/libquorvex_evk_sdk/quorvex_evk_sdk.h"

namespace Quorvex {

// The functions of libquorvex_evk_sdk.so the USB sensor calls, resolved at
// run time (see VendorLibrary.h for which build is chosen).
struct EvkLibrary {
    decltype(&QuorvexDefaultParam) defaultParam;
    decltype(&QuorvexOpenCamera) openCamera;
    decltype(&QuorvexInitCamera) initCamera;
    decltype(&QuorvexGetCameraConfig) getCameraConfig;
    decltype(&QuorvexStartCamera) startCamera;
    decltype(&QuorvexStopCamera) stopCamera;
    decltype(&QuorvexCloseCamera) closeCamera;
    decltype(&QuorvexCaptureImage) captureImage;
    decltype(&QuorvexFreeImage) freeImage;
    decltype(&QuorvexWriteSensorReg) writeSensorReg;

    // The process's table, loaded by the first call that succeeds and kept
    // to the end of the process; null (after a line on standard error) when
    // no usable library is found.
    static const EvkLibrary* get();
    // "simulated", the vendor library's path, or "" before any load.
    static std::string inUse();
};

} // namespace Quorvex
