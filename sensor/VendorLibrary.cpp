#include "sensor/VendorLibrary.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "sensor/UniqueFd.h"

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

namespace {

thread_local ScopedVendorChoice* innermostChoice = nullptr;

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The file of that name on LD_LIBRARY_PATH, the first place the dynamic
// linker looks: checked before it is mapped, and named where the linker's
// message names only the soname (a search that met only files of the other
// ELF class). Empty when none is there.
std::string onLibraryPath(const std::string& soname)
{
    const char* path = std::getenv("LD_LIBRARY_PATH");
    if (!path || soname.find('/') != std::string::npos)
        return std::string();
    const std::string dirs(path);
    size_t begin = 0;
    while (begin <= dirs.size()) {
        size_t end = dirs.find_first_of(":;", begin);
        if (end == std::string::npos)
            end = dirs.size();
        if (end > begin) {
            const std::string candidate = dirs.substr(begin, end - begin) + "/" + soname;
            struct stat st {};
            if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode))
                return candidate;
        }
        begin = end + 1;
    }
    return std::string();
}

constexpr unsigned char kNativeClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;

bool readAt(int fd, void* out, size_t size, uint64_t offset)
{
    return pread(fd, out, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
}

// Why `path` is a library of this process's kind whose segments reach past
// its end (a copy or download cut short), or "" when it is not. The dynamic
// linker maps such a file and dies on a bus error as it reads the missing
// part, where every other fault of a file makes dlopen fail with a reason.
std::string cutShort(const std::string& path)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd.isValid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::string();
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    ElfW(Ehdr) header{};
    if (!readAt(fd.get(), &header, sizeof header, 0) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != kNativeClass || header.e_phentsize != sizeof(ElfW(Phdr)))
        return std::string(); // not one the linker would map: it says why itself
    uint64_t needed = header.e_phoff + uint64_t{header.e_phnum} * sizeof(ElfW(Phdr));
    for (unsigned i = 0; i < header.e_phnum && needed <= size; ++i) {
        ElfW(Phdr) segment{};
        if (!readAt(fd.get(), &segment, sizeof segment, header.e_phoff + uint64_t{i} * sizeof segment))
            return std::string();
        if (segment.p_type == PT_LOAD || segment.p_type == PT_DYNAMIC)
            needed = std::max<uint64_t>(needed, uint64_t{segment.p_offset} + segment.p_filesz);
    }
    if (needed <= size)
        return std::string();
    return "file cut short (" + std::to_string(size) + " bytes, its segments reach " + std::to_string(needed) +
           ")";
}

} // namespace

ScopedVendorChoice::ScopedVendorChoice(VendorChoice choice, std::string label)
    : chosen(choice), name(std::move(label)), outer(innermostChoice)
{
    innermostChoice = this;
}

ScopedVendorChoice::~ScopedVendorChoice()
{
    innermostChoice = outer;
}

ScopedVendorChoice* ScopedVendorChoice::current()
{
    return innermostChoice;
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
    const std::string candidate = file.find('/') != std::string::npos ? file : onLibraryPath(file);
    const std::string shortBy = candidate.empty() ? std::string() : cutShort(candidate);
    if (!shortBy.empty()) {
        *found = true;
        *message = "cannot load " + candidate + ": " + shortBy;
        return false;
    }
    // Local binding: a vendor's symbols must not become the answer to
    // lookups of other libraries of the process.
    void* opened = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!opened) {
        const char* error = dlerror();
        const std::string why = error ? error : file + ": cannot be opened";
        // Only "no such file" about the very name asked for means absent;
        // anything else (not an ELF file, cut short, the other ELF class, a
        // dependency missing) is a file that is there and cannot be used,
        // which no fallback may hide.
        *found = !(startsWith(why, file + ": ") && endsWith(why, std::strerror(ENOENT)));
        if (!*found) {
            *message = why;
            return false;
        }
        // The loader names the file it rejected, or only a dependency's.
        const std::string base = file.substr(file.rfind('/') + 1);
        const std::string named = why.substr(0, why.find(": "));
        *message = "cannot load " + (endsWith(named, base) ? why : file + ": " + why);
        if (named.find('/') == std::string::npos) {
            const std::string located = onLibraryPath(file);
            if (!located.empty())
                *message += " (" + located + ")";
        }
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
                       VendorLibrary* library, VendorLibraryUse* use, const std::string& chosenBy)
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
    const std::string by = !chosenBy.empty()                 ? chosenBy
                           : choice == VendorChoice::Vendor    ? std::string("QUORVEX_SIMULATED=0")
                           : choice == VendorChoice::Simulated ? std::string("QUORVEX_SIMULATED=1")
                                                               : std::string();
    if (choice != VendorChoice::Simulated) {
        if (library->open(r.soname, r.symbols, r.count, &found, &message)) {
            // A build tree or a program linked against the stand-in has it
            // loaded under the vendor's soname already.
            if (library->find(r.standInMark)) {
                if (choice == VendorChoice::Vendor) {
                    std::fprintf(stderr, "%s is the simulated %s (%s asks for the vendor's)\n",
                                 library->path().c_str(), r.moduleName, by.c_str());
                    library->reset();
                    return false;
                }
                *use = {"simulated", "the system's search found it as " + std::string(r.soname)};
                std::fprintf(stderr, "using the simulated %s: %s\n", r.moduleName, library->path().c_str());
            } else {
                *use = {library->path(), choice == VendorChoice::Vendor ? by : "the system's search found it"};
                std::fprintf(stderr, "using the %s library %s\n", r.moduleName, library->path().c_str());
            }
            return true;
        }
        if (found) {
            std::fprintf(stderr, "%s\n", message.c_str());
            return false;
        }
        if (choice == VendorChoice::Vendor) {
            std::fprintf(stderr, "no %s on this system (%s): install the vendor's %s library\n", r.soname,
                         by.c_str(), r.moduleName);
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
    *use = {"simulated", choice == VendorChoice::Simulated ? by : "no " + soname + " on this system"};
    std::fprintf(stderr, "using the simulated %s: %s\n", r.moduleName, use->why.c_str());
    return true;
}

SharedVendorLibrary::SharedVendorLibrary(const VendorLibraryRequest& r, std::string standInFolder)
    : request(r), folder(std::move(standInFolder))
{
}

bool SharedVendorLibrary::load()
{
    std::lock_guard<std::mutex> guard(lock);
    ScopedVendorChoice* scoped = ScopedVendorChoice::current();
    if (!ready) {
        if (scoped)
            ready = loadVendorLibrary(request, scoped->choice(), folder, &library, &used, scoped->label());
        else
            ready = loadVendorLibrary(request, vendorChoiceFromEnvironment(), folder, &library, &used);
        return ready;
    }
    if (!scoped)
        return true;
    // The library loaded first serves every camera of the process: a camera
    // asked to be the other kind would silently not be.
    const bool simulated = used.inUse == "simulated";
    const bool wantsSimulated = scoped->choice() == VendorChoice::Simulated;
    if (scoped->choice() == VendorChoice::Default || simulated == wantsSimulated)
        return true;
    const std::string loaded = simulated ? "the simulated " + std::string(request.moduleName)
                                         : "the " + std::string(request.moduleName) + " library " + used.inUse;
    scoped->refuse(scoped->label() + " asks for " +
                   (wantsSimulated ? "the simulated " + std::string(request.moduleName)
                                   : "the vendor's " + std::string(request.moduleName) + " library") +
                   ", but this process already uses " + loaded + " (" + used.why +
                   "), which stays loaded until the process ends: open this camera in a new process");
    return false;
}

std::string SharedVendorLibrary::inUse() const
{
    std::lock_guard<std::mutex> guard(lock);
    return ready ? used.inUse : std::string();
}

} // namespace Quorvex
