// A camera over USB on the simulated module, from open to close: the depth
// it delivers is the scene's, its RAW frames have the module's geometry, and
// faults of the module cost frames but never deliver a wrong one.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "camera/QuorvexFrameBuffer.h"
#include "camera/QuorvexTOFCamera.h"
#include "sim/SceneModel.h"
#include "tests/support/Eventually.h"
#include "tests/support/FakeFiles.h"
#include "tests/support/UsbConfigFile.h"
#include "vendor/libquorvex_evk_sdk/quorvex_evk_sdk.h"

#ifdef QUORVEX_EVK_SDK_STANDIN

namespace Quorvex {
namespace {

using test::UsbConfigFile;

// Every camera here reads its board from a device-tree model of the test's
// own, never from the machine it runs on.
class UsbEndToEnd : public ::testing::Test {
protected:
    void SetUp() override { setModel("Raspberry Pi 4 Model B Rev 1.4"); }
    void setModel(const char* model)
    {
        files.files["/sys/firmware/devicetree/base/model"] = std::string(model) + '\0';
    }
    test::FakeFiles files;
    test::ScopedKernel scoped{files};
};

// The module's scenes as its configuration file defines them (README,
// "Simulated USB module").
sim::Scene moduleScene(sim::SceneKind kind, int width, int height, double distanceMm, double tiltDeg = 35.0)
{
    sim::SceneParams params;
    params.distanceMm = distanceMm;
    params.tiltDeg = tiltDeg;
    params.objectDistanceMm = std::min(1000.0, distanceMm * 2.0 / 3.0);
    params.objectSizeMm = std::min(350.0, params.objectDistanceMm / 3.0);
    return sim::makeScene(kind, width, height, params);
}

struct Plane {
    uint32_t width = 0;
    uint32_t height = 0;
    uint64_t timestamp = 0;
    std::vector<float> depth;
    std::vector<float> confidence;
};

// Waits for the next frame, generously: a VGA frame rendered under a
// sanitizer takes seconds. Null when none came.
QuorvexFrameBuffer* waitFrame(QuorvexTOFCamera& camera)
{
    for (int attempt = 0; attempt < 100; ++attempt)
        if (QuorvexFrameBuffer* frame = camera.requestFrame(300))
            return frame;
    return nullptr;
}

// Waits for the next frame and copies what the test needs out of it.
bool nextDepthFrame(QuorvexTOFCamera& camera, Plane& out)
{
    QuorvexFrameBuffer* frame = waitFrame(camera);
    if (!frame)
        return false;
    FrameDataFormat format{};
    EXPECT_EQ(frame->getFormat(FrameType::DEPTH, format), QuorvexSuccess);
    out.width = format.width;
    out.height = format.height;
    out.timestamp = format.timestamp;
    const size_t n = static_cast<size_t>(format.width) * format.height;
    const float* depth = static_cast<const float*>(frame->getData(FrameType::DEPTH));
    const float* confidence = static_cast<const float*>(frame->getData(FrameType::CONFIDENCE));
    out.depth.assign(depth, depth + n);
    out.confidence.assign(confidence, confidence + n);
    camera.releaseFrame(frame);
    return true;
}

// Depth error statistics against the scene shifted by `offsetMm`.
// `toleranceMm` > 0: pixels the camera measured (confidence above 0) are
// held to it. `toleranceMm` = 0 (HQVGA, whose confidence is the amplitude
// in decoded units, 16 per sample unit): samples are whole numbers, so at an
// amplitude of A sample units the phase may be off by about 1/A radians;
// each pixel of A >= 10 is held to 1.5/A of the 4000 mm range over 2 pi,
// plus 1 mm.
struct Fit {
    size_t measured = 0;
    size_t misses = 0;
};

Fit fit(const Plane& plane, const sim::Scene& scene, double offsetMm, double toleranceMm)
{
    Fit f;
    for (size_t n = 0; n < plane.depth.size(); ++n) {
        double tolerance = toleranceMm;
        if (toleranceMm == 0.0) {
            const double a = plane.confidence[n] / 16.0;
            if (a < 10.0)
                continue;
            tolerance = 4000.0 / (2.0 * sim::kPi) * 1.5 / a + 1.0;
        } else if (plane.confidence[n] <= 0.0f) {
            continue;
        }
        ++f.measured;
        if (std::fabs(plane.depth[n] - (scene.pixels[n].depthMm + offsetMm)) > tolerance)
            ++f.misses;
    }
    return f;
}

// The VGA device learns the module's depth size and frequency mode through
// the controls, as a user of a 320 x 240 or dual-frequency module sets them.
void configureVga(QuorvexTOFCamera& camera, int mode, int width, int height)
{
    if (mode < 0)
        return;
    EXPECT_EQ(camera.setControl(CameraCtrl::MODE, mode), QuorvexSuccess);
    EXPECT_EQ(camera.setControl(CameraCtrl::FMT_WIDTH, width), QuorvexSuccess);
    EXPECT_EQ(camera.setControl(CameraCtrl::FMT_HEIGHT, height), QuorvexSuccess);
}

struct DepthCase {
    const char* config; // empty: plain open
    sim::SceneKind kind;
    int width, height;
    double distanceMm;
    int mode;           // MODE control set before start, -1 none
    double toleranceMm; // 0: by amplitude (HQVGA), see fit()
    double tiltDeg = 35.0;
};

// Tolerances: HQVGA by amplitude (fit()). The depth engine drops dim
// pixels itself; what it keeps is held to 25 mm (single frequency, 1250 mm
// range) and 40 mm (dual, blended over two wavelengths). Nearly all pixels
// must be measured.
const DepthCase kDepthCases[] = {
    {"", sim::SceneKind::TILTED_WALL, 240, 180, 1500, -1, 0.0},
    {"fps = 0\nscene = box\ndistance = 2500\n", sim::SceneKind::BOX, 240, 180, 2500, -1, 0.0},
    {"variant = vga\nfps = 0\nscene = sphere\ndistance = 900\n", sim::SceneKind::SPHERE, 640, 480, 900, 0,
     25.0},
    {"variant = vga\nwidth = 320\nheight = 240\nfps = 0\nscene = sphere\ndistance = 900\n",
     sim::SceneKind::SPHERE, 320, 240, 900, 0, 25.0},
    {"variant = vga\nfrequency = dual\nfps = 0\n", sim::SceneKind::TILTED_WALL, 640, 480, 1500, 1, 40.0},
    // No controls: the module's size and mode reach the device by the raw
    // size it reports, and a dual module measures its whole range.
    {"variant = vga\nfrequency = dual\nfps = 0\n", sim::SceneKind::TILTED_WALL, 640, 480, 1500, -1, 40.0},
    {"variant = vga\nfrequency = dual\nfps = 0\nscene = flat\ndistance = 3000\n", sim::SceneKind::TILTED_WALL, 640,
     480, 3000, -1, 40.0, 0.0},
    {"variant = vga\nwidth = 320\nheight = 240\nfrequency = dual\nfps = 0\nscene = flat\ndistance = 4000\n",
     sim::SceneKind::TILTED_WALL, 320, 240, 4000, -1, 40.0, 0.0},
    {"variant = vga\nwidth = 320\nheight = 240\nfps = 0\nscene = sphere\ndistance = 900\n",
     sim::SceneKind::SPHERE, 320, 240, 900, -1, 25.0},
};

TEST_F(UsbEndToEnd, DepthFramesMatchTheScene)
{
    for (const DepthCase& c : kDepthCases) {
        SCOPED_TRACE(*c.config ? c.config : "plain open");
        UsbConfigFile file(c.config);
        QuorvexTOFCamera camera;
        ASSERT_EQ(*c.config ? camera.openWithFile(file.path.c_str(), 0) : camera.open(Connection::USB, 0),
                  QuorvexSuccess);
        configureVga(camera, c.mode, c.width, c.height);
        ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvexSuccess);
        const sim::Scene scene = moduleScene(c.kind, c.width, c.height, c.distanceMm, c.tiltDeg);
        double farthest = 0.0;
        for (const sim::ScenePixel& px : scene.pixels)
            farthest = std::max<double>(farthest, px.depthMm);
        for (int i = 0; i < 3; ++i) {
            Plane plane;
            ASSERT_TRUE(nextDepthFrame(camera, plane));
            ASSERT_EQ(plane.width, static_cast<uint32_t>(c.width));
            ASSERT_EQ(plane.height, static_cast<uint32_t>(c.height));
            const Fit f = fit(plane, scene, 0.0, c.toleranceMm);
            EXPECT_GT(f.measured, plane.depth.size() * 9 / 10);
            EXPECT_EQ(f.misses, 0u);
        }
        if (std::strstr(c.config, "dual")) {
            EXPECT_GT(farthest, 1250.0) << "dual frequency measures beyond one wavelength";
        }
        EXPECT_EQ(camera.stop(), QuorvexSuccess);
        EXPECT_EQ(camera.close(), QuorvexSuccess);
    }
}

// A Jetson's receiver left-aligns CSI samples, and the HQVGA device undoes
// that; a USB module on the same board must not be shifted.
TEST_F(UsbEndToEnd, UsbDepthIsRightOnAJetson)
{
    setModel("NVIDIA Jetson AGX Xavier Developer Kit");
    QuorvexTOFCamera camera;
    ASSERT_EQ(camera.open(Connection::USB, 0), QuorvexSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvexSuccess);
    Plane plane;
    ASSERT_TRUE(nextDepthFrame(camera, plane));
    const Fit f = fit(plane, moduleScene(sim::SceneKind::TILTED_WALL, 240, 180, 1500), 0.0, 0.0);
    EXPECT_GT(f.measured, plane.depth.size() * 9 / 10);
    EXPECT_EQ(f.misses, 0u);
    EXPECT_EQ(camera.stop(), QuorvexSuccess);
    EXPECT_EQ(camera.close(), QuorvexSuccess);
}

// Distance from a measured depth to the truth as a module of `rangeMm`
// unambiguous range sees it (0: no wrap).
double wrappedError(double depth, double truth, double rangeMm)
{
    if (rangeMm == 0.0)
        return std::fabs(depth - truth);
    const double d = std::fabs(std::fmod(depth - truth, rangeMm));
    return std::min(d, rangeMm - d);
}

// The range reaches the module through its register tables, before start,
// at start and while streaming; each frame is decoded at the modulation the
// module captured it with. Any range but 2000 selects the far table, so
// the module runs far and so does the decoding. The wall reaches beyond
// 2000 mm, where the near range wraps: far frames are held to the scene,
// frames that may be near ones to the scene modulo 2000 mm (a frame
// decoded at the other frequency is off by a factor of two, which no
// wrap hides). Unpaced frames keep the capture thread inside a frame when
// a switch lands.
TEST_F(UsbEndToEnd, DepthIsTheSceneAtEveryRange)
{
    const sim::Scene scene = moduleScene(sim::SceneKind::TILTED_WALL, 240, 180, 1500);
    UsbConfigFile file("fps = 0\n");
    QuorvexTOFCamera camera;
    ASSERT_EQ(camera.openWithFile(file.path.c_str(), 0), QuorvexSuccess);
    // Returns the deepest depth of the last frame.
    auto expectScene = [&](int frames, double wrapMm) {
        float deepest = 0.0f;
        for (int i = 0; i < frames; ++i) {
            Plane plane;
            EXPECT_TRUE(nextDepthFrame(camera, plane));
            size_t measured = 0, misses = 0;
            deepest = 0.0f;
            for (size_t n = 0; n < plane.depth.size(); ++n) {
                const double a = plane.confidence[n] / 16.0;
                if (a < 10.0)
                    continue;
                ++measured;
                deepest = std::max(deepest, plane.depth[n]);
                const double tolerance = 4000.0 / (2.0 * sim::kPi) * 1.5 / a + 1.0;
                misses += wrappedError(plane.depth[n], scene.pixels[n].depthMm, wrapMm) > tolerance;
            }
            EXPECT_GT(measured, plane.depth.size() * 9 / 10);
            EXPECT_EQ(misses, 0u) << "frame " << i;
        }
        return deepest;
    };
    ASSERT_EQ(camera.setControl(CameraCtrl::RANGE, 2000), QuorvexSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvexSuccess);
    EXPECT_LE(expectScene(3, 2000.0), 2000.0f) << "decoded near: the module ran near";
    for (int round = 0; round < 4; ++round) {
        for (int range : {4000, 2000, 3000, 2000}) {
            SCOPED_TRACE(range);
            ASSERT_EQ(camera.setControl(CameraCtrl::RANGE, range), QuorvexSuccess);
            int value = 0;
            EXPECT_EQ(camera.getControl(CameraCtrl::RANGE, &value), QuorvexSuccess);
            EXPECT_EQ(value, range);
            expectScene(3, 2000.0);
        }
    }
    // Stopped, changed, started again: the module runs far from the first
    // frame, and the whole wall is measured.
    EXPECT_EQ(camera.stop(), QuorvexSuccess);
    ASSERT_EQ(camera.setControl(CameraCtrl::RANGE, 3000), QuorvexSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvexSuccess);
    EXPECT_GT(expectScene(3, 0.0), 2000.0f);
    EXPECT_EQ(camera.close(), QuorvexSuccess);
}

TEST_F(UsbEndToEnd, RawFramesHaveTheModuleGeometry)
{
    struct {
        const char* config;
        int mode;
        uint32_t width, height;
    } cases[] = {
        {"fps = 0\n", -1, 240, 720},
        {"variant = vga\nfps = 0\n", 0, 640, 2405},
        {"variant = vga\nfps = 0\nfrequency = dual\n", 1, 640, 4810},
        {"variant = vga\nwidth = 320\nheight = 240\nfps = 0\n", 0, 320, 1205},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.config);
        UsbConfigFile file(c.config);
        QuorvexTOFCamera camera;
        ASSERT_EQ(camera.openWithFile(file.path.c_str(), 0), QuorvexSuccess);
        configureVga(camera, c.mode, c.width, c.height / (c.mode == 1 ? 10 : 5) - 1);
        ASSERT_EQ(camera.start(FrameType::RAW), QuorvexSuccess);
        QuorvexFrameBuffer* frame = waitFrame(camera);
        ASSERT_NE(frame, nullptr);
        FrameDataFormat format{};
        ASSERT_EQ(frame->getFormat(FrameType::RAW, format), QuorvexSuccess);
        EXPECT_EQ(format.width, c.width);
        EXPECT_EQ(format.height, c.height);
        const int16_t* raw = static_cast<const int16_t*>(frame->getData(FrameType::RAW));
        const size_t n = static_cast<size_t>(format.width) * format.height;
        EXPECT_TRUE(std::any_of(raw, raw + n, [](int16_t v) { return v != 0; }));
        camera.releaseFrame(frame);
        EXPECT_EQ(camera.close(), QuorvexSuccess);
    }
}

// The scene moves 150 mm away with every module frame (and back after six), so an image left
// over from an earlier frame would bend the depth of the frame it is mixed
// into by far more than the tolerance. Every delivered frame must be the
// scene at one whole step. The module is paced (100 fps) so that the reader
// keeps up and sees the frames around each fault rather than later ones.
TEST_F(UsbEndToEnd, FaultsCostFramesButNeverDeliverAMixedOne)
{
    const char* faults[] = {
        "timeout_at = 3, 10, 17, 22, 23\n",
        "wrong_size_at = 2, 11\n",
        "gap_at = 3, 14\nreset_at = 7, 21\n",
        "timeout_at = 6\nwrong_size_at = 13\ngap_at = 19\nunplug_after = 60\n",
    };
    const double stepMm = 150.0;
    const sim::Scene scene = moduleScene(sim::SceneKind::TILTED_WALL, 240, 180, 1500);
    const int before = QuorvexDebugOpenCameras();
    for (const char* f : faults) {
        SCOPED_TRACE(f);
        UsbConfigFile file(std::string("fps = 100\nmotion = 150\nmotion_period = 6\n") + f);
        QuorvexTOFCamera camera;
        ASSERT_EQ(camera.openWithFile(file.path.c_str(), 0), QuorvexSuccess);
        ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvexSuccess);
        for (int i = 0; i < 12; ++i) {
            Plane plane;
            ASSERT_TRUE(nextDepthFrame(camera, plane));
            // Which step: the median difference from the still scene.
            std::vector<float> diff;
            for (size_t n = 0; n < plane.depth.size(); ++n)
                diff.push_back(plane.depth[n] - scene.pixels[n].depthMm);
            std::nth_element(diff.begin(), diff.begin() + diff.size() / 2, diff.end());
            const double step = std::round(diff[diff.size() / 2] / stepMm);
            ASSERT_GE(step, 0.0);
            ASSERT_LE(step, 5.0);
            const Fit fitted = fit(plane, scene, step * stepMm, 0.0);
            EXPECT_GT(fitted.measured, plane.depth.size() * 9 / 10);
            EXPECT_EQ(fitted.misses, 0u) << "frame " << i << " at step " << step;
        }
        EXPECT_EQ(camera.close(), QuorvexSuccess);
    }
    EXPECT_EQ(QuorvexDebugOpenCameras(), before) << "every library camera closed";
}

TEST_F(UsbEndToEnd, UnpluggedModuleDeliversNothingAndClosesCleanly)
{
    UsbConfigFile file("unplugged = yes\n");
    QuorvexTOFCamera camera;
    ASSERT_EQ(camera.openWithFile(file.path.c_str(), 0), QuorvexSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvexSuccess);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(camera.requestFrame(30), nullptr);
    EXPECT_EQ(camera.stop(), QuorvexSuccess);
    EXPECT_EQ(camera.close(), QuorvexSuccess);
}

// The heaviest world the module's keys allow takes minutes per frame: a
// camera stopping or closing meanwhile must not wait for it. The bound is
// far above what the call takes, even emulated on a loaded machine, and far
// below one frame's render.
TEST_F(UsbEndToEnd, StopAndCloseDoNotWaitForTheWorldBeingRendered)
{
    UsbConfigFile file("variant = vga\nfrequency = dual\nphysics = realistic\nsupersample = 16\n"
                       "scene = corner\nmotion = 30\nfps = 0\n");
    for (bool stopFirst : {true, false}) {
        SCOPED_TRACE(stopFirst ? "stop, then close" : "close while streaming");
        QuorvexTOFCamera camera;
        ASSERT_EQ(camera.openWithFile(file.path.c_str(), 0), QuorvexSuccess);
        ASSERT_EQ(camera.start(FrameType::RAW), QuorvexSuccess);
        // The first capture begins the first frame's render. The wait for
        // it counts too: a module that rendered under its lock would hold
        // this query for the whole render.
        const auto began = std::chrono::steady_clock::now();
        ASSERT_TRUE(QuorvexTest::eventually([] {
            QuorvexDebugState state{};
            return QuorvexDebugGetState(QuorvexDebugLastCamera(), &state) == 0 && state.captureCalls >= 1;
        }));
        if (stopFirst) {
            EXPECT_EQ(camera.stop(), QuorvexSuccess);
        }
        EXPECT_EQ(camera.close(), QuorvexSuccess);
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(10));
    }
}

TEST_F(UsbEndToEnd, OpenFailuresReachTheCaller)
{
    UsbConfigFile bad("fps = fast\n");
    QuorvexTOFCamera camera;
    testing::internal::CaptureStderr();
    EXPECT_EQ(camera.openWithFile(bad.path.c_str(), 0), QuorvexUnkownError);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(bad.path + ":1: key 'fps'"), std::string::npos);
    EXPECT_THROW(camera.openWithFile("a.b", 0), std::out_of_range);
    EXPECT_EQ(camera.openWithFile(nullptr, 0), QuorvexUnkownError);
    // The camera still opens a good module afterwards.
    EXPECT_EQ(camera.open(Connection::USB, 0), QuorvexSuccess);
    EXPECT_EQ(camera.getCameraInfo().width, 240u);
    EXPECT_EQ(camera.getCameraInfo().device_type, HQVGA);
    EXPECT_EQ(camera.close(), QuorvexSuccess);
}

} // namespace
} // namespace Quorvex

#endif // QUORVEX_EVK_SDK_STANDIN
