// The open depth engine decodes frames rendered from the scene model (pure
// physics) back into the scene's distances.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "sim/SceneModel.h"
#include "sim/VgaFrames.h"
#include "vendor/libsi4c/si4c.h"

#ifdef QUORVEX_SI4C_STANDIN

using namespace Quorvex::sim;

namespace {

struct Engine {
    explicit Engine(int w, int h, bool single, const char* config = nullptr,
                    const std::vector<unsigned char>* cali = nullptr)
        : width(w), height(h)
    {
        EXPECT_EQ(SiSDKCreate(&handle), 1);
        EXPECT_EQ(SiSDKSetSingleFreq(handle, single ? 1 : 0), 1);
        EXPECT_EQ(SiSDKInit(handle, w, h), 1);
        if (cali)
            SiSDKSetCaliData(handle, cali->data(), cali->size());
        if (config)
            SiSDKSetConfig(handle, config);
        started = SiSDKStart(handle) == 1;
    }
    ~Engine() { SiSDKDestroy(&handle); }

    // Decodes `scene`; false when the engine refuses the frame.
    bool decode(const Scene& scene, bool single, const VgaLight& light = {},
                NoiseSource* noise = nullptr)
    {
        raw.assign(vgaFrameWords(width, height, single), 0);
        EXPECT_TRUE(renderVgaFrame(scene, width, height, single, raw.data(), light, noise));
        const size_t n = static_cast<size_t>(width) * height;
        depth.assign(n, -1.0f);
        amplitude.assign(n, -1.0f);
        confidence.assign(n, -1.0f);
        return SiSDKGetPhaseImage(handle, reinterpret_cast<const unsigned char*>(raw.data()),
                                  depth.data(), amplitude.data(), confidence.data()) == 1;
    }

    SiSDKHandle handle = nullptr;
    int width, height;
    bool started = false;
    std::vector<uint16_t> raw;
    std::vector<float> depth, amplitude, confidence;
};

struct DecodeCase {
    const char* name;
    SceneKind kind;
    SceneParams params;
    int width, height;
    bool single;
    double toleranceMm;   // largest error of any valid pixel
    double minFarMm;      // the scene must reach at least this far
};

// Distance the engine should report for a true distance: single-frequency
// depth repeats every 1250 mm, dual-frequency every 5000 mm.
double expected(double trueMm, bool single)
{
    const double period = single ? SI4C_RANGE1_MM : SI4C_UNAMBIGUOUS_DUAL_MM;
    return std::fmod(trueMm, period);
}

double wrappedError(double got, double want, bool single)
{
    const double period = single ? SI4C_RANGE1_MM : SI4C_UNAMBIGUOUS_DUAL_MM;
    double e = std::fmod(std::fabs(got - want), period);
    return std::min(e, period - e);
}

SceneParams wall(double distance, double tilt)
{
    SceneParams p;
    p.distanceMm = distance;
    p.tiltDeg = tilt;
    return p;
}

SceneParams box(double object, double background)
{
    SceneParams p;
    p.objectDistanceMm = object;
    p.distanceMm = background;
    return p;
}

class DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

// Without sensor noise the only error is the rounding of the samples to
// integers: I and Q are each off by at most 1, so the phase by at most
// asin(sqrt(2) / (2 A)), i.e. a distance error of that fraction of 2 pi of
// the longer range (plus 1 mm for float arithmetic). The case's tolerance
// caps this bound where the scene is bright enough.
double roundingBoundMm(double amplitude, bool single)
{
    const double range = single ? SI4C_RANGE1_MM : SI4C_RANGE2_MM;
    const double s = std::min(1.0, std::sqrt(2.0) / (2.0 * amplitude));
    return std::asin(s) / (2.0 * M_PI) * range + 1.0;
}
TEST_P(DecodeTest, DepthMatchesTheScene)
{
    const DecodeCase& c = GetParam();
    const Scene scene = makeScene(c.kind, c.width, c.height, c.params);
    Engine engine(c.width, c.height, c.single);
    ASSERT_TRUE(engine.started);
    ASSERT_TRUE(engine.decode(scene, c.single));

    size_t valid = 0;
    double worst = 0.0, farthest = 0.0;
    for (size_t n = 0; n < scene.pixels.size(); ++n) {
        const double truth = scene.pixels[n].depthMm;
        farthest = std::max(farthest, truth);
        ASSERT_GE(engine.amplitude[n], 0.0f);
        // Invalid pixels carry depth 0 and confidence 0; a valid pixel may
        // also read 0 exactly where the distance wraps.
        if (engine.confidence[n] == 0.0f) {
            EXPECT_EQ(engine.depth[n], 0.0f);
            continue;
        }
        ++valid;
        const double err = wrappedError(engine.depth[n], expected(truth, c.single), c.single);
        worst = std::max(worst, err);
        const double a = amplitudeOf(scene.pixels[n], vgaCorrelationModel());
        const double bound = std::max(c.toleranceMm, roundingBoundMm(a, c.single));
        ASSERT_LE(err, bound) << "pixel " << n << " truth " << truth << " got "
                                      << engine.depth[n];
        // Amplitude is the scene's correlation amplitude, within rounding.
        EXPECT_NEAR(engine.amplitude[n], a, 1.0 + 0.01 * a);
    }
    EXPECT_GE(valid, scene.pixels.size() * 9 / 10);
    EXPECT_GE(farthest, c.minFarMm);
    RecordProperty("worst_error_mm", std::to_string(worst));
}

INSTANTIATE_TEST_SUITE_P(
    Scenes, DecodeTest,
    ::testing::Values(
        DecodeCase{"SingleNearWall", SceneKind::TILTED_WALL, wall(800, 20), 320, 240, true, 10, 0},
        // Beyond 1250 mm single-frequency depth wraps round.
        DecodeCase{"SingleWallBeyondRange", SceneKind::TILTED_WALL, wall(1600, 30), 320, 240, true,
                   10, 1500},
        DecodeCase{"SingleSphere", SceneKind::SPHERE, box(900, 1200), 640, 480, true, 10, 0},
        DecodeCase{"DualNearWall", SceneKind::TILTED_WALL, wall(800, 20), 320, 240, false, 10, 0},
        DecodeCase{"DualFarWall", SceneKind::TILTED_WALL, wall(3000, 30), 640, 480, false, 10,
                   4000},
        DecodeCase{"DualBoxBeforeFarWall", SceneKind::BOX, box(1000, 4400), 320, 240, false, 10,
                   4400}),
    [](const ::testing::TestParamInfo<DecodeCase>& i) { return std::string(i.param.name); });

// Sensor noise of 2 sample units: at 3..4.5 m the amplitude is only 20..40,
// and the unwrapping must still pick the right lap for every pixel.
TEST(Si4cEngine, DualFrequencyUnwrapsUnderNoise)
{
    SceneParams p = wall(3200, 25);
    const Scene scene = makeScene(SceneKind::TILTED_WALL, 320, 240, p);
    VgaLight light;
    light.model.noise = 2.0;
    NoiseSource noise(7);
    Engine engine(320, 240, false);
    ASSERT_TRUE(engine.decode(scene, false, light, &noise));
    double sumSq = 0.0;
    size_t valid = 0;
    size_t rated = 0;
    for (size_t n = 0; n < scene.pixels.size(); ++n) {
        if (scene.pixels[n].depthMm > SI4C_RATED_DUAL_MM)
            continue;
        ++rated;
        if (engine.confidence[n] == 0.0f)
            continue;
        const double err = engine.depth[n] - scene.pixels[n].depthMm;
        ASSERT_LT(std::fabs(err), 150.0) << "wrong lap at pixel " << n;
        sumSq += err * err;
        ++valid;
    }
    ASSERT_GT(rated, scene.pixels.size() / 2);
    ASSERT_GT(valid, rated * 9 / 10);
    EXPECT_LT(std::sqrt(sumSq / valid), 25.0);
}

std::vector<unsigned char> calibrationBlob(int32_t offset1Um, int32_t offset2Um, uint16_t version = 1)
{
    std::vector<unsigned char> b = {'S', 'I', '4', 'C', static_cast<unsigned char>(version),
                                    static_cast<unsigned char>(version >> 8), 0, 0};
    for (int32_t v : {offset1Um, offset2Um})
        for (int i = 0; i < 4; ++i)
            b.push_back(static_cast<unsigned char>(static_cast<uint32_t>(v) >> (8 * i)));
    return b;
}

TEST(Si4cEngine, CalibrationOffsetsAreSubtracted)
{
    const Scene scene = makeScene(SceneKind::TILTED_WALL, 320, 240, wall(2500, 0));
    for (bool single : {true, false}) {
        const auto cali = calibrationBlob(100000, 100000); // 100 mm at both frequencies
        Engine engine(320, 240, single, nullptr, &cali);
        ASSERT_TRUE(engine.started);
        ASSERT_TRUE(engine.decode(scene, single));
        const size_t centre = 120 * 320 + 160;
        const double want = expected(scene.pixels[centre].depthMm - 100.0, single);
        EXPECT_LE(wrappedError(engine.depth[centre], want, single), 10.0) << single;
    }
}

TEST(Si4cEngine, CalibrationBlobsWithoutTheMarkerAreKeptButNotApplied)
{
    const std::vector<unsigned char> opaque = {1, 2, 3, 4, 5};
    Engine engine(320, 240, true, nullptr, &opaque);
    ASSERT_TRUE(engine.started);
    SiSDKDebugState st{};
    ASSERT_EQ(SiSDKDebugGetState(engine.handle, &st), 1);
    EXPECT_EQ(st.calibration, opaque.data());
    EXPECT_EQ(st.calibrationLength, opaque.size());
    const Scene scene = makeScene(SceneKind::TILTED_WALL, 320, 240, wall(900, 0));
    ASSERT_TRUE(engine.decode(scene, true));
    EXPECT_NEAR(engine.depth[120 * 320 + 160], scene.pixels[120 * 320 + 160].depthMm, 10.0);
}

TEST(Si4cEngine, CorruptCalibrationRefusesToStart)
{
    for (const auto& blob : {calibrationBlob(0, 0, 2), std::vector<unsigned char>{'S', 'I', '4', 'C', 1}}) {
        Engine engine(320, 240, true, nullptr, &blob);
        EXPECT_FALSE(engine.started);
    }
}

struct ConfigCase {
    const char* text;
    int accepted;
    bool allInvalid; // every pixel of a 3 m wall comes back invalid
};

TEST(Si4cEngine, ConfigurationKeys)
{
    const ConfigCase cases[] = {
        {"MinAmplitude=1e6", 1, true},
        {" ValidDistMin = 0 ;ValidDistMax=2000\n", 1, true},
        {"// comment\n# another\n\nMinAmplitude=2", 1, false},
        {"MinAmplitude=1e6\nNoSuchKey=1", 0, false}, // rejected whole
        {"MinAmplitude", 0, false},
        {"MinAmplitude=abc", 0, false},
        {"ValidDistMin=3000;ValidDistMax=2000", 0, false},
    };
    const Scene scene = makeScene(SceneKind::TILTED_WALL, 320, 240, wall(3000, 0));
    for (const ConfigCase& c : cases) {
        SCOPED_TRACE(c.text);
        Engine engine(320, 240, false);
        EXPECT_EQ(SiSDKSetConfig(engine.handle, c.text), c.accepted);
        ASSERT_TRUE(engine.decode(scene, false));
        size_t zeros = 0;
        for (float conf : engine.confidence)
            zeros += conf == 0.0f;
        if (c.allInvalid)
            EXPECT_EQ(zeros, engine.depth.size());
        else
            EXPECT_LT(zeros, engine.depth.size() / 10);
    }
}

TEST(Si4cEngine, InitRestoresDefaultSettings)
{
    Engine engine(320, 240, true, "MinAmplitude=1e6");
    ASSERT_EQ(SiSDKInit(engine.handle, 320, 240), 1);
    ASSERT_EQ(SiSDKStart(engine.handle), 1);
    const Scene scene = makeScene(SceneKind::TILTED_WALL, 320, 240, wall(900, 0));
    ASSERT_TRUE(engine.decode(scene, true));
    EXPECT_GT(engine.depth[120 * 320 + 160], 0.0f);
}

// A single-frequency frame in a buffer big enough for the dual layout: the
// engine in dual mode must see the missing second frequency and refuse.
TEST(Si4cEngine, FrameOfTheOtherModeIsRefused)
{
    const Scene scene = makeScene(SceneKind::TILTED_WALL, 320, 240, wall(900, 0));
    Engine engine(320, 240, false);
    std::vector<uint16_t> raw(vgaFrameWords(320, 240, false), 0);
    ASSERT_TRUE(renderVgaFrame(scene, 320, 240, true, raw.data()));
    std::vector<float> d(320 * 240, -1.0f), a(d), c(d);
    EXPECT_EQ(SiSDKGetPhaseImage(engine.handle, reinterpret_cast<unsigned char*>(raw.data()),
                                 d.data(), a.data(), c.data()),
              0);
    EXPECT_EQ(d[0], -1.0f); // untouched
}

TEST(Si4cEngine, LifeCycleAndNullHandles)
{
    SiSDKHandle h = nullptr;
    EXPECT_EQ(SiSDKCreate(nullptr), 0);
    ASSERT_EQ(SiSDKCreate(&h), 1);
    ASSERT_NE(h, nullptr);
    // A new instance is in single-frequency mode and switches at once.
    EXPECT_EQ(SiSDKIsSingleFreq(h), 1);
    EXPECT_EQ(SiSDKSetSingleFreq(h, 0), 1);
    EXPECT_EQ(SiSDKIsSingleFreq(h), 0);
    EXPECT_EQ(SiSDKSetSingleFreq(h, 1), 1);
    EXPECT_EQ(SiSDKIsSingleFreq(h), 1);

    std::vector<unsigned char> raw(vgaFrameWords(640, 480, false) * 2, 0);
    std::vector<float> d(640 * 480), a(d), c(d);
    EXPECT_EQ(SiSDKStart(h), 0); // not initialised
    EXPECT_EQ(SiSDKGetPhaseImage(h, raw.data(), d.data(), a.data(), c.data()), 0);
    for (auto size : {std::pair<int, int>{0, 480}, {640, 0}, {641, 480}, {-640, 480}})
        EXPECT_EQ(SiSDKInit(h, size.first, size.second), 0);
    EXPECT_EQ(SiSDKInit(h, 640, 480), 1);
    EXPECT_EQ(SiSDKStart(h), 1);

    EXPECT_EQ(SiSDKDestroy(&h), 1);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(SiSDKDestroy(&h), 0);
    EXPECT_EQ(SiSDKDestroy(nullptr), 0);
    EXPECT_EQ(SiSDKIsSingleFreq(nullptr), 0);
    EXPECT_EQ(SiSDKSetSingleFreq(nullptr, 1), 0);
    EXPECT_EQ(SiSDKInit(nullptr, 640, 480), 0);
    EXPECT_EQ(SiSDKSetCaliData(nullptr, raw.data(), 4), 0);
    EXPECT_EQ(SiSDKSetConfig(nullptr, "MinAmplitude=1"), 0);
    EXPECT_EQ(SiSDKStart(nullptr), 0);
    EXPECT_EQ(SiSDKGetPhaseImage(nullptr, raw.data(), d.data(), a.data(), c.data()), 0);
}

} // namespace

#endif // QUORVEX_SI4C_STANDIN
