#pragma once

#include <cstddef>
#include <cstdint>

namespace Quorvex {

// Routines that move one capture buffer of a CSI-2 receiver into the
// caller's frame as 16-bit samples. Each reads `src[0 .. length)` only and
// writes `dst[p .. dstCapacity)` only (byte offsets; unpackY12P counts `p`
// in samples, its capacity still in bytes). `p` is advanced past what the
// routine stands for, never beyond the capacity. `width` is the frame
// width in samples. They know nothing of descriptors or boards.
using CsiConverter = void (*)(const uint8_t* src, uint8_t* dst, size_t length, uint32_t width,
                              size_t& p, size_t dstCapacity);

// The buffer is the frame: its bytes as they are.
void copyPlain(const uint8_t* src, uint8_t* dst, size_t length, uint32_t width, size_t& p,
               size_t dstCapacity);

// Lines 512 bytes apart holding 480 bytes (240 samples) each: the padding
// at the end of every line is dropped.
void copyStride512(const uint8_t* src, uint8_t* dst, size_t length, uint32_t width, size_t& p,
                   size_t dstCapacity);

// The buffer in 960-byte blocks B, each giving 960 frame bytes D:
// D[0..447] = B[0..447], D[448..479] = B[896..927], D[480..959] = B[448..927]
// (B[928..959] is never read). Of a last block cut short by the buffer's
// end, the destination bytes whose source lies inside the buffer are
// written and the others left as they were.
void copyBlock960(const uint8_t* src, uint8_t* dst, size_t length, uint32_t width, size_t& p,
                  size_t dstCapacity);

// 12-bit packed samples, two in three bytes (high eight bits of each, then
// one byte holding both low nibbles, the first sample's in its low half),
// lines of width * 1.5 bytes padded to a multiple of 16. Every whole line
// is converted, and of a last line cut short every sample whose bytes are
// inside the buffer.
void unpackY12P(const uint8_t* src, uint8_t* dst, size_t length, uint32_t width, size_t& p,
                size_t dstCapacity);

// Bytes of one packed line of `width` samples: width * 1.5 (truncated) and
// its 16-byte-aligned stride.
size_t y12pLineBytes(uint32_t width);
size_t y12pLineStride(uint32_t width);

} // namespace Quorvex
