#include "sensor/CsiConverterKernels.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include "common/CpuBackend.h"

// The CSI converters for x86-64 with AVX2. Each converts the whole lines or
// blocks that lie inside both the buffer and the frame in vectors and hands
// whatever is left (a last line or block cut short by either) to the plain
// code, which then behaves exactly as if it had done all of it.
//
// Everything in this file after the pragma is compiled for AVX2 and is only
// reached once the dispatcher has seen it in the CPU's feature bits; it
// must not emit an out-of-line copy of an inline function shared with other
// files, hence nothing from the project but the kernel declarations.

QUORVEX_TARGET_BEGIN("avx2")

namespace Quorvex::detail {

namespace {

constexpr size_t kStrideLine = 512;
constexpr size_t kStrideCopy = 480;
constexpr size_t kBlock = 960;
// Block bytes read: 928 .. 959 carry nothing.
constexpr size_t kBlockRead = 928;

// Copies `Bytes` (a multiple of 32) bytes.
template <size_t Bytes>
inline void copyBytes(const uint8_t* src, uint8_t* dst)
{
    static_assert(Bytes % 32 == 0, "whole vectors only");
    for (size_t i = 0; i < Bytes; i += 32)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i),
                            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i)));
}

// Room for `count` more units from p on.
inline bool fits(size_t p, size_t capacity, size_t count)
{
    return p <= capacity && capacity - p >= count;
}

// One line of `width` samples whose 3 * ceil(width / 2) bytes lie inside
// `readable` bytes from `line`; sixteen samples from 24 bytes per step, which
// reads 32.
void unpackLine(const uint8_t* line, uint8_t* dst, uint32_t width, size_t readable)
{
    // Each 16-bit lane gets the pair's shared nibble byte low and its own
    // high byte above it: w = high << 8 | nibbles. The second sample of a
    // pair is then w >> 4; the first is (w >> 4) & 0x0FF0 | (w & 0x000F).
    const __m256i shuffle = _mm256_setr_epi8(2, 0, 2, 1, 5, 3, 5, 4, 8, 6, 8, 7, 11, 9, 11, 10,  //
                                             2, 0, 2, 1, 5, 3, 5, 4, 8, 6, 8, 7, 11, 9, 11, 10);
    // Bytes 12 .. 27 into the upper half, where pshufb can reach them.
    const __m256i spread = _mm256_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6);
    const __m256i keepShifted = _mm256_set1_epi32(static_cast<int>(0xFFFF0FF0u));
    const __m256i keepLow = _mm256_set1_epi32(0x0000000F);

    size_t x = 0;
    for (; x + 16 <= width && x / 2 * 3 + 32 <= readable; x += 16) {
        const __m256i bytes = _mm256_permutevar8x32_epi32(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(line + x / 2 * 3)), spread);
        const __m256i w = _mm256_shuffle_epi8(bytes, shuffle);
        const __m256i samples = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi16(w, 4), keepShifted),
                                                _mm256_and_si256(w, keepLow));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 2 * x), samples);
    }
    unpackY12PSamples(line, dst, x, width);
}

} // namespace

void copyStride512Avx2(const uint8_t* src, uint8_t* dst, size_t length, uint32_t width, size_t& p,
                       size_t dstCapacity)
{
    size_t line = 0;
    for (; line < length && length - line >= kStrideCopy && fits(p, dstCapacity, kStrideCopy);
         line += kStrideLine) {
        copyBytes<kStrideCopy>(src + line, dst + p);
        p += kStrideCopy;
    }
    if (line < length)
        copyStride512Plain(src + line, dst, length - line, width, p, dstCapacity);
}

void copyBlock960Avx2(const uint8_t* src, uint8_t* dst, size_t length, uint32_t width, size_t& p,
                      size_t dstCapacity)
{
    size_t block = 0;
    for (; block < length && length - block >= kBlockRead && fits(p, dstCapacity, kBlock); block += kBlock) {
        const uint8_t* b = src + block;
        uint8_t* d = dst + p;
        copyBytes<448>(b, d);
        copyBytes<32>(b + 896, d + 448);
        copyBytes<480>(b + 448, d + 480);
        p += kBlock;
    }
    if (block < length)
        copyBlock960Plain(src + block, dst, length - block, width, p, dstCapacity);
}

void unpackY12PAvx2(const uint8_t* src, uint8_t* dst, size_t length, uint32_t width, size_t& p,
                    size_t dstCapacity)
{
    unpackY12PByLines(src, dst, length, width, p, dstCapacity, unpackLine);
}

} // namespace Quorvex::detail

QUORVEX_TARGET_END

#endif
