#pragma once

#include <cstddef>
#include <mutex>
#include <string>

namespace Quorvex {

// Owner of a closed vendor library opened at run time, and the rule that
// chooses between a vendor's build and the stand-in shipped with the driver.
//
// A board may carry the vendor's library, the stand-in, both or neither; the
// core links neither, so a missing library fails one camera's open with a
// message instead of the whole program's start.

// How the caller asked to choose (environment variable QUORVEX_SIMULATED).
enum class VendorChoice {
    Default,   // the vendor's library found by the system's search, else the stand-in
    Simulated, // the stand-in only ("1")
    Vendor,    // the vendor's library only, failing when absent ("0")
    Invalid,   // anything else: refused, never guessed
};

// Reads QUORVEX_SIMULATED on every call; `text` receives the value read.
VendorChoice vendorChoiceFromEnvironment(std::string* text = nullptr);

// A choice a program makes for the cameras its thread opens while this
// object lives, in place of QUORVEX_SIMULATED (the environment is the
// process's, shared by every thread and library of it). `label` names the
// choice in notices and refusals, e.g. "simulated=True". A library stays
// loaded for the life of the process, so a choice that contradicts the one
// already loaded fails the open; `refusal()` then says why.
class ScopedVendorChoice {
public:
    ScopedVendorChoice(VendorChoice choice, std::string label);
    ~ScopedVendorChoice();
    ScopedVendorChoice(const ScopedVendorChoice&) = delete;
    ScopedVendorChoice& operator=(const ScopedVendorChoice&) = delete;

    VendorChoice choice() const { return chosen; }
    const std::string& label() const { return name; }
    const std::string& refusal() const { return refused; }
    void refuse(const std::string& why) { refused = why; }

    // The innermost choice of the calling thread, or null.
    static ScopedVendorChoice* current();

private:
    const VendorChoice chosen;
    const std::string name;
    std::string refused;
    ScopedVendorChoice* outer;
};

// Folder of the stand-ins: "quorvex/simulated/" beside the core library
// itself, never on any search path (else the system's search would find the
// stand-in before a vendor's build). Ends with '/'; empty if unknown.
std::string simulatedLibraryFolder();

class VendorLibrary {
public:
    struct Symbol {
        const char* name;
        void** address; // receives the resolved address
    };

    VendorLibrary() = default;
    ~VendorLibrary();
    VendorLibrary(const VendorLibrary&) = delete;
    VendorLibrary& operator=(const VendorLibrary&) = delete;
    VendorLibrary(VendorLibrary&& other) noexcept;
    VendorLibrary& operator=(VendorLibrary&& other) noexcept;

    // Opens `file` (a soname, searched the system's way, or a path) and
    // resolves every symbol of the list. Returns false and leaves nothing
    // open when the file is absent (`*found` false), or when a file of that
    // name cannot be loaded or lacks a symbol (`*found` true); `*message`
    // then says which, in one line naming the file.
    bool open(const std::string& file, const Symbol* symbols, size_t count, bool* found,
              std::string* message);
    void reset();

    bool isOpen() const { return handle != nullptr; }
    // An optional symbol, or null.
    void* find(const char* name) const;
    // The file the dynamic linker actually mapped.
    const std::string& path() const { return mappedPath; }

private:
    void* handle = nullptr;
    std::string mappedPath;
};

// One closed library as a camera sees it once loaded: the library and the
// notice saying which one is in use.
struct VendorLibraryRequest {
    const char* soname;      // e.g. "libsi4c.so"
    const char* moduleName;  // e.g. "USB module", for messages
    const char* standInMark; // a symbol only the stand-in exports
    const char* packageHint; // what to install when nothing is found
    const VendorLibrary::Symbol* symbols;
    size_t count;
};

// Why a library was chosen, for a later refusal to explain it.
struct VendorLibraryUse {
    std::string inUse; // "simulated" or the vendor library's path
    std::string why;   // e.g. "no libsi4c.so on this system"
};

// Loads per the choice, the stand-in being `standInFolder` + the soname's
// file name; prints the one-line notice (or failure) to standard error.
// `use` is filled on success. `chosenBy` names a Simulated or Vendor
// choice in the lines printed (default: the environment's value).
bool loadVendorLibrary(const VendorLibraryRequest& request, VendorChoice choice,
                       const std::string& standInFolder, VendorLibrary* library, VendorLibraryUse* use,
                       const std::string& chosenBy = std::string());

// One closed library for the whole process: opened by the first load() that
// succeeds and kept to the end of the process, so the notice saying which
// build is in use is printed once. A failed load is tried again by the next
// call: the library may have been installed meanwhile, and each failing open
// says why.
class SharedVendorLibrary {
public:
    // `standInFolder` ends with '/'.
    explicit SharedVendorLibrary(const VendorLibraryRequest& request,
                                 std::string standInFolder = simulatedLibraryFolder());
    SharedVendorLibrary(const SharedVendorLibrary&) = delete;
    SharedVendorLibrary& operator=(const SharedVendorLibrary&) = delete;

    // True once every symbol of the request is resolved. QUORVEX_SIMULATED
    // (or the thread's ScopedVendorChoice) is read by each call until then;
    // afterwards a scoped choice the loaded library contradicts is refused.
    bool load();
    // "simulated", the vendor library's path, or "" before any load.
    std::string inUse() const;

private:
    const VendorLibraryRequest request;
    const std::string folder;
    mutable std::mutex lock;
    VendorLibrary library;
    VendorLibraryUse used;
    bool ready = false;
};

// The process's table of the functions a camera calls in one closed library.
// `Table` holds one pointer per function and says where each goes with
// `static VendorLibraryRequest request(Table& table)`, called once. The
// members are instantiated only in the table's own source (each header
// names its table `extern template`), so every module of the process that
// asks sees the one table of the core.
template <typename Table>
class VendorTable {
public:
    // Loaded by the first call that succeeds and kept to the end of the
    // process; null (after a line on standard error) when no usable library
    // is found.
    static const Table* get();
    // "simulated", the vendor library's path, or "" before any load.
    static std::string inUse();

private:
    struct Loaded;
    static Loaded& loaded();
};

// The table is filled in place: nobody is handed it before every entry is
// resolved.
template <typename Table>
struct VendorTable<Table>::Loaded {
    Table table{};
    SharedVendorLibrary library{Table::request(table)};
};

template <typename Table>
typename VendorTable<Table>::Loaded& VendorTable<Table>::loaded()
{
    // Never destroyed, so never unmapped: cameras made before it (a global
    // one, one a garbage-collected language frees late, a capture thread
    // still reading) call into the library after static destruction began.
    static Loaded* l = new Loaded;
    return *l;
}

template <typename Table>
const Table* VendorTable<Table>::get()
{
    Loaded& l = loaded();
    return l.library.load() ? &l.table : nullptr;
}

template <typename Table>
std::string VendorTable<Table>::inUse()
{
    return loaded().library.inUse();
}

} // namespace Quorvex
