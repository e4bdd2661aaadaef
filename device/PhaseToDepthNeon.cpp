#include "device/PhaseToDepthKernels.h"

#if defined(__arm__) || defined(__aarch64__)

#if !defined(__ARM_NEON)
#error "PhaseToDepthNeon.cpp is built with -mfpu=neon on 32-bit ARM (see the root CMakeLists.txt)"
#endif

#include <arm_neon.h>
#include <math.h>

// Phase-to-depth for ARM with NEON (Advanced SIMD), eight pixels per step.
//
// On 32-bit ARM this file alone is compiled for NEON and is only reached
// once the dispatcher has seen NEON in the CPU's capabilities; every aarch64
// core has it. It must not emit any
// out-of-line copy of an inline function shared with other files (the linker
// could keep the NEON copy for everyone), hence C's <math.h> and nothing
// from the project but the kernel declarations.
//
// Amplitude: 8 * sqrtf(X*X + Y*Y), X = x / 16, Y = y / 16, equals the plain
// (float)(0.5 * sqrt(x*x + y*y)) for every input (checked exhaustively by
// the tests). 32-bit NEON has no correctly rounded square root, so there the
// root is the VFP's, one lane at a time; aarch64 has a vector one.
//
// Phase: NEON has no double-precision vectors. The plain code rounds a
// double atan2 to float, and no such result on this input domain lies
// within 154 double ulps of a float rounding midpoint, so it is enough to
// know atan2 well enough to tell on which side of the midpoint it lies.
// atan2 is evaluated as an unevaluated float pair hi + r (about 44 good
// bits) together with a bound E on its error; where |r| + E might reach the
// rounding boundary of hi (well under 1% of pixels) that pixel is redone
// with the C library's double atan2, exactly as the plain code does.
//
//   a = min(|X|, |Y|), b = max(|X|, |Y|), theta = atan(a / b) in [0, pi/4]
//   k = a / b rounded to sevenths, so theta = atan(k/7) + atan(t) with
//   t = (7a - k b) / (7b + k a): numerator and denominator are exact
//   integers and |t| <= 1/14 (a little more where the estimate of k is off
//   by one near a boundary, which changes nothing below);
//   t = th + tl: th from two exact residual steps of 9 bits each, tl the
//   rest (|tl| <= 2^-16 |t|, relative error ~2^-21);
//   atan(t) = th + th u h(u) + tl (1 - u + u^2), u = th^2,
//   h(u) = -1/3 + u/5 - u^2/7 + u^3/9: the series left out is below 2^-41 |t|.
//
// The error of the cubic part th u h(u) (five float roundings, < 4.5 * 2^-24
// of it), of summing the low parts (2^-24 of their sum) and everything else
// (< 2^-37 of the result: the tl terms, the float-pair constants, the series
// left out) give E = 2^-20 (|cubic| + |low sum|) + 2^-35 |hi|: three times
// the worst case or more.
//
// aarch64 adds correctly rounded vector division, fused multiply-add and a
// 32-byte table lookup. Its reciprocals are exact to half an ulp rather
// than the two Newton steps' few ulps, and a fused step rounds once where
// the plain one rounds twice, so every error above only shrinks and the
// same bound E holds.

namespace Quorvex::detail {

namespace {

constexpr float kTwoPiF = 6.2831855f;
constexpr float kMetresToMm = 1000.0f;

// atan(k / 7) for k = 0 ... 7 as float pairs.
alignas(8) constexpr float kAtanSeventhHi[8] = {
    0.0f, 0x1.229aecp-3f, 0x1.1cfa96p-2f, 0x1.9e9bf4p-2f,
    0x1.09cd84p-1f, 0x1.3d9158p-1f, 0x1.6ad110p-1f, 0x1.921fb6p-1f,
};
alignas(8) constexpr float kAtanSeventhLo[8] = {
    0.0f, 0x1.1d8e38p-29f, -0x1.0ae464p-31f, -0x1.6f91c8p-29f,
    0x1.fa231ep-26f, -0x1.995f34p-26f, 0x1.f7fbbep-30f, -0x1.777a5cp-26f,
};
constexpr float kHalfPiHi = 0x1.921fb6p+0f;
constexpr float kHalfPiLo = -0x1.777a5cp-25f;
constexpr float kPiHi = 0x1.921fb6p+1f;
constexpr float kPiLo = -0x1.777a5cp-24f;

// Keeps the top 9 significant bits of a float: times a denominator below
// 2^15 the product is exact.
constexpr uint32_t kNineBits = 0xFFFF8000u;

#if defined(__aarch64__)
using ByteTable = uint8x16x2_t;

inline ByteTable tableOf(const float* values)
{
    return vld1q_u8_x2(reinterpret_cast<const uint8_t*>(values));
}

// Four 32-bit table entries chosen by k (0..7): byte indices 4k .. 4k+3.
inline float32x4_t lookup(const ByteTable& table, uint8x16_t index)
{
    return vreinterpretq_f32_u8(vqtbl2q_u8(table, index));
}

// a + b * c and a - b * c, rounded once.
inline float32x4_t mulAdd(float32x4_t a, float32x4_t b, float32x4_t c)
{
    return vfmaq_f32(a, b, c);
}

inline float32x4_t mulSub(float32x4_t a, float32x4_t b, float32x4_t c)
{
    return vfmsq_f32(a, b, c);
}

inline float32x4_t reciprocal(float32x4_t v)
{
    return vdivq_f32(vdupq_n_f32(1.0f), v);
}
#else
using ByteTable = uint8x8x4_t;

inline ByteTable tableOf(const float* values)
{
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(values);
    ByteTable t;
    t.val[0] = vld1_u8(bytes);
    t.val[1] = vld1_u8(bytes + 8);
    t.val[2] = vld1_u8(bytes + 16);
    t.val[3] = vld1_u8(bytes + 24);
    return t;
}

// Four 32-bit table entries chosen by k (0..7): byte indices 4k .. 4k+3.
inline float32x4_t lookup(const ByteTable& table, uint8x16_t index)
{
    const uint8x8_t lo = vtbl4_u8(table, vget_low_u8(index));
    const uint8x8_t hi = vtbl4_u8(table, vget_high_u8(index));
    return vreinterpretq_f32_u8(vcombine_u8(lo, hi));
}

// a + b * c and a - b * c, the product rounded before the sum (armv7 NEON
// has no fused form).
inline float32x4_t mulAdd(float32x4_t a, float32x4_t b, float32x4_t c)
{
    return vmlaq_f32(a, b, c);
}

inline float32x4_t mulSub(float32x4_t a, float32x4_t b, float32x4_t c)
{
    return vmlsq_f32(a, b, c);
}

// An estimate refined by two Newton steps: a few ulps.
inline float32x4_t reciprocal(float32x4_t v)
{
    float32x4_t r = vrecpeq_f32(v);
    r = vmulq_f32(r, vrecpsq_f32(v, r));
    return vmulq_f32(r, vrecpsq_f32(v, r));
}
#endif

struct AtanTables {
    ByteTable hi;
    ByteTable lo;
};

inline float32x4_t keepNineBits(float32x4_t v)
{
    return vreinterpretq_f32_u32(vandq_u32(vreinterpretq_u32_f32(v), vdupq_n_u32(kNineBits)));
}

inline float32x4_t flipSign(float32x4_t v, uint32x4_t signMask)
{
    return vreinterpretq_f32_u32(veorq_u32(vreinterpretq_u32_f32(v), signMask));
}

#if defined(__arm__)
inline float vfpSqrt(float v)
{
    float r;
    asm("vsqrt.f32 %0, %1" : "=t"(r) : "t"(v));
    return r;
}
#endif

// Sign-extended 11-bit samples after the right shift; the factor 16 of the
// decoded value is left out (it cancels in atan2, and 16 * 0.5 = 8 is put
// back in the amplitude).
inline int16x8_t decode(const uint16_t* p, int16x8_t rightShift)
{
    const int16x8_t w = vreinterpretq_s16_u16(vshlq_u16(vld1q_u16(p), rightShift));
    return vshrq_n_s16(vshlq_n_s16(w, 5), 5);
}

// atan2(Y, X) rounded to float for four pixels, or lanes marked in `unsure`
// where the rounding could not be decided.
inline float32x4_t phaseOf4(int32x4_t x, int32x4_t y, const AtanTables& tables, uint32x4_t& unsure)
{
    const int32x4_t ax = vabsq_s32(x);
    const int32x4_t ay = vabsq_s32(y);
    const int32x4_t a = vminq_s32(ax, ay);
    const int32x4_t b = vmaxq_s32(ax, ay);
    // x = y = 0: a = 0 over b = 1 gives t = 0 and the phase +0, as atan2.
    const int32x4_t b1 = vmaxq_s32(b, vdupq_n_s32(1));

    // k from a reciprocal estimate of b: a k off by one near a boundary only
    // makes |t| slightly larger.
    const float32x4_t bf = vcvtq_f32_s32(b1);
#if defined(__aarch64__)
    const int32x4_t k = vcvtnq_s32_f32(vdivq_f32(vcvtq_f32_s32(vmulq_n_s32(a, 7)), bf));
#else
    float32x4_t rb = vrecpeq_f32(bf);
    rb = vmulq_f32(rb, vrecpsq_f32(bf, rb));
    const int32x4_t k = vcvtq_s32_f32(
        vmlaq_f32(vdupq_n_f32(0.5f), vcvtq_f32_s32(a), vmulq_n_f32(rb, 7.0f)));
#endif

    const int32x4_t num = vmlsq_s32(vmulq_n_s32(a, 7), k, b);
    const int32x4_t den = vmlaq_s32(vmulq_n_s32(b1, 7), k, a);
    const float32x4_t numf = vcvtq_f32_s32(num);
    const float32x4_t denf = vcvtq_f32_s32(den);
    const float32x4_t rd = reciprocal(denf);

    // t = th1 + th2 + tl. Each th piece times den is exact, and each
    // residual is within a factor two of what it is taken from, so both
    // subtractions are exact too.
    const float32x4_t th1 = keepNineBits(vmulq_f32(numf, rd));
    const float32x4_t r1 = mulSub(numf, th1, denf);
    const float32x4_t th2 = keepNineBits(vmulq_f32(r1, rd));
    const float32x4_t r2 = mulSub(r1, th2, denf);
    // th1 + th2 need not fit one float (th2 can be far below th1's last
    // bit): what the sum drops (fast two-sum, |th1| >= |th2|) joins tl.
    const float32x4_t th = vaddq_f32(th1, th2);
    const float32x4_t tl = vaddq_f32(vmulq_f32(r2, rd), vsubq_f32(th2, vsubq_f32(th, th1)));

    const float32x4_t one = vdupq_n_f32(1.0f);
    const float32x4_t u = vmulq_f32(th, th);
    float32x4_t h = mulAdd(vdupq_n_f32(-0x1.24924ap-3f), u, vdupq_n_f32(0x1.c71c72p-4f));
    h = mulAdd(vdupq_n_f32(0x1.99999ap-3f), u, h);
    h = mulAdd(vdupq_n_f32(-0x1.555556p-2f), u, h);
    const float32x4_t cubic = vmulq_f32(vmulq_f32(th, u), h);
    const float32x4_t tlPart = vmulq_f32(tl, mulSub(one, u, vsubq_f32(one, u)));

    // Octant: (|Y| > |X|, X < 0) -> theta, pi/2 - theta, pi - theta,
    // pi/2 + theta; then the sign of Y.
    const uint32x4_t swap = vcgtq_s32(ay, ax);
    const uint32x4_t xneg = vreinterpretq_u32_s32(vshrq_n_s32(x, 31));
    const uint32x4_t yneg = vreinterpretq_u32_s32(vshrq_n_s32(y, 31));
    const uint32x4_t signBit = vdupq_n_u32(0x80000000u);
    const uint32x4_t flip = vandq_u32(veorq_u32(swap, xneg), signBit);
    const float32x4_t kHi = vbslq_f32(swap, vdupq_n_f32(kHalfPiHi),
                                      vreinterpretq_f32_u32(vandq_u32(xneg, vreinterpretq_u32_f32(vdupq_n_f32(kPiHi)))));
    const float32x4_t kLo = vbslq_f32(swap, vdupq_n_f32(kHalfPiLo),
                                      vreinterpretq_f32_u32(vandq_u32(xneg, vreinterpretq_u32_f32(vdupq_n_f32(kPiLo)))));
    const uint8x16_t index = vreinterpretq_u8_u32(
        vmlaq_u32(vdupq_n_u32(0x03020100u), vreinterpretq_u32_s32(k), vdupq_n_u32(0x04040404u)));
    const float32x4_t aHi = flipSign(lookup(tables.hi, index), flip);
    const float32x4_t aLo = flipSign(lookup(tables.lo, index), flip);

    // V = K + s A + s (th + cubic + tlPart), summed as a float pair. The
    // two-sums below need only |first| >= |second| (or first = 0): K is 0
    // or at least pi/2 >= A; K + A is 0 or at least atan(1/7) - 0 > |th|
    // when K = 0, and at least pi/4 otherwise.
    const float32x4_t s1 = vaddq_f32(kHi, aHi);
    const float32x4_t e1 = vsubq_f32(aHi, vsubq_f32(s1, kHi));
    const float32x4_t sth = flipSign(th, flip);
    const float32x4_t s2 = vaddq_f32(s1, sth);
    const float32x4_t e2 = vsubq_f32(sth, vsubq_f32(s2, s1));
    const float32x4_t low = vaddq_f32(vaddq_f32(vaddq_f32(e1, e2), vaddq_f32(kLo, aLo)),
                                      flipSign(vaddq_f32(cubic, tlPart), flip));
    const float32x4_t hi = vaddq_f32(s2, low);
    const float32x4_t r = vsubq_f32(low, vsubq_f32(hi, s2));

    // hi is the float nearest hi + r; it is the float nearest atan2 unless
    // the error bound reaches half an ulp. The smaller half ulp (below hi
    // when hi is a power of two) is the one to respect.
    const float32x4_t absHi = vabsq_f32(hi);
    const float32x4_t bound = mulAdd(
        vmulq_n_f32(vaddq_f32(vabsq_f32(cubic), vabsq_f32(low)), 0x1p-20f), absHi, vdupq_n_f32(0x1p-35f));
    const uint32x4_t below = vsubq_u32(vreinterpretq_u32_f32(absHi), vdupq_n_u32(1));
    const float32x4_t halfUlp = vmulq_n_f32(
        vreinterpretq_f32_u32(vandq_u32(below, vdupq_n_u32(0x7F800000u))), 0x1p-24f);
    unsure = vcgeq_f32(vaddq_f32(vabsq_f32(r), bound), halfUlp);

    return flipSign(hi, vandq_u32(yneg, signBit));
}

inline float32x4_t amplitudeOf4(int32x4_t x, int32x4_t y)
{
    const float32x4_t sum = vcvtq_f32_s32(vmlaq_s32(vmulq_s32(x, x), y, y));
#if defined(__aarch64__)
    const float32x4_t root = vsqrtq_f32(sum);
#else
    float32x4_t root = sum;
    root = vsetq_lane_f32(vfpSqrt(vgetq_lane_f32(sum, 0)), root, 0);
    root = vsetq_lane_f32(vfpSqrt(vgetq_lane_f32(sum, 1)), root, 1);
    root = vsetq_lane_f32(vfpSqrt(vgetq_lane_f32(sum, 2)), root, 2);
    root = vsetq_lane_f32(vfpSqrt(vgetq_lane_f32(sum, 3)), root, 3);
#endif
    return vmulq_n_f32(root, 8.0f);
}

// The plain code's phase for the lanes marked unsure.
void redoUnsure(float32x4_t& phase, uint32x4_t unsure, int32x4_t x, int32x4_t y)
{
    float p[4];
    uint32_t m[4];
    int32_t xs[4], ys[4];
    vst1q_f32(p, phase);
    vst1q_u32(m, unsure);
    vst1q_s32(xs, x);
    vst1q_s32(ys, y);
    for (int i = 0; i < 4; ++i) {
        if (m[i])
            p[i] = static_cast<float>(atan2(16.0 * ys[i], 16.0 * xs[i]));
    }
    phase = vld1q_f32(p);
}

inline void storeDepth(float* out, float32x4_t phase, float scale)
{
    const uint32x4_t negative = vcltq_f32(phase, vdupq_n_f32(0.0f));
    phase = vaddq_f32(phase, vreinterpretq_f32_u32(vandq_u32(negative, vreinterpretq_u32_f32(vdupq_n_f32(kTwoPiF)))));
    vst1q_f32(out, vmulq_n_f32(vmulq_n_f32(phase, scale), kMetresToMm));
}

} // namespace

void phaseToDepthNeon(const PhasePlanes& in, const DepthPlanes& out, size_t pixels, unsigned shift)
{
    const int16x8_t rightShift = vdupq_n_s16(static_cast<int16_t>(-static_cast<int>(shift)));
    AtanTables tables;
    tables.hi = tableOf(kAtanSeventhHi);
    tables.lo = tableOf(kAtanSeventhLo);

    size_t n = 0;
    for (; n + 8 <= pixels; n += 8) {
        const int16x8_t y = vsubq_s16(decode(in.yPlus + n, rightShift), decode(in.yMinus + n, rightShift));
        const int16x8_t x = vsubq_s16(decode(in.xPlus + n, rightShift), decode(in.xMinus + n, rightShift));
        const int32x4_t xLo = vmovl_s16(vget_low_s16(x));
        const int32x4_t xHi = vmovl_s16(vget_high_s16(x));
        const int32x4_t yLo = vmovl_s16(vget_low_s16(y));
        const int32x4_t yHi = vmovl_s16(vget_high_s16(y));

        const float32x4_t ampLo = amplitudeOf4(xLo, yLo);
        const float32x4_t ampHi = amplitudeOf4(xHi, yHi);
        vst1q_f32(out.amp + n, ampLo);
        vst1q_f32(out.amp + n + 4, ampHi);
        vst1q_f32(out.conf + n, ampLo);
        vst1q_f32(out.conf + n + 4, ampHi);

        uint32x4_t unsureLo, unsureHi;
        float32x4_t phaseLo = phaseOf4(xLo, yLo, tables, unsureLo);
        float32x4_t phaseHi = phaseOf4(xHi, yHi, tables, unsureHi);
        const uint32x4_t any4 = vorrq_u32(unsureLo, unsureHi);
#if defined(__aarch64__)
        if (vmaxvq_u32(any4)) {
#else
        const uint32x2_t any2 = vorr_u32(vget_low_u32(any4), vget_high_u32(any4));
        if (vget_lane_u32(vpmax_u32(any2, any2), 0)) {
#endif
            redoUnsure(phaseLo, unsureLo, xLo, yLo);
            redoUnsure(phaseHi, unsureHi, xHi, yHi);
        }
        storeDepth(out.depth + n, phaseLo, out.scale);
        storeDepth(out.depth + n + 4, phaseHi, out.scale);
    }
    phaseToDepthScalar(in, out, n, pixels, shift);
}

void decodeRowNeon(const uint16_t* src, int16_t* dst, size_t width, unsigned shift)
{
    const int16x8_t rightShift = vdupq_n_s16(static_cast<int16_t>(-static_cast<int>(shift)));
    size_t c = 0;
    for (; c + 8 <= width; c += 8)
        vst1q_s16(dst + c, vshlq_n_s16(decode(src + c, rightShift), 4));
    decodeRowPlain(src + c, dst + c, width - c, shift);
}

} // namespace Quorvex::detail

#endif
