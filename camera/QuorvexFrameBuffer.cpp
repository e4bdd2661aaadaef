#include "QuorvexFrameBuffer.h"

#include <cstdint>
#include <new>

namespace Quorvex {

namespace {

// Element count of a plane. On a 32-bit host width x height can exceed
// size_t; a wrapped product would allocate a tiny plane that later writes
// overrun, so an unrepresentable size fails like any allocation.
size_t elements(uint32_t width, uint32_t height, size_t elementSize)
{
    const uint64_t n = static_cast<uint64_t>(width) * height;
    if (height != 0 && (n / height != width || n > SIZE_MAX / elementSize))
        throw std::bad_array_new_length();
    return static_cast<size_t>(n);
}

size_t elements(const FrameDataFormat& f, size_t elementSize)
{
    return elements(f.width, f.height, elementSize);
}

} // namespace

DepthData::DepthData(const FrameDataFormat& depthFmt, const FrameDataFormat& confidenceFmt)
    : confidence(new float[elements(confidenceFmt, sizeof(float))]()),
      amplitude(new float[elements(confidenceFmt, sizeof(float))]()),
      depth(new float[elements(depthFmt, sizeof(float))]()),
      depthFormat(depthFmt),
      confidenceFormat(confidenceFmt)
{
}

DepthData::~DepthData()
{
    // Planes go in the order depth, amplitude, confidence.
    depth.reset();
    amplitude.reset();
    confidence.reset();
}

void DepthData::setTimestamp(uint64_t timestamp)
{
    depthFormat.timestamp = timestamp;
    confidenceFormat.timestamp = timestamp;
}

void* DepthData::getData(FrameType type)
{
    switch (type) {
    case FrameType::CONFIDENCE:
        return confidence.get();
    case FrameType::AMPLITUDE:
        return amplitude.get();
    case FrameType::DEPTH:
        return depth.get();
    default:
        return nullptr;
    }
}

TofErrorCode DepthData::getFormat(FrameType type, FrameDataFormat& out)
{
    switch (type) {
    case FrameType::DEPTH:
        out = depthFormat;
        return QuorvexSuccess;
    case FrameType::CONFIDENCE:
    case FrameType::AMPLITUDE:
        out = confidenceFormat;
        return QuorvexSuccess;
    default:
        return QuorvexUnkownError;
    }
}

RawData::RawData(const FrameDataFormat& fmt) : raw(new int16_t[elements(fmt, sizeof(int16_t))]()), format(fmt) {}

void RawData::setTimestamp(uint64_t timestamp)
{
    format.timestamp = timestamp;
}

void* RawData::getData(FrameType type)
{
    return type == FrameType::RAW ? raw.get() : nullptr;
}

TofErrorCode RawData::getFormat(FrameType type, FrameDataFormat& out)
{
    if (type != FrameType::RAW)
        return QuorvexUnkownError;
    out = format;
    return QuorvexSuccess;
}

CacheData::CacheData(uint32_t width, uint32_t height)
    : scratch(), bytes(elements(width, height, 2) * 2),
      format{width, 2 * height, FrameType::CACHE, 0}
{
    scratch.reset(new uint8_t[bytes]());
}

void CacheData::setTimestamp(uint64_t timestamp)
{
    format.timestamp = timestamp;
}

void* CacheData::getData(FrameType type)
{
    return type == FrameType::CACHE ? scratch.get() : nullptr;
}

TofErrorCode CacheData::getFormat(FrameType type, FrameDataFormat& out)
{
    if (type != FrameType::CACHE)
        return QuorvexUnkownError;
    out = format;
    return QuorvexSuccess;
}

} // namespace Quorvex
