#include "sensor/VendorLibrary.h"

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <link.h>
#include <utility>

namespace Quorvex {

VendorChoice vendorChoiceFromEnvironment(std::string* text)
{
    const char* value = std::getenv("QUORVEX_SIMULATED");
    if (text)
        *text = value ? value : "";
    if (!value || !*value)
        return VendorChoice::Default;
    const std::string v(value);
    if (v == "1")
        return VendorChoice::Simulated;
    if (v == "0")
        return VendorChoice::Vendor;
    return VendorChoice::Invalid;
}

std::string simulatedLibraryFolder()
{
    // Any function of the core names the file it lives in, wherever a
    // wheel, a package or a build tree put it.
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&simulatedLibraryFolder), &info) || !info.dli_fname)
        return std::string();
    std::string core(info.dli_fname);
    const size_t slash = core.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string(".") : core.substr(0, slash);
    return dir + "/quorvex/simulated/";
}

VendorLibrary::~VendorLibrary()
{
    reset();
}

VendorLibrary::VendorLibrary(VendorLibrary&& other) noexcept
    : handle(other.handle), mappedPath(std::move(other.mappedPath))
{
    other.handle = nullptr;
}

VendorLibrary& VendorLibrary::operator=(VendorLibrary&& other) noexcept
{
    if (this != &other) {
        reset();
        handle = other.handle;
        mappedPath = std::move(other.mappedPath);
        other.handle = nullptr;
    }
    return *this;
}

void VendorLibrary::reset()
{
    if (handle)
        dlclose(handle);
    handle = nullptr;
    mappedPath.clear();
}

bool VendorLibrary::open(const std::string& file, const Symbol* symbols, size_t count, bool* found,
                         std::string* message)
{
    reset();
    *found = false;
    dlerror();
    // Local binding: a vendor's symbols must not become the answer to
    // lookups of other libraries of the process.
    void* opened = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!opened) {
        const char* why = dlerror();
        *message = why ? why : file + ": cannot be opened";
        return false;
    }
    *found = true;
    std::string mapped = file;
    struct link_map* map = nullptr;
    if (dlinfo(opened, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name && *map->l_name)
        mapped = map->l_name;
    for (size_t i = 0; i < count; ++i) {
        dlerror();
        void* address = dlsym(opened, symbols[i].name);
        if (!address) {
            *message = mapped + " lacks " + symbols[i].name;
            dlclose(opened);
            return false;
        }
        *symbols[i].address = address;
    }
    handle = opened;
    mappedPath = mapped;
    return true;
}

void* VendorLibrary::find(const char* name) const
{
    return handle ? dlsym(handle, name) : nullptr;
}

bool loadVendorLibrary(const VendorLibraryRequest& r, VendorChoice choice, const std::string& standInFolder,
                       VendorLibrary* library, std::string* inUse)
{
    bool found = false;
    std::string message;
    if (choice == VendorChoice::Invalid) {
        std::string text;
        vendorChoiceFromEnvironment(&text);
        std::fprintf(stderr, "QUORVEX_SIMULATED is '%s': use 1 (simulated %s) or 0 (vendor's %s only)\n",
                     text.c_str(), r.moduleName, r.soname);
        return false;
    }
    if (choice != VendorChoice::Simulated) {
        if (library->open(r.soname, r.symbols, r.count, &found, &message)) {
            // A build tree or a program linked against the stand-in has it
            // loaded under the vendor's soname already.
            if (library->find(r.standInMark)) {
                if (choice == VendorChoice::Vendor) {
                    std::fprintf(stderr, "%s is the simulated %s (QUORVEX_SIMULATED=0 asks for the vendor's)\n",
                                 library->path().c_str(), r.moduleName);
                    library->reset();
                    return false;
                }
                *inUse = "simulated";
                std::fprintf(stderr, "using the simulated %s: %s\n", r.moduleName, library->path().c_str());
            } else {
                *inUse = library->path();
                std::fprintf(stderr, "using the %s library %s\n", r.moduleName, library->path().c_str());
            }
            return true;
        }
        if (found) {
            std::fprintf(stderr, "%s\n", message.c_str());
            return false;
        }
        if (choice == VendorChoice::Vendor) {
            std::fprintf(stderr, "no %s on this system (QUORVEX_SIMULATED=0): install the vendor's %s library\n",
                         r.soname, r.moduleName);
            return false;
        }
    }
    const std::string soname(r.soname);
    const std::string standIn = standInFolder + soname.substr(soname.rfind('/') + 1);
    if (!library->open(standIn, r.symbols, r.count, &found, &message)) {
        if (found)
            std::fprintf(stderr, "%s\n", message.c_str());
        else if (choice == VendorChoice::Simulated)
            std::fprintf(stderr, "no simulated %s (%s): install %s\n", r.moduleName, standIn.c_str(), r.packageHint);
        else
            std::fprintf(stderr, "no %s on this system and no simulated %s: install the vendor's library or %s\n",
                         r.soname, r.moduleName, r.packageHint);
        return false;
    }
    *inUse = "simulated";
    if (choice == VendorChoice::Simulated)
        std::fprintf(stderr, "using the simulated %s: QUORVEX_SIMULATED=1\n", r.moduleName);
    else
        std::fprintf(stderr, "using the simulated %s: no %s on this system\n", r.moduleName, r.soname);
    return true;
}

SharedVendorLibrary::SharedVendorLibrary(const VendorLibraryRequest& r, std::string standInFolder)
    : request(r), folder(std::move(standInFolder))
{
}

bool SharedVendorLibrary::load()
{
    std::lock_guard<std::mutex> guard(lock);
    if (!ready)
        ready = loadVendorLibrary(request, vendorChoiceFromEnvironment(), folder, &library, &used);
    return ready;
}

std::string SharedVendorLibrary::inUse() const
{
    std::lock_guard<std::mutex> guard(lock);
    return ready ? used : std::string();
}

} // namespace Quorvex
