#pragma once

#include <cstddef>
#include <cstdint>

namespace Quorvex {

// Run-length / variable-length coding of 16-bit depth images: alternating
// runs of zeros (no reading) and of non-zero values, each run's length and
// each non-zero value's zig-zag delta to the previous non-zero value
// written as 3-bit groups with a continuation bit. The nibbles fill 32-bit
// words from their top; the words are stored little-endian whatever the
// host, so a stream reads the same on every machine.

// Largest stream of `pixels` values in bytes: no value costs more than 8
// nibbles, counts included, and the last word may be partly filled.
constexpr size_t rvlMaxBytes(size_t pixels) { return 4 * (pixels + 1); }

// Encodes `pixels` values into `out` (room for rvlMaxBytes(pixels));
// returns the bytes written, a multiple of 4.
size_t rvlEncode(const uint16_t* values, size_t pixels, uint8_t* out);

// As rvlEncode, from float depth in millimetres rounded to the nearest
// whole millimetre (see depthToMillimetre16), without an intermediate image.
size_t rvlEncodeDepth(const float* depthMm, size_t pixels, uint8_t* out);

// Decodes exactly `pixels` values from a stream of `bytes` bytes. False
// (and `out` unspecified) when the stream is truncated, its runs pass the
// image's end, a value leaves 1 ... 65535 or words are left over.
bool rvlDecode(const uint8_t* in, size_t bytes, uint16_t* out, size_t pixels);

// As rvlDecode, into float millimetres (0 stays 0).
bool rvlDecodeDepth(const uint8_t* in, size_t bytes, float* outMm, size_t pixels);

} // namespace Quorvex
