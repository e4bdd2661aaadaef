#pragma once

#include <string>

#include "vendor/libsi4c/si4c.h"

namespace Quorvex {

// The functions of libsi4c.so the VGA device calls, resolved at run time
// (see sensor/VendorLibrary.h for which build is chosen).
struct Si4cLibrary {
    decltype(&SiSDKCreate) create;
    decltype(&SiSDKInit) init;
    decltype(&SiSDKSetCaliData) setCaliData;
    decltype(&SiSDKSetConfig) setConfig;
    decltype(&SiSDKStart) start;
    decltype(&SiSDKIsSingleFreq) isSingleFreq;
    decltype(&SiSDKSetSingleFreq) setSingleFreq;
    decltype(&SiSDKGetPhaseImage) getPhaseImage;
    decltype(&SiSDKDestroy) destroy;

    // The process's table, loaded by the first call that succeeds and kept
    // to the end of the process; null (after a line on standard error) when
    // no usable library is found.
    static const Si4cLibrary* get();
    // "simulated", the vendor library's path, or "" before any load.
    static std::string inUse();
};

} // namespace Quorvex
