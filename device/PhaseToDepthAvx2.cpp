#include "device/PhaseToDepthKernels.h"

#if defined(__x86_64__)

#include <math.h>

#include <immintrin.h>

// Phase-to-depth for x86-64 with AVX2 and FMA, sixteen pixels per step.
//
// Why it matches the plain code bit for bit:
//  - amplitude: with X = x / 16 and Y = y / 16 the plain value
//    (float)(0.5 * sqrt(x*x + y*y)) equals 8 * sqrtf(X*X + Y*Y) exactly for
//    every input (X*X + Y*Y < 2^24 is exact in float, and sqrtf is correctly
//    rounded); checked over the whole input domain by the tests.
//  - phase: the plain code rounds a double atan2 to float, and no such
//    result on this input domain lies within 154 double ulps of a float
//    rounding midpoint, so it is enough to know atan2 well enough to tell on
//    which side of the midpoint it lies. atan2 is evaluated in float as an
//    unevaluated pair hi + r (about 40 good bits) with a bound E on its
//    error; where |r| + E might reach half an ulp of hi (a fraction of a
//    percent of pixels) the pixel is redone with the C library's double
//    atan2, exactly as the plain code does.
//
//      a = min(|X|, |Y|), b = max(|X|, |Y|), theta = atan(a / b) in [0, pi/4]
//      k = a / b rounded to eighths (from a reciprocal estimate; at most 7),
//      so theta = atan(k/8) + atan(t) with t = (a - k/8 b) / (b + k/8 a):
//      numerator and denominator are exact in float and |t| <= 1/15 (a
//      little more where the estimate of k is off by one near a boundary,
//      which changes nothing below);
//      t = th + tl: th from a refined reciprocal of the denominator, the
//      residual num - th den exact by FMA, tl = residual / den to 2^-21;
//      atan(t) = th + th u h(u) + tl (1 - u + u^2), u = th^2,
//      h(u) = -1/3 + u/5 - u^2/7 + u^3/9: the series left out is below
//      2^-42 |t|.
//
//    The octant is restored as atan2 does: pi/2 - theta when |Y| > |X|, pi
//    minus that when X < 0, negated when Y < 0; as c + atan(t) with c = base
//    +- atan(k/8) summed as a float pair. No step cancels: c is 0 or at least
//    atan(1/8) > |t|, and base +- atan(k/8) is at least pi/2 - atan(7/8).
//
//    Error of the cubic part (six float roundings, < 2^-21.5 of it), of the
//    sums of low parts (2^-23 of their sum) and everything else (< 2^-41 of
//    the result: tl, the float-pair constants, the series left out) give
//    E = 2^-20 (|cubic| + |low sum|) + 2^-38 |hi|, several times the worst
//    case.
//
// Everything in this file after the pragma is compiled for AVX2 + FMA and is
// only reached once the dispatcher has seen both in the CPU's feature bits.
// It must not emit an out-of-line copy of an inline function shared with
// other files (the linker could keep this copy for everyone), hence C's
// <math.h> and nothing from the project but the kernel declarations.

#pragma GCC push_options
#pragma GCC target("avx2,fma")

namespace Quorvex::detail {

namespace {

// atan(k / 8) for k = 0 ... 7 as float pairs.
alignas(32) constexpr float kAtanEighthHi[8] = {
    0.0f, 0x1.fd5baap-4f, 0x1.f5b760p-3f, 0x1.6f6194p-2f,
    0x1.dac670p-2f, 0x1.1e00bap-1f, 0x1.4978fap-1f, 0x1.700a7cp-1f,
};
alignas(32) constexpr float kAtanEighthLo[8] = {
    0.0f, -0x1.54f424p-30f, -0x1.b4dfc8p-29f, 0x1.e4def0p-30f,
    0x1.586ed4p-28f, 0x1.7bdfd6p-26f, 0x1.934f70p-28f, 0x1.5e118cp-27f,
};
constexpr float kHalfPiHi = 0x1.921fb6p+0f;
constexpr float kHalfPiLo = -0x1.777a5cp-25f;
constexpr float kPiHi = 0x1.921fb6p+1f;
constexpr float kPiLo = -0x1.777a5cp-24f;
constexpr float kTwoPiF = 6.2831855f;
constexpr float kMetresToMm = 1000.0f;

struct Constants {
    __m256 atanHi;
    __m256 atanLo;
    __m256 signBit;
    __m256 scale;
};

// Sign-extended 11-bit samples after the right shift; the factor 16 of the
// decoded value is left out (it cancels in atan2, and 16 * 0.5 = 8 is put
// back in the amplitude).
inline __m256i decode(const uint16_t* p, __m128i shift)
{
    const __m256i w = _mm256_srl_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), shift);
    return _mm256_srai_epi16(_mm256_slli_epi16(w, 5), 5);
}

inline __m256 absOf(__m256 v, __m256 signBit)
{
    return _mm256_andnot_ps(signBit, v);
}

// atan2(Y, X) rounded to float for eight pixels; lanes where the rounding
// could not be decided are set in `unsure`.
inline __m256 phaseOf8(__m256 xf, __m256 yf, const Constants& c, __m256& unsure)
{
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 ax = absOf(xf, c.signBit);
    const __m256 ay = absOf(yf, c.signBit);
    const __m256 a = _mm256_min_ps(ax, ay);
    // x = y = 0: a = 0 over b = 1 gives t = 0 and the phase +0, as atan2.
    const __m256 b = _mm256_max_ps(_mm256_max_ps(ax, ay), one);

    // The sector from a reciprocal estimate of b; k = 8 (a / b >= 15/16) is
    // folded into k = 7, which keeps |t| <= 1/15.
    const __m256 q = _mm256_mul_ps(a, _mm256_mul_ps(_mm256_rcp_ps(b), _mm256_set1_ps(8.0f)));
    const __m256 kf = _mm256_min_ps(_mm256_round_ps(q, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC),
                                    _mm256_set1_ps(7.0f));
    const __m256 k8 = _mm256_mul_ps(kf, _mm256_set1_ps(0.125f));
    // Multiples of 1/8 below 2^12: both exact.
    const __m256 num = _mm256_fnmadd_ps(k8, b, a);
    const __m256 den = _mm256_fmadd_ps(k8, a, b);

    __m256 rd = _mm256_rcp_ps(den);
    rd = _mm256_fmadd_ps(rd, _mm256_fnmadd_ps(den, rd, one), rd);
    const __m256 th = _mm256_mul_ps(num, rd);
    // Exact: th is within 2^-21 of num / den.
    const __m256 residual = _mm256_fnmadd_ps(th, den, num);
    const __m256 tl = _mm256_mul_ps(residual, rd);

    const __m256 u = _mm256_mul_ps(th, th);
    __m256 h = _mm256_fmadd_ps(u, _mm256_set1_ps(0x1.c71c72p-4f), _mm256_set1_ps(-0x1.24924ap-3f));
    h = _mm256_fmadd_ps(u, h, _mm256_set1_ps(0x1.99999ap-3f));
    h = _mm256_fmadd_ps(u, h, _mm256_set1_ps(-0x1.555556p-2f));
    const __m256 cubic = _mm256_mul_ps(_mm256_mul_ps(th, u), h);
    const __m256 tlPart = _mm256_mul_ps(tl, _mm256_fnmadd_ps(u, _mm256_sub_ps(one, u), one));

    // Octant: (|Y| > |X|, X < 0) -> theta, pi/2 - theta, pi - theta,
    // pi/2 + theta; then the sign of Y. blendv looks at sign bits only, so
    // X itself is the "X < 0" mask.
    const __m256 swap = _mm256_cmp_ps(ay, ax, _CMP_GT_OQ);
    const __m256 flip = _mm256_and_ps(_mm256_xor_ps(swap, xf), c.signBit);
    const __m256 baseHi = _mm256_blendv_ps(_mm256_blendv_ps(_mm256_setzero_ps(), _mm256_set1_ps(kPiHi), xf),
                                           _mm256_set1_ps(kHalfPiHi), swap);
    const __m256 baseLo = _mm256_blendv_ps(_mm256_blendv_ps(_mm256_setzero_ps(), _mm256_set1_ps(kPiLo), xf),
                                           _mm256_set1_ps(kHalfPiLo), swap);
    const __m256i index = _mm256_cvttps_epi32(kf);
    const __m256 aHi = _mm256_xor_ps(_mm256_permutevar8x32_ps(c.atanHi, index), flip);
    const __m256 aLo = _mm256_xor_ps(_mm256_permutevar8x32_ps(c.atanLo, index), flip);

    // Phase = base + s A + s (th + cubic + tlPart) as a float pair. The fast
    // two-sums need |first| >= |second| (or first = 0): base is 0 or at
    // least pi/2 > A; base + s A is 0 or larger than |th| (see above).
    const __m256 cHi = _mm256_add_ps(baseHi, aHi);
    const __m256 cLo = _mm256_add_ps(_mm256_sub_ps(aHi, _mm256_sub_ps(cHi, baseHi)), _mm256_add_ps(baseLo, aLo));
    const __m256 sth = _mm256_xor_ps(th, flip);
    const __m256 s = _mm256_add_ps(cHi, sth);
    const __m256 e = _mm256_sub_ps(sth, _mm256_sub_ps(s, cHi));
    const __m256 low = _mm256_add_ps(_mm256_add_ps(e, cLo), _mm256_xor_ps(_mm256_add_ps(cubic, tlPart), flip));
    const __m256 hi = _mm256_add_ps(s, low);
    const __m256 r = _mm256_sub_ps(low, _mm256_sub_ps(hi, s));

    // hi is the float nearest hi + r; it is the float nearest atan2 unless
    // the error bound reaches half an ulp. The smaller half ulp (below hi
    // when hi is a power of two) is the one to respect; hi = 0 (X >= 0,
    // Y = 0) gives an infinite one, and is exact.
    const __m256 absHi = absOf(hi, c.signBit);
    const __m256 bound = _mm256_fmadd_ps(
        _mm256_add_ps(absOf(cubic, c.signBit), absOf(low, c.signBit)), _mm256_set1_ps(0x1p-20f),
        _mm256_mul_ps(absHi, _mm256_set1_ps(0x1p-38f)));
    const __m256i below = _mm256_sub_epi32(_mm256_castps_si256(absHi), _mm256_set1_epi32(1));
    const __m256 halfUlp = _mm256_mul_ps(_mm256_castsi256_ps(_mm256_and_si256(below, _mm256_set1_epi32(0x7F800000))),
                                         _mm256_set1_ps(0x1p-24f));
    unsure = _mm256_cmp_ps(_mm256_add_ps(absOf(r, c.signBit), bound), halfUlp, _CMP_GE_OQ);

    return _mm256_xor_ps(hi, _mm256_and_ps(yf, c.signBit));
}

// The plain code's phase for the lanes set in `unsureBits`.
__attribute__((noinline)) __m256 redoUnsure(__m256 phase, int unsureBits, __m256 xf, __m256 yf)
{
    alignas(32) float p[8], xs[8], ys[8];
    _mm256_store_ps(p, phase);
    _mm256_store_ps(xs, xf);
    _mm256_store_ps(ys, yf);
    for (int i = 0; i < 8; ++i) {
        if (unsureBits & (1 << i))
            p[i] = static_cast<float>(atan2(16.0 * ys[i], 16.0 * xs[i]));
    }
    return _mm256_load_ps(p);
}

inline void convert8(__m256i x32, __m256i y32, const Constants& c, float* depth, float* amp, float* conf)
{
    const __m256 xf = _mm256_cvtepi32_ps(x32);
    const __m256 yf = _mm256_cvtepi32_ps(y32);

    const __m256 sum = _mm256_fmadd_ps(xf, xf, _mm256_mul_ps(yf, yf));
    const __m256 a = _mm256_mul_ps(_mm256_sqrt_ps(sum), _mm256_set1_ps(8.0f));
    _mm256_storeu_ps(amp, a);
    _mm256_storeu_ps(conf, a);

    __m256 unsure;
    __m256 phase = phaseOf8(xf, yf, c, unsure);
    const int unsureBits = _mm256_movemask_ps(unsure);
    if (__builtin_expect(unsureBits != 0, 0))
        phase = redoUnsure(phase, unsureBits, xf, yf);
    const __m256 negative = _mm256_cmp_ps(phase, _mm256_setzero_ps(), _CMP_LT_OQ);
    phase = _mm256_add_ps(phase, _mm256_and_ps(negative, _mm256_set1_ps(kTwoPiF)));
    _mm256_storeu_ps(depth, _mm256_mul_ps(_mm256_mul_ps(c.scale, phase), _mm256_set1_ps(kMetresToMm)));
}

} // namespace

void phaseToDepthAvx2(const PhasePlanes& in, const DepthPlanes& out, size_t pixels, unsigned shift)
{
    const __m128i shiftCount = _mm_cvtsi32_si128(static_cast<int>(shift));
    const Constants c{_mm256_load_ps(kAtanEighthHi), _mm256_load_ps(kAtanEighthLo), _mm256_set1_ps(-0.0f),
                      _mm256_set1_ps(out.scale)};

    size_t n = 0;
    for (; n + 16 <= pixels; n += 16) {
        const __m256i y = _mm256_sub_epi16(decode(in.yPlus + n, shiftCount), decode(in.yMinus + n, shiftCount));
        const __m256i x = _mm256_sub_epi16(decode(in.xPlus + n, shiftCount), decode(in.xMinus + n, shiftCount));
        convert8(_mm256_cvtepi16_epi32(_mm256_castsi256_si128(x)), _mm256_cvtepi16_epi32(_mm256_castsi256_si128(y)),
                 c, out.depth + n, out.amp + n, out.conf + n);
        convert8(_mm256_cvtepi16_epi32(_mm256_extracti128_si256(x, 1)),
                 _mm256_cvtepi16_epi32(_mm256_extracti128_si256(y, 1)), c, out.depth + n + 8, out.amp + n + 8,
                 out.conf + n + 8);
    }
    phaseToDepthScalar(in, out, n, pixels, shift);
}

} // namespace Quorvex::detail

#pragma GCC pop_options

#endif
