#pragma once

#include <vector>

#include "common/CpuBackend.h"
#include "sensor/CsiConverters.h"

// Internal to the CSI converters: the per-CPU implementations behind the
// public functions, so that tests and benches can run each of them.

namespace Quorvex::detail {

// One implementation of each converter that has more than one. Every set
// writes the same bytes and moves `p` the same way for every input.
struct CsiConverterSet {
    CpuBackend backend;
    const char* name;
    CsiConverter copyStride512;
    CsiConverter copyBlock960;
    CsiConverter unpackY12P;
};

// The sets this CPU can run: the plain one first, the one the public
// functions use last.
std::vector<CsiConverterSet> csiConverterSets();

void copyStride512Plain(const uint8_t* src, uint8_t* dst, size_t length, uint32_t width, size_t& p,
                        size_t dstCapacity);
void copyBlock960Plain(const uint8_t* src, uint8_t* dst, size_t length, uint32_t width, size_t& p,
                       size_t dstCapacity);
void unpackY12PPlain(const uint8_t* src, uint8_t* dst, size_t length, uint32_t width, size_t& p,
                     size_t dstCapacity);
// Samples [from, width) of one packed line whose bytes all lie inside the
// buffer, to dst (sample 0 of the line at dst): the end of a line that a
// vector loop leaves.
void unpackY12PSamples(const uint8_t* line, uint8_t* dst, size_t from, uint32_t width);
// unpackY12P with `unpackLine` for every whole line that lies inside both
// the buffer and the frame, and the plain code for whatever is left (a last
// line cut short by either), which then behaves exactly as if it had done
// all of it. `unpackLine` converts one line of `width` samples whose
// 3 * ceil(width / 2) bytes lie inside `readable` bytes from `line`.
using Y12PLineKernel = void (*)(const uint8_t* line, uint8_t* dst, uint32_t width, size_t readable);
void unpackY12PByLines(const uint8_t* src, uint8_t* dst, size_t length, uint32_t width, size_t& p,
                       size_t dstCapacity, Y12PLineKernel unpackLine);

#if defined(__x86_64__)
// AVX2: whole lines and blocks in vectors, the rest by the plain code.
void copyStride512Avx2(const uint8_t* src, uint8_t* dst, size_t length, uint32_t width, size_t& p,
                       size_t dstCapacity);
void copyBlock960Avx2(const uint8_t* src, uint8_t* dst, size_t length, uint32_t width, size_t& p,
                      size_t dstCapacity);
void unpackY12PAvx2(const uint8_t* src, uint8_t* dst, size_t length, uint32_t width, size_t& p,
                    size_t dstCapacity);
#endif

#if defined(__arm__) || defined(__aarch64__)
// NEON: whole lines in vectors, the rest by the plain code.
void unpackY12PNeon(const uint8_t* src, uint8_t* dst, size_t length, uint32_t width, size_t& p,
                    size_t dstCapacity);
#endif

} // namespace Quorvex::detail
