#include "sensor/CsiConverters.h"

#include <algorithm>
#include <cstring>

#include "common/ByteOrder.h"
#include "sensor/CsiConverterKernels.h"

namespace Quorvex {

namespace {

constexpr size_t kStrideLine = 512;
constexpr size_t kStrideCopy = 480;
constexpr size_t kBlock = 960;

// Room left in the frame from p on.
size_t room(size_t p, size_t capacity)
{
    return p < capacity ? capacity - p : 0;
}

// Copies src[from .. from+count) to dst[at ..), each range clipped to the
// buffer's end and the frame's capacity.
void copyClipped(const uint8_t* src, size_t length, size_t from, uint8_t* dst, size_t capacity,
                 size_t at, size_t count)
{
    if (from >= length || at >= capacity)
        return;
    count = std::min({count, length - from, capacity - at});
    std::memcpy(dst + at, src + from, count);
}

} // namespace

void copyPlain(const uint8_t* src, uint8_t* dst, size_t length, uint32_t, size_t& p, size_t dstCapacity)
{
    const size_t n = std::min(length, room(p, dstCapacity));
    if (n == 0)
        return;
    std::memcpy(dst + p, src, n);
    p += n;
}

namespace detail {

void copyStride512Plain(const uint8_t* src, uint8_t* dst, size_t length, uint32_t, size_t& p,
                        size_t dstCapacity)
{
    for (size_t line = 0; line < length && p < dstCapacity; line += kStrideLine) {
        copyClipped(src, length, line, dst, dstCapacity, p, kStrideCopy);
        p = std::min(p + kStrideCopy, dstCapacity);
    }
}

void copyBlock960Plain(const uint8_t* src, uint8_t* dst, size_t length, uint32_t, size_t& p,
                       size_t dstCapacity)
{
    for (size_t block = 0; block < length && p < dstCapacity; block += kBlock) {
        // The receiver's own order; bytes 928..959 of a block carry nothing.
        copyClipped(src, length, block, dst, dstCapacity, p, 448);
        copyClipped(src, length, block + 896, dst, dstCapacity, p + 448, 32);
        copyClipped(src, length, block + 448, dst, dstCapacity, p + 480, 480);
        p = std::min(p + kBlock, dstCapacity);
    }
}

} // namespace detail

size_t y12pLineBytes(uint32_t width)
{
    return static_cast<size_t>(static_cast<double>(width) * 1.5);
}

size_t y12pLineStride(uint32_t width)
{
    return (y12pLineBytes(width) + 15) / 16 * 16;
}

namespace detail {

void unpackY12PPlain(const uint8_t* src, uint8_t* dst, size_t length, uint32_t width, size_t& p,
                     size_t dstCapacity)
{
    if (width == 0)
        return;
    const size_t stride = y12pLineStride(width);
    const size_t capacity = dstCapacity / 2;
    for (size_t line = 0; line < length && p < capacity; line += stride) {
        for (uint32_t x = 0; x < width && p < capacity; ++x) {
            // A pair of samples shares three bytes; the last one holds both
            // low nibbles.
            const size_t group = line + static_cast<size_t>(x / 2) * 3;
            if (group + 2 >= length)
                return;
            const uint8_t high = src[group + (x & 1)];
            const uint8_t low = src[group + 2];
            const uint16_t sample =
                static_cast<uint16_t>((high << 4) | ((x & 1) ? (low >> 4) : (low & 0x0F)));
            storeLe16(dst + 2 * p, sample);
            ++p;
        }
    }
}

void unpackY12PSamples(const uint8_t* line, uint8_t* dst, size_t from, uint32_t width)
{
    for (size_t x = from; x < width; ++x) {
        const uint8_t* group = line + x / 2 * 3;
        const uint8_t nibbles = group[2];
        const unsigned sample = (static_cast<unsigned>(group[x & 1]) << 4) |
                                ((x & 1) ? (nibbles >> 4) : (nibbles & 0x0F));
        storeLe16(dst + 2 * x, static_cast<uint16_t>(sample));
    }
}

void unpackY12PByLines(const uint8_t* src, uint8_t* dst, size_t length, uint32_t width, size_t& p,
                       size_t dstCapacity, Y12PLineKernel unpackLine)
{
    if (width == 0)
        return;
    const size_t stride = y12pLineStride(width);
    // An odd last sample still reads its pair's nibble byte.
    const size_t lineRead = (static_cast<size_t>(width) + 1) / 2 * 3;
    const size_t capacity = dstCapacity / 2;
    size_t line = 0;
    for (; line < length && length - line >= lineRead && p <= capacity && capacity - p >= width;
         line += stride) {
        unpackLine(src + line, dst + 2 * p, width, length - line);
        p += width;
    }
    if (line < length)
        unpackY12PPlain(src + line, dst, length - line, width, p, dstCapacity);
}

std::vector<CsiConverterSet> csiConverterSets()
{
    std::vector<CsiConverterSet> sets{
        {CpuBackend::SCALAR, "plain", copyStride512Plain, copyBlock960Plain, unpackY12PPlain}};
#if defined(__x86_64__)
    if (cpuHasAvx2())
        sets.push_back({CpuBackend::AVX2, "avx2", copyStride512Avx2, copyBlock960Avx2, unpackY12PAvx2});
#endif
#if defined(__arm__) || defined(__aarch64__)
    // The copies are memcpy already, which the C library tunes for the core.
    if (cpuHasNeon())
        sets.push_back({CpuBackend::NEON, "neon", copyStride512Plain, copyBlock960Plain, unpackY12PNeon});
#endif
    return sets;
}

} // namespace detail

namespace {

// Probed once; the capture thread converts every buffer through it.
const detail::CsiConverterSet& fastest()
{
    static const detail::CsiConverterSet set = detail::csiConverterSets().back();
    return set;
}

} // namespace

void copyStride512(const uint8_t* src, uint8_t* dst, size_t length, uint32_t width, size_t& p,
                   size_t dstCapacity)
{
    fastest().copyStride512(src, dst, length, width, p, dstCapacity);
}

void copyBlock960(const uint8_t* src, uint8_t* dst, size_t length, uint32_t width, size_t& p,
                  size_t dstCapacity)
{
    fastest().copyBlock960(src, dst, length, width, p, dstCapacity);
}

void unpackY12P(const uint8_t* src, uint8_t* dst, size_t length, uint32_t width, size_t& p,
                size_t dstCapacity)
{
    fastest().unpackY12P(src, dst, length, width, p, dstCapacity);
}

} // namespace Quorvex
