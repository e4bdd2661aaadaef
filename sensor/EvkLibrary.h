#pragma once

#include "sensor/VendorLibrary.h"
#include "vendor/libquorvex_evk_sdk/quorvex_evk_sdk.h"

namespace Quorvex {

// The functions of libquorvex_evk_sdk.so the USB sensor calls, resolved at
// run time (see VendorLibrary.h for which build is chosen).
struct EvkLibrary : VendorTable<EvkLibrary> {
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

    static VendorLibraryRequest request(EvkLibrary& table);
};

extern template class VendorTable<EvkLibrary>;

} // namespace Quorvex
