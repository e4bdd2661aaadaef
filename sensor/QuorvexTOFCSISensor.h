#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "sensor/BoardKind.h"
#include "sensor/CsiConverters.h"
#include "sensor/CsiPipeline.h"
#include "sensor/QuorvexTOFSensor.h"
#include "sensor/RangeSwitch.h"
#include "sensor/SubFrameAssembler.h"

namespace Quorvex {

struct CsiBoardProfile;

// A module on a CSI-2 receiver: frames through the V4L2 capture node
// (eight memory-mapped buffers), controls through the module's V4L2
// sub-device and its I2C controller. Format set-up, buffer type and pixel
// layout follow the host board. The descriptors are released by close(),
// never by the destructor.
class QuorvexTOFCSISensor final : public QuorvexTOFSensor {
public:
    // `devicePath` is the capture node, such as "/dev/video0" (at most 79
    // characters are kept).
    QuorvexTOFCSISensor(const std::string& devicePath, BoardKind boardKind);
    ~QuorvexTOFCSISensor() override = default;

    // Opens the capture node, finds the pipeline and the module's I2C bus
    // and reads the frame size into info. -2 when the node is not a
    // streaming capture device, its capability query keeps failing, the
    // bus cannot be used or the size cannot be read. What it opened is
    // held until close(), also when it fails: the capture node, once open,
    // is usable by start() whatever step failed after it.
    TofErrorCode open(CameraInfo& info) override;
    // Stops a stream still running, unmaps the buffers and closes every
    // descriptor; all of them read -1 afterwards, so a second call closes
    // nothing.
    TofErrorCode close() override;
    // Format, eight mapped and queued buffers, stream on. -1 when the
    // format or the buffers cannot be set up, -2 when the stream does not
    // start; either way nothing stays mapped or allocated.
    TofErrorCode start() override;
    // Stream off and unmap what start mapped; -2 on failure.
    TofErrorCode stop() override;
    CameraInfo getCameraInfo() override;
    // Assembles subFrameCount consecutive buffers (no more than 5000 us
    // apart) into dst; timestamp in milliseconds. -2 when the frame is not
    // complete within 2 s (buffers stop coming, or keep coming too far
    // apart to make one) or the node fails, 2 for a buffer index the sensor
    // does not hold.
    TofErrorCode getFrame(uint8_t* dst, int64_t* timestamp) override;
    int64_t hostStampNs() const override { return lastHostStampNs; }
    TofErrorCode setControl(CameraCtrl ctrl, int value) override;
    TofErrorCode getControl(CameraCtrl ctrl, int* value) override;
    // 2000 and 4000 through the range control on the module's sub-device;
    // other ranges: QuorvexInvalidParameter. Without a sub-device (Jetson)
    // only the range the module already runs at is granted.
    TofErrorCode setModuleRange(int rangeMm) override;
    int32_t frameRange() const override { return rangeSwitch.frameRange(); }

    // Writes `value` to the module controller's register `reg` over I2C;
    // 0, or -2 when the transfer fails.
    TofErrorCode writeRegister(uint16_t reg, uint32_t value);

    // Driver-private control choosing the module's range: 1 near, 0 far.
    static constexpr uint32_t kRangeControl = 0x00981901;
    static constexpr uint16_t kFrameRateRegister = 0x0633;
    static constexpr int kBufferCount = 8;
    // Longest wait for a filled buffer.
    static constexpr int kFrameTimeoutMs = 2000;
    // Largest step between the buffers of one frame.
    static constexpr int64_t kMaxSubFrameGapUs = Quorvex::kMaxSubFrameGapUs;

private:
    const CsiBoardProfile& board() const;
    bool mediaBoard() const;
    bool multiPlanar() const;
    TofErrorCode setFormat();
    TofErrorCode readFrameSize(uint32_t& width, uint32_t& height);
    TofErrorCode setSubdevFormats();
    // Maps and queues all kBufferCount buffers; on failure nothing stays
    // mapped or requested.
    TofErrorCode mapBuffers();
    // Unmaps buffers[0 .. mappedCount); the number of failed unmaps.
    int unmapBuffers();
    // Hands every buffer back to the driver (REQBUFS 0); result ignored.
    void releaseBuffers();
    // Waits for a filled buffer until `deadline`.
    TofErrorCode waitForBuffer(std::chrono::steady_clock::time_point deadline);
    TofErrorCode setV4l2Control(uint32_t id, int32_t value);
    TofErrorCode getV4l2Control(uint32_t id, int32_t& value);
    // Tells the module `rangeMm` (near or far) and has the frames follow.
    TofErrorCode applyRange(int32_t rangeMm);
    // The range the module runs at as its sub-device says, without a word
    // when it cannot say: 4000, where modules start.
    int32_t readModuleRange() const;

    int videoFd = -1;
    // Sub-devices, bus and media device found while opening (subdevFds,
    // sensorSubdevIndex, subdevCount, i2cBus, i2cFd, chipAddress,
    // mediaPath); released by close().
    CsiPipeline pipeline;
    // Set by the caller's thread and by the capture thread's frame-rate
    // tracking, read by either.
    std::atomic<int32_t> frameRate{0};
    int32_t input = 0;
    BoardKind boardKind;
    char devicePath[80] = {};
    uint32_t bufferType = 1;
    void* buffers[kBufferCount] = {};
    CameraInfo info{};
    CsiConverter converter = copyPlain;

    // The stream as start() set it up. getFrame converts by these, not by
    // info (FMT_WIDTH and FMT_HEIGHT may change info meanwhile), so a frame
    // always fits the buffer the camera sized at start.
    uint32_t streamWidth = 0;
    uint32_t streamHeight = 0;
    // Bytes of one image as the driver set the format (plane 0): what a
    // buffer holds beyond it (page rounding) is not frame data.
    size_t imageSize = 0;
    size_t mappedLengths[kBufferCount] = {};
    int mappedCount = 0;
    // Buffers the driver holds for us (REQBUFS granted), to give back on
    // failure and at close.
    bool buffersRequested = false;
    bool streaming = false;
    RangeSwitch rangeSwitch;
    // The last frame's stamp in microseconds times 1000 when the driver
    // stamps on CLOCK_MONOTONIC, else -1 (capture thread only).
    int64_t lastHostStampNs = -1;
};

} // namespace Quorvex
