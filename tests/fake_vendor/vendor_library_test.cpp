#include "sensor/VendorLibrary.h"

#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

namespace Quorvex {
namespace {

const std::string kFake = std::string(FAKE_VENDOR_DIR) + "vga/libsi4c.so";
const std::string kOld = std::string(FAKE_VENDOR_DIR) + "vga-old/libsi4c.so";
const std::string kStandIn = STAND_IN_SI4C;
// A name no system has, so the system's search never finds it.
const char kAbsent[] = "libquorvex_loader_probe.so";

const char* const kNames[] = {"SiSDKCreate", "SiSDKInit", "SiSDKSetCaliData", "SiSDKSetConfig", "SiSDKStart",
                              "SiSDKIsSingleFreq", "SiSDKSetSingleFreq", "SiSDKGetPhaseImage", "SiSDKDestroy"};

// The nine functions of the depth library, resolved into `slots`.
struct Request {
    std::vector<void*> slots;
    std::vector<VendorLibrary::Symbol> symbols;
    std::string soname;

    explicit Request(std::string name, const char* extra = nullptr) : soname(std::move(name))
    {
        std::vector<const char*> names(std::begin(kNames), std::end(kNames));
        if (extra)
            names.push_back(extra);
        slots.assign(names.size(), nullptr);
        for (size_t i = 0; i < names.size(); ++i)
            symbols.push_back({names[i], &slots[i]});
    }
    VendorLibraryRequest get() const
    {
        return {soname.c_str(), "VGA depth engine", "SiSDKDebugGetState", "libquorvex-simulated", symbols.data(),
                symbols.size()};
    }
};

class EnvironmentValue {
public:
    explicit EnvironmentValue(const char* value)
    {
        if (const char* old = std::getenv("QUORVEX_SIMULATED"))
            saved = old, had = true;
        if (value)
            setenv("QUORVEX_SIMULATED", value, 1);
        else
            unsetenv("QUORVEX_SIMULATED");
    }
    ~EnvironmentValue()
    {
        if (had)
            setenv("QUORVEX_SIMULATED", saved.c_str(), 1);
        else
            unsetenv("QUORVEX_SIMULATED");
    }

private:
    std::string saved;
    bool had = false;
};

TEST(VendorLibrary, OpensResolvesEveryFunctionOrSaysWhy)
{
    struct Case {
        std::string file;
        const char* extra;
        bool opened;
        bool found;
        std::string message;
    } cases[] = {
        {kFake, nullptr, true, true, ""},
        {kFake, "SiSDKFlush", false, true, kFake + " lacks SiSDKFlush"},
        {kOld, nullptr, false, true, kOld + " lacks SiSDKGetPhaseImage"},
        {kAbsent, nullptr, false, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        Request r(c.file, c.extra);
        VendorLibrary library;
        bool found = !c.found;
        std::string message;
        EXPECT_EQ(library.open(c.file, r.symbols.data(), r.symbols.size(), &found, &message), c.opened);
        EXPECT_EQ(found, c.found);
        EXPECT_EQ(library.isOpen(), c.opened);
        if (c.opened) {
            EXPECT_EQ(library.path(), c.file);
            for (void* slot : r.slots)
                EXPECT_NE(slot, nullptr);
            EXPECT_EQ(library.find("SiSDKDebugGetState"), nullptr);
        } else if (c.found) {
            EXPECT_EQ(message, c.message);
        } else {
            // The dynamic linker's own words, which name the file.
            EXPECT_NE(message.find(kAbsent), std::string::npos) << message;
        }
    }
}

TEST(VendorLibrary, ReadsTheChoiceFromTheEnvironment)
{
    const struct {
        const char* value;
        VendorChoice choice;
    } cases[] = {
        {nullptr, VendorChoice::Default}, {"", VendorChoice::Default},     {"1", VendorChoice::Simulated},
        {"0", VendorChoice::Vendor},      {"yes", VendorChoice::Invalid},  {" 1", VendorChoice::Invalid},
        {"10", VendorChoice::Invalid},    {"false", VendorChoice::Invalid},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(unset)");
        EnvironmentValue env(c.value);
        std::string text = "unchanged";
        EXPECT_EQ(vendorChoiceFromEnvironment(&text), c.choice);
        EXPECT_EQ(text, c.value ? c.value : "");
    }
}

TEST(VendorLibrary, StandInsLieInAPrivateFolderBesideTheCore)
{
    EXPECT_EQ(simulatedLibraryFolder(), std::string(CORE_DIR) + "quorvex/simulated/");
    EXPECT_EQ(kStandIn, simulatedLibraryFolder() + "libsi4c.so");
}

// A folder standing in for the stand-ins' one, holding the test library
// under a name the system's search cannot find.
class StandInFolder {
public:
    StandInFolder()
    {
        char pattern[] = "/tmp/quorvex-loader-XXXXXX";
        if (mkdtemp(pattern)) {
            dir = pattern;
            link = dir + "/" + kAbsent;
            if (symlink(kFake.c_str(), link.c_str()) != 0)
                link.clear();
        }
    }
    ~StandInFolder()
    {
        if (!link.empty())
            unlink(link.c_str());
        if (!dir.empty())
            rmdir(dir.c_str());
    }
    std::string path() const { return dir + "/"; }
    std::string dir;
    std::string link;
};

TEST(VendorLibrary, ChoosesPerModeAndSaysWhatItUses)
{
    StandInFolder folder;
    ASSERT_FALSE(folder.link.empty());
    const std::string none = "/nonexistent/";
    struct Case {
        std::string soname;
        VendorChoice choice;
        std::string folder;
        bool loaded;
        std::string inUse;
        std::string line;
    } cases[] = {
        // The vendor's library found by the system's search.
        {kFake, VendorChoice::Default, none, true, kFake, "using the VGA depth engine library " + kFake},
        {kFake, VendorChoice::Vendor, none, true, kFake, "using the VGA depth engine library " + kFake},
        {kFake, VendorChoice::Simulated, none, false, "", "no simulated VGA depth engine (/nonexistent/libsi4c.so)"
                                                          ": install libquorvex-simulated"},
        {kOld, VendorChoice::Default, folder.path(), false, "", kOld + " lacks SiSDKGetPhaseImage"},
        // Nothing found by the search.
        {kAbsent, VendorChoice::Default, folder.path(), true, "simulated",
         "using the simulated VGA depth engine: no libquorvex_loader_probe.so on this system"},
        {kAbsent, VendorChoice::Simulated, folder.path(), true, "simulated",
         "using the simulated VGA depth engine: QUORVEX_SIMULATED=1"},
        {kAbsent, VendorChoice::Vendor, folder.path(), false, "",
         "no libquorvex_loader_probe.so on this system (QUORVEX_SIMULATED=0): install the vendor's VGA depth "
         "engine library"},
        {kAbsent, VendorChoice::Default, none, false, "",
         "no libquorvex_loader_probe.so on this system and no simulated VGA depth engine: install the vendor's "
         "library or libquorvex-simulated"},
        // The stand-in itself where a vendor's build was looked for, as in a
        // program linked against it.
        {kStandIn, VendorChoice::Default, none, true, "simulated", "using the simulated VGA depth engine: " + kStandIn},
        {kStandIn, VendorChoice::Vendor, none, false, "",
         kStandIn + " is the simulated VGA depth engine (QUORVEX_SIMULATED=0 asks for the vendor's)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.soname + " / " + std::to_string(static_cast<int>(c.choice)) + " / " + c.folder);
        Request r(c.soname);
        VendorLibrary library;
        VendorLibraryUse use;
        testing::internal::CaptureStderr();
        const bool loaded = loadVendorLibrary(r.get(), c.choice, c.folder, &library, &use);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line + "\n");
        EXPECT_EQ(loaded, c.loaded);
        EXPECT_EQ(library.isOpen(), c.loaded);
        EXPECT_EQ(use.inUse, c.inUse);
    }
}

TEST(VendorLibrary, RefusesAnUnknownChoice)
{
    EnvironmentValue env("2");
    Request r(kFake);
    VendorLibrary library;
    VendorLibraryUse use;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(loadVendorLibrary(r.get(), vendorChoiceFromEnvironment(), "/nonexistent/", &library, &use));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "QUORVEX_SIMULATED is '2': use 1 (simulated VGA depth engine) or 0 (vendor's " + kFake + " only)\n");
    EXPECT_FALSE(library.isOpen());
}

// The notice of a library in use is printed by the first load of the
// process alone; a load that fails says so each time and is tried again.
TEST(VendorLibrary, SaysOncePerProcessWhichLibraryIsInUse)
{
    struct Case {
        const char* value;
        std::string soname;
        bool loads;
        std::string inUse;
        std::string line;
    } cases[] = {
        {nullptr, kFake, true, kFake, "using the VGA depth engine library " + kFake + "\n"},
        {"0", kAbsent, false, "",
         "no libquorvex_loader_probe.so on this system (QUORVEX_SIMULATED=0): install the vendor's VGA depth "
         "engine library\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.soname);
        EnvironmentValue env(c.value);
        Request r(c.soname);
        SharedVendorLibrary shared(r.get(), "/nonexistent/");
        EXPECT_EQ(shared.inUse(), "");
        testing::internal::CaptureStderr();
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(shared.load(), c.loads);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.loads ? c.line : c.line + c.line + c.line);
        EXPECT_EQ(shared.inUse(), c.inUse);
    }
}

// A program's own choice names itself in the notices, and a later choice
// the loaded library contradicts is refused with the reason, printing
// nothing: the caller that asked reports it.
TEST(VendorLibrary, ScopedChoiceIsRefusedWhenTheOtherKindIsLoaded)
{
    StandInFolder folder;
    ASSERT_FALSE(folder.link.empty());
    EnvironmentValue env(nullptr);
    struct Case {
        std::string soname;
        VendorChoice first;
        VendorChoice later;
        std::string notice;
        std::string refusal; // empty: the later open is served
    } cases[] = {
        {kAbsent, VendorChoice::Simulated, VendorChoice::Vendor,
         "using the simulated VGA depth engine: simulated=True",
         "simulated=False asks for the vendor's VGA depth engine library, but this process already uses the "
         "simulated VGA depth engine (simulated=True), which stays loaded until the process ends: open this "
         "camera in a new process"},
        {kAbsent, VendorChoice::Default, VendorChoice::Vendor,
         "using the simulated VGA depth engine: no libquorvex_loader_probe.so on this system",
         "simulated=False asks for the vendor's VGA depth engine library, but this process already uses the "
         "simulated VGA depth engine (no libquorvex_loader_probe.so on this system), which stays loaded until the "
         "process ends: open this camera in a new process"},
        {kFake, VendorChoice::Default, VendorChoice::Simulated, "using the VGA depth engine library " + kFake,
         "simulated=True asks for the simulated VGA depth engine, but this process already uses the VGA depth "
         "engine library " + kFake + " (the system's search found it), which stays loaded until the process "
         "ends: open this camera in a new process"},
        {kFake, VendorChoice::Vendor, VendorChoice::Default, "using the VGA depth engine library " + kFake, ""},
        {kAbsent, VendorChoice::Simulated, VendorChoice::Simulated,
         "using the simulated VGA depth engine: simulated=True", ""},
    };
    const auto label = [](VendorChoice c) {
        return c == VendorChoice::Simulated ? "simulated=True" : c == VendorChoice::Vendor ? "simulated=False" : "";
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.soname + " then " + label(c.later));
        Request r(c.soname);
        SharedVendorLibrary shared(r.get(), folder.path());
        testing::internal::CaptureStderr();
        {
            ScopedVendorChoice first(c.first, label(c.first));
            EXPECT_TRUE(shared.load());
        }
        ScopedVendorChoice later(c.later, label(c.later));
        EXPECT_EQ(shared.load(), c.refusal.empty());
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.notice + "\n");
        EXPECT_EQ(later.refusal(), c.refusal);
    }
    EXPECT_EQ(ScopedVendorChoice::current(), nullptr);
}

} // namespace
} // namespace Quorvex
