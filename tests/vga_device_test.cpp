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
#include <sstream>
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

// The three texts rebuilt from the module maker's tables, line by line.
std::string expectedConfigAlgorithm()
{
    return "[DenoisingParams]\nTDenoiseLevel_Depth=3\nSDenoiseLevel_Depth=3\nTDenoiseMethod_Depth=1\n"
           "SDenoiseMethod_Depth=1\nTDenoiseLevel_Gray=1\nSDenoiseLevel_Gray=1\nTDenoiseMethod_Gray=1\n"
           "SDenoiseMethod_Gray=1\n\n[RepairParams]\nERDOLvl=3\n\n[ConfidenceParams]\nValidDistMin=0\n"
           "ValidDistMax=7000\n";
}

std::string expectedConfigCamera()
{
    const char* names[7] = {"Signle-4PHASE", "Signle-4PHASE_GRAY", "Double-4PHASE_4PHASE",
                            "Double-4PHASE_GRAY_4PHASE_BG", "Gray-Only", "BGOUTDOOR",
                            "Signal-BG-GRAY-BG-4PHASE"};
    // Per section: WorkMode SubWorkMode SFM0..2 SpFM0..2, then the integration
    // times (F0 1To4, F0 Special, F1 1To4, F1 Special, F2 Special, F3 1To4) in
    // units of 1000000, the phase dividers F0/F1/F3 1To4, NumSubFramePerFrame1..3
    // and MIPI_FS_FE_Pos.
    const int v[7][21] = {
        {0, 1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 4, 2, 2, 0, 0, 0, 0},
        {0, 2, 5, 0, 0, 1, 0, 0, 1, 1, 0, 0, 0, 0, 4, 2, 2, 0, 0, 0, 0},
        {1, 10, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0, 4, 24, 2, 1, 0, 0, 0},
        {1, 11, 5, 5, 0, 1, 2, 0, 1, 1, 1, 1, 0, 0, 4, 24, 2, 1, 0, 0, 0},
        {8, 19, 4, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 2, 2, 2, 0, 0, 0, 0},
        {7, 18, 4, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0, 2, 2, 2, 0, 0, 0, 0},
        {0, 8, 4, 4, 4, 2, 1, 2, 0, 1, 0, 1, 1, 1, 2, 2, 4, 1, 1, 1, 3},
    };
    const char* comments[7][6] = {
        {"{0,0,0,0}", "{0,0,0,0}", "{0,1,2,3}", "{{1000000,0,0},{0,0,0},{0,0,0},{0,0,0}}",
         "{{4,2,24},{2,2,24},{2,2,24},{2,2,24}}", "{1,0,0,0}"},
        {"{5,0,0,0}", "{1,0,0,0}", "{0,1,2,3}", "{{1000000,0,1000000},{0,0,0},{0,0,0},{0,0,0}}",
         "{{4,2,24},{2,2,24},{2,2,24},{2,2,24}}", "{1,0,0,0}"},
        {"{0,0,0,0}", "{0,0,0,0}", "{0,1,2,3}", "{{1000000,0,0},{1000000,0,0},{0,0,0},{0,0,0}}",
         "{{5,2,24},{2,2,24},{2,2,24},{2,2,24}}", "{1,1,0,0}"},
        {"{5,5,0,0}", "{1,2,0,0}", "{0,1,2,3}",
         "{{1000000,0,1000000},{1000000,0,1000000},{0,0,0},{0,0,0}}",
         "{{4,2,24},{24,2,24},{2,2,24},{2,2,24}}", "{1,1,0,0}"},
        {"{4,0,0,0}", "{0,0,0,0}", "{0,1,2,3}", "{{0,0,1000000},{0,0,0},{0,0,0},{0,0,0}}",
         "{{2,2,24},{2,2,24},{2,2,24},{2,2,24}}", "{1,0,0,0}"},
        {"{4,0,0,0}", "{0,0,0,0}", "{0,1,2,3}", "{{0,0,1000000},{0,0,0},{0,0,0},{0,0,0}}",
         "{{2,2,24},{2,2,24},{2,2,24},{2,2,24}}", "{1,0,0,0}"},
        {"{4,4,4,0}", "{0,0,0,0}", "{0,1,2,3}",
         "{{0,0,1000000},{0,0,1000000},{0,0,1000000},{1000000,0,0}}",
         "{{2,2,24},{2,2,24},{2,2,24},{2,2,24}}", "{1,0,0,0}"},
    };
    std::ostringstream o;
    o << "[VideoInfo]\nsensorType=TOF\nsensorPath=/dev/v4l-subdev2\nispPath=/dev/video11\n"
         "subIspPath=/dev/v4l-subdev3";
    for (int s = 0; s < 7; ++s) {
        const int* x = v[s];
        auto kv = [&](const std::string& k, long value) { o << "\n" << k << "=" << value; };
        auto comment = [&](const char* k, int i) { o << "\n//" << k << "=" << comments[s][i]; };
        o << "\n\n[" << names[s] << "]";
        kv("WorkMode", x[0]);
        kv("SubWorkMode", x[1]);
        comment("SubFrameModes0", 0);
        for (int i = 0; i < 4; ++i)
            kv("SubFrameModes" + std::to_string(i), i < 3 ? x[2 + i] : 0);
        comment("SpecialFrameModes", 1);
        for (int i = 0; i < 4; ++i)
            kv("SpecialFrameModes" + std::to_string(i), i < 3 ? x[5 + i] : 0);
        kv("SpecBgMode", 0);
        comment("FrameSeqSchedule", 2);
        for (int i = 0; i < 4; ++i)
            kv("FrameSeqSchedule" + std::to_string(i), i);
        comment("IntegrationTimes", 3);
        const long t14[4] = {x[8], x[10], 0, x[13]};
        const long tsp[4] = {x[9], x[11], x[12], 0};
        const long div14[4] = {x[14], x[15], 2, x[16]};
        for (int f = 0; f < 4; ++f) {
            const std::string p = "Frame" + std::to_string(f) + "_";
            kv(p + "1To4IntTime", t14[f] * 1000000);
            kv(p + "5To8IntTime", 0);
            kv(p + "SpecialIntTime", tsp[f] * 1000000);
        }
        comment("PLLDLLDivs", 4);
        for (int f = 0; f < 4; ++f) {
            const std::string p = "Frame" + std::to_string(f) + "_";
            kv(p + "1To4PhaseDiv", div14[f]);
            kv(p + "5To8PhaseDiv", 2);
            kv(p + "SpecialPhaseDiv", 24);
        }
        comment("NumSubFramePerFrame", 5);
        for (int i = 0; i < 4; ++i)
            kv("NumSubFramePerFrame" + std::to_string(i), i == 0 ? 1 : x[16 + i]);
        const std::pair<const char*, int> tail[] = {
            {"MirrorMode", 0},     {"PhaseMode", 0},   {"EnableLedMod", 1},
            {"SeqNumPerDepthMap", 1}, {"MIPI_FS_FE_Pos", x[20]}, {"SeqRepeatMode", 1},
            {"TriggerMode", 1},    {"SlaveTrigOnPosLevel", 0}, {"TSensorMode", 1},
            {"performClkChanges", 0}};
        for (const auto& t : tail)
            kv(t.first, t.second);
    }
    return o.str();
}

std::string expectedRegister()
{
    const char* sensor[] = {
        "0x0C28=0x00000000", "0x0C02=0x00011410", "0x0224=0x00000001", "0x0C07=0x0800108A",
        "0x0C20=0x14000000", "0x0432=0x0d6649A6", "0x0721=0x0000000F", "0x072B=0x13271313",
        "0x0C01=0x00000053", "0x0C04=0x00000002", "0x0437=0x04285602", "0x0408=0x80000255",
        "0x0AB4=0x00000303", "0x0435=0x0000007f", "0x0C06=0x00641203", "0x0482=0x08384100",
        "0x0487=0x08384100", "0x048C=0x08384100", "0x0491=0x08384100", "0x0402=0x01600A00",
        "0x0475=0x00000064", "0x0476=0x000003E8", "0x0434=0x11190720", "0x0429=0x00989680",
        "",                  "0x0722=0x00072020", "0x0725=0x00202003", "0x0708=0x10130002",
        "0x0709=0x01940201", "0x070a=0x01019201", "0x070b=0x9a0101a4", "0x070c=0x019b0101",
        "0x070D=0x00009c01", ""};
    const char* vdriver =
        "0x00=0x10 0x01=0x7a 0x02=0xca 0x03=0x22 0x04=0x14 0x05=0x42 0x06=0x9a 0x07=0x42 "
        "0x08=0xca 0x09=0x07 0x0a=0x06 0x0b=0xd5 0x0c=0x28 0x0d=0x90 0x0e=0xd0 0x0F=0xd3 "
        "0x10=0x0c 0x11=0x00 0x12=0x01 0x13=0x11 0x23=0x04 0x24=0xE0 0x25=0x00 0x26=0x0a "
        "0x27=0x01 0x28=0x00 0x29=0x05 0x2b=0xf1 0x2c=0xc8 0x2d=0x03 0x2e=0x01 0x2f=0xe0 "
        "0x30=0xff 0x31=0x00 0x32=0x00";
    std::string out = "[SENSOR]";
    for (const char* line : sensor)
        out += std::string("\n") + line;
    out += "\n[VDRIVER]";
    std::istringstream words(vdriver);
    for (std::string w; words >> w;)
        out += "\n" + w;
    return out;
}

TEST(VgaConfigFiles, WrittenByteExactAtStart)
{
    ScratchDir dir;
    writeFile("ConfigCamera.json", std::string(20000, 'x')); // longer: must be cut
    OpenDevice d;
    ASSERT_EQ(d.device.start(), QuorvexSuccess);
    const std::pair<const char*, std::string> files[] = {
        {"ConfigAlgorithm.json", expectedConfigAlgorithm()},
        {"ConfigCamera.json", expectedConfigCamera()},
        {"register.json", expectedRegister()}};
    const size_t sizes[] = {273, 9476, 946};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(files[i].first);
        const std::string got = readFile(files[i].first);
        EXPECT_EQ(got.size(), sizes[i]);
        EXPECT_EQ(files[i].second.size(), sizes[i]); // the tables themselves add up
        EXPECT_EQ(got, files[i].second);
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
