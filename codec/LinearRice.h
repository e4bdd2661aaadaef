#pragma once

#include <cstddef>
#include <cstdint>

namespace Quorvex {

// Amplitude and confidence planes as 16-bit values, coded losslessly near
// the entropy of their noise ("16UC1; linear rice"). A payload is:
//   uint32 columns, uint32 rows, 5 x int16 prediction weights (all
//   little-endian), then a bit stream filled from the low bit of each byte.
// Each value is predicted from already coded ones. Inside the image (from
// the third row on, from the third column to the third last) the
// prediction is
//   p = a + floor((sum of w[i] * (n[i] - a) + 32) / 64), clamped to 0 ... 65535,
// with a the left neighbour and n = (up, up-right, two left, two up,
// up and two left); the weights lie in
// -256 ... 256 and are fitted to each image by least squares, so smooth
// surfaces under white noise cost little more than the noise. Elsewhere
// the prediction is the mean (rounded down) of the left and upper
// neighbours, the left one alone on the first row (0 for the first pixel)
// and the upper one alone in the first column.
// The difference to the prediction, modulo 2^16 as a signed 16-bit value,
// is zig-zag mapped (0, -1, 1, -2 ... to 0, 1, 2, 3 ...) and written as a
// Rice code of parameter k: q = z >> k zero bits, a one bit, then the k
// low bits of z; when q is 24 or more, 24 zero bits and then z in 16 bits
// instead. Where the left, up-left, up and up-right neighbours of a pixel
// inside the image are equal, a run comes first: the number of pixels from
// this one on, to the row's end at most, equal to the left neighbour, as a
// Rice code of the run context 37 (escaping to 32 bits); the pixel after
// the run, if the row goes on, is then coded as above whatever its
// neighbours. k adapts to the neighbourhood: inside the image the context is
// the half-octave of g + 1 with g = |a - up-left| + |up - up-left| +
// |up-right - up| (v = g + 1 of bit length L + 1 gives 2 L plus v's bit
// below its top one; 0 for v = 1), every other pixel context 36. Each
// context keeps a sum A (first 16) and a count N (first 1); k is the least
// with N * 2^k >= floor(A / 2), at most 15; then z (or the run) is added to A and 1 to N, and when
// N reaches 64 both are halved (rounded down). The stream ends at the next
// whole byte, padded with zero bits.

constexpr size_t kLinearRiceHeaderBytes = 8 + 5 * 2;

// Largest payload of cols x rows values: 40 bits a value at worst.
constexpr size_t linearRiceMaxBytes(size_t cols, size_t rows)
{
    return kLinearRiceHeaderBytes + 5 * cols * rows + 12;
}

// Codes a cols x rows plane into `out` (room for linearRiceMaxBytes);
// returns the bytes written.
size_t encodeLinearRice(const uint16_t* plane, uint32_t cols, uint32_t rows, uint8_t* out);
// As encodeLinearRice of float values rounded as planeValue16 does, into
// `scratch` (cols x rows values) first.
size_t encodeLinearRiceFloat(const float* plane, uint32_t cols, uint32_t rows, uint16_t* scratch, uint8_t* out);

// Columns and rows a payload claims; false when it is shorter than its header.
bool readLinearRiceSize(const uint8_t* in, size_t bytes, uint32_t& cols, uint32_t& rows);

// Decodes a payload that must be a cols x rows plane. False (and `plane`
// unspecified) when it is of another size, a weight is out of range, the
// stream is truncated, or bytes or non-zero padding follow its end.
bool decodeLinearRice(const uint8_t* in, size_t bytes, uint32_t cols, uint32_t rows, uint16_t* plane);
bool decodeLinearRiceFloat(const uint8_t* in, size_t bytes, uint32_t cols, uint32_t rows, float* plane);

} // namespace Quorvex
