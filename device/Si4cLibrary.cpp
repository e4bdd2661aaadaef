#include "device/Si4cLibrary.h"

#include <iterator>

namespace Quorvex {

template class VendorTable<Si4cLibrary>;

VendorLibraryRequest Si4cLibrary::request(Si4cLibrary& t)
{
    static const VendorLibrary::Symbol symbols[] = {
        {"SiSDKCreate", reinterpret_cast<void**>(&t.create)},
        {"SiSDKInit", reinterpret_cast<void**>(&t.init)},
        {"SiSDKSetCaliData", reinterpret_cast<void**>(&t.setCaliData)},
        {"SiSDKSetConfig", reinterpret_cast<void**>(&t.setConfig)},
        {"SiSDKStart", reinterpret_cast<void**>(&t.start)},
        {"SiSDKIsSingleFreq", reinterpret_cast<void**>(&t.isSingleFreq)},
        {"SiSDKSetSingleFreq", reinterpret_cast<void**>(&t.setSingleFreq)},
        {"SiSDKGetPhaseImage", reinterpret_cast<void**>(&t.getPhaseImage)},
        {"SiSDKDestroy", reinterpret_cast<void**>(&t.destroy)},
    };
    return {"libsi4c.so", "VGA depth engine", "SiSDKDebugGetState", "libquorvex-simulated", symbols,
            std::size(symbols)};
}

} // namespace Quorvex
