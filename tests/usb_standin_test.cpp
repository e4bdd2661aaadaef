// The simulated USB module behind the USB camera library's interface: its
// configuration file, its images, its faults and its register log.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "device/PhaseToDepth.h"
#include "sim/SceneModel.h"
#include "tests/support/UsbConfigFile.h"
#include "vendor/libsi4c/si4c.h"
#include "vendor/libquorvex_evk_sdk/quorvex_evk_sdk.h"

#ifdef QUORVEX_EVK_SDK_STANDIN

namespace {

using Quorvex::test::UsbConfigFile;

// An open camera of the simulated module, closed at the end of the test.
struct Camera {
    explicit Camera(const char* path = nullptr)
    {
        QuorvexDefaultParam(&param);
        param.configPath = path;
        result = QuorvexOpenCamera(&handle, &param);
    }
    ~Camera()
    {
        if (handle)
            QuorvexCloseCamera(handle);
    }
    QuorvexCameraConfig config()
    {
        QuorvexCameraConfig c;
        QuorvexGetCameraConfig(handle, &c);
        return c;
    }
    QuorvexDebugState state()
    {
        QuorvexDebugState s{};
        QuorvexDebugGetState(handle, &s);
        return s;
    }
    void stream()
    {
        ASSERT_EQ(QuorvexInitCamera(handle), 0);
        ASSERT_EQ(QuorvexStartCamera(handle), 0);
    }
    QuorvexOpenParam param;
    QuorvexCameraHandle handle = nullptr;
    int result;
};

struct ConfigCase {
    const char* text;
    // Empty: the file is good. Otherwise the message's text after the path.
    const char* error;
};

TEST(UsbStandIn, ConfigurationErrorsNameFileLineAndKey)
{
    const ConfigCase cases[] = {
        {"", ""},
        {"# only a comment\n\n", ""},
        {"variant = vga\nfrequency = dual  # two frequencies\n", ""},
        {"colour = red\n", ":1: key 'colour': unknown key"},
        {"\n# fast\nfps = fast\n", ":3: key 'fps': bad value 'fast'"},
        {"fps = 2000\n", ":1: key 'fps': bad value '2000'"},
        {"fps = -1\n", ":1: key 'fps': bad value '-1'"},
        {"clock_drift_ppm = 501\n", ":1: key 'clock_drift_ppm': bad value '501'"},
        {"latency_jitter_ms = -1\n", ":1: key 'latency_jitter_ms': bad value '-1'"},
        {"fps = 10\nfps = 20\n", ":2: key 'fps': given twice (first on line 1)"},
        {"just words\n", ":1: expected 'key = value'"},
        {"variant = hqvga\nwidth = 640\n", ":2: key 'width': the HQVGA module is 240 x 180"},
        {"variant = vga\nwidth = 640\nheight = 240\n", ":3: key 'height': the VGA module is 640 x 480"},
        {"frequency = dual\n", ":1: key 'frequency': the HQVGA module has one modulation frequency"},
        {"variant = VGA\n", ":1: key 'variant': bad value 'VGA'"},
        {"scene = forest\n", ":1: key 'scene': bad value 'forest'"},
        {"bytes_per_sample = 1\n", ":1: key 'bytes_per_sample': 1 byte per sample needs bit_width 8"},
        {"variant = vga\nbit_width = 10\n", ":2: key 'bit_width': the VGA module delivers 12-bit"},
        {"timeout_at = 0\n", ":1: key 'timeout_at': bad value '0'"},
        {"timeout_at = 3, x\n", ":1: key 'timeout_at': bad value '3, x'"},
        {"seed = 18446744073709551616\n", ":1: key 'seed': bad value"},
        {"distance =\n", ":1: key 'distance': bad value ''"},
        {"unplugged = perhaps\n", ":1: key 'unplugged': bad value 'perhaps'"},
    };
    for (const ConfigCase& c : cases) {
        SCOPED_TRACE(c.text);
        UsbConfigFile file(c.text);
        const int before = QuorvexDebugOpenCameras();
        testing::internal::CaptureStderr();
        Camera camera(file.path.c_str());
        const std::string err = testing::internal::GetCapturedStderr();
        if (*c.error == '\0') {
            EXPECT_EQ(camera.result, QUORVEX_EVK_OK);
            EXPECT_EQ(err, "");
            EXPECT_NE(camera.handle, nullptr);
        } else {
            EXPECT_EQ(camera.result, QUORVEX_EVK_BAD_CONFIGURATION);
            EXPECT_EQ(camera.handle, nullptr);
            EXPECT_EQ(QuorvexDebugOpenCameras(), before);
            EXPECT_NE(err.find("quorvex_evk_sdk: " + file.path + c.error), std::string::npos) << err;
        }
    }
}

TEST(UsbStandIn, UnreadableFilesAreRefusedWithTheirName)
{
    UsbConfigFile file("fps = 10\n");
    const std::string missing = file.dir + "/missing.cfg";
    const std::string binary = file.dir + "/module.bin";
    struct {
        std::string path;
        uint8_t binaryFlag;
        const char* message;
    } cases[] = {
        {missing, 0, ": cannot open configuration file"},
        {file.dir, 0, ": not a regular file"},
        {binary, 1, ": binary (.bin) configuration files are for a real module"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        testing::internal::CaptureStderr();
        QuorvexOpenParam param;
        QuorvexDefaultParam(&param);
        param.configPath = c.path.c_str();
        param.configIsBinary = c.binaryFlag;
        QuorvexCameraHandle handle = nullptr;
        EXPECT_EQ(QuorvexOpenCamera(&handle, &param), QUORVEX_EVK_BAD_CONFIGURATION);
        EXPECT_EQ(handle, nullptr);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(c.path + c.message), std::string::npos) << err;
    }
}

// The whole literal, NULs included.
template <size_t N>
std::string withNul(const char (&text)[N])
{
    return std::string(text, N - 1);
}

TEST(UsbStandIn, ConfigurationFilesThatAreNotPlainTextAreRefused)
{
    // A NUL ends no value early; a file that opens but cannot be read is
    // not taken for an empty one; a huge bad value is not echoed whole.
    const std::string huge(5u << 20, '7');
    struct {
        std::string path;
        std::string text; // written to `path` unless empty
        const char* message;
        size_t longestMessage;
    } cases[] = {
        {"", withNul("fps = 0\0junk\n"), ":1: NUL byte in the line", 0},
        {"", withNul("# a\0b\nfps = 0\n"), ":1: NUL byte in the line", 0},
        {"/proc/self/mem", "", ": cannot read configuration file", 0},
        {"", "fps = " + huge + "\n", ":1: key 'fps': bad value '777", 400},
        {"", huge + "\n", ":1: expected 'key = value', got '777", 400},
        {"", huge + " = 1\n", ":1: key '777", 400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 20));
        UsbConfigFile file(c.text);
        const std::string path = c.path.empty() ? file.path : c.path;
        testing::internal::CaptureStderr();
        Camera camera(path.c_str());
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(camera.result, QUORVEX_EVK_BAD_CONFIGURATION);
        EXPECT_EQ(camera.handle, nullptr);
        EXPECT_NE(err.find("quorvex_evk_sdk: " + path + c.message), std::string::npos) << err.substr(0, 200);
        if (c.longestMessage) {
            EXPECT_LT(err.size(), c.longestMessage);
        }
    }
}

TEST(UsbStandIn, OpenParametersMustComeFromTheDefaults)
{
    QuorvexOpenParam param;
    std::memset(&param, 0, sizeof param);
    QuorvexCameraHandle handle = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_EQ(QuorvexOpenCamera(&handle, &param), QUORVEX_EVK_INVALID_ARGUMENT);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("QuorvexDefaultParam"), std::string::npos);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(QuorvexOpenCamera(nullptr, &param), QUORVEX_EVK_INVALID_ARGUMENT);
    EXPECT_EQ(QuorvexInitCamera(nullptr), QUORVEX_EVK_INVALID_ARGUMENT);
    EXPECT_EQ(QuorvexWriteSensorReg(nullptr, 1, 2), QUORVEX_EVK_INVALID_ARGUMENT);
}

TEST(UsbStandIn, ReportsTheConfiguredModule)
{
    struct {
        const char* text;
        uint32_t width, height, bitWidth, bytes, images, frequencies, fps;
    } cases[] = {
        {"", 240, 180, 12, 2, 4, 1, 30},
        {"fps = 0\nbit_width = 8\nbytes_per_sample = 1\n", 240, 180, 8, 1, 4, 1, 0},
        {"variant = vga\n", 640, 2405, 12, 2, 1, 1, 30},
        {"variant = vga\nfrequency = dual\n", 640, 4810, 12, 2, 1, 2, 30},
        {"variant = vga\nwidth = 320\nheight = 240\n", 320, 1205, 12, 2, 1, 1, 30},
        {"variant = vga\nwidth = 320\nheight = 240\nfrequency = dual\nfps = 5\n", 320, 2410, 12, 2, 1, 2, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        UsbConfigFile file(c.text);
        Camera camera(*c.text ? file.path.c_str() : nullptr);
        ASSERT_EQ(camera.result, 0);
        const QuorvexCameraConfig config = camera.config();
        EXPECT_EQ(config.width, c.width);
        EXPECT_EQ(config.height, c.height);
        EXPECT_EQ(config.bitWidth, c.bitWidth);
        EXPECT_EQ(config.bytesPerSample, c.bytes);
        EXPECT_EQ(config.imagesPerFrame, c.images);
        EXPECT_EQ(config.frequencyCount, c.frequencies);
        EXPECT_EQ(config.framesPerSecond, c.fps);
    }
}

TEST(UsbStandIn, CapturesOnlyWhileStreamingAndLendsImagesFromAPool)
{
    UsbConfigFile file("fps = 0\n");
    Camera camera(file.path.c_str());
    ASSERT_EQ(camera.result, 0);
    QuorvexImage image;
    EXPECT_EQ(QuorvexStartCamera(camera.handle), QUORVEX_EVK_WRONG_STATE) << "start before init";
    camera.stream();

    std::vector<QuorvexImage> held;
    for (uint32_t i = 0; i < camera.param.imageQueueDepth; ++i) {
        ASSERT_EQ(QuorvexCaptureImage(camera.handle, &image, 2000), 0);
        EXPECT_EQ(image.dataSize, 240u * 180u * 2u);
        held.push_back(image);
    }
    EXPECT_EQ(camera.state().imagesHeld, camera.param.imageQueueDepth);
    EXPECT_EQ(QuorvexCaptureImage(camera.handle, &image, 2000), QUORVEX_EVK_NO_BUFFER);
    for (const QuorvexImage& h : held)
        EXPECT_EQ(QuorvexFreeImage(camera.handle, h), 0);
    EXPECT_EQ(QuorvexFreeImage(camera.handle, held[0]), QUORVEX_EVK_INVALID_ARGUMENT) << "freed twice";
    EXPECT_EQ(camera.state().imagesHeld, 0u);

    EXPECT_EQ(QuorvexStopCamera(camera.handle), 0);
    EXPECT_EQ(QuorvexCaptureImage(camera.handle, &image, 2000), QUORVEX_EVK_WRONG_STATE);
}

// Reads `count` images, freeing each; returns the capture results, and the
// timestamps and image indices of those that succeeded.
struct Capture {
    int result;
    uint64_t timestamp;
    uint32_t frame, index, size;
};

std::vector<Capture> captureAll(QuorvexCameraHandle handle, int count)
{
    std::vector<Capture> out;
    for (int i = 0; i < count; ++i) {
        QuorvexImage image{};
        const int r = QuorvexCaptureImage(handle, &image, 2000);
        out.push_back({r, image.timestamp, image.frameNumber, image.imageIndex, image.dataSize});
        if (r == 0)
            QuorvexFreeImage(handle, image);
    }
    return out;
}

TEST(UsbStandIn, ImagesOfAFrameAreCloseInTimeAndFramesApart)
{
    UsbConfigFile file("fps = 0\n");
    Camera camera(file.path.c_str());
    camera.stream();
    const auto images = captureAll(camera.handle, 12);
    for (size_t i = 1; i < images.size(); ++i) {
        ASSERT_EQ(images[i].result, 0);
        EXPECT_EQ(images[i].index, i % 4);
        EXPECT_EQ(images[i].frame, i / 4);
        const uint64_t step = images[i].timestamp - images[i - 1].timestamp;
        if (i % 4 == 0)
            EXPECT_GE(step, 10u);
        else
            EXPECT_LE(step, 5u);
    }
}

TEST(UsbStandIn, InjectsTheConfiguredFaults)
{
    struct {
        const char* text;
        // Per capture: expected result, and for good images the step from
        // the previous good image's timestamp (-1: not checked) and size.
        std::vector<int> results;
        int checkCapture;   // 1-based capture whose image is looked at
        int64_t step;       // its timestamp minus the one before it
        uint32_t size;
    } cases[] = {
        {"timeout_at = 2, 3\n", {0, QUORVEX_EVK_TIMEOUT, QUORVEX_EVK_TIMEOUT, 0, 0}, 4, 3, 86400},
        {"wrong_size_at = 2\n", {0, 0, 0}, 2, 1, 86400 - 480},
        {"gap_at = 3\n", {0, 0, 0, 0}, 3, 51, 86400},
        {"reset_at = 3\n", {0, 0, 0, 0}, 4, 1, 86400},
        {"unplugged = yes\n", {QUORVEX_EVK_NO_DEVICE, QUORVEX_EVK_NO_DEVICE}, 0, 0, 0},
        {"unplug_after = 2\n", {0, 0, QUORVEX_EVK_NO_DEVICE, QUORVEX_EVK_NO_DEVICE}, 2, 1, 86400},
        {"timestamps = 100 102 103 110\n", {0, 0, 0, 0, 0}, 4, 7, 86400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        UsbConfigFile file(std::string("fps = 0\n") + c.text);
        Camera camera(file.path.c_str());
        camera.stream();
        const auto images = captureAll(camera.handle, static_cast<int>(c.results.size()));
        for (size_t i = 0; i < images.size(); ++i)
            EXPECT_EQ(images[i].result, c.results[i]) << "capture " << i + 1;
        if (c.checkCapture > 0) {
            const Capture& now = images[c.checkCapture - 1];
            size_t b = c.checkCapture - 2;
            while (b > 0 && images[b].result != 0)
                --b;
            const Capture& before = images[b];
            EXPECT_EQ(static_cast<int64_t>(now.timestamp - before.timestamp), c.step);
            EXPECT_EQ(now.size, c.size);
        }
        EXPECT_EQ(camera.state().imagesHeld, 0u);
    }
    // A reset takes the clock back to 0.
    UsbConfigFile reset("fps = 0\nreset_at = 3\n");
    Camera camera(reset.path.c_str());
    camera.stream();
    EXPECT_EQ(captureAll(camera.handle, 3)[2].timestamp, 0u);
}

TEST(UsbStandIn, StampsFollowTheModuleClockAndImagesComeAfterTheirDelay)
{
    // 250 ppm fast, 10 ms of latency: the truth file's instants are the
    // images' true capture times; the stamps are the module's clock there.
    const std::string truthPath = ::testing::TempDir() + "usb_standin_truth.txt";
    std::remove(truthPath.c_str());
    UsbConfigFile file("clock_drift_ppm = 250\nlatency_ms = 10\nlatency_jitter_ms = 3\nclock_truth = " +
                       truthPath + "\n");
    std::vector<std::pair<uint64_t, int64_t>> delivered;
    {
        Camera camera(file.path.c_str());
        camera.stream();
        for (int i = 0; i < 12; ++i) {
            QuorvexImage image{};
            ASSERT_EQ(QuorvexCaptureImage(camera.handle, &image, 2000), 0);
            const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                    std::chrono::steady_clock::now().time_since_epoch())
                                    .count();
            const uint64_t stamp = image.timestamp;
            delivered.emplace_back(stamp, now);
            QuorvexFreeImage(camera.handle, image);
        }
    }
    // Closed: every line is in the file.
    std::FILE* f = std::fopen(truthPath.c_str(), "r");
    ASSERT_NE(f, nullptr);
    std::vector<std::pair<uint64_t, int64_t>> truth;
    unsigned long long stamp = 0;
    long long ns = 0;
    while (std::fscanf(f, "%llu %lld", &stamp, &ns) == 2)
        truth.emplace_back(stamp, ns);
    std::fclose(f);
    std::remove(truthPath.c_str());
    ASSERT_EQ(truth.size(), delivered.size());
    for (size_t i = 0; i < truth.size(); ++i) {
        EXPECT_EQ(truth[i].first, delivered[i].first);
        EXPECT_GE(delivered[i].second - truth[i].second, 10000000);
        // Images of a frame: 1 ms of the module's clock apart, a little less of the host's.
        if (i % 4 != 0) {
            EXPECT_EQ(truth[i].first - truth[i - 1].first, 1u);
            EXPECT_NEAR(static_cast<double>(truth[i].second - truth[i - 1].second), 1e6 / 1.00025, 2.0);
        }
    }
    // Frames follow the module's 30 fps: 33.333 ms of its clock.
    const double frameNs = static_cast<double>(truth[8].second - truth[4].second);
    EXPECT_GE(frameNs, 33333000 / 1.00025 - 2.0);
}

TEST(UsbStandIn, InitAndStartFailuresCanBeInjected)
{
    UsbConfigFile init("fail_init = yes\n");
    Camera a(init.path.c_str());
    ASSERT_EQ(a.result, 0);
    EXPECT_EQ(QuorvexInitCamera(a.handle), QUORVEX_EVK_NO_DEVICE);
    UsbConfigFile start("fail_start = yes\n");
    Camera b(start.path.c_str());
    EXPECT_EQ(QuorvexInitCamera(b.handle), 0);
    EXPECT_EQ(QuorvexStartCamera(b.handle), QUORVEX_EVK_NO_DEVICE);
}

// Decodes one frame of four images with the device arithmetic and counts
// the pixels whose depth misses the scene's by more than rounding explains:
// samples are whole numbers, so with amplitude A (sample units) the phase
// may be off by about 1/A radians; the tolerance is 1.5/A of the
// unambiguous range over 2 pi, plus 1 mm. Pixels too dark to measure (A
// below 10) count as misses only if they are more than 5% of the image.
int depthMisses(QuorvexCameraHandle handle, bool near, double freq, const Quorvex::sim::Scene& scene)
{
    std::vector<uint16_t> raw(4 * Quorvex::sim::kHqvgaPlaneWords);
    for (int k = 0; k < 4; ++k) {
        QuorvexImage image;
        if (QuorvexCaptureImage(handle, &image, 2000) != 0)
            return -1;
        std::memcpy(raw.data() + k * Quorvex::sim::kHqvgaPlaneWords, image.data, image.dataSize);
        QuorvexFreeImage(handle, image);
    }
    std::vector<float> depth(Quorvex::sim::kHqvgaPlaneWords), amp(depth.size()), conf(depth.size());
    Quorvex::phaseToDepth(raw.data(), depth.data(), amp.data(), conf.data(), depth.size(), 0, near,
                          static_cast<float>(freq));
    const double unambiguousMm = Quorvex::sim::kSpeedOfLight / (2.0 * freq) * 1000.0;
    int misses = 0;
    size_t dark = 0;
    for (size_t n = 0; n < depth.size(); ++n) {
        const double a = amp[n] / 16.0;
        if (a < 10.0) {
            ++dark;
            continue;
        }
        const double tolerance = unambiguousMm / (2 * Quorvex::sim::kPi) * 1.5 / a + 1.0;
        if (std::fabs(static_cast<double>(depth[n]) - scene.pixels[n].depthMm) > tolerance)
            ++misses;
    }
    return dark > depth.size() / 20 ? static_cast<int>(dark) : misses;
}

TEST(UsbStandIn, HqvgaFramesCarryTheSceneAtTheRegisteredFrequency)
{
    // Distances below 2000 mm so that both frequencies measure them
    // unambiguously.
    UsbConfigFile file("fps = 0\ndistance = 1000\nscene = sphere\n");
    Camera camera(file.path.c_str());
    camera.stream();
    Quorvex::sim::SceneParams params;
    params.distanceMm = 1000;
    params.objectDistanceMm = 1000.0 * 2 / 3;
    params.objectSizeMm = params.objectDistanceMm / 3;
    const auto scene = Quorvex::sim::makeScene(Quorvex::sim::SceneKind::SPHERE, 240, 180, params);

    // Unset registers: the far setting, 37.5 MHz.
    EXPECT_EQ(depthMisses(camera.handle, false, 37.5e6, scene), 0);
    EXPECT_EQ(camera.config().modulationKHz, 37500u);
    // The near table's first register selects 75 MHz and the near phase order.
    QuorvexWriteSensorReg(camera.handle, 0x216C, 0x08);
    EXPECT_EQ(camera.config().modulationKHz, 75000u);
    EXPECT_EQ(depthMisses(camera.handle, true, 75e6, scene), 0);
}

TEST(UsbStandIn, VgaImagesAreWholeRawFramesOfTheDepthEngine)
{
    for (const bool dual : {false, true}) {
        SCOPED_TRACE(dual);
        UsbConfigFile file(std::string("variant = vga\nwidth = 320\nheight = 240\nfps = 0\n") +
                           (dual ? "frequency = dual\n" : ""));
        Camera camera(file.path.c_str());
        camera.stream();
        QuorvexImage image;
        ASSERT_EQ(QuorvexCaptureImage(camera.handle, &image, 2000), 0);
        ASSERT_EQ(image.dataSize, 320u * 241u * 5u * (dual ? 2u : 1u) * 2u);
        // Every sub-frame starts with its embedded-data row: marker,
        // frequency index, sub-frame index.
        const size_t subFrameBytes = 320 * 241 * 2;
        for (uint32_t s = 0; s < (dual ? 10u : 5u); ++s) {
            const uint8_t* row = image.data + s * subFrameBytes;
            EXPECT_EQ(row[0] | (row[1] << 8), SI4C_EMBEDDED_MARKER);
            EXPECT_EQ(row[2] | (row[3] << 8), static_cast<int>(s / 5));
            EXPECT_EQ(row[4] | (row[5] << 8), static_cast<int>(s % 5));
        }
        QuorvexFreeImage(camera.handle, image);
        // One image per frame, frames apart in time.
        const auto next = captureAll(camera.handle, 2);
        EXPECT_EQ(next[0].index, 0u);
        EXPECT_GE(next[1].timestamp - next[0].timestamp, 10u);
    }
}

TEST(UsbStandIn, RecordsRegisterWritesFromAnyThread)
{
    UsbConfigFile file("fps = 0\n");
    Camera camera(file.path.c_str());
    camera.stream();
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (uint32_t i = 0; i < 200; ++i)
            QuorvexWriteSensorReg(camera.handle, 0x2179, i);
        done = true;
    });
    while (!done)
        captureAll(camera.handle, 4);
    writer.join();

    std::vector<QuorvexRegisterWrite> log(300);
    ASSERT_EQ(QuorvexDebugGetRegisterWrites(camera.handle, log.data(), 300), 200);
    for (uint32_t i = 0; i < 200; ++i)
        EXPECT_EQ(log[i].value, i);
    EXPECT_EQ(camera.state().registerWrites, 200u);
}

} // namespace

#endif // QUORVEX_EVK_SDK_STANDIN
