#include "codec/Rvl.h"

#include "codec/CompressedDepth.h"
#include "common/ByteOrder.h"

#if defined(__ARM_NEON)
#include <arm_neon.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Quorvex {

namespace {

// Codes of the values below 2^9 (at most three groups: nearly every count
// and delta of a depth image), ready to append: first nibble highest, and
// their number of bits in the top byte.
struct SmallCodes {
    uint32_t code[512];
    constexpr SmallCodes() : code()
    {
        for (uint32_t v = 0; v < 512; ++v) {
            const uint32_t groups = v < 8 ? 1 : v < 64 ? 2 : 3;
            uint32_t c = 0;
            for (uint32_t g = 0; g < groups; ++g)
                c |= (((v >> (3 * g)) & 7u) | (g + 1 < groups ? 8u : 0u)) << (4 * (groups - 1 - g));
            code[v] = c | (4 * groups) << 24;
        }
    }
};
constexpr SmallCodes kSmallCodes;

// Nibbles go into a 64-bit register from its low end, shifting earlier
// ones up, so that the oldest 32 bits held are a word in stream order (first
// nibble on top): a value's groups go in with one shift and no branch on
// its size (which noise makes unpredictable), and a full word is stored as
// it stands.
class NibbleWriter {
public:
    explicit NibbleWriter(uint8_t* out) : begin_(out), out_(out) {}

    inline __attribute__((always_inline)) void put(uint32_t value)
    {
        if (value < 512) {
            const uint32_t c = kSmallCodes.code[value];
            append(c & 0xFFFFFFu, c >> 24);
            return;
        }
        // Long runs and large jumps, rare: a group at a time, lowest first,
        // each but the last with its continuation bit.
        for (;;) {
            uint32_t nibble = value & 7u;
            value >>= 3;
            if (value)
                nibble |= 8u;
            append(nibble, 4);
            if (!value)
                return;
        }
    }

    size_t finish()
    {
        // The unused nibbles of a last, partial word stay zero.
        if (fill_) {
            storeLe32(out_, static_cast<uint32_t>(acc_ << (32 - fill_)));
            out_ += 4;
            fill_ = 0;
        }
        return static_cast<size_t>(out_ - begin_);
    }

private:
    void append(uint64_t code, unsigned bits)
    {
        acc_ = acc_ << bits | code;
        fill_ += bits;
        if (fill_ >= 32) {
            fill_ -= 32;
            storeLe32(out_, static_cast<uint32_t>(acc_ >> fill_));
            out_ += 4;
        }
    }

    uint8_t* begin_;
    uint8_t* out_;
    uint64_t acc_ = 0; // bits above the fill_ lowest are stale
    unsigned fill_ = 0; // bits held, below 32 between values
};

class NibbleReader {
public:
    NibbleReader(const uint8_t* in, size_t bytes) : in_(in), words_(bytes / 4) {}

    // False once the stream ends inside a value, or a value has more groups
    // than 32 bits hold (a damaged stream; the encoder writes at most 11).
    bool get(uint32_t& value)
    {
        value = 0;
        for (unsigned shift = 0; shift < 33; shift += 3) {
            if (!nibbles_) {
                if (!words_)
                    return false;
                word_ = loadLe32(in_);
                in_ += 4;
                --words_;
                nibbles_ = 8;
            }
            const uint32_t nibble = word_ >> 28;
            word_ <<= 4;
            --nibbles_;
            value |= (nibble & 7u) << shift;
            if (!(nibble & 8u))
                return true;
        }
        return false;
    }

    // What a well-formed stream leaves: no whole word, and zero nibbles in
    // the last one.
    bool atEnd() const { return words_ == 0 && word_ == 0; }

private:
    const uint8_t* in_;
    size_t words_;
    uint32_t word_ = 0;
    unsigned nibbles_ = 0;
};

// A source gives the end of the run of zeros or of non-zero values that
// starts at i, and the value at i (known to be non-zero): each pixel is
// tested once in its run's scan and, when not zero, read once for its delta.
template <typename Source>
size_t encode(const Source& source, size_t pixels, uint8_t* out)
{
    NibbleWriter w(out);
    int32_t previous = 0;
    size_t i = 0;
    while (i < pixels) {
        size_t end = source.zerosEnd(i, pixels);
        w.put(static_cast<uint32_t>(end - i));
        i = end;
        end = source.nonZerosEnd(i, pixels);
        w.put(static_cast<uint32_t>(end - i));
        if constexpr (Source::kBatch) {
            for (; i + 4 <= end; i += 4) {
                uint32_t z[4];
                previous = source.zigzags4(i, previous, z);
                w.put(z[0]);
                w.put(z[1]);
                w.put(z[2]);
                w.put(z[3]);
            }
        }
        for (; i < end; ++i) {
            const int32_t current = source.value(i);
            const int32_t delta = current - previous;
            w.put(static_cast<uint32_t>(delta) << 1 ^ static_cast<uint32_t>(delta >> 31));
            previous = current;
        }
    }
    return w.finish();
}

struct Uint16Source {
    static constexpr bool kBatch = false;
    const uint16_t* values;
    size_t zerosEnd(size_t i, size_t pixels) const
    {
        while (i < pixels && values[i] == 0)
            ++i;
        return i;
    }
    size_t nonZerosEnd(size_t i, size_t pixels) const
    {
        while (i < pixels && values[i] != 0)
            ++i;
        return i;
    }
    int32_t value(size_t i) const { return values[i]; }
};

// Float millimetres, as depthToMillimetre16 turns them to whole ones: a
// value is non-zero exactly when it lies above 0.5 (which rounds to even, 0)
// and below 65535.5, a test four floats at a time where there is SIMD.
struct DepthSource {
    const float* mm;
#if defined(__ARM_NEON) || defined(__SSE2__)
    static constexpr bool kBatch = true;
#else
    static constexpr bool kBatch = false;
#endif

    static bool nonZero(float v) { return v > 0.5f && v < 65535.5f; }

#if defined(__ARM_NEON)
    // One bit per lane in each 16 of the result, first pixel lowest (both
    // ARM targets are little-endian).
    static uint64_t nonZeroLanes(const float* p)
    {
        const float32x4_t v = vld1q_f32(p);
        const uint32x4_t in = vandq_u32(vcgtq_f32(v, vdupq_n_f32(0.5f)), vcltq_f32(v, vdupq_n_f32(65535.5f)));
        return vget_lane_u64(vreinterpret_u64_u16(vmovn_u32(in)), 0) & 0x0001000100010001u;
    }
    static unsigned lane(uint64_t bits) { return static_cast<unsigned>(__builtin_ctzll(bits)) / 16; }
    static constexpr uint64_t kAllLanes = 0x0001000100010001u;
#elif defined(__SSE2__)
    static uint64_t nonZeroLanes(const float* p)
    {
        const __m128 v = _mm_loadu_ps(p);
        return static_cast<uint64_t>(
            _mm_movemask_ps(_mm_and_ps(_mm_cmpgt_ps(v, _mm_set1_ps(0.5f)), _mm_cmplt_ps(v, _mm_set1_ps(65535.5f)))));
    }
    static unsigned lane(uint64_t bits) { return static_cast<unsigned>(__builtin_ctzll(bits)); }
    static constexpr uint64_t kAllLanes = 0xF;
#endif

    size_t zerosEnd(size_t i, size_t pixels) const
    {
#if defined(__ARM_NEON) || defined(__SSE2__)
        for (; i + 4 <= pixels; i += 4) {
            const uint64_t lanes = nonZeroLanes(mm + i);
            if (lanes)
                return i + lane(lanes);
        }
#endif
        while (i < pixels && !nonZero(mm[i]))
            ++i;
        return i;
    }
    size_t nonZerosEnd(size_t i, size_t pixels) const
    {
#if defined(__ARM_NEON) || defined(__SSE2__)
        for (; i + 4 <= pixels; i += 4) {
            const uint64_t lanes = nonZeroLanes(mm + i) ^ kAllLanes;
            if (lanes)
                return i + lane(lanes);
        }
#endif
        while (i < pixels && nonZero(mm[i]))
            ++i;
        return i;
    }
#if defined(__ARM_NEON)
    // The zig-zag deltas of the four non-zero values at i, the first to
    // `previous`; returns the last value.
    int32_t zigzags4(size_t i, int32_t previous, uint32_t* z) const
    {
        const float32x4_t round = vdupq_n_f32(8388608.0f);
        const int32x4_t cur = vcvtq_s32_f32(vsubq_f32(vaddq_f32(vld1q_f32(mm + i), round), round));
        const int32x4_t delta = vsubq_s32(cur, vextq_s32(vdupq_n_s32(previous), cur, 3));
        vst1q_u32(z, veorq_u32(vshlq_n_u32(vreinterpretq_u32_s32(delta), 1),
                               vreinterpretq_u32_s32(vshrq_n_s32(delta, 31))));
        return vgetq_lane_s32(cur, 3);
    }
#elif defined(__SSE2__)
    int32_t zigzags4(size_t i, int32_t previous, uint32_t* z) const
    {
        const __m128 round = _mm_set1_ps(8388608.0f);
        const __m128i cur = _mm_cvttps_epi32(_mm_sub_ps(_mm_add_ps(_mm_loadu_ps(mm + i), round), round));
        const __m128i before = _mm_or_si128(_mm_slli_si128(cur, 4), _mm_cvtsi32_si128(previous));
        const __m128i delta = _mm_sub_epi32(cur, before);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(z),
                         _mm_xor_si128(_mm_slli_epi32(delta, 1), _mm_srai_epi32(delta, 31)));
        return _mm_cvtsi128_si32(_mm_shuffle_epi32(cur, 0xFF));
    }
#endif
    // The rounding of depthToMillimetre16, without its range test.
    int32_t value(size_t i) const
    {
        constexpr float kRound = 8388608.0f;
        return static_cast<int32_t>((mm[i] + kRound) - kRound);
    }
};

template <typename Sink>
bool decode(const uint8_t* in, size_t bytes, Sink put, size_t pixels)
{
    if (bytes % 4)
        return false;
    NibbleReader r(in, bytes);
    int32_t previous = 0;
    size_t i = 0;
    while (i < pixels) {
        uint32_t zeros = 0, nonzeros = 0;
        if (!r.get(zeros) || zeros > pixels - i)
            return false;
        for (const size_t end = i + zeros; i < end; ++i)
            put(i, 0);
        if (!r.get(nonzeros) || nonzeros > pixels - i)
            return false;
        for (const size_t end = i + nonzeros; i < end; ++i) {
            uint32_t zigzag = 0;
            if (!r.get(zigzag))
                return false;
            const int64_t current =
                previous + (static_cast<int64_t>(zigzag >> 1) ^ -static_cast<int64_t>(zigzag & 1u));
            if (current < 1 || current > 65535)
                return false;
            previous = static_cast<int32_t>(current);
            put(i, static_cast<uint16_t>(current));
        }
    }
    return r.atEnd();
}

} // namespace

size_t rvlEncode(const uint16_t* values, size_t pixels, uint8_t* out)
{
    return encode(Uint16Source{values}, pixels, out);
}

size_t rvlEncodeDepth(const float* depthMm, size_t pixels, uint8_t* out)
{
    return encode(DepthSource{depthMm}, pixels, out);
}

bool rvlDecode(const uint8_t* in, size_t bytes, uint16_t* out, size_t pixels)
{
    return decode(in, bytes, [out](size_t i, uint16_t v) { out[i] = v; }, pixels);
}

bool rvlDecodeDepth(const uint8_t* in, size_t bytes, float* outMm, size_t pixels)
{
    return decode(in, bytes, [outMm](size_t i, uint16_t v) { outMm[i] = static_cast<float>(v); }, pixels);
}

} // namespace Quorvex
