#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "sensor/QuorvexTOFSensor.h"
#include "sensor/RangeSwitch.h"

// The USB library's camera, opaque here.
struct QuorvexEvkCamera;

namespace Quorvex {

struct EvkLibrary;

// A module on the USB bus, reached through the USB camera library. Records
// cross that library at fixed byte offsets and are kept here as bytes, so
// the layout is the same on 32-bit and 64-bit hosts.
class QuorvexTOFUSBSensor final : public QuorvexTOFSensor {
public:
    // An empty configPath opens the library's default module. `index` is
    // kept for the camera but not given to the library.
    QuorvexTOFUSBSensor(const std::string& configPath, int index);
    ~QuorvexTOFUSBSensor() override;

    // Opens and initialises the library camera and reads its image size.
    // A configPath shorter than 4 characters throws std::out_of_range.
    TofErrorCode open(CameraInfo& info) override;
    TofErrorCode close() override;
    // -1 when already started or when the library refuses.
    TofErrorCode start() override;
    TofErrorCode stop() override;
    CameraInfo getCameraInfo() override;
    // Assembles subFrameCount consecutive images of one frame into dst as
    // 16-bit samples of 12 significant bits. -1 (no frame) when a capture
    // fails or an image has the wrong size; 0 without a frame when stopped.
    TofErrorCode getFrame(uint8_t* dst, int64_t* timestamp) override;
    // RANGE only: 2000 selects the near register table, anything else the
    // far one. Other controls: QuorvexInvalidParameter.
    TofErrorCode setControl(CameraCtrl ctrl, int value) override;
    // Nothing can be read back from the module: QuorvexNotImplemented.
    TofErrorCode getControl(CameraCtrl ctrl, int* value) override;
    // The register table of the range (near for 2000, far for any other);
    // -1 when the library refuses a write.
    TofErrorCode setModuleRange(int rangeMm) override;
    int32_t frameRange() const override { return rangeSwitch.frameRange(); }

    static constexpr size_t kOpenParamBytes = 20;
    static constexpr size_t kConfigBytes = 80;
    static constexpr size_t kImageBytes = 48;
    static constexpr uint32_t kCaptureTimeoutMs = 2000;

private:
    void freeImage();

    QuorvexEvkCamera* handle = nullptr;
    const EvkLibrary* lib = nullptr; // set by the first successful open, before any handle
    alignas(8) uint8_t image[kImageBytes] = {};
    CameraInfo info{};
    // Written by start/stop on the caller's thread, read by getFrame on the
    // capture thread.
    std::atomic<bool> started{false};
    std::string configPath;
    int32_t index;
    // Newest image stamp read, on the library's clock: a range change marks
    // every frame begun up to it as captured at the old range.
    std::atomic<uint64_t> lastImageStamp{0};
    RangeSwitch rangeSwitch;
};

} // namespace Quorvex
