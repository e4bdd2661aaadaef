// The simulated module's lens and its checkerboard: rays through a distorted
// lens, the board's poses, and the frames of configurations without a lens.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "sim/SceneModel.h"
#include "tests/support/UsbConfigFile.h"
#include "vendor/libquorvex_evk_sdk/quorvex_evk_sdk.h"

#ifdef QUORVEX_EVK_SDK_STANDIN

namespace {

namespace sim = Quorvex::sim;
using Quorvex::test::UsbConfigFile;

uint64_t fnv1a(const void* data, size_t size, uint64_t h = 0xcbf29ce484222325ull)
{
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t n = 0; n < size; ++n)
        h = (h ^ p[n]) * 0x100000001b3ull;
    return h;
}

// Every image of the first `frames` frames of a configuration, hashed;
// `each` gets each frame's hash of its own.
uint64_t framesHash(const std::string& text, int frames, std::vector<uint64_t>* each = nullptr)
{
    UsbConfigFile file(text);
    QuorvexOpenParam param;
    QuorvexDefaultParam(&param);
    param.configPath = file.path.c_str();
    QuorvexCameraHandle handle = nullptr;
    if (QuorvexOpenCamera(&handle, &param) != 0)
        return 0;
    QuorvexCameraConfig config;
    QuorvexGetCameraConfig(handle, &config);
    uint64_t h = 0xcbf29ce484222325ull;
    if (QuorvexInitCamera(handle) == 0 && QuorvexStartCamera(handle) == 0) {
        for (uint32_t n = 0; n < frames * config.imagesPerFrame; ++n) {
            QuorvexImage image;
            // The realistic world renders on the module's own thread and a
            // capture answers a time-out meanwhile: ask again, within a
            // bound an emulated, loaded machine stays inside.
            int status = QUORVEX_EVK_TIMEOUT;
            for (int attempt = 0; attempt < 600 && status == QUORVEX_EVK_TIMEOUT; ++attempt)
                status = QuorvexCaptureImage(handle, &image, 5000);
            if (status != 0) {
                h = 0;
                break;
            }
            h = fnv1a(image.data, image.dataSize, h);
            if (each) {
                if (n % config.imagesPerFrame == 0)
                    each->push_back(0xcbf29ce484222325ull);
                each->back() = fnv1a(image.data, image.dataSize, each->back());
            }
            QuorvexFreeImage(handle, image);
        }
        QuorvexStopCamera(handle);
    }
    QuorvexCloseCamera(handle);
    return h;
}

uint64_t truthHash(const std::string& text, uint32_t frame, uint32_t pixels)
{
    UsbConfigFile file(text);
    std::vector<float> depth(pixels), coverage(pixels);
    if (QuorvexDebugGroundTruth(file.path.c_str(), frame, depth.data(), coverage.data(), pixels) !=
        static_cast<int>(pixels))
        return 0;
    return fnv1a(coverage.data(), pixels * sizeof(float), fnv1a(depth.data(), pixels * sizeof(float)));
}

struct KeptCase {
    const char* text;
    uint64_t frames;
    uint64_t truth;
    // The hashes are x86-64's. Where the compiler fuses multiply-adds
    // (aarch64; the simulator is built with its default contraction), the
    // truth of the VGA steps ends in other last bits; its samples do not.
    bool truthOnEveryCpu = true;
};

// Hashes taken from the module before it had a lens (the realistic
// samples since a pixel's noise is drawn as one Gaussian and its phasors
// summed with the world's own sine, the ideal walls' samples since their
// exposure is no longer capped): a configuration without the lens keys
// must keep giving the very same samples and truth.
TEST(SimLens, ConfigurationsWithoutALensKeepTheirFramesBitForBit)
{
    // A smaller supersampling keeps the realistic cases affordable under
    // emulation; the sub-ray code is the same for every count.
    const KeptCase cases[] = {
        {"", 0x09990443b3d94e65ull, 0xa94ced7e7395d151ull},
        {"scene = sphere\nnoise = 4\nfps = 0\n", 0x92b16732dfdb6552ull, 0xc174295f450ae54dull},
        {"physics = realistic\nscene = box\nfps = 0\n", 0x659923b9ee535e14ull, 0x8bc937608b085997ull},
        {"physics = realistic\nscene = box\nmotion = 10\nmotion_direction = right\nsupersample = 2\nfps = 0\n", 0x2eac7eb79d6c7a16ull, 0x91ede8f38037f4e4ull},
        {"physics = realistic\nscene = corner\nmotion = 10\nsupersample = 2\nfps = 0\n", 0x7addb045ee718c93ull, 0xe5099c8281754479ull},
        {"variant = vga\nwidth = 320\nheight = 240\nphysics = realistic\nscene = steps\nsupersample = 2\nfps = 0\n", 0x7d9c476aa1d34c50ull, 0x610beeaf3a644ea1ull,
         false},
        {"variant = vga\nwidth = 320\nheight = 240\nscene = flat\nmotion = 5\nfps = 0\n", 0x78ac0fa7e00c3225ull, 0x7ac3da7c1b56279dull},
    };
    for (const KeptCase& c : cases) {
        const bool vga = std::string(c.text).find("vga") != std::string::npos;
        const bool half = std::string(c.text).find("320") != std::string::npos;
        const uint32_t pixels = vga ? (half ? 320u * 240u : 640u * 480u) : 240u * 180u;
        const uint64_t frames = framesHash(c.text, 2);
        const uint64_t truth = truthHash(c.text, 1, pixels);
        EXPECT_EQ(frames, c.frames) << c.text;
#if !defined(__x86_64__)
        if (!c.truthOnEveryCpu)
            continue;
#endif
        EXPECT_EQ(truth, c.truth) << c.text;
    }
}


sim::LensModel goalLens()
{
    sim::LensModel lens;
    lens.fx = 201.0;
    lens.fy = 199.5;
    lens.cx = 121.3;
    lens.cy = 88.4;
    lens.k1 = -0.28;
    lens.k2 = 0.09;
    lens.p1 = 0.0008;
    lens.p2 = -0.0006;
    return lens;
}

TEST(SimLens, RaysAndProjectionAreInverseOverTheWholeImage)
{
    sim::LensModel strong = goalLens();
    strong.k3 = -0.02;
    sim::LensModel pincushion = goalLens();
    pincushion.k1 = 0.15;
    pincushion.k2 = -0.01;
    const sim::LensModel lenses[] = {sim::nominalLens(240, 180), goalLens(), strong, pincushion,
                                     sim::nominalLens(640, 480)};
    for (const sim::LensModel& lens : lenses) {
        double worst = 0.0;
        for (double v = -0.5; v <= 180.5; v += 3.7) {
            for (double u = -0.5; u <= 240.5; u += 4.3) {
                double dir[3];
                ASSERT_TRUE(lens.ray(u, v, dir)) << u << ", " << v;
                EXPECT_NEAR(dir[0] * dir[0] + dir[1] * dir[1] + dir[2] * dir[2], 1.0, 1e-12);
                double pu = 0.0, pv = 0.0;
                ASSERT_TRUE(lens.project(dir, pu, pv));
                worst = std::max(worst, std::hypot(pu - u, pv - v));
            }
        }
        EXPECT_LT(worst, 1e-8) << "k1 " << lens.k1;
    }
    // Barrel distortion draws the image's edge in: its corner pixel sees
    // farther out than the pinhole of the same focal length would.
    const sim::LensModel barrel = goalLens();
    double dir[3];
    ASSERT_TRUE(barrel.ray(0.0, 0.0, dir));
    EXPECT_LT(dir[0] / dir[2], -(121.3 / 201.0) * 1.15);
}

// The truth of a flat wall through a distorted lens: every pixel's point,
// along the ray the lens gives that pixel, lies on the wall and projects
// back onto the pixel's centre.
TEST(SimLens, GroundTruthIsTheDistanceAlongEachPixelsTrueRay)
{
    UsbConfigFile file("scene = flat\ndistance = 1500\nlens_fx = 201\nlens_fy = 199.5\nlens_cx = 121.3\n"
                       "lens_cy = 88.4\nlens_k1 = -0.28\nlens_k2 = 0.09\nlens_p1 = 0.0008\nlens_p2 = -0.0006\n");
    const uint32_t pixels = 240 * 180;
    std::vector<float> depth(pixels);
    ASSERT_EQ(QuorvexDebugGroundTruth(file.path.c_str(), 0, depth.data(), nullptr, pixels), static_cast<int>(pixels));
    const sim::LensModel lens = goalLens();
    double worstZ = 0.0, worstPx = 0.0, maxDepth = 0.0;
    for (int v = 0; v < 180; ++v) {
        for (int u = 0; u < 240; ++u) {
            const double d = depth[static_cast<size_t>(v) * 240 + u];
            double dir[3];
            ASSERT_TRUE(lens.ray(u, v, dir));
            const double p[3] = {dir[0] * d, dir[1] * d, dir[2] * d};
            double pu = 0.0, pv = 0.0;
            ASSERT_TRUE(lens.project(p, pu, pv));
            worstZ = std::max(worstZ, std::fabs(p[2] - 1500.0));
            worstPx = std::max(worstPx, std::hypot(pu - u, pv - v));
            maxDepth = std::max(maxDepth, d);
        }
    }
    EXPECT_LT(worstZ, 0.001); // float32 depth of about 2 m
    EXPECT_LT(worstPx, 1e-6);
    // The corner rays are more oblique than a pinhole's of the same focal
    // length (1.25 x the wall's distance there).
    EXPECT_GT(maxDepth, 1500.0 * 1.3);
}

TEST(SimLens, CheckerboardPosesStayInViewAndInRange)
{
    const sim::SceneParams params;
    int regions[9] = {};
    double maxYaw = 0.0, maxPitch = 0.0;
    for (uint64_t f = 0; f < 200; ++f) {
        const sim::BoardPose pose = sim::checkerboardPose(f, params);
        EXPECT_GE(pose.centre[2], 600.0);
        EXPECT_LE(pose.centre[2], 1200.0);
        // Tilt about each image axis, from the normal's components.
        const double yaw = std::atan2(pose.normal[0], pose.normal[2]) * 180.0 / sim::kPi;
        const double pitch = std::asin(-pose.normal[1]) * 180.0 / sim::kPi;
        EXPECT_LE(std::fabs(yaw), 36.0);
        EXPECT_LE(std::fabs(pitch), 36.0);
        maxYaw = std::max(maxYaw, std::fabs(yaw));
        maxPitch = std::max(maxPitch, std::fabs(pitch));
        // The sheet's corners inside the nominal view.
        const sim::LensModel nominal = sim::nominalLens(240, 180);
        const double halfW = (params.boardCols + 3) / 2.0 * params.boardSquareMm;
        const double halfH = (params.boardRows + 3) / 2.0 * params.boardSquareMm;
        for (int sx = -1; sx <= 1; sx += 2) {
            for (int sy = -1; sy <= 1; sy += 2) {
                double p[3];
                for (int a = 0; a < 3; ++a)
                    p[a] = pose.centre[a] + sx * halfW * pose.across[a] + sy * halfH * pose.down[a];
                double u = 0.0, v = 0.0;
                ASSERT_TRUE(nominal.project(p, u, v));
                EXPECT_TRUE(u > 0.0 && u < 239.0 && v > 0.0 && v < 179.0) << "frame " << f << ": " << u << ", " << v;
            }
        }
        double u = 0.0, v = 0.0;
        nominal.project(pose.centre, u, v);
        ++regions[std::min(2, static_cast<int>(u / 80.0)) + 3 * std::min(2, static_cast<int>(v / 60.0))];
        if (f > 0) {
            const sim::BoardPose before = sim::checkerboardPose(f - 1, params);
            EXPECT_GT(std::fabs(before.centre[0] - pose.centre[0]) + std::fabs(before.centre[2] - pose.centre[2]), 20.0);
        }
    }
    EXPECT_GT(maxYaw, 33.0);
    EXPECT_GT(maxPitch, 33.0);
    for (int r = 0; r < 9; ++r)
        EXPECT_GE(regions[r], 10) << "region " << r;
}

// Seen through a distorted lens, the squares around each inner corner are
// where projecting the board's own points says, in their colours.
TEST(SimLens, CheckerboardSquaresAreWhereTheLensPutsThem)
{
    sim::SceneParams params;
    params.hasLens = true;
    params.lens = goalLens();
    sim::SceneGeometry board(sim::SceneKind::CHECKERBOARD, params);
    const double origin[3] = {0.0, 0.0, 0.0};
    int checked = 0;
    for (uint64_t f : {0u, 4u, 8u, 13u, 27u}) {
        board.setFrame(f);
        const sim::BoardPose pose = sim::checkerboardPose(f, params);
        for (int row = 0; row < params.boardRows; ++row) {
            for (int col = 0; col < params.boardCols; ++col) {
                double corner[3];
                board.boardCorner(col, row, corner);
                for (int q = 0; q < 4; ++q) {
                    const double da = (q & 1 ? 0.3 : -0.3) * params.boardSquareMm;
                    const double db = (q & 2 ? 0.3 : -0.3) * params.boardSquareMm;
                    double p[3];
                    for (int a = 0; a < 3; ++a)
                        p[a] = corner[a] + da * pose.across[a] + db * pose.down[a];
                    double u = 0.0, v = 0.0;
                    ASSERT_TRUE(params.lens.project(p, u, v));
                    double dir[3];
                    board.rayThrough(u + 0.5, v + 0.5, 240, 180, dir);
                    sim::SceneHit hit;
                    ASSERT_TRUE(board.trace(origin, dir, hit));
                    const double along = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
                    EXPECT_NEAR(hit.t, along, 1e-6);
                    // The square before corner (0, 0) is dark.
                    const bool dark = ((col + (q & 1)) + (row + (q & 2 ? 1 : 0))) % 2 == 0;
                    EXPECT_EQ(hit.albedo, dark ? params.boardDark : params.boardBright)
                        << "frame " << f << " corner " << col << ", " << row << " quadrant " << q;
                    ++checked;
                }
            }
        }
    }
    EXPECT_EQ(checked, 5 * 9 * 6 * 4);
}

struct KeyCase {
    const char* text;
    const char* error; // empty: accepted
};

TEST(SimLens, LensAndBoardKeysAreCheckedLikeEveryOther)
{
    const KeyCase cases[] = {
        {"lens_fx = 201\nlens_k1 = -0.28\nlens_k2 = 0.09\n", ""},
        // Without k2 that k1 turns back before the image's corner.
        {"lens_fx = 201\nlens_k1 = -0.28\n", ":2: key 'lens_k1': the lens's distortion folds the image over"},
        {"scene = checkerboard\nboard = 7x5\nboard_square_mm = 25\n", ""},
        {"variant = vga\nlens_cx = 320\n", ""},
        {"lens_fx = 0\n", ":1: key 'lens_fx': bad value '0'"},
        {"lens_k1 = big\n", ":1: key 'lens_k1': bad value 'big'"},
        {"lens_k1 = -4\n", ":1: key 'lens_k1': the lens's distortion folds the image over"},
        {"board = 9x6\n", ":1: key 'board': applies to scene = checkerboard only"},
        {"scene = checkerboard\nboard = 9\n", ":2: key 'board': bad value '9'"},
        {"scene = checkerboard\nboard = 2x6\n", ":2: key 'board': bad value '2x6'"},
        {"scene = checkerboard\nboard_square_mm = 1\n", ":2: key 'board_square_mm': bad value '1'"},
    };
    for (const KeyCase& c : cases) {
        UsbConfigFile file(c.text);
        QuorvexOpenParam param;
        QuorvexDefaultParam(&param);
        param.configPath = file.path.c_str();
        QuorvexCameraHandle handle = nullptr;
        testing::internal::CaptureStderr();
        const int result = QuorvexOpenCamera(&handle, &param);
        const std::string said = testing::internal::GetCapturedStderr();
        if (handle)
            QuorvexCloseCamera(handle);
        if (*c.error == '\0') {
            EXPECT_EQ(result, 0) << c.text << said;
            continue;
        }
        EXPECT_EQ(result, QUORVEX_EVK_BAD_CONFIGURATION) << c.text;
        EXPECT_NE(said.find(file.path + c.error), std::string::npos) << c.text << " said: " << said;
    }
}

// Frames of the checkerboard differ from one frame to the next, in both
// worlds, and the truth follows the frame asked for.
TEST(SimLens, CheckerboardFramesAndTruthChangeEveryFrame)
{
    for (const char* text : {"scene = checkerboard\nfps = 0\n",
                             "scene = checkerboard\nphysics = realistic\nsupersample = 1\nfps = 0\n"}) {
        std::vector<uint64_t> each;
        framesHash(text, 3, &each);
        ASSERT_EQ(each.size(), 3u);
        EXPECT_NE(each[0], each[1]) << text;
        EXPECT_NE(each[1], each[2]) << text;
        EXPECT_NE(truthHash(text, 0, 240 * 180), truthHash(text, 1, 240 * 180)) << text;
    }
}

} // namespace

#endif
