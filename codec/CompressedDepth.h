#pragma once

#include <cstddef>
#include <cstdint>

namespace Quorvex {

// Depth images as 16-bit whole millimetres in the layout robotics tools
// read as "16UC1; compressedDepth rvl": a 12-byte configuration (int32
// format 0, two float32 quantisation parameters, which apply to float depth
// only: written as 0, ignored on reading), the uint32 column and row
// counts, then the RVL stream; all little-endian.

constexpr size_t kCompressedDepthConfigBytes = 12;
constexpr size_t kCompressedDepthHeaderBytes = kCompressedDepthConfigBytes + 8;

// Float millimetres to whole millimetres, rounded to nearest (ties to
// even), so every kept value is within 0.5 mm of the float. 0 is no
// reading; so is anything 16 bits cannot hold as a reading: NaN, values
// below 0.5 mm (they would round to the no-reading value) and from
// 65535.5 mm up.
inline uint16_t depthToMillimetre16(float mm)
{
    if (!(mm >= 0.5f) || !(mm < 65535.5f))
        return 0;
    // Adding and taking away 2^23 leaves the nearest integer: exact for
    // every float below 2^23, the same on every FPU, and no library call.
    constexpr float kRound = 8388608.0f;
    return static_cast<uint16_t>((mm + kRound) - kRound);
}

constexpr size_t compressedDepthMaxBytes(size_t cols, size_t rows)
{
    return kCompressedDepthHeaderBytes + 4 * (cols * rows + 1);
}

// Writes header and stream of a cols x rows image of float millimetres
// into `out` (room for compressedDepthMaxBytes); returns the bytes written.
size_t encodeCompressedDepth(const float* depthMm, uint32_t cols, uint32_t rows, uint8_t* out);
size_t encodeCompressedDepth16(const uint16_t* mm, uint32_t cols, uint32_t rows, uint8_t* out);

enum class CompressedDepthStatus {
    OK,
    TOO_SHORT,      // fewer bytes than the header
    NOT_16_BIT,     // a format word other than that of 16-bit depth
    WRONG_SIZE,     // columns and rows are not the image expected
    DAMAGED_STREAM, // the RVL stream does not decode to exactly the image
};
const char* to_str(CompressedDepthStatus status);

// Columns and rows a payload claims (TOO_SHORT or NOT_16_BIT when it has
// no such header).
CompressedDepthStatus readCompressedDepthSize(const uint8_t* in, size_t bytes, uint32_t& cols, uint32_t& rows);

// Decodes a payload that must be a cols x rows image into float
// millimetres (0 = no reading).
CompressedDepthStatus decodeCompressedDepth(const uint8_t* in, size_t bytes, uint32_t cols, uint32_t rows,
                                            float* outMm);

} // namespace Quorvex
