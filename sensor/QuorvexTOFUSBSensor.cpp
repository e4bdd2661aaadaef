#include "sensor/QuorvexTOFUSBSensor.h"

#include <cstring>
#include <iterator>

#include "common/ByteOrder.h"
#include "sensor/ModuleRange.h"
#include "sensor/SubFrameAssembler.h"
#include "sensor/EvkLibrary.h"

namespace Quorvex {

namespace {

// Byte offsets inside the library's records.
constexpr size_t kParamPathOffset = 0;
constexpr size_t kParamBinaryOffset = 8;
constexpr size_t kConfigWidthOffset = 64;
constexpr size_t kConfigHeightOffset = 68;
constexpr size_t kConfigBitWidthOffset = 72;
constexpr size_t kImageTimestampOffset = 8;
constexpr size_t kImageSizeOffset = 24;
constexpr size_t kImageDataOffset = 28;

static_assert(kImageDataOffset + sizeof(void*) <= QuorvexTOFUSBSensor::kImageBytes,
              "the data address fits the image record");
static_assert(sizeof(QuorvexOpenParam) == QuorvexTOFUSBSensor::kOpenParamBytes &&
                  sizeof(QuorvexCameraConfig) == QuorvexTOFUSBSensor::kConfigBytes &&
                  sizeof(QuorvexImage) == QuorvexTOFUSBSensor::kImageBytes,
              "the library's records have the sizes this sensor provides");

// The library stamps images in milliseconds.
constexpr int64_t kMaxSubFrameStepMs = kMaxSubFrameGapUs / 1000;

struct RegisterWrite {
    uint32_t reg;
    uint32_t value;
};

constexpr RegisterWrite kNearTable[] = {
    {0x216C, 0x08}, {0x2179, 0x0A}, {0x217A, 0x0E}, {0x217B, 0x12}};
constexpr RegisterWrite kFarTable[] = {
    {0x216C, 0x10}, {0x2179, 0x0E}, {0x217A, 0x16}, {0x217B, 0x1E}};

// Turns one image of `bytesPerSample` bytes a sample into 16-bit
// little-endian samples of 12 significant bits at `out`; returns how far
// the write position moves (two bytes a sample).
size_t convertImage(const uint8_t* src, size_t imageSize, uint32_t bitWidth, uint32_t bytesPerSample,
                    uint8_t* out)
{
    if (bytesPerSample == 1) {
        const unsigned shift = bitWidth < 12 ? 12 - bitWidth : 0;
        for (size_t n = 0; n < imageSize; ++n)
            storeLe16(out + 2 * n, static_cast<uint16_t>(src[n] << shift));
        return 2 * imageSize;
    }
    const size_t samples = imageSize / 2;
    if (bitWidth == 12) {
        std::memcpy(out, src, imageSize);
    } else if (bitWidth < 12) {
        const unsigned shift = 12 - bitWidth;
        for (size_t n = 0; n < samples; ++n)
            storeLe16(out + 2 * n, static_cast<uint16_t>(loadLe16(src + 2 * n) << shift));
    } else {
        const unsigned shift = bitWidth - 12;
        for (size_t n = 0; n < samples; ++n)
            storeLe16(out + 2 * n, static_cast<uint16_t>(loadLe16(src + 2 * n) >> shift));
    }
    return imageSize;
}

} // namespace

QuorvexTOFUSBSensor::QuorvexTOFUSBSensor(const std::string& path, int idx)
    : configPath(path), index(idx)
{
}

QuorvexTOFUSBSensor::~QuorvexTOFUSBSensor() = default;

TofErrorCode QuorvexTOFUSBSensor::open(CameraInfo& cameraInfo)
{
    // A camera left by an earlier open would otherwise be lost with its
    // handle.
    close();
    // The module's library is loaded by the first open that needs it, so a
    // program using only a CSI camera never asks for it.
    lib = EvkLibrary::get();
    if (!lib)
        return QuorvexUnkownError;
    alignas(8) uint8_t params[kOpenParamBytes];
    lib->defaultParam(reinterpret_cast<QuorvexOpenParam*>(params));
    if (!configPath.empty()) {
        const char* path = configPath.c_str();
        std::memcpy(params + kParamPathOffset, &path, sizeof path);
        // Throws std::out_of_range for a path shorter than the suffix, which
        // the camera's caller sees as an out-of-range error.
        params[kParamBinaryOffset] = configPath.substr(configPath.size() - 4) == ".bin" ? 1 : 0;
    }

    if (lib->openCamera(&handle, reinterpret_cast<QuorvexOpenParam*>(params)) != 0)
        return QuorvexUnkownError;
    if (lib->initCamera(handle) != 0)
        return QuorvexUnkownError;

    alignas(8) uint8_t config[kConfigBytes] = {};
    lib->getCameraConfig(handle, reinterpret_cast<QuorvexCameraConfig*>(config));
    uint32_t width = 0;
    uint32_t height = 0;
    std::memcpy(&width, config + kConfigWidthOffset, sizeof width);
    std::memcpy(&height, config + kConfigHeightOffset, sizeof height);
    const uint8_t bitWidth = config[kConfigBitWidthOffset];

    cameraInfo.width = width;
    cameraInfo.height = height;
    cameraInfo.bit_width = bitWidth;
    cameraInfo.bpp = bitWidth > 8 ? 2 : 1;
    info = cameraInfo;
    // A module comes up at its far range (register 0x216C = 0x10).
    rangeSwitch.reset(kStartRangeMm);
    return QuorvexSuccess;
}

TofErrorCode QuorvexTOFUSBSensor::close()
{
    if (handle) {
        lib->closeCamera(handle);
        handle = nullptr;
    }
    return QuorvexSuccess;
}

TofErrorCode QuorvexTOFUSBSensor::start()
{
    if (started.exchange(true))
        return QuorvexUnkownError;
    // A stream begins with a new frame, captured at whatever range the
    // module was last given.
    rangeSwitch.streamStarts();
    // `started` stays set even when the library refuses: a failed start
    // still needs its stop.
    return !lib || lib->startCamera(handle) != 0 ? QuorvexUnkownError : QuorvexSuccess;
}

TofErrorCode QuorvexTOFUSBSensor::stop()
{
    started = false;
    if (lib)
        lib->stopCamera(handle);
    return QuorvexSuccess;
}

CameraInfo QuorvexTOFUSBSensor::getCameraInfo()
{
    return info;
}

void QuorvexTOFUSBSensor::freeImage()
{
    QuorvexImage record;
    std::memcpy(&record, image, sizeof record);
    if (lib)
        lib->freeImage(handle, record);
}

TofErrorCode QuorvexTOFUSBSensor::getFrame(uint8_t* dst, int64_t* timestamp)
{
    const uint64_t samples = static_cast<uint64_t>(info.width) * info.height;
    if (subFrameCount <= 0)
        return QuorvexSuccess;
    if (!dst || !timestamp)
        return QuorvexUnkownError;

    // The library's clock steps back only where a frame was broken off.
    SubFrameAssembler frame(subFrameCount, kMaxSubFrameStepMs, SubFrameAssembler::StepBack::Restarts, rangeSwitch);
    while (!frame.complete()) {
        // Not streaming: nothing to read. A frame broken off halfway would
        // hold a mix of old and new images, so it is not a frame.
        if (!started)
            return frame.held() == 0 ? QuorvexSuccess : QuorvexUnkownError;

        // A lost image leaves a hole in the frame: report no frame rather
        // than one with a stale sub-frame in it. The next call starts afresh
        // and the timestamp step finds the next frame's beginning.
        if (!lib || lib->captureImage(handle, reinterpret_cast<QuorvexImage*>(image), kCaptureTimeoutMs) != 0)
            return QuorvexUnkownError;

        uint64_t imageTime = 0;
        uint32_t imageSize = 0;
        const uint8_t* data = nullptr;
        std::memcpy(&imageTime, image + kImageTimestampOffset, sizeof imageTime);
        std::memcpy(&imageSize, image + kImageSizeOffset, sizeof imageSize);
        std::memcpy(&data, image + kImageDataOffset, sizeof data);

        const int32_t n = frame.place(static_cast<int64_t>(imageTime));
        lastImageStamp.store(imageTime, std::memory_order_relaxed);
        // The image's size says how the module stores a sample: one byte
        // (8 bits or fewer) or two (any width; 8-bit modules may use either).
        // The check also keeps the conversion inside dst, which holds
        // exactly subFrameCount images of info's size.
        const uint32_t bytesPerSample = imageSize == samples ? 1 : imageSize == 2 * samples ? 2 : 0;
        if (bytesPerSample == 0 || (bytesPerSample == 1 && info.bit_width > 8) || !data) {
            freeImage();
            return QuorvexUnkownError;
        }
        // Every sub-frame takes two bytes a sample, whatever the image's.
        convertImage(data, imageSize, info.bit_width, bytesPerSample, dst + static_cast<size_t>(n) * 2 * samples);
        freeImage();
        *timestamp = static_cast<int64_t>(imageTime);
        // A frame captured before a range change took effect is read in
        // full (its images must be taken off the module anyway) and then
        // replaced by the next one.
        frame.stored();
    }
    return QuorvexSuccess;
}

TofErrorCode QuorvexTOFUSBSensor::setControl(CameraCtrl ctrl, int value)
{
    if (ctrl != CameraCtrl::RANGE)
        return QuorvexInvalidParameter;
    (void)setModuleRange(value);
    return QuorvexSuccess;
}

TofErrorCode QuorvexTOFUSBSensor::setModuleRange(int rangeMm)
{
    // Frames begun up to the newest image read so far were captured before
    // the tables below can have reached the module.
    const uint64_t mark = lastImageStamp.load(std::memory_order_relaxed);
    const auto& table = rangeMm == kNearRangeMm ? kNearTable : kFarTable;
    int written = 0;
    for (const RegisterWrite& w : table) {
        if (!lib || lib->writeSensorReg(handle, w.reg, w.value) != 0)
            break;
        ++written;
    }
    // The modulation register comes first: once it is written the module
    // changes, whatever became of the rest.
    if (written > 0)
        rangeSwitch.requested(rangeMm == kNearRangeMm ? kNearRangeMm : kFarRangeMm, static_cast<int64_t>(mark));
    return written == static_cast<int>(std::size(table)) ? QuorvexSuccess : QuorvexUnkownError;
}

TofErrorCode QuorvexTOFUSBSensor::getControl(CameraCtrl, int*)
{
    return QuorvexNotImplemented;
}

} // namespace Quorvex
