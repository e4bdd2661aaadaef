// The realistic world over both connections against the scene's ground
// truth: the CSI board's module decoded by the camera, the USB module's
// truth export checked against the pinhole geometry worked out here.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "camera/QuorvexFrameBuffer.h"
#include "camera/QuorvexTOFCamera.h"
#include "sim/SceneModel.h"
#include "sim/SensorPhysics.h"
#include "sim/SimCsiBoard.h"
#include "sim/VgaFrames.h"
#include "support/UsbConfigFile.h"
#include "vendor/libquorvex_evk_sdk/quorvex_evk_sdk.h"
#include "vendor/libsi4c/si4c.h"

namespace Quorvex {
namespace {

using Sim::CsiModule;

struct World {
    World(BoardKind b, CsiModule module) : board(k, b, module) {}
    Sim::SimKernel k;
    Sim::ScopedKernel scope{k};
    Sim::SimCsiBoard board;
};

bool nextDepth(QuorvexTOFCamera& camera, std::vector<float>& depth, std::vector<float>& confidence)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (QuorvexFrameBuffer* frame = camera.requestFrame(300)) {
            const float* d = static_cast<const float*>(frame->getData(FrameType::DEPTH));
            depth.assign(d, d + sim::kHqvgaPlaneWords);
            const float* a = static_cast<const float*>(frame->getData(FrameType::CONFIDENCE));
            confidence.assign(a, a + sim::kHqvgaPlaneWords);
            camera.releaseFrame(frame);
            return true;
        }
    }
    return false;
}

// Whether every truth pixel within `r` of (u, v) is fully covered.
bool inside(const std::vector<float>& coverage, int u, int v, int r)
{
    for (int y = std::max(0, v - r); y <= std::min(sim::kHqvgaHeight - 1, v + r); ++y)
        for (int x = std::max(0, u - r); x <= std::min(sim::kHqvgaWidth - 1, u + r); ++x)
            if (coverage[static_cast<size_t>(y) * sim::kHqvgaWidth + x] < 1.0f)
                return false;
    return true;
}

// Light that is not the camera's reaches a surface from every side: what a
// pixel gets of it is the surface's albedo times the ambient level, however
// steeply the camera looks at the surface (a plane fills the whole view at
// each tilt; its far corners are seen at up to 80 degrees).
TEST(SimPhysics, AmbientLightIsTheAlbedosWhateverTheCamerasAngle)
{
    for (double tilt : {0.0, 35.0, 50.0}) {
        SCOPED_TRACE(tilt);
        sim::SceneParams params;
        params.tiltDeg = tilt;
        params.wallAlbedo = 0.5f;
        sim::PhysicsSettings settings;
        settings.realistic = true;
        settings.supersample = 2;
        settings.ambientE = 3000.0;
        sim::PhysicalWorld world(sim::SceneKind::TILTED_WALL, params, 48, 36, settings);
        const std::vector<sim::PixelLight>& light = world.lightAt(37.5e6, 0, 0.0);
        ASSERT_EQ(light.size(), 48u * 36u);
        for (size_t n = 0; n < light.size(); ++n)
            ASSERT_NEAR(light[n].ambient, 1500.0f, 0.01f) << "pixel " << n;
    }
}

TEST(SimPhysics, CsiModuleShowsTheSceneWithMixedEdges)
{
    const struct {
        BoardKind board;
        sim::SceneKind scene;
    } cases[] = {{BOARD_RASPBERRY_PI, sim::SceneKind::BOX},
                 {BOARD_JETSON_TX1_NANO, sim::SceneKind::STEPS},
                 {BOARD_RASPBERRY_PI_5, sim::SceneKind::SPHERE}};
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.scene));
        CsiModule module;
        module.fps = 0;
        module.scene = c.scene;
        module.physics.realistic = true;
        module.physics.shotNoise = false;
        module.physics.readNoiseE = 0.0;
        module.physics.ambientE = 0.0;
        World w(c.board, module);
        QuorvexTOFCamera camera;
        ASSERT_EQ(camera.open(Connection::CSI, 0), QuorvexSuccess);
        ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvexSuccess);
        std::vector<float> depth, confidence;
        ASSERT_TRUE(nextDepth(camera, depth, confidence));
        EXPECT_EQ(camera.stop(), QuorvexSuccess);
        camera.close();

        sim::SceneParams params;
        params.distanceMm = 1500.0;
        params.objectDistanceMm = 1000.0;
        params.objectSizeMm = 1000.0 / 3.0;
        const sim::SceneGeometry geometry(c.scene, params);
        std::vector<float> truth(sim::kHqvgaPlaneWords), coverage(sim::kHqvgaPlaneWords);
        const double origin[3] = {0.0, 0.0, 0.0};
        sim::sceneTruth(geometry, sim::kHqvgaWidth, sim::kHqvgaHeight, origin, truth.data(), coverage.data());

        size_t interior = 0, interiorOff = 0, mixed = 0, between = 0;
        for (int v = 1; v + 1 < sim::kHqvgaHeight; ++v) {
            for (int u = 1; u + 1 < sim::kHqvgaWidth; ++u) {
                const size_t n = static_cast<size_t>(v) * sim::kHqvgaWidth + u;
                float lo = truth[n], hi = truth[n];
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) {
                        lo = std::min(lo, truth[n + dy * sim::kHqvgaWidth + dx]);
                        hi = std::max(hi, truth[n + dy * sim::kHqvgaWidth + dx]);
                    }
                if (inside(coverage, u, v, 2)) {
                    ++interior;
                    // Sub-rays over a plane average to its centre to well
                    // under a millimetre; whole-number samples of amplitude
                    // A (confidence / 16) leave the phase about 1/A radian
                    // uncertain.
                    const double a = std::max(1.0, confidence[n] / 16.0);
                    interiorOff += std::fabs(depth[n] - truth[n]) > 4000.0 / (2.0 * sim::kPi) * 1.5 / a + 1.5;
                } else if (hi - lo > 100.0f && coverage[n] < 0.95f) {
                    ++mixed;
                    between += depth[n] > lo + 10.0f && depth[n] < hi - 10.0f;
                }
            }
        }
        EXPECT_GT(interior, sim::kHqvgaPlaneWords / 2);
        EXPECT_LT(interiorOff, interior / 100);
        EXPECT_GT(mixed, 50u);
        EXPECT_GT(between, mixed * 6 / 10);
    }
}

#ifdef QUORVEX_EVK_SDK_STANDIN
TEST(SimPhysics, UsbTruthIsThePinholeGeometry)
{
    // A flat wall at D: the centre ray of pixel (u, v) meets it at
    // D * |r| / r_z with r = ((u + 0.5 - W/2) / f, (v + 0.5 - H/2) / f, 1),
    // f = (W/2) / tan(30 degrees).
    const struct {
        const char* text;
        int width, height;
        double distance, motion;
    } cases[] = {{"scene = flat\ndistance = 1200\n", 240, 180, 1200.0, 0.0},
                 {"variant = vga\nscene = flat\ndistance = 900\nwidth = 320\nheight = 240\n", 320, 240, 900.0, 0.0},
                 // Frame 3 of the ideal world: every distance 3 * 40 mm on.
                 {"scene = flat\ndistance = 1000\nmotion = 40\n", 240, 180, 1000.0, 120.0},
                 // The realistic world moves the wall itself.
                 {"physics = realistic\nscene = flat\ndistance = 1000\nmotion = 40\nfps = 0\n", 240, 180, 1120.0, 0.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        test::UsbConfigFile file(c.text);
        const size_t n = static_cast<size_t>(c.width) * c.height;
        std::vector<float> depth(n), coverage(n);
        ASSERT_EQ(QuorvexDebugGroundTruth(file.path.c_str(), 3, depth.data(), coverage.data(),
                                          static_cast<uint32_t>(n)),
                  static_cast<int>(n));
        const double f = (c.width / 2.0) / std::tan(sim::kPi / 6.0);
        double worst = 0.0;
        for (int v = 0; v < c.height; v += 7)
            for (int u = 0; u < c.width; u += 5) {
                const double x = (u + 0.5 - c.width / 2.0) / f, y = (v + 0.5 - c.height / 2.0) / f;
                const double expected = c.distance * std::sqrt(x * x + y * y + 1.0) + c.motion;
                worst = std::max(worst, std::fabs(depth[static_cast<size_t>(v) * c.width + u] - expected));
                EXPECT_EQ(coverage[static_cast<size_t>(v) * c.width + u], 1.0f);
            }
        EXPECT_LT(worst, 0.01);
    }

    // A box's silhouette is part covered, its inside and the wall fully.
    test::UsbConfigFile box("scene = box\n");
    std::vector<float> coverage(sim::kHqvgaPlaneWords);
    ASSERT_EQ(QuorvexDebugGroundTruth(box.path.c_str(), 0, nullptr, coverage.data(), sim::kHqvgaPlaneWords),
              static_cast<int>(sim::kHqvgaPlaneWords));
    const auto part = std::count_if(coverage.begin(), coverage.end(), [](float c) { return c > 0.0f && c < 1.0f; });
    EXPECT_GT(part, 100);
    EXPECT_LT(part, 2000);

    // Refusals.
    test::UsbConfigFile pattern("scene = pattern\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(QuorvexDebugGroundTruth(pattern.path.c_str(), 0, nullptr, coverage.data(), sim::kHqvgaPlaneWords),
              QUORVEX_EVK_BAD_CONFIGURATION);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("no scene"), std::string::npos);
    EXPECT_EQ(QuorvexDebugGroundTruth(nullptr, 0, nullptr, coverage.data(), 100), QUORVEX_EVK_INVALID_ARGUMENT);
}
#endif

// The light of a pixel from the geometry alone, as the optics describe it:
// the mean phasor of its sub-rays (double precision throughout).
sim::PixelLight referenceLight(const sim::SceneGeometry& g, int w, int h, int n, int u, int v, double freqHz,
                               const double origin[3])
{
    double re = 0.0, im = 0.0, total = 0.0, albedo = 0.0;
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            double d[3];
            g.rayThrough(u + (i + 0.5) / n, v + (j + 0.5) / n, w, h, d);
            sim::SceneHit hit;
            if (!g.trace(origin, d, hit))
                continue;
            const double m = hit.t / 1000.0;
            const double a = sim::kRealisticAmplitudeAt1m * hit.albedo * hit.cosine / (m * m);
            re += a * std::cos(sim::phaseOf(hit.t, freqHz));
            im += a * std::sin(sim::phaseOf(hit.t, freqHz));
            total += a;
            albedo += hit.albedo;
        }
    const double inv = 1.0 / (n * n);
    return {static_cast<float>(re * inv), static_cast<float>(im * inv), static_cast<float>(total * inv),
            static_cast<float>(sim::PhysicsSettings{}.ambientE * albedo * inv)};
}

// A sideways motion before a wall retraces only the pixels the objects'
// outlines can reach: its images are those of tracing every pixel, bit for
// bit, through a pinhole and a distorted lens, while the objects cross the
// image's edge and leave it, and both agree with the geometry traced here.
TEST(SimPhysics, MovingLightTracedWhereObjectsReachIsTheWholeTrace)
{
    const int w = 48, h = 36, n = 3;
    sim::LensModel lens = sim::nominalLens(w, h);
    lens.cx += 0.7;
    lens.cy -= 0.4;
    lens.k1 = -0.3;
    lens.k2 = 0.1;
    lens.p1 = 0.002;
    lens.p2 = -0.0015;
    const struct {
        sim::SceneKind kind;
        bool distorted;
        sim::MotionDirection direction;
        double mmPerFrame;
    } cases[] = {
        {sim::SceneKind::BOX, false, sim::MotionDirection::RIGHT, 10.0},
        {sim::SceneKind::BOX, true, sim::MotionDirection::RIGHT, 10.0},
        // 0 to 1800 mm over the period: the box reaches the edge and leaves.
        {sim::SceneKind::BOX, false, sim::MotionDirection::RIGHT, 200.0},
        {sim::SceneKind::BOX, true, sim::MotionDirection::RIGHT, 200.0},
        {sim::SceneKind::SPHERE, true, sim::MotionDirection::RIGHT, 150.0},
        {sim::SceneKind::STEPS, true, sim::MotionDirection::RIGHT, 150.0},
        {sim::SceneKind::STEPS, false, sim::MotionDirection::RIGHT, 150.0},
        // Towards the camera and away: the wall moves too, all is traced.
        {sim::SceneKind::BOX, true, sim::MotionDirection::AWAY, -60.0},
        {sim::SceneKind::BOX, false, sim::MotionDirection::AWAY, 60.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(c.kind) << (c.distorted ? " lens " : " pinhole ")
                                        << static_cast<int>(c.direction) << " " << c.mmPerFrame);
        sim::SceneParams params;
        params.hasLens = c.distorted;
        params.lens = lens;
        sim::PhysicsSettings settings;
        settings.realistic = true;
        settings.supersample = n;
        sim::SceneMotion motion;
        motion.direction = c.direction;
        motion.mmPerFrame = c.mmPerFrame;
        sim::PhysicalWorld fast(c.kind, params, w, h, settings, motion);
        sim::PhysicalWorld whole(c.kind, params, w, h, settings, motion);
        whole.setTraceObjectsOnly(false);
        const sim::SceneGeometry geometry(c.kind, params);
        size_t objectPixels = 0;
        for (uint64_t frame = 0; frame < 10; frame += 3) {
            for (unsigned k = 0; k < 4; k += 3) {
                const std::vector<sim::PixelLight>& a = fast.subFrameLight(37.5e6, frame, k);
                const std::vector<sim::PixelLight>& b = whole.subFrameLight(37.5e6, frame, k);
                ASSERT_EQ(a.size(), b.size());
                double origin[3];
                motion.originAt(frame, k * sim::kSubFrameSpacingMs, origin);
                for (int v = 0; v < h; ++v)
                    for (int u = 0; u < w; ++u) {
                        const size_t at = static_cast<size_t>(v) * w + u;
                        ASSERT_EQ(std::memcmp(&a[at], &b[at], sizeof a[at]), 0)
                            << "frame " << frame << " sub-frame " << k << " pixel " << u << "," << v;
                        const sim::PixelLight r = referenceLight(geometry, w, h, n, u, v, 37.5e6, origin);
                        const float scale = 1e-4f * r.total + 1e-3f;
                        ASSERT_NEAR(a[at].re, r.re, scale) << u << "," << v;
                        ASSERT_NEAR(a[at].im, r.im, scale) << u << "," << v;
                        ASSERT_NEAR(a[at].total, r.total, scale) << u << "," << v;
                        ASSERT_NEAR(a[at].ambient, r.ambient, 1e-2f) << u << "," << v;
                        double d[3];
                        geometry.rayThrough(u + 0.5, v + 0.5, w, h, d);
                        sim::SceneHit hit;
                        objectPixels += geometry.trace(origin, d, hit) && hit.object != 0;
                    }
            }
        }
        // The objects were in view for the test to mean anything.
        EXPECT_GT(objectPixels, 100u);
    }
}

// Both VGA renderers fill the raw layout the depth library reads: per
// frequency, four phase sub-frames and an ambient one, each an embedded row
// (marker, frequency index, sub-frame, frequency in 100 kHz) and the image;
// nothing written past the frame.
TEST(SimPhysics, VgaRenderersFillTheRawLayout)
{
    constexpr int w = 32, h = 24;
    constexpr uint16_t kGuard = 0xBEEF;
    const double freqs[2] = {SI4C_FREQ1_HZ, SI4C_FREQ2_HZ};
    sim::PhysicsSettings realistic;
    realistic.realistic = true;
    for (const bool physical : {false, true}) {
        for (const bool single : {true, false}) {
            SCOPED_TRACE(std::string(physical ? "realistic" : "ideal") + (single ? " single" : " dual"));
            const size_t words = static_cast<size_t>(w) * (h + 1) * 5 * (single ? 1 : 2);
            ASSERT_EQ(sim::vgaFrameWords(w, h, single), words);
            std::vector<uint16_t> raw(words + 64, kGuard);
            sim::NoiseSource noise(7);
            if (physical) {
                sim::PhysicalWorld world(sim::SceneKind::TILTED_WALL, {}, w, h, realistic);
                ASSERT_TRUE(sim::renderVgaFrame(world, 0, single, raw.data(), noise));
            } else {
                const sim::Scene scene = sim::makeScene(sim::SceneKind::TILTED_WALL, w, h);
                ASSERT_TRUE(sim::renderVgaFrame(scene, w, h, single, raw.data()));
            }
            EXPECT_TRUE(std::all_of(raw.begin() + static_cast<std::ptrdiff_t>(words), raw.end(),
                                    [](uint16_t v) { return v == kGuard; }));
            for (int f = 0; f < (single ? 1 : 2); ++f) {
                double mean[5] = {};
                for (int s = 0; s < 5; ++s) {
                    const uint16_t* sub = raw.data() + static_cast<size_t>(f * 5 + s) * w * (h + 1);
                    EXPECT_EQ(sub[0], SI4C_EMBEDDED_MARKER);
                    EXPECT_EQ(sub[1], f);
                    EXPECT_EQ(sub[2], s);
                    EXPECT_EQ(sub[3], std::lround(freqs[f] / 1e5));
                    EXPECT_TRUE(std::all_of(sub + 4, sub + w, [](uint16_t v) { return v == 0; }));
                    for (int n = 0; n < w * h; ++n)
                        mean[s] += sub[w + n] / double(w * h);
                }
                // Phase samples ride on the converter's offset; the ambient
                // image holds only the light that is not the camera's.
                for (int s = 0; s < 4; ++s)
                    EXPECT_GT(mean[s], mean[4] + 500.0) << "sub-frame " << s;
            }
        }
    }
}

} // namespace
} // namespace Quorvex
