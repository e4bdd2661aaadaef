// A camera that outlives main: the process-wide vendor library must still be
// mapped when its destructor stops and closes it at exit. The USB library
// here is the test tree's plain build (unmapped by dlclose like any vendor's
// library), forwarding to the simulated module so that the camera streams.

#include <cstdlib>

#include <gtest/gtest.h>

#include "camera/QuorvexTOFCamera.h"

namespace Quorvex {
namespace {

// Opens in a child process and leaves the camera to static destruction,
// streaming or not; exit() then runs the camera's destructor after every
// object constructed later than it, the loader's table included.
void exitWithCameraAlive(bool streaming)
{
    static QuorvexTOFCamera camera;
    if (camera.open(Connection::USB, 0) != QuorvexSuccess)
        std::exit(3);
    if (streaming && camera.start(FrameType::RAW) != QuorvexSuccess)
        std::exit(4);
    std::exit(0);
}

TEST(VendorLifetime, LibraryOutlivesACameraLeftOpenAtExit)
{
    ASSERT_STREQ(std::getenv("QUORVEX_SIMULATED"), "0");
    // Forked, not executed again: under qemu-user a program cannot start
    // another of its architecture. Nothing of the library is loaded here
    // before the children do it.
    for (bool streaming : {false, true}) {
        SCOPED_TRACE(streaming ? "streaming" : "open");
        EXPECT_EXIT(exitWithCameraAlive(streaming), testing::ExitedWithCode(0), "");
    }
}

} // namespace
} // namespace Quorvex
