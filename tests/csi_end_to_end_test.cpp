// A camera over CSI-2 on each simulated board, from open to close: the
// depth it delivers is the scene's, VGA RAW frames have the depth library's
// geometry, an unknown board fails where it should, and a module that fails
// mid-stream costs frames but never delivers a wrong one.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "camera/QuorvexFrameBuffer.h"
#include "camera/QuorvexTOFCamera.h"
#include "sim/SceneModel.h"
#include "sim/SimCsiBoard.h"

namespace Quorvex {
namespace {

using Sim::CsiModule;
using Sim::ScopedKernel;
using Sim::SimCsiBoard;
using Sim::SimKernel;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

constexpr uint16_t kEmbeddedMarker = 0x5C4; // first word of each VGA sub-frame
constexpr uint32_t kRangeControl = 0x00981901;

// A board with the module on its CSI-2 port, installed as the kernel.
struct World {
    World(BoardKind b, CsiModule module) : board(k, b, module) {}
    SimKernel k;
    ScopedKernel scope{k};
    SimCsiBoard board;
};

// The scene the simulated module looks at (SimCaptureNode: the wall at
// 1500 mm).
sim::Scene moduleScene()
{
    sim::SceneParams params;
    params.distanceMm = 1500.0;
    params.objectDistanceMm = 1000.0;
    params.objectSizeMm = 1000.0 / 3.0;
    return sim::makeScene(sim::SceneKind::TILTED_WALL, 240, 180, params);
}

// Waits for the next frame, generously (sanitizers are slow). Null when
// none came.
QuorvexFrameBuffer* waitFrame(QuorvexTOFCamera& camera, int attempts = 100)
{
    for (int attempt = 0; attempt < attempts; ++attempt)
        if (QuorvexFrameBuffer* frame = camera.requestFrame(300))
            return frame;
    return nullptr;
}

struct DepthPlane {
    std::vector<float> depth;
    std::vector<float> confidence;
};

bool nextDepth(QuorvexTOFCamera& camera, DepthPlane& out, int attempts = 100)
{
    QuorvexFrameBuffer* frame = waitFrame(camera, attempts);
    if (!frame)
        return false;
    FrameDataFormat format{};
    EXPECT_EQ(frame->getFormat(FrameType::DEPTH, format), QuorvexSuccess);
    EXPECT_EQ(format.width, 240u);
    EXPECT_EQ(format.height, 180u);
    const size_t n = static_cast<size_t>(format.width) * format.height;
    const float* depth = static_cast<const float*>(frame->getData(FrameType::DEPTH));
    const float* confidence = static_cast<const float*>(frame->getData(FrameType::CONFIDENCE));
    out.depth.assign(depth, depth + n);
    out.confidence.assign(confidence, confidence + n);
    camera.releaseFrame(frame);
    return true;
}

// Pixels held to the scene and those that miss it. Samples are whole
// numbers, so at an amplitude of A sample units (confidence is 16 per unit)
// the phase may be off by about 1/A radians: each pixel of A >= 10 is held
// to 1.5/A of the 4000 mm range over 2 pi, plus 1 mm. `truthOf` names the
// scene pixel a frame pixel shows.
struct Fit {
    size_t measured = 0;
    size_t misses = 0;
};

template <typename TruthOf>
Fit fit(const DepthPlane& plane, const sim::Scene& scene, TruthOf truthOf)
{
    Fit f;
    for (size_t n = 0; n < plane.depth.size(); ++n) {
        const double a = plane.confidence[n] / 16.0;
        if (a < 10.0)
            continue;
        ++f.measured;
        const double tolerance = 4000.0 / (2.0 * sim::kPi) * 1.5 / a + 1.0;
        if (std::fabs(plane.depth[n] - scene.pixels[truthOf(n)].depthMm) > tolerance)
            ++f.misses;
    }
    return f;
}

size_t samePixel(size_t n)
{
    return n;
}

// The Jetson receiver's 960-byte blocks cannot carry 16 samples of every
// 480: the reader's mapping fills them from the 16 samples 240 further on,
// the same columns of the next row.
size_t jetsonPixel(size_t n)
{
    const size_t inBlock = n % 480;
    return inBlock >= 224 && inBlock < 240 ? n + 240 : n;
}

CsiModule hqvgaModule()
{
    CsiModule m;
    m.fps = 60;
    return m;
}

const BoardKind kBoards[] = {BOARD_RASPBERRY_PI, BOARD_RASPBERRY_PI_5, BOARD_RADXA_ROCK, BOARD_JETSON_TX1_NANO,
                             BOARD_JETSON};

} // namespace

TEST(CsiEndToEnd, DepthOfTheSceneOnEveryBoard)
{
    const sim::Scene scene = moduleScene();
    for (BoardKind b : kBoards) {
        SCOPED_TRACE(SimCsiBoard::modelText(b));
        World w(b, hqvgaModule());
        QuorvexTOFCamera camera;
        ASSERT_EQ(camera.open(Connection::CSI, 0), QuorvexSuccess);
        EXPECT_EQ(camera.getCameraInfo().device_type, HQVGA);
        ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvexSuccess);
        for (int i = 0; i < 3; ++i) {
            DepthPlane plane;
            ASSERT_TRUE(nextDepth(camera, plane));
            const Fit f = b == BOARD_JETSON ? fit(plane, scene, jetsonPixel) : fit(plane, scene, samePixel);
            EXPECT_GT(f.measured, plane.depth.size() * 9 / 10);
            EXPECT_EQ(f.misses, 0u);
        }
        EXPECT_EQ(camera.stop(), QuorvexSuccess);
        EXPECT_EQ(camera.close(), QuorvexSuccess);
        EXPECT_EQ(w.k.openDescriptors(), 0u);
        EXPECT_EQ(w.board.capture->mappedBuffers(), 0u);
        EXPECT_FALSE(w.board.capture->streaming());
    }
}

// Without noise, the wall's depth is as fine as well-exposed samples give
// it: its exposure is fitted to the scene, not held at a near scene's, whose
// samples of 100-odd units would put millimetre steps into the depth.
TEST(CsiEndToEnd, NoiselessWallIsAsFineAsItsSamples)
{
    // The device turns phase into millimetres with 3e8 m/s, the module's
    // light runs at its true speed.
    constexpr double kDriverScale = 3e8 / sim::kSpeedOfLight;
    const sim::Scene scene = moduleScene();
    World w(BOARD_RASPBERRY_PI, hqvgaModule());
    QuorvexTOFCamera camera;
    ASSERT_EQ(camera.open(Connection::CSI, 0), QuorvexSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvexSuccess);
    DepthPlane plane;
    ASSERT_TRUE(nextDepth(camera, plane));
    double sum = 0.0;
    for (size_t n = 0; n < plane.depth.size(); ++n) {
        const double err = plane.depth[n] - scene.pixels[n].depthMm * kDriverScale;
        sum += err * err;
    }
    EXPECT_LT(std::sqrt(sum / static_cast<double>(plane.depth.size())), 1.5);
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

// Frames of a camera held to the scene as a module of `wrapMm` range sees
// it (0: no wrap); the deepest depth of the last frame.
float expectScene(QuorvexTOFCamera& camera, const sim::Scene& scene, int frames, double wrapMm)
{
    float deepest = 0.0f;
    for (int i = 0; i < frames; ++i) {
        DepthPlane plane;
        EXPECT_TRUE(nextDepth(camera, plane));
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
}

// On the boards whose driver has the module's range control, the range
// reaches the module (before start, while streaming, and again at start)
// and every frame's depth is the scene at whichever range the module ran.
// The wall reaches beyond 2000 mm, where the near range wraps: frames that
// may be near ones are held to the scene modulo 2000 mm (a frame decoded at
// the other frequency is off by a factor of two, which no wrap hides).
TEST(CsiEndToEnd, RangeReachesTheModuleAndDepthFollowsIt)
{
    const sim::Scene scene = moduleScene();
    for (BoardKind b : {BOARD_RASPBERRY_PI, BOARD_RASPBERRY_PI_5, BOARD_RADXA_ROCK}) {
        SCOPED_TRACE(SimCsiBoard::modelText(b));
        World w(b, hqvgaModule());
        Sim::SimSubdevice& module = *w.board.moduleSubdev;
        QuorvexTOFCamera camera;
        ASSERT_EQ(camera.open(Connection::CSI, 0), QuorvexSuccess);
        ASSERT_EQ(camera.setControl(CameraCtrl::RANGE, 2000), QuorvexSuccess);
        EXPECT_EQ(module.control(kRangeControl), 1);
        ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvexSuccess);
        EXPECT_LE(expectScene(camera, scene, 3, 2000.0), 2000.0f) << "decoded near: the module ran near";
        for (int range : {4000, 2000, 4000, 2000}) {
            SCOPED_TRACE(range);
            ASSERT_EQ(camera.setControl(CameraCtrl::RANGE, range), QuorvexSuccess);
            EXPECT_EQ(module.control(kRangeControl), range == 2000 ? 1 : 0);
            expectScene(camera, scene, 4, 2000.0);
        }
        // The module has two ranges; a refused one changes nothing.
        EXPECT_EQ(camera.setControl(CameraCtrl::RANGE, 3000), QuorvexInvalidParameter);
        int value = 0;
        EXPECT_EQ(camera.getControl(CameraCtrl::RANGE, &value), QuorvexSuccess);
        EXPECT_EQ(value, 2000);
        // Start gives the module the camera's range again.
        EXPECT_EQ(camera.stop(), QuorvexSuccess);
        ASSERT_EQ(camera.setControl(CameraCtrl::RANGE, 4000), QuorvexSuccess);
        const size_t writes = module.controlWrites().size();
        ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvexSuccess);
        EXPECT_GT(module.controlWrites().size(), writes);
        EXPECT_EQ(module.control(kRangeControl), 0);
        EXPECT_GT(expectScene(camera, scene, 3, 0.0), 2000.0f) << "far: the whole wall";
        EXPECT_EQ(camera.close(), QuorvexSuccess);
    }
}

// The Jetson boards' driver has no range control: the refusal reaches the
// caller, and the module's frames go on being decoded at the range it runs.
TEST(CsiEndToEnd, JetsonRefusesRangeAndDepthStaysRight)
{
    const sim::Scene scene = moduleScene();
    for (BoardKind b : {BOARD_JETSON_TX1_NANO, BOARD_JETSON}) {
        SCOPED_TRACE(SimCsiBoard::modelText(b));
        World w(b, hqvgaModule());
        QuorvexTOFCamera camera;
        ASSERT_EQ(camera.open(Connection::CSI, 0), QuorvexSuccess);
        CaptureStderr();
        EXPECT_EQ(camera.setControl(CameraCtrl::RANGE, 2000), QuorvexUnkownError);
        EXPECT_NE(GetCapturedStderr().find("VIDIOC_S_CTRL"), std::string::npos);
        int value = 0;
        EXPECT_EQ(camera.getControl(CameraCtrl::RANGE, &value), QuorvexSuccess);
        EXPECT_EQ(value, 4000);
        // The range it runs at needs no control, at start either.
        CaptureStderr();
        EXPECT_EQ(camera.setControl(CameraCtrl::RANGE, 4000), QuorvexSuccess);
        ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvexSuccess);
        EXPECT_EQ(GetCapturedStderr(), "");
        for (int i = 0; i < 3; ++i) {
            DepthPlane plane;
            ASSERT_TRUE(nextDepth(camera, plane));
            const Fit f = b == BOARD_JETSON ? fit(plane, scene, jetsonPixel) : fit(plane, scene, samePixel);
            EXPECT_GT(f.measured, plane.depth.size() * 9 / 10);
            EXPECT_EQ(f.misses, 0u);
        }
        EXPECT_EQ(camera.close(), QuorvexSuccess);
    }
}

TEST(CsiEndToEnd, VgaRawFramesHaveTheDepthLibraryGeometry)
{
    CsiModule vga;
    vga.variant = CsiModule::Variant::VGA;
    vga.fps = 30;
    for (BoardKind b : kBoards) {
        SCOPED_TRACE(SimCsiBoard::modelText(b));
        World w(b, vga);
        QuorvexTOFCamera camera;
        ASSERT_EQ(camera.open(Connection::CSI, 0), QuorvexSuccess);
        EXPECT_EQ(camera.getCameraInfo().device_type, VGA);
        ASSERT_EQ(camera.start(FrameType::RAW), QuorvexSuccess);
        QuorvexFrameBuffer* frame = waitFrame(camera);
        ASSERT_NE(frame, nullptr);
        FrameDataFormat format{};
        ASSERT_EQ(frame->getFormat(FrameType::RAW, format), QuorvexSuccess);
        EXPECT_EQ(format.width, 640u);
        EXPECT_EQ(format.height, 2405u);
        const uint16_t* raw = static_cast<const uint16_t*>(frame->getData(FrameType::RAW));
        // Each of the five sub-frames opens with its embedded-data row (the
        // Jetson receiver hands samples over four bits up).
        const unsigned shift = b == BOARD_JETSON ? 4 : 0;
        for (size_t k = 0; k < 5; ++k)
            EXPECT_EQ(raw[k * 481 * 640], kEmbeddedMarker << shift) << "sub-frame " << k;
        camera.releaseFrame(frame);
        EXPECT_EQ(camera.close(), QuorvexSuccess);
        EXPECT_EQ(w.k.openDescriptors(), 0u);
        EXPECT_EQ(w.board.capture->mappedBuffers(), 0u);
    }
}

// A dual-frequency module comes up sending both frequencies' sub-frames;
// the device learns that from the size the sensor reports and the depth is
// the scene's beyond the single frequency's 1250 mm.
TEST(CsiEndToEnd, DualFrequencyVgaDepthIsTheSceneOnEveryBoard)
{
    for (const uint32_t height : {480u, 240u})
    for (BoardKind b : kBoards) {
        SCOPED_TRACE(SimCsiBoard::modelText(b) + " " + std::to_string(height));
        CsiModule vga;
        vga.variant = CsiModule::Variant::VGA;
        vga.dualFrequency = true;
        vga.vgaHeight = height;
        vga.fps = 30;
        sim::SceneParams params;
        params.distanceMm = vga.distanceMm;
        params.objectDistanceMm = 1000.0;
        params.objectSizeMm = 1000.0 / 3.0;
        const sim::Scene scene = sim::makeScene(sim::SceneKind::TILTED_WALL, height * 4 / 3, height, params);
        World w(b, vga);
        QuorvexTOFCamera camera;
        ASSERT_EQ(camera.open(Connection::CSI, 0), QuorvexSuccess);
        int range = 0;
        EXPECT_EQ(camera.getControl(CameraCtrl::RANGE, &range), QuorvexSuccess);
        EXPECT_EQ(range, 4500);
        ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvexSuccess);
        QuorvexFrameBuffer* frame = waitFrame(camera);
        ASSERT_NE(frame, nullptr);
        FrameDataFormat format{};
        ASSERT_EQ(frame->getFormat(FrameType::DEPTH, format), QuorvexSuccess);
        ASSERT_EQ(format.width * format.height, scene.pixels.size());
        const float* depth = static_cast<const float*>(frame->getData(FrameType::DEPTH));
        size_t measured = 0, misses = 0;
        float deepest = 0.0f;
        for (size_t n = 0; n < scene.pixels.size(); ++n) {
            if (depth[n] <= 0.0f)
                continue;
            ++measured;
            deepest = std::max(deepest, depth[n]);
            misses += std::fabs(depth[n] - scene.pixels[n].depthMm) > 40.0;
        }
        camera.releaseFrame(frame);
        EXPECT_GT(measured, scene.pixels.size() * 9 / 10);
        // The Jetson receiver's 960-byte blocks fill 16 samples of every 480
        // from 240 further on; in the VGA layout those land on other pixels
        // in each sub-frame, so the pixels they touch mix two places.
        if (b == BOARD_JETSON)
            EXPECT_LT(misses, measured / 10);
        else
            EXPECT_EQ(misses, 0u);
        EXPECT_GT(deepest, 1250.0f);
        EXPECT_EQ(camera.close(), QuorvexSuccess);
    }
}

TEST(CsiEndToEnd, UnknownBoardFailsInTheBusLookup)
{
    World w(BOARD_UNKNOWN, hqvgaModule());
    QuorvexTOFCamera camera;
    CaptureStderr();
    EXPECT_EQ(camera.open(Connection::CSI, 0), QuorvexSystemError);
    EXPECT_EQ(GetCapturedStderr(), "Error: I2C bus name doesn't match any bus present!\n");
    EXPECT_EQ(camera.close(), QuorvexSuccess);
    EXPECT_EQ(w.k.openDescriptors(), 0u);
}

TEST(CsiEndToEnd, ModuleFailingMidStreamDeliversNoWrongFrame)
{
    const sim::Scene scene = moduleScene();
    struct Case {
        const char* title;
        void (*fault)(Sim::SimCaptureNode&);
        TofErrorCode stop;
    } cases[] = {
        {"dequeue failing", [](Sim::SimCaptureNode& n) { n.failDequeueAfter(0, EIO); }, QuorvexSuccess},
        {"device gone", [](Sim::SimCaptureNode& n) { n.unplug(); }, QuorvexSystemError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        World w(BOARD_RASPBERRY_PI_5, hqvgaModule());
        QuorvexTOFCamera camera;
        ASSERT_EQ(camera.open(Connection::CSI, 0), QuorvexSuccess);
        ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvexSuccess);
        DepthPlane plane;
        ASSERT_TRUE(nextDepth(camera, plane));
        c.fault(*w.board.capture);
        // Frames completed before the fault may still come; each must be the
        // scene, and then they stop.
        int delivered = 0;
        while (nextDepth(camera, plane, 3)) {
            ASSERT_LT(++delivered, 50) << "frames keep coming from a failed module";
            EXPECT_EQ(fit(plane, scene, samePixel).misses, 0u);
        }
        EXPECT_EQ(camera.stop(), c.stop);
        EXPECT_EQ(camera.close(), QuorvexSuccess);
        EXPECT_EQ(w.k.openDescriptors(), 0u);
        EXPECT_EQ(w.board.capture->mappedBuffers(), 0u);
    }
}

TEST(CsiEndToEnd, CloseAfterAFailedStartReleasesTheNode)
{
    CsiModule vga;
    vga.variant = CsiModule::Variant::VGA;
    World w(BOARD_RASPBERRY_PI, vga);
    QuorvexTOFCamera camera;
    ASSERT_EQ(camera.open(Connection::CSI, 0), QuorvexSuccess);
    EXPECT_EQ(camera.start(FrameType::CONFIDENCE), QuorvexUnkownError);
    EXPECT_FALSE(w.board.capture->streaming());
    EXPECT_EQ(camera.close(), QuorvexSuccess);
    EXPECT_FALSE(w.board.capture->streaming());
    EXPECT_EQ(w.board.capture->mappedBuffers(), 0u);
    EXPECT_EQ(w.k.openDescriptors(), 0u);
    // The node is free for the next camera.
    QuorvexTOFCamera next;
    ASSERT_EQ(next.open(Connection::CSI, 0), QuorvexSuccess);
    ASSERT_EQ(next.start(FrameType::RAW), QuorvexSuccess);
    EXPECT_NE(waitFrame(next), nullptr);
    EXPECT_EQ(next.close(), QuorvexSuccess);
}

TEST(CsiEndToEnd, CaptureTimesAreTheKernelStampsWhateverTheDelay)
{
    // The kernel stamps buffers on the host's monotonic clock: no module
    // clock to map, only a delivery delay to see through.
    CsiModule module = hqvgaModule();
    module.fps = 30;
    module.latencyMs = 15.0;
    module.latencyJitterMs = 5.0;
    World w(BOARD_RASPBERRY_PI, module);
    QuorvexTOFCamera camera;
    ASSERT_EQ(camera.open(Connection::CSI, 0), QuorvexSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvexSuccess);
    for (int i = 0; i < 5; ++i) {
        QuorvexFrameBuffer* frame = waitFrame(camera);
        ASSERT_NE(frame, nullptr);
        FrameTiming timing;
        FrameDataFormat format{};
        ASSERT_EQ(camera.getFrameTiming(frame, timing), QuorvexSuccess);
        ASSERT_EQ(frame->getFormat(FrameType::DEPTH, format), QuorvexSuccess);
        EXPECT_TRUE(timing.mapped);
        // Microseconds of the stamp, which the millisecond timestamp rounds down.
        EXPECT_EQ(timing.captureNs % 1000, 0);
        EXPECT_EQ(static_cast<uint64_t>(timing.captureNs / 1000000), format.timestamp);
        EXPECT_GE(timing.arrivalNs - timing.captureNs, 15000000);
        EXPECT_EQ(camera.releaseFrame(frame), QuorvexSuccess);
        EXPECT_EQ(camera.getFrameTiming(frame, timing), QuorvexSuccess) << "still a frame of the stream";
    }
    FrameTiming none;
    EXPECT_EQ(camera.getFrameTiming(nullptr, none), QuorvexUnkownError);
    EXPECT_EQ(camera.stop(), QuorvexSuccess);
    EXPECT_EQ(camera.close(), QuorvexSuccess);
}

} // namespace Quorvex
