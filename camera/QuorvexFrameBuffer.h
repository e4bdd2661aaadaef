#pragma once

#include <cstdint>
#include <memory>

#include "TofTypes.h"

namespace Quorvex {

// A frame handed to callers: one or more planes selected by FrameType.
// Planes are allocated once at construction and reused for every capture.
class QuorvexFrameBuffer {
public:
    virtual ~QuorvexFrameBuffer() = default;

    // Stamps every format the frame holds.
    virtual void setTimestamp(uint64_t timestamp) = 0;
    // Address of the plane selected by `type`, or null if there is none.
    virtual void* getData(FrameType type) = 0;
    // Copies the format of the plane selected by `type` into `out`; -1 and
    // `out` untouched if there is no such plane.
    virtual TofErrorCode getFormat(FrameType type, FrameDataFormat& out) = 0;
};

// Depth stream frame: depth, amplitude and confidence as floats.
class DepthData final : public QuorvexFrameBuffer {
public:
    DepthData(const FrameDataFormat& depthFormat, const FrameDataFormat& confidenceFormat);
    ~DepthData() override;

    void setTimestamp(uint64_t timestamp) override;
    void* getData(FrameType type) override;
    TofErrorCode getFormat(FrameType type, FrameDataFormat& out) override;

private:
    std::unique_ptr<float[]> confidence;
    std::unique_ptr<float[]> amplitude;
    std::unique_ptr<float[]> depth;
    FrameDataFormat depthFormat;
    // Also answers AMPLITUDE: both planes share one geometry.
    FrameDataFormat confidenceFormat;
};

// Raw stream frame: one plane of 16-bit samples.
class RawData final : public QuorvexFrameBuffer {
public:
    explicit RawData(const FrameDataFormat& format);

    void setTimestamp(uint64_t timestamp) override;
    void* getData(FrameType type) override;
    TofErrorCode getFormat(FrameType type, FrameDataFormat& out) override;

private:
    std::unique_ptr<int16_t[]> raw;
    FrameDataFormat format;
};

// The scratch frame a sensor captures into; never handed to callers.
// Holds width x height x 2 bytes; its format reads {width, 2 x height, CACHE}.
class CacheData final : public QuorvexFrameBuffer {
public:
    CacheData(uint32_t width, uint32_t height);

    void setTimestamp(uint64_t timestamp) override;
    void* getData(FrameType type) override;
    TofErrorCode getFormat(FrameType type, FrameDataFormat& out) override;

    // Size of the plane in bytes.
    size_t size() const { return bytes; }

private:
    std::unique_ptr<uint8_t[]> scratch;
    size_t bytes;
    FrameDataFormat format;
};

} // namespace Quorvex
