#include "device/QuorvexDeviceVGA.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "device/DefaultConfigFiles.h"
#include "sensor/CsiBoardRules.h"
#include "sensor/QuorvexTOFSensor.h"
#include "device/Si4cLibrary.h"

namespace Quorvex {

namespace {

// The library should have let go of the module before its instance goes.
constexpr uint32_t kCloseWaitMs = 500;

constexpr int32_t kRangeSingleMm = 1250;
constexpr int32_t kRangeDualMm = 4500;

int32_t rawRows(int32_t h, bool single)
{
    return (h + 1) * (single ? 5 : 10);
}

// The depth height and frequency mode whose raw layout is `rows` rows; false
// for a row count no layout has. No two layouts share a row count.
bool layoutOfRows(uint32_t rows, int32_t* h, bool* single)
{
    for (const int32_t candidate : {240, 480})
        for (const bool s : {true, false})
            if (rows == static_cast<uint32_t>(rawRows(candidate, s))) {
                *h = candidate;
                *single = s;
                return true;
            }
    return false;
}

// A stream geometry in one word so that it can be shared with the capture
// thread atomically; 0 means "none recorded".
uint32_t packLayout(int32_t w, int32_t h, bool single)
{
    return (static_cast<uint32_t>(w) << 16) | (static_cast<uint32_t>(h) << 2) |
           (single ? 2u : 0u) | 1u;
}
int32_t layoutWidth(uint32_t l) { return static_cast<int32_t>(l >> 16); }
int32_t layoutHeight(uint32_t l) { return static_cast<int32_t>((l >> 2) & 0x3FFFu); }
bool layoutSingle(uint32_t l) { return (l & 2u) != 0; }

// Highest frame rate the module reaches at a size and mode; 0 when the
// combination has no entry.
int32_t maxFrameRate(int32_t w, int32_t h, bool single)
{
    if (w == 640 && h == 480)
        return single ? 41 : 23;
    if (w == 320 && h == 240)
        return single ? 61 : 36;
    return 0;
}

} // namespace

QuorvexDeviceVGA::QuorvexDeviceVGA(BoardKind board)
    : QuorvexDevice(board), sleeper(&QuorvexDeviceVGA::sleepResuming)
{
}

QuorvexDeviceVGA::~QuorvexDeviceVGA()
{
    // Deleted without close: the instance is left alone, and so are the
    // calibration bytes it may still be holding.
    if (libraryHandle)
        calibration.abandon();
}

void QuorvexDeviceVGA::sleepResuming(uint32_t milliseconds)
{
    struct timespec left {};
    left.tv_sec = static_cast<time_t>(milliseconds / 1000);
    left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

bool QuorvexDeviceVGA::singleFreq() const
{
    return !libraryHandle || lib->isSingleFreq(libraryHandle) != 0;
}

void QuorvexDeviceVGA::getFrameFormats(FrameGeometry& raw, FrameGeometry& depth)
{
    const int32_t w = W.load();
    const int32_t h = H.load();
    const bool single = singleFreq();
    raw.width = w;
    raw.height = rawRows(h, single);
    raw.pixelBytes = 2;
    depth.width = w;
    depth.height = h;
    // The camera sizes its frame buffers from this answer.
    bufferLayout.store(packLayout(w, h, single));
}

TofErrorCode QuorvexDeviceVGA::open(QuorvexTOFSensor* s, DeviceType /*type*/)
{
    if (!s)
        return QuorvexInvalidParameter;
    sensor = s;
    // The engine is loaded when a VGA device first opens: other modules
    // never need it.
    if (!lib)
        lib = Si4cLibrary::get();
    if (!lib)
        return QuorvexUnkownError;
    // A second open must not orphan a live instance.
    if (!libraryHandle && !(lib->create(&libraryHandle) && libraryHandle))
        return QuorvexUnkownError;
    adoptSensorLayout();
    return QuorvexSuccess;
}

void QuorvexDeviceVGA::adoptSensorLayout()
{
    // The module decides its size and frequency mode, and says so by the
    // size it reports: a dual-frequency module sends both frequencies'
    // sub-frames, which a library left in its single-frequency default would
    // read as one frequency alone and wrap at 1250 mm. A size of no known
    // layout keeps the defaults; the start then finds the mismatch.
    const CameraInfo reported = sensor->getCameraInfo();
    int32_t h = 0;
    bool single = true;
    if ((reported.width != 320 && reported.width != 640) || !layoutOfRows(reported.height, &h, &single))
        return;
    W.store(static_cast<int32_t>(reported.width));
    H.store(h);
    std::lock_guard<std::mutex> lock(modeLock);
    lib->setSingleFreq(libraryHandle, single ? 1 : 0);
}

TofErrorCode QuorvexDeviceVGA::close()
{
    if (!libraryHandle)
        return QuorvexSuccess;
    sleeper(kCloseWaitMs);
    lib->destroy(&libraryHandle);
    libraryHandle = nullptr;
    calibration.reset();
    return QuorvexSuccess;
}

TofErrorCode QuorvexDeviceVGA::setupSensor()
{
    const int32_t w = W.load();
    const int32_t h = H.load();
    const bool single = singleFreq();
    if (sensor) {
        // The sensor clamps or refuses sizes it cannot deliver; the camera
        // learns the outcome from the sensor's own geometry.
        sensor->setControl(CameraCtrl::FMT_WIDTH, w);
        sensor->setControl(CameraCtrl::FMT_HEIGHT, rawRows(h, single));
    }
    sensorLayout.store(packLayout(w, h, single));
    return QuorvexSuccess;
}

TofErrorCode QuorvexDeviceVGA::start()
{
    // A destroyed (failed start, close) or never created instance is never
    // handed to the library again: only open creates one.
    if (!libraryHandle)
        return QuorvexUnkownError;
    if (!writeDefaultConfigFiles())
        return QuorvexUnkownError;

    const int32_t w = W.load();
    const int32_t h = H.load();
    libraryLayout.store(0);
    if (lib->init(libraryHandle, w, h)) {
        // The new mapping is handed over before the previous one goes, so
        // the library never holds unmapped bytes; without a file it keeps
        // what it had.
        Calibration next = Calibration::load();
        if (!next.empty()) {
            lib->setCaliData(libraryHandle, next.data(), next.size());
            calibration = std::move(next);
        }
        // The library reports a text it rejects on standard error itself.
        if (!configText.empty())
            lib->setConfig(libraryHandle, configText.c_str());
        if (lib->start(libraryHandle)) {
            libraryLayout.store(packLayout(w, h, false));
            return QuorvexSuccess;
        }
    }
    lib->destroy(&libraryHandle);
    libraryHandle = nullptr;
    calibration.reset();
    return QuorvexUnkownError;
}

TofErrorCode QuorvexDeviceVGA::stop()
{
    return QuorvexSuccess;
}

TofErrorCode QuorvexDeviceVGA::setControl(CameraCtrl ctrl, int value)
{
    switch (ctrl) {
    case CameraCtrl::FMT_WIDTH:
        if (value != 320 && value != 640)
            return QuorvexInvalidParameter;
        W.store(value);
        return QuorvexSuccess;
    case CameraCtrl::FMT_HEIGHT:
        if (value != 240 && value != 480)
            return QuorvexInvalidParameter;
        H.store(value);
        return QuorvexSuccess;
    case CameraCtrl::MODE:
        if (value != 0 && value != 1)
            return QuorvexInvalidParameter;
        if (!libraryHandle)
            return QuorvexUnkownError;
        {
            std::lock_guard<std::mutex> lock(modeLock);
            lib->setSingleFreq(libraryHandle, value == 0 ? 1 : 0);
        }
        return QuorvexSuccess;
    case CameraCtrl::FRAME_MODE:
        return QuorvexNotImplemented;
    case CameraCtrl::FRAME_RATE: {
        if (!sensor)
            return QuorvexUnkownError;
        const TofErrorCode r = sensor->setControl(CameraCtrl::FRAME_RATE, value);
        if (r != QuorvexSuccess)
            return r;
        frameRateSet.store(true);
        return QuorvexSuccess;
    }
    default:
        // RANGE follows the frequency mode and EXPOSURE belongs to the
        // library's configuration: neither is set here.
        return QuorvexInvalidParameter;
    }
}

TofErrorCode QuorvexDeviceVGA::setControlExt(CameraCtrl ctrl, const char* value)
{
    if (ctrl != CameraCtrl::CONFIG_DIR_EXT || !value)
        return QuorvexInvalidParameter;
    configText = value;
    return QuorvexSuccess;
}

TofErrorCode QuorvexDeviceVGA::getControl(CameraCtrl ctrl, int* value)
{
    if (!value)
        return QuorvexInvalidParameter;
    switch (ctrl) {
    case CameraCtrl::RANGE:
        if (!libraryHandle)
            return QuorvexUnkownError;
        *value = singleFreq() ? kRangeSingleMm : kRangeDualMm;
        return QuorvexSuccess;
    case CameraCtrl::FMT_WIDTH:
        *value = W.load();
        return QuorvexSuccess;
    case CameraCtrl::FMT_HEIGHT:
        *value = H.load();
        return QuorvexSuccess;
    case CameraCtrl::MODE:
        if (!libraryHandle)
            return QuorvexUnkownError;
        *value = singleFreq() ? static_cast<int>(TofWorkMode::SINGLE_FREQ)
                              : static_cast<int>(TofWorkMode::DOUBLE_FREQ);
        return QuorvexSuccess;
    case CameraCtrl::FRAME_MODE:
        return QuorvexNotImplemented;
    case CameraCtrl::FRAME_RATE:
        if (!frameRateSet.load()) {
            // Until a rate was set the sensor's own figure is not
            // trustworthy, so the bound is the module's maximum.
            if (!libraryHandle)
                return QuorvexUnkownError;
            const int32_t max = maxFrameRate(W.load(), H.load(), singleFreq());
            if (max == 0)
                return QuorvexInvalidParameter;
            *value = max;
            return QuorvexSuccess;
        }
        break;
    default:
        break;
    }
    if (!sensor)
        return QuorvexUnkownError;
    return sensor->getControl(ctrl, value);
}

TofErrorCode QuorvexDeviceVGA::getControlExt(CameraCtrl ctrl, const char** value)
{
    if (ctrl != CameraCtrl::CONFIG_DIR_EXT || !value)
        return QuorvexInvalidParameter;
    *value = configText.c_str();
    return QuorvexSuccess;
}

// The sensor delivers, and the camera allocated for, the geometry recorded
// at setupSensor and getFrameFormats. A MODE change while streaming (or a
// size change between set-up and allocation) makes the library's layout
// differ from it: such a frame is refused instead of being read or written
// past either buffer.
bool QuorvexDeviceVGA::frameLayoutMatches(bool needLibrary, uint32_t* layout) const
{
    const uint32_t s = sensorLayout.load();
    if (s == 0 || s != bufferLayout.load() || layoutSingle(s) != singleFreq())
        return false;
    if (needLibrary) {
        const uint32_t l = libraryLayout.load();
        if (!libraryHandle || l == 0 || layoutWidth(l) != layoutWidth(s) ||
            layoutHeight(l) != layoutHeight(s))
            return false;
    }
    *layout = s;
    return true;
}

bool QuorvexDeviceVGA::getRawImages(unsigned char* raw, short* out)
{
    uint32_t layout = 0;
    if (!raw || !out || !frameLayoutMatches(false, &layout))
        return false;
    const size_t samples = static_cast<size_t>(layoutWidth(layout)) *
                           static_cast<size_t>(rawRows(layoutHeight(layout), layoutSingle(layout)));
    std::memcpy(out, raw, samples * sizeof(short));
    return true;
}

bool QuorvexDeviceVGA::getPhaseImage(unsigned char* raw, float* depth, float* amplitude,
                                     float* confidence)
{
    uint32_t layout = 0;
    std::lock_guard<std::mutex> lock(modeLock);
    if (!raw || !frameLayoutMatches(true, &layout))
        return false;
    const unsigned shift = csiBoardProfile(boardKind).sampleShift;
    if (shift != 0) {
        // The Jetson receiver hands each 12-bit sample over four bits up;
        // the library reads the low 12 bits, so they are moved back first.
        // The frame is ours to change: it is decoded once and then refilled.
        const size_t samples = static_cast<size_t>(layoutWidth(layout)) *
                               static_cast<size_t>(rawRows(layoutHeight(layout), layoutSingle(layout)));
        for (size_t n = 0; n < samples; ++n) {
            const unsigned v = static_cast<unsigned>(raw[2 * n]) | (static_cast<unsigned>(raw[2 * n + 1]) << 8);
            raw[2 * n] = static_cast<unsigned char>(v >> shift);
            raw[2 * n + 1] = static_cast<unsigned char>(v >> (8 + shift));
        }
    }
    return libraryHandle && lib->getPhaseImage(libraryHandle, raw, depth, amplitude, confidence) != 0;
}

} // namespace Quorvex
