// The USB sensor driven against the simulated module of the USB camera
// library: what it hands the library, what it makes of the images.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sensor/QuorvexTOFUSBSensor.h"
#include "tests/support/UsbConfigFile.h"
#include "vendor/libquorvex_evk_sdk/quorvex_evk_sdk.h"

#ifdef QUORVEX_EVK_SDK_STANDIN

namespace Quorvex {
namespace {

using test::UsbConfigFile;

constexpr size_t kPlaneBytes = 240 * 180 * 2;

// The simulated module's "pattern" scene: sample n of image k of frame f,
// in the module's own bit width.
uint32_t pattern(size_t n, uint32_t k, uint32_t f, uint32_t mask)
{
    return static_cast<uint32_t>((n * 7 + k * 1000 + f * 3) & mask);
}

uint16_t wordAt(const std::vector<uint8_t>& buf, size_t byteOffset)
{
    return static_cast<uint16_t>(buf[byteOffset] | (buf[byteOffset + 1] << 8));
}

// An opened sensor on a module configured by `text` (HQVGA unless said
// otherwise), closed at the end.
struct OpenSensor {
    explicit OpenSensor(const std::string& text, int32_t subFrames = 4)
        : file(text), sensor(file.path, 0)
    {
        sensor.subFrameCount = subFrames;
        result = sensor.open(info);
        handle = result == QuorvexSuccess ? QuorvexDebugLastCamera() : nullptr;
        frame.assign(static_cast<size_t>(info.width) * info.height * 2 * subFrames + 64, 0xEE);
    }
    ~OpenSensor() { sensor.close(); }

    QuorvexDebugState state() const
    {
        QuorvexDebugState s{};
        QuorvexDebugGetState(handle, &s);
        return s;
    }
    TofErrorCode get() { return sensor.getFrame(frame.data(), &timestamp); }

    UsbConfigFile file;
    QuorvexTOFUSBSensor sensor;
    CameraInfo info{};
    TofErrorCode result;
    // The library's camera, for the stand-in's queries.
    QuorvexCameraHandle handle;
    std::vector<uint8_t> frame;
    int64_t timestamp = 0;
};

std::vector<QuorvexRegisterWrite> registerLog(QuorvexCameraHandle h)
{
    std::vector<QuorvexRegisterWrite> log(64);
    const int n = QuorvexDebugGetRegisterWrites(h, log.data(), 64);
    log.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return log;
}

TEST(UsbSensor, RangeWritesTheRegisterTablesInOrder)
{
    const std::vector<std::pair<uint32_t, uint32_t>> near = {
        {0x216C, 0x08}, {0x2179, 0x0A}, {0x217A, 0x0E}, {0x217B, 0x12}};
    const std::vector<std::pair<uint32_t, uint32_t>> far = {
        {0x216C, 0x10}, {0x2179, 0x0E}, {0x217A, 0x16}, {0x217B, 0x1E}};
    struct {
        CameraCtrl ctrl;
        int value;
        TofErrorCode result;
        std::vector<std::pair<uint32_t, uint32_t>> writes;
    } cases[] = {
        {CameraCtrl::RANGE, 2000, QuorvexSuccess, near},
        {CameraCtrl::RANGE, 4000, QuorvexSuccess, far},
        {CameraCtrl::RANGE, 3, QuorvexSuccess, far},
        {CameraCtrl::EXPOSURE, 10, QuorvexInvalidParameter, {}},
        {CameraCtrl::FRAME_RATE, 30, QuorvexInvalidParameter, {}},
        {CameraCtrl::FMT_HEIGHT, 2405, QuorvexInvalidParameter, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        OpenSensor s("fps = 0\n");
        EXPECT_EQ(s.sensor.setControl(c.ctrl, c.value), c.result);
        std::vector<std::pair<uint32_t, uint32_t>> got;
        for (const QuorvexRegisterWrite& w : registerLog(s.handle))
            got.emplace_back(w.reg, w.value);
        EXPECT_EQ(got, c.writes);
    }
}

TEST(UsbSensor, NoControlCanBeRead)
{
    OpenSensor s("fps = 0\n");
    for (int ctrl = 0; ctrl <= 9; ++ctrl) {
        int value = 1234;
        EXPECT_EQ(s.sensor.getControl(static_cast<CameraCtrl>(ctrl), &value), QuorvexNotImplemented);
        EXPECT_EQ(value, 1234);
    }
}

TEST(UsbSensor, OpenParametersCarryThePathAndTheBinaryFlag)
{
    struct {
        std::string path;
        bool pathGiven;
        uint8_t flag;
    } cases[] = {
        {"cam.bin", true, 1},
        {".bin", true, 1},
        {"cam.json", true, 0},
        {"cam.BIN", true, 0},
        {"", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        QuorvexTOFUSBSensor sensor(c.path, 3);
        CameraInfo info{};
        testing::internal::CaptureStderr();
        const TofErrorCode r = sensor.open(info);
        testing::internal::GetCapturedStderr();
        // Only the built-in module opens: the named files do not exist, and
        // a binary file is refused by the simulated module.
        EXPECT_EQ(r, c.pathGiven ? QuorvexUnkownError : QuorvexSuccess);
        QuorvexOpenParam param;
        ASSERT_EQ(QuorvexDebugLastOpenParam(&param), 0);
        EXPECT_EQ(param.configIsBinary, c.flag);
        EXPECT_EQ(param.recordVersion, QUORVEX_EVK_PARAM_VERSION) << "defaults kept";
        EXPECT_EQ(param.imageQueueDepth, 4u);
        if (c.pathGiven)
            EXPECT_STREQ(param.configPath, c.path.c_str());
        else
            EXPECT_EQ(param.configPath, nullptr);
        sensor.close();
    }
}

TEST(UsbSensor, PathShorterThanTheSuffixIsOutOfRange)
{
    for (const char* path : {"a.b", "ab", "x"}) {
        const int before = QuorvexDebugOpenCameras();
        QuorvexTOFUSBSensor sensor(path, 0);
        CameraInfo info{};
        EXPECT_THROW(sensor.open(info), std::out_of_range) << path;
        EXPECT_EQ(QuorvexDebugOpenCameras(), before);
    }
}

TEST(UsbSensor, OpenReportsTheModuleSizeAndFailures)
{
    struct {
        const char* text;
        TofErrorCode result;
        uint32_t width, height, bitWidth, bpp;
    } cases[] = {
        {"fps = 0\n", QuorvexSuccess, 240, 180, 12, 2},
        {"bit_width = 8\nbytes_per_sample = 1\n", QuorvexSuccess, 240, 180, 8, 1},
        {"bit_width = 14\n", QuorvexSuccess, 240, 180, 14, 2},
        {"variant = vga\n", QuorvexSuccess, 640, 2405, 12, 2},
        {"variant = vga\nwidth = 320\nheight = 240\nfrequency = dual\n", QuorvexSuccess, 320, 2410, 12, 2},
        {"fail_init = yes\n", QuorvexUnkownError, 0, 0, 0, 0},
        {"no_such_key = 1\n", QuorvexUnkownError, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        testing::internal::CaptureStderr();
        OpenSensor s(c.text, 1);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(s.result, c.result);
        EXPECT_EQ(s.info.width, c.width);
        EXPECT_EQ(s.info.height, c.height);
        EXPECT_EQ(s.info.bit_width, c.bitWidth);
        EXPECT_EQ(s.info.bpp, c.bpp);
        const CameraInfo copy = s.sensor.getCameraInfo();
        EXPECT_EQ(copy.height, c.height);
    }
}

TEST(UsbSensor, StartTwiceIsRefusedAndStopEndsCapture)
{
    OpenSensor s("fps = 0\n");
    EXPECT_EQ(s.sensor.start(), QuorvexSuccess);
    EXPECT_EQ(s.sensor.start(), QuorvexUnkownError);
    EXPECT_EQ(s.get(), QuorvexSuccess);
    EXPECT_EQ(s.sensor.stop(), QuorvexSuccess);
    const uint32_t calls = s.state().captureCalls;
    s.timestamp = -5;
    s.frame.assign(s.frame.size(), 0xEE);
    EXPECT_EQ(s.get(), QuorvexSuccess);
    EXPECT_EQ(s.state().captureCalls, calls) << "the library was not asked";
    EXPECT_EQ(s.timestamp, -5);
    EXPECT_EQ(s.frame[0], 0xEE);
    // A new stream after stop.
    EXPECT_EQ(s.sensor.start(), QuorvexSuccess);
    EXPECT_EQ(s.get(), QuorvexSuccess);
}

TEST(UsbSensor, FailedLibraryStartStillCountsAsStarted)
{
    OpenSensor s("fail_start = yes\n");
    EXPECT_EQ(s.sensor.start(), QuorvexUnkownError);
    EXPECT_EQ(s.sensor.start(), QuorvexUnkownError);
    EXPECT_EQ(s.sensor.stop(), QuorvexSuccess);
}

TEST(UsbSensor, TimestampStepRestartsTheFrame)
{
    // Images 1..3 are 100, 102, 103; image 4 comes 7 ms later and begins
    // the frame again, which then takes images 4..7.
    OpenSensor s("fps = 0\nscene = pattern\ntimestamps = 100, 102, 103, 110, 111, 112, 113\n");
    ASSERT_EQ(s.sensor.start(), QuorvexSuccess);
    ASSERT_EQ(s.get(), QuorvexSuccess);
    EXPECT_EQ(s.timestamp, 113);
    EXPECT_EQ(s.state().captureCalls, 7u);
    // Image 4 is image 3 of module frame 0; images 5..7 are 0..2 of frame 1.
    const uint32_t expected[4][2] = {{3, 0}, {0, 1}, {1, 1}, {2, 1}};
    for (int j = 0; j < 4; ++j) {
        for (size_t n : {size_t{0}, size_t{1}, size_t{43199}}) {
            EXPECT_EQ(wordAt(s.frame, j * kPlaneBytes + 2 * n), pattern(n, expected[j][0], expected[j][1], 0xFFF))
                << "sub-frame " << j << " sample " << n;
        }
    }
    EXPECT_EQ(s.state().imagesHeld, 0u);
}

TEST(UsbSensor, SamplesBecomeTwelveBitWords)
{
    struct {
        const char* text;
        uint32_t mask;
        // Expected word for a module sample v.
        uint32_t (*convert)(uint32_t v);
    } cases[] = {
        {"bit_width = 8\nbytes_per_sample = 1\n", 0xFF, [](uint32_t v) { return v << 4; }},
        // 8 bits may come in two bytes too: the image size tells.
        {"bit_width = 8\nbytes_per_sample = 2\n", 0xFF, [](uint32_t v) { return v << 4; }},
        {"bit_width = 10\n", 0x3FF, [](uint32_t v) { return v << 2; }},
        {"bit_width = 12\n", 0xFFF, [](uint32_t v) { return v; }},
        {"bit_width = 14\n", 0x3FFF, [](uint32_t v) { return v >> 2; }},
        {"bit_width = 16\n", 0xFFFF, [](uint32_t v) { return v >> 4; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        OpenSensor s(std::string("fps = 0\nscene = pattern\n") + c.text);
        ASSERT_EQ(s.result, QuorvexSuccess);
        ASSERT_EQ(s.sensor.start(), QuorvexSuccess);
        ASSERT_EQ(s.get(), QuorvexSuccess);
        // Sub-frames at 0, 86400, 172800 and 259200, whatever the sample size.
        int wrong = 0;
        for (uint32_t k = 0; k < 4; ++k)
            for (size_t n = 0; n < 240 * 180; ++n)
                wrong += wordAt(s.frame, k * kPlaneBytes + 2 * n) != c.convert(pattern(n, k, 0, c.mask));
        EXPECT_EQ(wrong, 0);
        EXPECT_EQ(s.frame[4 * kPlaneBytes], 0xEE) << "nothing written past the frame";
    }
}

TEST(UsbSensor, LostOrBadImageGivesNoFrameAndTheNextFrameIsWhole)
{
    // Captures are counted from 1; images 1..4 are frame 0, 5..8 frame 1...
    struct {
        const char* faults;
        TofErrorCode first;
    } cases[] = {
        {"timeout_at = 3\n", QuorvexUnkownError},
        {"wrong_size_at = 2\n", QuorvexUnkownError},
        {"timeout_at = 1\n", QuorvexUnkownError},
        {"gap_at = 3\n", QuorvexSuccess},
        {"reset_at = 2\n", QuorvexSuccess},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.faults);
        OpenSensor s(std::string("fps = 0\nscene = pattern\n") + c.faults);
        ASSERT_EQ(s.sensor.start(), QuorvexSuccess);
        EXPECT_EQ(s.get(), c.first);
        for (int frame = 0; frame < 3; ++frame) {
            s.frame.assign(s.frame.size(), 0xEE);
            ASSERT_EQ(s.get(), QuorvexSuccess);
            // Whole: the four images of one module frame, in order.
            const uint32_t first = wordAt(s.frame, 0);
            ASSERT_EQ(first % 3, 0u) << "begins with image 0";
            for (uint32_t k = 1; k < 4; ++k)
                EXPECT_EQ(wordAt(s.frame, k * kPlaneBytes), (first + 1000 * k) & 0xFFF);
        }
        EXPECT_EQ(s.state().imagesHeld, 0u) << "every image handed back";
    }
}

TEST(UsbSensor, UnpluggedModuleNeverGivesAFrame)
{
    OpenSensor s("fps = 0\nunplug_after = 6\n");
    ASSERT_EQ(s.sensor.start(), QuorvexSuccess);
    EXPECT_EQ(s.get(), QuorvexSuccess);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(s.get(), QuorvexUnkownError);
}

TEST(UsbSensor, RangeMayChangeWhileFramesAreRead)
{
    OpenSensor s("fps = 0\n");
    ASSERT_EQ(s.sensor.start(), QuorvexSuccess);
    std::atomic<bool> done{false};
    std::thread controls([&] {
        for (int i = 0; i < 50; ++i)
            s.sensor.setControl(CameraCtrl::RANGE, i % 2 ? 2000 : 4000);
        done = true;
    });
    int frames = 0;
    while (!done || frames < 3)
        frames += s.get() == QuorvexSuccess;
    controls.join();
    EXPECT_EQ(registerLog(s.handle).size(), 200u);
}

} // namespace
} // namespace Quorvex

#endif // QUORVEX_EVK_SDK_STANDIN
