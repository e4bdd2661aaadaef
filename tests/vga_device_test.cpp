// The VGA device against a recording sensor and the open depth engine, in a
// scratch working directory of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "device/Calibration.h"
#include "device/DefaultConfigFiles.h"
#include "device/QuorvexDeviceVGA.h"
#include "sensor/QuorvexTOFSensor.h"
#include "sim/SceneModel.h"
#include "sim/VgaFrames.h"
#include "vendor/libsi4c/si4c.h"

// These tests rely on the open engine's debug queries and documented
// behaviour; a vendor's library is exercised by the camera-level tests.
#ifdef QUORVEX_SI4C_STANDIN

using namespace Quorvex;

namespace {

// Records the controls the device sets and answers the ones it asks.
class RecordingSensor final : public QuorvexTOFSensor {
public:
    TofErrorCode open(CameraInfo&) override { return QuorvexSuccess; }
    TofErrorCode close() override { return QuorvexSuccess; }
    TofErrorCode start() override { return QuorvexSuccess; }
    TofErrorCode stop() override { return QuorvexSuccess; }
    CameraInfo getCameraInfo() override { return CameraInfo{}; }
    TofErrorCode getFrame(uint8_t*, int64_t*) override { return QuorvexSuccess; }
    TofErrorCode setControl(CameraCtrl ctrl, int value) override
    {
        sets.emplace_back(ctrl, value);
        if (ctrl == CameraCtrl::FRAME_RATE && frameRateResult == QuorvexSuccess)
            frameRate = value;
        return ctrl == CameraCtrl::FRAME_RATE ? frameRateResult : QuorvexSuccess;
    }
    TofErrorCode getControl(CameraCtrl ctrl, int* value) override
    {
        if (ctrl == CameraCtrl::FRAME_RATE) {
            *value = frameRate;
            return QuorvexSuccess;
        }
        if (ctrl == CameraCtrl::EXPOSURE) {
            *value = 77;
            return QuorvexSuccess;
        }
        return QuorvexInvalidParameter;
    }

    std::vector<std::pair<CameraCtrl, int>> sets;
    TofErrorCode frameRateResult = QuorvexSuccess;
    int frameRate = 15;
};

// Runs a test inside a fresh temporary directory and returns afterwards.
class ScratchDir {
public:
    ScratchDir()
    {
        char tmpl[] = "/tmp/vga_device_test.XXXXXX";
        path = ::mkdtemp(tmpl);
        char cwd[4096];
        previous = ::getcwd(cwd, sizeof cwd);
        EXPECT_EQ(::chdir(path.c_str()), 0);
    }
    ~ScratchDir()
    {
        EXPECT_EQ(::chdir(previous.c_str()), 0);
        std::filesystem::remove_all(path);
    }
    std::string path;
    std::string previous;
};

void writeFile(const char* name, const std::string& bytes)
{
    std::ofstream(name, std::ios::binary | std::ios::trunc) << bytes;
}

std::string readFile(const char* name)
{
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int openDescriptors()
{
    int n = 0;
    DIR* d = ::opendir("/proc/self/fd");
    while (d && ::readdir(d))
        ++n;
    if (d)
        ::closedir(d);
    return n;
}

int calibrationMappings()
{
    std::ifstream maps("/proc/self/maps");
    int n = 0;
    for (std::string line; std::getline(maps, line);)
        n += line.find("/cali.bin") != std::string::npos;
    return n;
}

std::vector<uint32_t> sleeps;
void recordSleep(uint32_t ms)
{
    sleeps.push_back(ms);
}

struct OpenDevice {
    OpenDevice()
    {
        device.setSleeper(&recordSleep);
        EXPECT_EQ(device.open(&sensor, VGA), QuorvexSuccess);
    }
    ~OpenDevice() { device.close(); }

    SiSDKDebugState state()
    {
        SiSDKDebugState st{};
        EXPECT_EQ(SiSDKDebugGetState(device.libraryInstance(), &st), 1);
        return st;
    }

    RecordingSensor sensor;
    QuorvexDeviceVGA device{BOARD_RASPBERRY_PI};
};

// ---------------------------------------------------------------- controls

struct GetCase {
    CameraCtrl ctrl;
    bool dual;
    TofErrorCode result;
    int value; // -1: nothing written
};

TEST(VgaControls, GetControlAnswers)
{
    const GetCase cases[] = {
        {CameraCtrl::RANGE, false, QuorvexSuccess, 1250},
        {CameraCtrl::RANGE, true, QuorvexSuccess, 4500},
        {CameraCtrl::FMT_WIDTH, false, QuorvexSuccess, 640},
        {CameraCtrl::FMT_HEIGHT, true, QuorvexSuccess, 480},
        {CameraCtrl::MODE, false, QuorvexSuccess, 0},
        {CameraCtrl::MODE, true, QuorvexSuccess, 1},
        {CameraCtrl::FRAME_MODE, false, QuorvexNotImplemented, -1},
        {CameraCtrl::EXPOSURE, false, QuorvexSuccess, 77},          // the sensor's
        {CameraCtrl::SKIP_FRAME, false, QuorvexInvalidParameter, -1}, // the sensor's
        {CameraCtrl::FRAME_RATE, false, QuorvexSuccess, 41},
        {CameraCtrl::FRAME_RATE, true, QuorvexSuccess, 23},
    };
    for (const GetCase& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.ctrl));
        OpenDevice d;
        ASSERT_EQ(d.device.setControl(CameraCtrl::MODE, c.dual ? 1 : 0), QuorvexSuccess);
        int value = -1;
        EXPECT_EQ(d.device.getControl(c.ctrl, &value), c.result);
        EXPECT_EQ(value, c.value);
    }
}

struct SetCase {
    CameraCtrl ctrl;
    int value;
    TofErrorCode result;
};

TEST(VgaControls, SetControlAnswersAndLeavesStateOnRefusal)
{
    const SetCase cases[] = {
        {CameraCtrl::RANGE, 1250, QuorvexInvalidParameter},
        {CameraCtrl::RANGE, 4500, QuorvexInvalidParameter},
        {CameraCtrl::FMT_WIDTH, 480, QuorvexInvalidParameter},
        {CameraCtrl::FMT_WIDTH, 320, QuorvexSuccess},
        {CameraCtrl::FMT_HEIGHT, 640, QuorvexInvalidParameter},
        {CameraCtrl::FMT_HEIGHT, 240, QuorvexSuccess},
        {CameraCtrl::MODE, 2, QuorvexInvalidParameter},
        {CameraCtrl::MODE, -1, QuorvexInvalidParameter},
        {CameraCtrl::FRAME_MODE, 1, QuorvexNotImplemented},
        {CameraCtrl::EXPOSURE, 100, QuorvexInvalidParameter},
        {CameraCtrl::SKIP_FRAME, 1, QuorvexInvalidParameter},
        {CameraCtrl::CONFIG_DIR_EXT, 7, QuorvexInvalidParameter},
        {static_cast<CameraCtrl>(99), 1, QuorvexInvalidParameter},
    };
    for (const SetCase& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.ctrl));
        OpenDevice d;
        EXPECT_EQ(d.device.setControl(c.ctrl, c.value), c.result);
        int w = 0, h = 0, mode = -1, range = 0;
        d.device.getControl(CameraCtrl::FMT_WIDTH, &w);
        d.device.getControl(CameraCtrl::FMT_HEIGHT, &h);
        d.device.getControl(CameraCtrl::MODE, &mode);
        d.device.getControl(CameraCtrl::RANGE, &range);
        EXPECT_EQ(w, c.ctrl == CameraCtrl::FMT_WIDTH && c.result == 0 ? c.value : 640);
        EXPECT_EQ(h, c.ctrl == CameraCtrl::FMT_HEIGHT && c.result == 0 ? c.value : 480);
        EXPECT_EQ(mode, 0);
        EXPECT_EQ(range, 1250);
        EXPECT_TRUE(d.sensor.sets.empty());
        const char* text = nullptr;
        EXPECT_EQ(d.device.getControlExt(CameraCtrl::CONFIG_DIR_EXT, &text), QuorvexSuccess);
        EXPECT_STREQ(text, "");
    }
}

struct BoundCase {
    int width, height;
    bool dual;
    TofErrorCode result;
    int bound; // -1: nothing written
};

TEST(VgaControls, FrameRateBoundBySizeAndModeUntilARateIsSet)
{
    const BoundCase cases[] = {
        {640, 480, false, QuorvexSuccess, 41},           {640, 480, true, QuorvexSuccess, 23},
        {320, 240, false, QuorvexSuccess, 61},           {320, 240, true, QuorvexSuccess, 36},
        {320, 480, false, QuorvexInvalidParameter, -1}, {640, 240, true, QuorvexInvalidParameter, -1},
    };
    for (const BoundCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        OpenDevice d;
        d.device.setControl(CameraCtrl::FMT_WIDTH, c.width);
        d.device.setControl(CameraCtrl::FMT_HEIGHT, c.height);
        d.device.setControl(CameraCtrl::MODE, c.dual ? 1 : 0);
        int bound = -1;
        EXPECT_EQ(d.device.getControl(CameraCtrl::FRAME_RATE, &bound), c.result);
        EXPECT_EQ(bound, c.bound);

        // A refused rate changes nothing; an accepted one hands the bound to
        // the sensor for good.
        d.sensor.frameRateResult = QuorvexSystemError;
        EXPECT_EQ(d.device.setControl(CameraCtrl::FRAME_RATE, 12), QuorvexSystemError);
        bound = -1;
        EXPECT_EQ(d.device.getControl(CameraCtrl::FRAME_RATE, &bound), c.result);
        EXPECT_EQ(bound, c.bound);
        d.sensor.frameRateResult = QuorvexSuccess;
        EXPECT_EQ(d.device.setControl(CameraCtrl::FRAME_RATE, 12), QuorvexSuccess);
        EXPECT_EQ(d.device.getControl(CameraCtrl::FRAME_RATE, &bound), QuorvexSuccess);
        EXPECT_EQ(bound, 12);
        d.device.setControl(CameraCtrl::MODE, c.dual ? 0 : 1);
        EXPECT_EQ(d.device.getControl(CameraCtrl::FRAME_RATE, &bound), QuorvexSuccess);
        EXPECT_EQ(bound, 12);
    }
}

TEST(VgaControls, ConfigTextIsKeptAndReplaced)
{
    OpenDevice d;
    const char* text = nullptr;
    EXPECT_EQ(d.device.setControlExt(CameraCtrl::RANGE, "x"), QuorvexInvalidParameter);
    EXPECT_EQ(d.device.getControlExt(CameraCtrl::RANGE, &text), QuorvexInvalidParameter);
    EXPECT_EQ(text, nullptr);
    std::string first = "MinAmplitude=3";
    EXPECT_EQ(d.device.setControlExt(CameraCtrl::CONFIG_DIR_EXT, first.c_str()), QuorvexSuccess);
    first[0] = 'X'; // the device keeps a copy
    EXPECT_EQ(d.device.getControlExt(CameraCtrl::CONFIG_DIR_EXT, &text), QuorvexSuccess);
    EXPECT_STREQ(text, "MinAmplitude=3");
    EXPECT_EQ(d.device.setControlExt(CameraCtrl::CONFIG_DIR_EXT, "ValidDistMax=900"), QuorvexSuccess);
    EXPECT_EQ(d.device.getControlExt(CameraCtrl::CONFIG_DIR_EXT, &text), QuorvexSuccess);
    EXPECT_STREQ(text, "ValidDistMax=900");
}

struct GeometryCase {
    int width, height;
    bool dual;
    int rows;
};

TEST(VgaGeometry, SensorSetupAndFrameFormatsFollowSizeAndMode)
{
    const GeometryCase cases[] = {
        {640, 480, false, 2405}, {640, 480, true, 4810}, {320, 240, false, 1205}, {320, 240, true, 2410}};
    for (const GeometryCase& c : cases) {
        SCOPED_TRACE(c.rows);
        OpenDevice d;
        d.device.setControl(CameraCtrl::FMT_WIDTH, c.width);
        d.device.setControl(CameraCtrl::FMT_HEIGHT, c.height);
        d.device.setControl(CameraCtrl::MODE, c.dual ? 1 : 0);
        EXPECT_EQ(d.device.setupSensor(), QuorvexSuccess);
        const std::vector<std::pair<CameraCtrl, int>> want = {{CameraCtrl::FMT_WIDTH, c.width},
                                                              {CameraCtrl::FMT_HEIGHT, c.rows}};
        EXPECT_EQ(d.sensor.sets, want);
        FrameGeometry raw{0, 0, 0}, depth{99, 0, 0};
        d.device.getFrameFormats(raw, depth);
        EXPECT_EQ(raw.pixelBytes, 2);
        EXPECT_EQ(raw.width, c.width);
        EXPECT_EQ(raw.height, c.rows);
        EXPECT_EQ(depth.pixelBytes, 99); // left as it was
        EXPECT_EQ(depth.width, c.width);
        EXPECT_EQ(depth.height, c.height);
    }
}

// ---------------------------------------------------- configuration files

// The three texts as the module maker ships them, kept byte for byte in
// tests/data (they are not JSON, whatever their names say).
std::string expectedConfigFile(const char* name)
{
    const std::string path = std::string(QUORVEX_TEST_DATA_DIR) + "/default_config/" + name;
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.is_open()) << path;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string expectedConfigAlgorithm() { return expectedConfigFile("ConfigAlgorithm.json"); }

TEST(VgaConfigFiles, WrittenByteExactAtStart)
{
    ScratchDir dir;
    writeFile("ConfigCamera.json", std::string(20000, 'x')); // longer: must be cut
    OpenDevice d;
    ASSERT_EQ(d.device.start(), QuorvexSuccess);
    const std::pair<const char*, size_t> files[] = {
        {"ConfigAlgorithm.json", 273}, {"ConfigCamera.json", 9476}, {"register.json", 946}};
    for (const auto& [name, size] : files) {
        SCOPED_TRACE(name);
        const std::string want = expectedConfigFile(name);
        EXPECT_EQ(want.size(), size); // the reference itself is whole
        EXPECT_EQ(readFile(name), want);
    }
}

TEST(VgaConfigFiles, UnwritableFileStopsTheSequenceAndFailsStart)
{
    ScratchDir dir;
    writeFile("ConfigAlgorithm.json", "old");
    writeFile("register.json", "keep me");
    ASSERT_EQ(::mkdir("ConfigCamera.json", 0755), 0); // cannot be opened for writing
    EXPECT_FALSE(writeDefaultConfigFiles());
    EXPECT_EQ(readFile("ConfigAlgorithm.json"), expectedConfigAlgorithm());
    EXPECT_EQ(readFile("register.json"), "keep me");

    writeFile("ConfigAlgorithm.json", "old");
    OpenDevice d;
    EXPECT_EQ(d.device.start(), QuorvexUnkownError);
    EXPECT_EQ(readFile("ConfigAlgorithm.json"), expectedConfigAlgorithm());
    EXPECT_EQ(readFile("register.json"), "keep me");
    // The library was not touched: the instance lives on, never initialised.
    ASSERT_NE(d.device.libraryInstance(), nullptr);
    EXPECT_EQ(d.state().initCount, 0);
}

// ------------------------------------------------------------ calibration

struct CaliCase {
    const char* name;
    bool present;
    std::string bytes;
};

TEST(VgaCalibration, HandedOverExactlyWhenPresentAndNotEmpty)
{
    std::string blob(1000, '\0');
    for (size_t i = 0; i < blob.size(); ++i)
        blob[i] = static_cast<char>(i * 7 + 3);
    const CaliCase cases[] = {{"none", false, ""}, {"empty", true, ""}, {"bytes", true, blob},
                              {"one byte", true, "z"}};
    for (const CaliCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        if (c.present)
            writeFile("cali.bin", c.bytes);
        const int fds = openDescriptors();
        OpenDevice d;
        ASSERT_EQ(d.device.start(), QuorvexSuccess);
        const SiSDKDebugState st = d.state();
        EXPECT_EQ(st.initCount, 1);
        EXPECT_EQ(st.startCount, 1);
        EXPECT_EQ(st.configCount, 0);
        EXPECT_EQ(st.width, 640);
        EXPECT_EQ(st.height, 480);
        EXPECT_EQ(st.caliCount, c.bytes.empty() ? 0 : 1);
        ASSERT_EQ(st.calibrationLength, c.bytes.size());
        if (!c.bytes.empty()) {
            EXPECT_EQ(std::memcmp(st.calibration, c.bytes.data(), c.bytes.size()), 0);
        }
        EXPECT_EQ(openDescriptors(), fds); // the empty file was closed too
        EXPECT_EQ(calibrationMappings(), c.bytes.empty() ? 0 : 1);
        d.device.close();
        EXPECT_EQ(calibrationMappings(), 0);
    }
}

TEST(VgaCalibration, PreviousMappingStaysUntilReplacedAndNothingLeaks)
{
    ScratchDir dir;
    OpenDevice d;
    writeFile("cali.bin", "first calibration");
    const int fds = openDescriptors();
    ASSERT_EQ(d.device.start(), QuorvexSuccess);
    ASSERT_EQ(d.device.stop(), QuorvexSuccess);

    // No file at the next start: the library keeps (and may read) the bytes.
    ASSERT_EQ(::unlink("cali.bin"), 0);
    ASSERT_EQ(d.device.start(), QuorvexSuccess);
    SiSDKDebugState st = d.state();
    EXPECT_EQ(st.caliCount, 1);
    ASSERT_EQ(st.calibrationLength, 17u);
    EXPECT_EQ(std::memcmp(st.calibration, "first calibration", 17), 0);

    for (int cycle = 0; cycle < 20; ++cycle) {
        const std::string bytes = "calibration number " + std::to_string(cycle);
        writeFile("cali.bin", bytes);
        ASSERT_EQ(d.device.start(), QuorvexSuccess);
        ASSERT_EQ(d.device.stop(), QuorvexSuccess);
        st = d.state();
        ASSERT_EQ(st.calibrationLength, bytes.size());
        EXPECT_EQ(std::memcmp(st.calibration, bytes.data(), bytes.size()), 0);
    }
    EXPECT_EQ(openDescriptors(), fds);
    EXPECT_EQ(calibrationMappings(), 1);
    d.device.close();
    EXPECT_EQ(calibrationMappings(), 0);
    EXPECT_EQ(openDescriptors(), fds);
}

TEST(VgaCalibration, LoaderRefusesWhatCannotBeMapped)
{
    ScratchDir dir;
    EXPECT_TRUE(Calibration::load("cali.bin").empty());
    ASSERT_EQ(::mkdir("cali.bin", 0755), 0);
    EXPECT_TRUE(Calibration::load("cali.bin").empty());
    Calibration moved = Calibration::load("ConfigCamera.json");
    EXPECT_TRUE(moved.empty());
}

// ------------------------------------------------------- library sequence

TEST(VgaLibrary, StartPassesTheConfigTextOnlyWhenSet)
{
    ScratchDir dir;
    OpenDevice d;
    ASSERT_EQ(d.device.start(), QuorvexSuccess);
    EXPECT_EQ(d.state().configCount, 0);
    ASSERT_EQ(d.device.setControlExt(CameraCtrl::CONFIG_DIR_EXT, "MinAmplitude=9"), QuorvexSuccess);
    d.device.setControl(CameraCtrl::FMT_WIDTH, 320);
    d.device.setControl(CameraCtrl::FMT_HEIGHT, 240);
    ASSERT_EQ(d.device.start(), QuorvexSuccess);
    const SiSDKDebugState st = d.state();
    EXPECT_EQ(st.initCount, 2);
    EXPECT_EQ(st.configCount, 1);
    EXPECT_STREQ(st.lastConfig, "MinAmplitude=9");
    EXPECT_EQ(st.width, 320);
    EXPECT_EQ(st.height, 240);
    // A text the library rejects does not fail start.
    ASSERT_EQ(d.device.setControlExt(CameraCtrl::CONFIG_DIR_EXT, "Bogus=1"), QuorvexSuccess);
    EXPECT_EQ(d.device.start(), QuorvexSuccess);
}

// After the instance is gone (failed start, close) or was never created, no
// call reaches the library and the operations that need it say so.
void expectNoInstanceAnswers(QuorvexDeviceVGA& device, RecordingSensor* sensor)
{
    EXPECT_EQ(device.libraryInstance(), nullptr);
    int value = -7;
    EXPECT_EQ(device.getControl(CameraCtrl::RANGE, &value), QuorvexUnkownError);
    EXPECT_EQ(device.getControl(CameraCtrl::MODE, &value), QuorvexUnkownError);
    EXPECT_EQ(device.getControl(CameraCtrl::FRAME_RATE, &value), QuorvexUnkownError);
    EXPECT_EQ(value, -7);
    EXPECT_EQ(device.setControl(CameraCtrl::MODE, 1), QuorvexUnkownError);
    FrameGeometry raw{}, depth{};
    device.getFrameFormats(raw, depth);
    EXPECT_EQ(raw.height, 2405); // single-frequency layout
    if (sensor)
        sensor->sets.clear();
    EXPECT_EQ(device.setupSensor(), QuorvexSuccess);
    if (sensor) {
        const std::vector<std::pair<CameraCtrl, int>> want = {{CameraCtrl::FMT_WIDTH, 640},
                                                              {CameraCtrl::FMT_HEIGHT, 2405}};
        EXPECT_EQ(sensor->sets, want);
    }
    std::vector<unsigned char> frame(640 * 2405 * 2);
    std::vector<float> planes(640 * 480);
    EXPECT_FALSE(device.getPhaseImage(frame.data(), planes.data(), planes.data(), planes.data()));
    EXPECT_EQ(device.start(), QuorvexUnkownError);
    const size_t before = sleeps.size();
    EXPECT_EQ(device.close(), QuorvexSuccess);
    EXPECT_EQ(device.close(), QuorvexSuccess);
    EXPECT_EQ(sleeps.size(), before); // nothing to wait for
}

TEST(VgaLibrary, NeverCreatedInstance)
{
    QuorvexDeviceVGA device(BOARD_UNKNOWN);
    device.setSleeper(&recordSleep);
    EXPECT_EQ(device.open(nullptr, VGA), QuorvexInvalidParameter);
    expectNoInstanceAnswers(device, nullptr);
}

TEST(VgaLibrary, FailedStartDestroysTheInstance)
{
    ScratchDir dir;
    writeFile("cali.bin", std::string("SI4C\x02\0\0\0", 8) + std::string(8, '\0')); // version 2
    OpenDevice d;
    EXPECT_EQ(d.device.start(), QuorvexUnkownError);
    EXPECT_EQ(calibrationMappings(), 0);
    expectNoInstanceAnswers(d.device, &d.sensor);
}

TEST(VgaLibrary, CloseWaitsThenDestroysOnce)
{
    static QuorvexDeviceVGA* device = nullptr;
    static bool instanceAliveDuringWait = false;
    RecordingSensor sensor;
    QuorvexDeviceVGA vga(BOARD_RASPBERRY_PI_5);
    device = &vga;
    vga.setSleeper([](uint32_t ms) {
        sleeps.push_back(ms);
        instanceAliveDuringWait = device->libraryInstance() != nullptr;
    });
    ASSERT_EQ(vga.open(&sensor, VGA), QuorvexSuccess);
    sleeps.clear();
    EXPECT_EQ(vga.close(), QuorvexSuccess);
    EXPECT_EQ(sleeps, std::vector<uint32_t>{500});
    EXPECT_TRUE(instanceAliveDuringWait);
    expectNoInstanceAnswers(vga, &sensor);
}

std::atomic<int> alarms{0};

// The wait is a lower bound even when signals keep interrupting it; the
// test asserts only that bound, never an upper one.
TEST(VgaLibrary, CloseWaitResumesAfterSignals)
{
    struct sigaction sa {}, old {};
    sa.sa_handler = [](int) { alarms.fetch_add(1); };
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: the sleep really is interrupted
    ASSERT_EQ(::sigaction(SIGALRM, &sa, &old), 0);
    struct itimerval every10ms {};
    every10ms.it_interval.tv_usec = 10000;
    every10ms.it_value.tv_usec = 10000;
    ASSERT_EQ(::setitimer(ITIMER_REAL, &every10ms, nullptr), 0);
    const auto begin = std::chrono::steady_clock::now();
    QuorvexDeviceVGA::sleepResuming(120);
    const auto elapsed = std::chrono::steady_clock::now() - begin;
    struct itimerval off {};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &old, nullptr);
    EXPECT_GT(alarms.load(), 0);
    EXPECT_GE(elapsed, std::chrono::milliseconds(120));
}

// ----------------------------------------------------------------- frames

struct Stream {
    explicit Stream(OpenDevice& d, int w, int h, bool dual) : width(w), height(h)
    {
        d.device.setControl(CameraCtrl::FMT_WIDTH, w);
        d.device.setControl(CameraCtrl::FMT_HEIGHT, h);
        d.device.setControl(CameraCtrl::MODE, dual ? 1 : 0);
        EXPECT_EQ(d.device.setupSensor(), QuorvexSuccess);
        EXPECT_EQ(d.device.start(), QuorvexSuccess);
        FrameGeometry raw{}, depth{};
        d.device.getFrameFormats(raw, depth);
        // Exactly the sizes the camera would allocate, so that the address
        // sanitizer sees any access past them.
        frame.assign(static_cast<size_t>(raw.width) * raw.height, 0);
        rawOut.assign(frame.size(), -1);
        depthPlane.assign(static_cast<size_t>(depth.width) * depth.height, -1.0f);
        amplitude = confidence = depthPlane;
        scene = Quorvex::sim::makeScene(Quorvex::sim::SceneKind::BOX, w, h);
        EXPECT_TRUE(Quorvex::sim::renderVgaFrame(scene, w, h, !dual, frame.data()));
    }
    unsigned char* bytes() { return reinterpret_cast<unsigned char*>(frame.data()); }
    bool phase(QuorvexDeviceVGA& device)
    {
        return device.getPhaseImage(bytes(), depthPlane.data(), amplitude.data(), confidence.data());
    }

    int width, height;
    Quorvex::sim::Scene scene;
    std::vector<uint16_t> frame;
    std::vector<short> rawOut;
    std::vector<float> depthPlane, amplitude, confidence;
};

TEST(VgaFrames, DepthAndRawOfTheStreamsGeometry)
{
    for (bool dual : {false, true}) {
        SCOPED_TRACE(dual);
        ScratchDir dir;
        OpenDevice d;
        Stream s(d, 320, 240, dual);
        ASSERT_TRUE(d.device.getRawImages(s.bytes(), s.rawOut.data()));
        EXPECT_EQ(std::memcmp(s.rawOut.data(), s.frame.data(), s.frame.size() * 2), 0);
        ASSERT_TRUE(s.phase(d.device));
        const size_t centre = 120 * 320 + 160;
        EXPECT_NEAR(s.depthPlane[centre], s.scene.pixels[centre].depthMm, 10.0);
    }
}

// MODE switched while streaming: the library now expects the other layout,
// the buffers keep the old one. Frames are refused untouched until the mode
// is back; a size change takes effect only at the next start.
TEST(VgaFrames, LayoutChangeWhileStreamingDropsFrames)
{
    for (bool dual : {false, true}) {
        SCOPED_TRACE(dual);
        ScratchDir dir;
        OpenDevice d;
        Stream s(d, 640, 480, dual);
        ASSERT_EQ(d.device.setControl(CameraCtrl::MODE, dual ? 0 : 1), QuorvexSuccess);
        EXPECT_FALSE(s.phase(d.device));
        EXPECT_FALSE(d.device.getRawImages(s.bytes(), s.rawOut.data()));
        EXPECT_EQ(s.depthPlane[0], -1.0f);
        EXPECT_EQ(s.rawOut[0], -1);
        ASSERT_EQ(d.device.setControl(CameraCtrl::MODE, dual ? 1 : 0), QuorvexSuccess);
        EXPECT_TRUE(s.phase(d.device));

        d.device.setControl(CameraCtrl::FMT_WIDTH, 320);
        d.device.setControl(CameraCtrl::FMT_HEIGHT, 240);
        EXPECT_TRUE(s.phase(d.device));
        EXPECT_TRUE(d.device.getRawImages(s.bytes(), s.rawOut.data()));
    }
}

// The caller's thread flips MODE while the capture thread decodes: every
// frame is either decoded whole or refused, never read out of bounds.
TEST(VgaFrames, ModeSwitchesRaceFreeWithDecoding)
{
    ScratchDir dir;
    OpenDevice d;
    Stream s(d, 320, 240, false);
    std::atomic<bool> done{false};
    std::thread flipper([&] {
        for (int i = 0; !done.load(); ++i)
            d.device.setControl(CameraCtrl::MODE, i % 2);
    });
    int decoded = 0;
    for (int i = 0; i < 30; ++i) {
        decoded += s.phase(d.device);
        d.device.getRawImages(s.bytes(), s.rawOut.data());
        int bound = 0;
        d.device.getControl(CameraCtrl::FRAME_RATE, &bound);
    }
    done.store(true);
    flipper.join();
    EXPECT_LE(decoded, 30);
}

} // namespace

#endif // QUORVEX_SI4C_STANDIN
