#pragma once

#include "sensor/VendorLibrary.h"
#include "vendor/libsi4c/si4c.h"

namespace Quorvex {

// The functions of libsi4c.so the VGA device calls, resolved at run time
// (see sensor/VendorLibrary.h for which build is chosen).
struct Si4cLibrary : VendorTable<Si4cLibrary> {
    decltype(&SiSDKCreate) create;
    decltype(&SiSDKInit) init;
    decltype(&SiSDKSetCaliData) setCaliData;
    decltype(&SiSDKSetConfig) setConfig;
    decltype(&SiSDKStart) start;
    decltype(&SiSDKIsSingleFreq) isSingleFreq;
    decltype(&SiSDKSetSingleFreq) setSingleFreq;
    decltype(&SiSDKGetPhaseImage) getPhaseImage;
    decltype(&SiSDKDestroy) destroy;

    static VendorLibraryRequest request(Si4cLibrary& table);
};

extern template class VendorTable<Si4cLibrary>;

} // namespace Quorvex
