#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "device/QuorvexDeviceHQVGA.h"
#include "sensor/QuorvexTOFSensor.h"
#include "sim/SceneModel.h"

using namespace Quorvex;
namespace sim = Quorvex::sim;

namespace {

constexpr size_t kPlane = sim::kHqvgaPlaneWords;
constexpr size_t kRawWords = 4 * kPlane;
// Distance unit of the device: it converts phase with 3e8 m/s.
constexpr double kDeviceLightSpeed = 300000000.0;

// Sensor that answers every getControl with a fixed value and result and
// records what it was asked.
class RecordingSensor : public QuorvexTOFSensor {
public:
    TofErrorCode open(CameraInfo&) override { return QuorvexSuccess; }
    TofErrorCode close() override { return QuorvexSuccess; }
    TofErrorCode start() override { return QuorvexSuccess; }
    TofErrorCode stop() override { return QuorvexSuccess; }
    CameraInfo getCameraInfo() override { return {}; }
    TofErrorCode getFrame(uint8_t*, int64_t*) override { return QuorvexSuccess; }
    TofErrorCode setControl(CameraCtrl ctrl, int) override
    {
        ++setCalls;
        lastCtrl = ctrl;
        return QuorvexSuccess;
    }
    TofErrorCode getControl(CameraCtrl ctrl, int* value) override
    {
        ++getCalls;
        lastCtrl = ctrl;
        *value = answer;
        return result;
    }

    int answer = 0;
    TofErrorCode result = QuorvexSuccess;
    int getCalls = 0;
    int setCalls = 0;
    CameraCtrl lastCtrl = CameraCtrl::RANGE;
};

struct Planes {
    std::vector<float> depth = std::vector<float>(kPlane, -1.0f);
    std::vector<float> amplitude = std::vector<float>(kPlane, -1.0f);
    std::vector<float> confidence = std::vector<float>(kPlane, -1.0f);
};

void convert(QuorvexDeviceHQVGA& device, std::vector<uint16_t>& raw, Planes& out)
{
    ASSERT_TRUE(device.getPhaseImage(reinterpret_cast<unsigned char*>(raw.data()), out.depth.data(),
                                     out.amplitude.data(), out.confidence.data()));
}

double wrapPhase(double phase)
{
    phase = std::fmod(phase, 2.0 * sim::kPi);
    return phase < 0.0 ? phase + 2.0 * sim::kPi : phase;
}

// Distance between two depths on the circle of the unambiguous range.
double circularError(double a, double b, double rangeMm)
{
    const double d = std::fabs(std::fmod(a - b, rangeMm));
    return std::min(d, rangeMm - d);
}

} // namespace

TEST(HqvgaDevice, GeometryAndLifecycleAnswers)
{
    for (BoardKind board : {BOARD_UNKNOWN, BOARD_JETSON, BOARD_RASPBERRY_PI_5}) {
        QuorvexDeviceHQVGA device(board);
        EXPECT_EQ(device.getVariantFlag(), 1);
        FrameGeometry raw{0, 0, 0}, depth{0, 0, 0};
        device.getFrameFormats(raw, depth);
        EXPECT_EQ(raw.width, 240);
        EXPECT_EQ(raw.height, 720);
        EXPECT_EQ(raw.pixelBytes, 2);
        EXPECT_EQ(depth.width, 240);
        EXPECT_EQ(depth.height, 180);
        EXPECT_EQ(depth.pixelBytes, 2);

        RecordingSensor sensor;
        EXPECT_EQ(device.open(&sensor, HQVGA), QuorvexSuccess);
        EXPECT_EQ(device.setupSensor(), QuorvexSuccess);
        EXPECT_EQ(device.start(), QuorvexSuccess);
        EXPECT_EQ(device.stop(), QuorvexSuccess);
        EXPECT_EQ(device.close(), QuorvexSuccess);
        // None of these configure the module.
        EXPECT_EQ(sensor.setCalls + sensor.getCalls, 0);
    }
}

TEST(HqvgaDevice, ControlTable)
{
    QuorvexDeviceHQVGA device(BOARD_RASPBERRY_PI);
    RecordingSensor sensor;
    ASSERT_EQ(device.open(&sensor, HQVGA), QuorvexSuccess);

    int value = 0;
    EXPECT_EQ(device.getControl(CameraCtrl::RANGE, &value), QuorvexSuccess);
    EXPECT_EQ(value, 4000);

    // Only RANGE is accepted, with any value; the rest is refused and leaves
    // the range alone.
    const struct {
        CameraCtrl ctrl;
        int value;
        TofErrorCode result;
        int rangeAfter;
    } sets[] = {
        {CameraCtrl::RANGE, 3000, QuorvexSuccess, 3000},
        {CameraCtrl::RANGE, -5, QuorvexSuccess, -5},
        {CameraCtrl::RANGE, 2000, QuorvexSuccess, 2000},
        {CameraCtrl::FMT_WIDTH, 320, QuorvexInvalidParameter, 2000},
        {CameraCtrl::FMT_HEIGHT, 240, QuorvexInvalidParameter, 2000},
        {CameraCtrl::MODE, 0, QuorvexInvalidParameter, 2000},
        {CameraCtrl::FRAME_MODE, 1, QuorvexInvalidParameter, 2000},
        {CameraCtrl::EXPOSURE, 100, QuorvexInvalidParameter, 2000},
        {CameraCtrl::FRAME_RATE, 10, QuorvexInvalidParameter, 2000},
        {CameraCtrl::SKIP_FRAME, 1, QuorvexInvalidParameter, 2000},
        {CameraCtrl::CONFIG_DIR_EXT, 4000, QuorvexInvalidParameter, 2000},
        {static_cast<CameraCtrl>(99), 4000, QuorvexInvalidParameter, 2000},
        {CameraCtrl::RANGE, 4000, QuorvexSuccess, 4000},
    };
    for (const auto& s : sets) {
        EXPECT_EQ(device.setControl(s.ctrl, s.value), s.result) << static_cast<int>(s.ctrl);
        ASSERT_EQ(device.getControl(CameraCtrl::RANGE, &value), QuorvexSuccess);
        EXPECT_EQ(value, s.rangeAfter) << static_cast<int>(s.ctrl);
    }
    EXPECT_EQ(sensor.setCalls, 0) << "refused controls must not reach the sensor";
    EXPECT_EQ(sensor.getCalls, 0) << "RANGE is answered by the device";

    // Every other control is answered by the sensor, value and result
    // passed through unchanged.
    for (CameraCtrl ctrl : {CameraCtrl::FMT_WIDTH, CameraCtrl::FMT_HEIGHT, CameraCtrl::MODE,
                            CameraCtrl::FRAME_MODE, CameraCtrl::EXPOSURE, CameraCtrl::FRAME_RATE,
                            CameraCtrl::AUTO_FRAME_RATE, CameraCtrl::CONFIG_DIR_EXT}) {
        for (TofErrorCode result : {QuorvexSuccess, QuorvexInvalidParameter, QuorvexSystemError}) {
            sensor.answer = 1000 + static_cast<int>(ctrl);
            sensor.result = result;
            const int before = sensor.getCalls;
            value = 0;
            EXPECT_EQ(device.getControl(ctrl, &value), result);
            EXPECT_EQ(value, sensor.answer);
            EXPECT_EQ(sensor.getCalls, before + 1);
            EXPECT_EQ(sensor.lastCtrl, ctrl);
        }
    }

    // The text controls belong to the VGA module only.
    const char* text = "unchanged";
    EXPECT_EQ(device.setControlExt(CameraCtrl::CONFIG_DIR_EXT, "/tmp"), QuorvexInvalidParameter);
    EXPECT_EQ(device.getControlExt(CameraCtrl::CONFIG_DIR_EXT, &text), QuorvexInvalidParameter);
    EXPECT_STREQ(text, "unchanged");
}

TEST(HqvgaDevice, ControlsWithoutSensorAreRefused)
{
    QuorvexDeviceHQVGA device(BOARD_UNKNOWN);
    int value = 7;
    EXPECT_EQ(device.getControl(CameraCtrl::EXPOSURE, &value), QuorvexInvalidParameter);
    EXPECT_EQ(value, 7);
    EXPECT_EQ(device.getControl(CameraCtrl::RANGE, &value), QuorvexSuccess);
    EXPECT_EQ(value, 4000);
}

// Single sensor words, decoded through the RAW re-packing (which writes the
// decoded samples): the shift comes from the board, the low 11 bits after it
// are a two's-complement value times 16, higher bits do not count.
TEST(HqvgaDevice, SampleDecoding)
{
    const struct {
        BoardKind board;
        uint16_t word;
        int16_t decoded;
    } cases[] = {
        {BOARD_RASPBERRY_PI, 0x0000, 0},       {BOARD_RASPBERRY_PI, 0x0001, 16},
        {BOARD_RASPBERRY_PI, 0x03FF, 16368},   {BOARD_RASPBERRY_PI, 0x0400, -16384},
        {BOARD_RASPBERRY_PI, 0x07FF, -16},     {BOARD_RASPBERRY_PI, 0x0800, 0},
        {BOARD_RASPBERRY_PI, 0xF800, 0},       {BOARD_RASPBERRY_PI, 0xFC00, -16384},
        {BOARD_RASPBERRY_PI, 0x0FFF, -16},     {BOARD_RASPBERRY_PI, 0x4000, 0},
        {BOARD_RADXA_ROCK, 0x0400, -16384},    {BOARD_JETSON_TX1_NANO, 0x0400, -16384},
        {BOARD_UNKNOWN, 0x8401, -16368},
        {BOARD_JETSON, 0x4000, -16384},        {BOARD_JETSON, 0x0400, 1024},
        {BOARD_JETSON, 0x000F, 0},             {BOARD_JETSON, 0x0010, 16},
        {BOARD_JETSON, 0x3FF0, 16368},         {BOARD_JETSON, 0x7FF0, -16},
        {BOARD_JETSON, 0x8000, 0},             {BOARD_JETSON, 0xFFFF, -16},
        {BOARD_JETSON, 0xC00F, -16384},
    };
    std::vector<uint16_t> raw(kRawWords, 0);
    std::vector<short> out(kRawWords);
    for (const auto& c : cases) {
        QuorvexDeviceHQVGA device(c.board);
        // Plane 3, last sample: the last element of the RAW plane.
        raw[kRawWords - 1] = c.word;
        ASSERT_TRUE(device.getRawImages(reinterpret_cast<unsigned char*>(raw.data()), out.data()));
        EXPECT_EQ(out[kRawWords - 1], c.decoded) << std::hex << c.word << " board " << std::dec << c.board;
    }
}

TEST(HqvgaDevice, RawImageInterleavesPlaneRows)
{
    for (BoardKind board : {BOARD_RASPBERRY_PI, BOARD_JETSON}) {
        const unsigned shift = board == BOARD_JETSON ? 4 : 0;
        QuorvexDeviceHQVGA device(board);
        // Every sample of the frame carries a value that tells its plane,
        // row and column apart from its neighbours in all three directions.
        auto valueAt = [](int k, int row, int col) {
            return static_cast<int16_t>((k * 509 + row * 7 + col * 3) % 2048 - 1024);
        };
        std::vector<uint16_t> raw(kRawWords);
        for (int k = 0; k < 4; ++k)
            for (int row = 0; row < 180; ++row)
                for (int col = 0; col < 240; ++col)
                    raw[k * kPlane + row * 240 + col] = sim::encodeSample(valueAt(k, row, col), shift);
        std::vector<short> out(kRawWords, 0x5555);
        ASSERT_TRUE(device.getRawImages(reinterpret_cast<unsigned char*>(raw.data()), out.data()));
        int mismatches = 0;
        for (int r = 0; r < 720; ++r)
            for (int col = 0; col < 240; ++col)
                if (out[r * 240 + col] != valueAt(r % 4, r / 4, col) * 16)
                    ++mismatches;
        EXPECT_EQ(mismatches, 0) << "board " << board;
    }
}

// Hand-made samples with a known answer.
TEST(HqvgaDevice, PhaseImageSimpleCases)
{
    const struct {
        int range;
        int16_t s[4]; // raw 11-bit samples P0..P3
        float depth;
        float amplitude;
    } cases[] = {
        {4000, {5, 5, 5, 5}, 0.0f, 0.0f},
        {2000, {-300, -300, -300, -300}, 0.0f, 0.0f},
        {4000, {0, 0, 1, 0}, 1000.0f, 8.0f},  // y = 16, x = 0: a quarter turn
        {2000, {0, 0, 1, 0}, 0.0f, 8.0f},     // y = 0, x = 16
        {4000, {1, 0, 0, 0}, 3000.0f, 8.0f},  // y = -16: three quarters
        {4000, {0, 1, 0, 0}, 2000.0f, 8.0f},  // x = -16: half a turn
        {2000, {0, 1, 0, 0}, 500.0f, 8.0f},   // y = 16 at 75 MHz
        {3000, {0, 0, 1, 0}, 1000.0f, 8.0f},  // other ranges pair like 4000
    };
    for (BoardKind board : {BOARD_RASPBERRY_PI, BOARD_JETSON}) {
        const unsigned shift = board == BOARD_JETSON ? 4 : 0;
        for (const auto& c : cases) {
            QuorvexDeviceHQVGA device(board);
            device.setControl(CameraCtrl::RANGE, c.range);
            std::vector<uint16_t> raw(kRawWords);
            for (int k = 0; k < 4; ++k)
                std::fill(raw.begin() + k * kPlane, raw.begin() + (k + 1) * kPlane,
                          sim::encodeSample(c.s[k], shift));
            Planes out;
            convert(device, raw, out);
            int bad = 0;
            for (size_t n = 0; n < kPlane; ++n)
                bad += std::fabs(out.depth[n] - c.depth) > 1e-3f || std::fabs(out.amplitude[n] - c.amplitude) > 1e-5f ||
                       out.confidence[n] != out.amplitude[n];
            EXPECT_EQ(bad, 0) << "range " << c.range << " board " << board << " depth " << out.depth[0];
        }
    }
}

// The device against the physics of known scenes: rendered sub-frames must
// come back as the scene's depth (within what 11-bit rounding allows) and
// as its correlation amplitude.
//
// Error bound. Each rendered sample is the true correlation rounded to an
// integer, off by at most 1/2. The paired differences x and y (in sample
// units) are therefore off by at most 1 each, so the vector (x, y) of
// length 2A (A the correlation amplitude) moves by at most sqrt(2). Its
// angle moves by at most asin(sqrt(2) / (2A)), which in depth is
//     asin(sqrt(2) / (2A)) / (2 pi) * unambiguous range,
// i.e. 4.5 mm at A = 100 for 37.5 MHz (4000 mm) and 2.25 mm for 75 MHz
// (2000 mm). The decoded amplitude is 16 A (x and y are scaled by 16), off
// by at most 0.5 * 16 * sqrt(2) = 11.32. Float rounding adds well under
// 0.01 mm and 0.01.
TEST(HqvgaDevice, RecoversSceneDepthAndAmplitude)
{
    const struct {
        std::vector<int> ranges; // RANGE values set in order on a fresh device
        double freqHz;           // frequency the module then runs at
    } modes[] = {
        {{4000}, 37.5e6}, {{2000}, 75e6},   {{3000}, 37.5e6},
        {{2000, 3000}, 75e6}, {{2000, 4000}, 37.5e6}, {{4000, 2500, 2000}, 75e6},
    };
    sim::CorrelationModel model;
    model.offset = 37.0; // an ambient level must cancel out
    int checked = 0;
    for (sim::SceneKind kind : {sim::SceneKind::TILTED_WALL, sim::SceneKind::SPHERE, sim::SceneKind::BOX}) {
        const sim::Scene scene = sim::makeScene(kind, sim::kHqvgaWidth, sim::kHqvgaHeight);
        for (const auto& mode : modes) {
            for (BoardKind board : {BOARD_RASPBERRY_PI, BOARD_JETSON}) {
                const unsigned shift = board == BOARD_JETSON ? 4 : 0;
                QuorvexDeviceHQVGA device(board);
                double modelFreq = 37.5e6;
                for (int range : mode.ranges) {
                    ASSERT_EQ(device.setControl(CameraCtrl::RANGE, range), QuorvexSuccess);
                    modelFreq = sim::hqvgaFrequencyFor(range, modelFreq);
                }
                ASSERT_EQ(modelFreq, mode.freqHz);
                std::vector<uint16_t> raw(kRawWords);
                ASSERT_TRUE(sim::renderHqvgaSubFrames(scene, mode.freqHz, mode.ranges.back(), shift,
                                                      raw.data(), model));
                Planes out;
                convert(device, raw, out);

                const double unambiguousMm = kDeviceLightSpeed / (2.0 * mode.freqHz) * 1000.0;
                int depthBad = 0, ampBad = 0, confBad = 0;
                double worst = 0.0;
                for (size_t n = 0; n < kPlane; ++n) {
                    const sim::ScenePixel& px = scene.pixels[n];
                    const double a = sim::amplitudeOf(px, model);
                    ASSERT_LT(a + model.offset, 1023.0) << "scene saturates the sensor";
                    ASSERT_GT(a, 2.0) << "scene too dark for a bound";
                    const double phase = wrapPhase(sim::phaseOf(px.depthMm, mode.freqHz));
                    const double expected = phase / (2.0 * sim::kPi) * unambiguousMm;
                    const double bound =
                        std::asin(std::sqrt(2.0) / (2.0 * a)) / (2.0 * sim::kPi) * unambiguousMm + 0.01;
                    const double err = circularError(out.depth[n], expected, unambiguousMm);
                    worst = std::max(worst, err / bound);
                    depthBad += err > bound || !(out.depth[n] >= 0.0f && out.depth[n] <= unambiguousMm + 0.01);
                    ampBad += std::fabs(out.amplitude[n] - 16.0 * a) > 8.0 * std::sqrt(2.0) + 0.01;
                    confBad += std::memcmp(&out.amplitude[n], &out.confidence[n], sizeof(float)) != 0;
                }
                EXPECT_EQ(depthBad, 0) << "scene " << static_cast<int>(kind) << " board " << board
                                       << " f " << mode.freqHz << " worst/bound " << worst;
                EXPECT_EQ(ampBad, 0);
                EXPECT_EQ(confBad, 0);
                ++checked;
            }
        }
    }
    EXPECT_EQ(checked, 3 * 6 * 2);
}

// RANGE may change on the caller's thread while the capture thread converts
// a frame; every frame must still come out with one pairing and the
// frequency that belongs to it. Half the pixels hold P1 = 1: the 4000 mm
// choice gives half a turn at 37.5 MHz (2000 mm), the 2000 mm choice a
// quarter turn at 75 MHz (500 mm), and a pairing with the other range's
// frequency 1000 mm. The other half hold P2 = 1: 1000 mm or 0 mm.
TEST(HqvgaDevice, RangeChangesDuringConversionKeepFramesConsistent)
{
    QuorvexDeviceHQVGA device(BOARD_RASPBERRY_PI);
    std::vector<uint16_t> raw(kRawWords, 0);
    for (size_t n = 0; n < kPlane; ++n)
        raw[(n < kPlane / 2 ? 1 : 2) * kPlane + n] = sim::encodeSample(1, 0);

    std::atomic<bool> done{false};
    std::thread toggler([&] {
        int i = 0;
        while (!done.load())
            device.setControl(CameraCtrl::RANGE, (i++ % 2) ? 2000 : 4000);
    });
    Planes out;
    int inconsistent = 0, farFrames = 0, nearFrames = 0;
    for (int frame = 0; frame < 40; ++frame) {
        convert(device, raw, out);
        const bool far = out.depth[0] == 2000.0f && out.depth[kPlane - 1] == 1000.0f;
        const bool near = out.depth[0] == 500.0f && out.depth[kPlane - 1] == 0.0f;
        farFrames += far;
        nearFrames += near;
        for (size_t n = 0; n < kPlane; ++n) {
            const float want = n < kPlane / 2 ? (far ? 2000.0f : 500.0f) : (far ? 1000.0f : 0.0f);
            if (!(far || near) || out.depth[n] != want) {
                ++inconsistent;
                break;
            }
        }
    }
    done = true;
    toggler.join();
    EXPECT_EQ(inconsistent, 0);
    EXPECT_EQ(farFrames + nearFrames, 40);
}

// A sensor that tunes the module: the range goes there first, a refusal
// comes back and changes nothing, and each frame is decoded at the range
// the sensor says it was captured at, whatever the device was last told.
TEST(HqvgaDevice, RangeGoesToTheModuleAndFramesDecodeAtTheirOwn)
{
    struct TuningSensor : RecordingSensor {
        TofErrorCode setModuleRange(int rangeMm) override
        {
            asked.push_back(rangeMm);
            return answer;
        }
        int32_t frameRange() const override { return captured; }
        std::vector<int> asked;
        TofErrorCode answer = QuorvexSuccess;
        int32_t captured = 4000;
    };
    QuorvexDeviceHQVGA device(BOARD_RASPBERRY_PI);
    TuningSensor sensor;
    ASSERT_EQ(device.open(&sensor, HQVGA), QuorvexSuccess);
    int value = 0;

    sensor.answer = QuorvexUnkownError;
    EXPECT_EQ(device.setControl(CameraCtrl::RANGE, 2000), QuorvexUnkownError);
    ASSERT_EQ(device.getControl(CameraCtrl::RANGE, &value), QuorvexSuccess);
    EXPECT_EQ(value, 4000) << "a refused range is not stored";
    sensor.answer = QuorvexSuccess;
    EXPECT_EQ(device.setControl(CameraCtrl::RANGE, 2000), QuorvexSuccess);
    ASSERT_EQ(device.getControl(CameraCtrl::RANGE, &value), QuorvexSuccess);
    EXPECT_EQ(value, 2000);
    EXPECT_EQ(sensor.asked, (std::vector<int>{2000, 2000}));
    EXPECT_EQ(sensor.setCalls, 0) << "the module is tuned through its own operation";

    // y = 16, x = 0 when paired far (a quarter turn: 1000 mm); y = 0,
    // x = 16 when paired near (0 mm).
    std::vector<uint16_t> raw(kRawWords, 0);
    for (size_t n = 0; n < kPlane; ++n)
        raw[2 * kPlane + n] = 1;
    Planes out;
    sensor.captured = 4000; // the module had not switched yet
    convert(device, raw, out);
    EXPECT_FLOAT_EQ(out.depth[0], 1000.0f);
    sensor.captured = 2000;
    convert(device, raw, out);
    EXPECT_FLOAT_EQ(out.depth[0], 0.0f);
}
