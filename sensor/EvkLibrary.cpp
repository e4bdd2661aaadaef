#include "sensor/EvkLibrary.h"

#include <mutex>

#include "sensor/VendorLibrary.h"

namespace Quorvex {

namespace {

struct Loaded {
    std::mutex lock;
    VendorLibrary library;
    EvkLibrary table{};
    std::string inUse;
    bool ready = false;
};

Loaded& loaded()
{
    static Loaded l;
    return l;
}

} // namespace

const EvkLibrary* EvkLibrary::get()
{
    Loaded& l = loaded();
    std::lock_guard<std::mutex> guard(l.lock);
    if (l.ready)
        return &l.table;
    EvkLibrary t{};
    const VendorLibrary::Symbol symbols[] = {
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
    const VendorLibraryRequest request{"libquorvex_evk_sdk.so", "USB module", "QuorvexDebugGetState",
                                       "libquorvex-simulated", symbols, sizeof symbols / sizeof symbols[0]};
    // A failed load is tried again by the next open: the library may have
    // been installed meanwhile, and each failing open says why.
    if (!loadVendorLibrary(request, vendorChoiceFromEnvironment(), &l.library, &l.inUse))
        return nullptr;
    l.table = t;
    l.ready = true;
    return &l.table;
}

std::string EvkLibrary::inUse()
{
    Loaded& l = loaded();
    std::lock_guard<std::mutex> guard(l.lock);
    return l.ready ? l.inUse : std::string();
}

} // namespace Quorvex
