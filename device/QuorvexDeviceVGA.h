#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "device/Calibration.h"
#include "device/QuorvexDevice.h"

struct SiSDKInstance;

namespace Quorvex {

struct Si4cLibrary;

// Device of the 640 x 480 (or 320 x 240) module. Depth comes from the depth
// library (si4c); the device creates, configures, starts and destroys one
// library instance, keeps the sensor's frame geometry in step with the
// library's frequency mode and answers the variant's controls.
class QuorvexDeviceVGA final : public QuorvexDevice {
public:
    // Waits before the library instance is destroyed at close.
    using Sleeper = void (*)(uint32_t milliseconds);

    explicit QuorvexDeviceVGA(BoardKind board);
    // Releases memory only; the library instance is released by close().
    ~QuorvexDeviceVGA() override;

    int getVariantFlag() override { return 0; }
    void getFrameFormats(FrameGeometry& raw, FrameGeometry& depth) override;
    // Null sensor: 1. Otherwise creates the library instance (0 or -1) and
    // takes size and frequency mode from the raw size the sensor reports.
    TofErrorCode open(QuorvexTOFSensor* sensor, DeviceType type) override;
    // Waits 500 ms, then destroys the instance. A second close does nothing.
    TofErrorCode close() override;
    // Tells the sensor the raw geometry of the library's current mode.
    TofErrorCode setupSensor() override;
    // Writes the configuration files, then initialises, calibrates,
    // configures and starts the library. A library failure destroys the
    // instance; -1 on any failure.
    TofErrorCode start() override;
    TofErrorCode stop() override;
    TofErrorCode setControl(CameraCtrl ctrl, int value) override;
    TofErrorCode setControlExt(CameraCtrl ctrl, const char* value) override;
    TofErrorCode getControl(CameraCtrl ctrl, int* value) override;
    TofErrorCode getControlExt(CameraCtrl ctrl, const char** value) override;
    // Both refuse (false) a frame whose layout no longer matches the stream.
    bool getRawImages(unsigned char* raw, short* out) override;
    bool getPhaseImage(unsigned char* raw, float* depth, float* amplitude,
                       float* confidence) override;

    // The library instance, null before open and after close (diagnostics).
    SiSDKInstance* libraryInstance() const { return libraryHandle; }
    // Replaces the close wait (tests).
    void setSleeper(Sleeper s) { sleeper = s; }
    // Sleeps for the whole time, resuming after signal interruptions.
    static void sleepResuming(uint32_t milliseconds);

private:
    // The library's mode; without an instance the single-frequency layout.
    bool singleFreq() const;
    void adoptSensorLayout();
    bool frameLayoutMatches(bool needLibrary, uint32_t* layout) const;

    SiSDKInstance* libraryHandle = nullptr;
    const Si4cLibrary* lib = nullptr; // set by open, before any instance
    std::string configText;
    // Read by the capture thread (frame-rate bound) while the caller's
    // thread may set them.
    std::atomic<int32_t> W{640};
    std::atomic<int32_t> H{480};
    std::atomic<bool> frameRateSet{false};

    // Geometry of the running stream, packed by packLayout(): what the
    // sensor was set up for, what getFrameFormats told the camera to
    // allocate, and the size the library was initialised with.
    std::atomic<uint32_t> sensorLayout{0};
    std::atomic<uint32_t> bufferLayout{0};
    std::atomic<uint32_t> libraryLayout{0};

    // Held across a mode switch and across one frame's decoding: the library
    // reads the frame in the mode it finds, so the mode must not change
    // between the layout check and the decoding.
    std::mutex modeLock;

    Calibration calibration;
    Sleeper sleeper;
};

} // namespace Quorvex
