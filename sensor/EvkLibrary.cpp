#include "sensor/EvkLibrary.h"

#include <iterator>

namespace Quorvex {

template class VendorTable<EvkLibrary>;

VendorLibraryRequest EvkLibrary::request(EvkLibrary& t)
{
    static const VendorLibrary::Symbol symbols[] = {
        {"QuorvexDefaultParam", reinterpret_cast<void**>(&t.defaultParam)},
        {"QuorvexOpenCamera", reinterpret_cast<void**>(&t.openCamera)},
        {"QuorvexInitCamera", reinterpret_cast<void**>(&t.initCamera)},
        {"QuorvexGetCameraConfig", reinterpret_cast<void**>(&t.getCameraConfig)},
        {"QuorvexStartCamera", reinterpret_cast<void**>(&t.startCamera)},
        {"QuorvexStopCamera", reinterpret_cast<void**>(&t.stopCamera)},
        {"QuorvexCloseCamera", reinterpret_cast<void**>(&t.closeCamera)},
        {"QuorvexCaptureImage", reinterpret_cast<void**>(&t.captureImage)},
        {"QuorvexFreeImage", reinterpret_cast<void**>(&t.freeImage)},
        {"QuorvexWriteSensorReg", reinterpret_cast<void**>(&t.writeSensorReg)},
    };
    return {"libquorvex_evk_sdk.so", "USB module", "QuorvexDebugGetState", "libquorvex-simulated", symbols,
            std::size(symbols)};
}

} // namespace Quorvex
