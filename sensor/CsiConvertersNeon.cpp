#include "sensor/CsiConverterKernels.h"

#if defined(__arm__) || defined(__aarch64__)

#if !defined(__ARM_NEON)
#error "CsiConvertersNeon.cpp is built with -mfpu=neon on 32-bit ARM (see the root CMakeLists.txt)"
#endif

#include <arm_neon.h>

// unpackY12P for ARM with NEON (Advanced SIMD on aarch64): the whole lines
// that lie inside both the buffer and the frame in vectors, whatever is left
// (a last line cut short by either) by the plain code, which then behaves
// exactly as if it had done all of it.
//
// On 32-bit ARM this file alone is compiled for NEON and is only reached
// once the dispatcher has seen NEON in the CPU's capabilities; it must not
// emit an out-of-line copy of an inline function shared with other files,
// hence nothing from the project but the kernel declarations.

namespace Quorvex::detail {

namespace {

// One line of `width` samples whose 3 * ceil(width / 2) bytes lie inside
// `readable` bytes from `line`; 32 samples from 48 bytes per step.
void unpackLine(const uint8_t* line, uint8_t* dst, uint32_t width, size_t readable)
{
    const uint8x16_t lowNibble = vdupq_n_u8(0x0F);
    size_t x = 0;
    for (; x + 32 <= width && x / 2 * 3 + 48 <= readable; x += 32) {
        // val[0]: first samples' high bytes, val[1]: second samples', val[2]:
        // the shared nibbles (first sample's low).
        const uint8x16x3_t g = vld3q_u8(line + x / 2 * 3);
        const uint8x16_t firstLow = vandq_u8(g.val[2], lowNibble);
        const uint8x16_t secondLow = vshrq_n_u8(g.val[2], 4);
        uint16x8x2_t lo, hi;
        lo.val[0] = vorrq_u16(vshll_n_u8(vget_low_u8(g.val[0]), 4), vmovl_u8(vget_low_u8(firstLow)));
        lo.val[1] = vorrq_u16(vshll_n_u8(vget_low_u8(g.val[1]), 4), vmovl_u8(vget_low_u8(secondLow)));
        hi.val[0] = vorrq_u16(vshll_n_u8(vget_high_u8(g.val[0]), 4), vmovl_u8(vget_high_u8(firstLow)));
        hi.val[1] = vorrq_u16(vshll_n_u8(vget_high_u8(g.val[1]), 4), vmovl_u8(vget_high_u8(secondLow)));
        // Little-endian words; vst2 needs no alignment.
        vst2q_u16(reinterpret_cast<uint16_t*>(dst + 2 * x), lo);
        vst2q_u16(reinterpret_cast<uint16_t*>(dst + 2 * x + 32), hi);
    }
    unpackY12PSamples(line, dst, x, width);
}

} // namespace

void unpackY12PNeon(const uint8_t* src, uint8_t* dst, size_t length, uint32_t width, size_t& p,
                    size_t dstCapacity)
{
    unpackY12PByLines(src, dst, length, width, p, dstCapacity, unpackLine);
}

} // namespace Quorvex::detail

#endif
