#include "device/Si4cLibrary.h"

#include <mutex>

#include "sensor/VendorLibrary.h"

namespace Quorvex {

namespace {

struct Loaded {
    std::mutex lock;
    VendorLibrary library;
    Si4cLibrary table{};
    std::string inUse;
    bool ready = false;
};

Loaded& loaded()
{
    static Loaded l;
    return l;
}

} // namespace

const Si4cLibrary* Si4cLibrary::get()
{
    Loaded& l = loaded();
    std::lock_guard<std::mutex> guard(l.lock);
    if (l.ready)
        return &l.table;
    Si4cLibrary t{};
    const VendorLibrary::Symbol symbols[] = {
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
    const VendorLibraryRequest request{"libsi4c.so", "VGA depth engine", "SiSDKDebugGetState",
                                       "libquorvex-simulated", symbols, sizeof symbols / sizeof symbols[0]};
    // A failed load is tried again by the next open: the library may have
    // been installed meanwhile, and each failing open says why.
    if (!loadVendorLibrary(request, vendorChoiceFromEnvironment(), &l.library, &l.inUse))
        return nullptr;
    l.table = t;
    l.ready = true;
    return &l.table;
}

std::string Si4cLibrary::inUse()
{
    Loaded& l = loaded();
    std::lock_guard<std::mutex> guard(l.lock);
    return l.ready ? l.inUse : std::string();
}

} // namespace Quorvex
