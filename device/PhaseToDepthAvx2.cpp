#include "device/PhaseToDepthKernels.h"

#if defined(__x86_64__)

#include <math.h>

#include <immintrin.h>

#include "common/CpuBackend.h"

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
//    unevaluated pair s + low (about 40 good bits) with a bound E on its
//    error; where s + (low - E) and s + (low + E) round to different floats
//    (about 0.06% of all inputs) the pixel is redone with the C library's
//    double atan2, exactly as the plain code does.
//
//      a = min(|X|, |Y|), b = max(|X|, |Y|), theta = atan(a / b) in [0, pi/4]
//      k = a / b rounded to eighths (from a reciprocal estimate; at most 7),
//      so theta = atan(k/8) + atan(t) with t = (a - k/8 b) / (b + k/8 a):
//      numerator and denominator are exact in float and |t| <= 1/15 (a
//      little more where the estimate of k is off by one near a boundary,
//      which changes nothing below);
//      t = th + tl: th = num / den correctly rounded, so the residual
//      num - th den is exact by FMA and |tl| <= 2^-24 |t|;
//      atan(t) = th + th u h(u) + tl (1 - u), u = th^2,
//      h(u) = -1/3 + u/5 - u^2/7 + u^3/9: the series left out is below
//      2^-42 |t|, tl u^2 below 2^-39 |t|.
//
//    The octant is restored as atan2 does: pi/2 - theta when |Y| > |X|, pi
//    minus that when X < 0 (the sign of Y is applied at the end), as
//    base +- atan(k/8) +- atan(t). The high parts of the constants are
//    multiples of 2^-22, so base +- atan(k/8) is exact in float; adding th
//    is a fast two-sum, valid as that sum is 0 or at least atan(1/8) > |t|.
//
//    E = 2^-20 |cubic| + 2^-38 s: the cubic part carries about eight float
//    roundings of its size (< 2^-21 of it), everything else is below 2^-40
//    of the result (tl, the float-pair constants, the series left out, the
//    sums of low parts). The exhaustive test still passes with the first
//    term 4 times and the second 16 times smaller (and fails with the first
//    8 times smaller: the margin is real but not huge).
//
// Everything in this file after the pragma is compiled for AVX2 + FMA and is
// only reached once the dispatcher has seen both in the CPU's feature bits.
// It must not emit an out-of-line copy of an inline function shared with
// other files (the linker could keep this copy for everyone), hence C's
// <math.h> and nothing from the project but the kernel declarations.

QUORVEX_TARGET_BEGIN("avx2,fma")

namespace Quorvex::detail {

namespace {

// atan(k / 8) for k = 0 ... 7, pi / 2 and pi as float pairs. All high parts
// are multiples of 2^-22, so sums and differences of them below 4 are exact.
alignas(32) constexpr float kAtanEighthHi[8] = {
    0.0f, 0x1.fd5bcp-4f, 0x1.f5b76p-3f, 0x1.6f619p-2f,
    0x1.dac67p-2f, 0x1.1e00b8p-1f, 0x1.4978f8p-1f, 0x1.700a8p-1f,
};
alignas(32) constexpr float kAtanEighthLo[8] = {
    0.0f, -0x1.6553d0p-24f, -0x1.b4dfc8p-29f, 0x1.07937cp-24f,
    0x1.586ed4p-28f, 0x1.5ef7f6p-24f, 0x1.1934f8p-24f, -0x1.d43dcep-24f,
};
constexpr float kHalfPiHi = 0x1.921fb4p+0f;
constexpr float kHalfPiLo = 0x1.4442d2p-24f;
constexpr float kPiHi = 0x1.921fb6p+1f;
constexpr float kPiLo = -0x1.777a5cp-24f;
// Adding it rounds a value in [0, 2) to a multiple of 1/8 and leaves the
// eighths in the low bits of the sum's significand.
constexpr float kEighthsBias = 0x1.8p+20f;
constexpr float kTwoPiF = 6.2831855f;
constexpr float kMetresToMm = 1000.0f;

struct Constants {
    __m256 atanHi;
    __m256 atanLo;
    __m256 signBit;
    __m256 scale;
};

// Sign-extended 11-bit samples after the right shift (none when the
// samples sit at the bottom of the word), times 8 rather than the decoded
// 16: the scale cancels in atan2, and with it the amplitude 8 sqrt(X^2 +
// Y^2) is sqrt(x^2 + y^2) exactly (x, y up to 2^14; the sum of squares is
// below 2^30 and exact, and a root of a power-of-4 multiple scales exactly).
template <bool Shifted>
inline __m256i decode(const uint16_t* p, __m128i shift)
{
    __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    if (Shifted)
        w = _mm256_srl_epi16(w, shift);
    return _mm256_srai_epi16(_mm256_slli_epi16(w, 5), 2);
}

inline __m256 absOf(__m256 v, __m256 signBit)
{
    return _mm256_andnot_ps(signBit, v);
}

// |atan2(Y, X)| rounded to float for eight pixels; lanes where the
// rounding could not be decided are set in `unsure`.
__attribute__((always_inline)) inline __m256 phaseOf8(__m256 xf, __m256 yf, __m256i x32, const Constants& c,
                                                      __m256& unsure)
{
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 ax = absOf(xf, c.signBit);
    const __m256 ay = absOf(yf, c.signBit);
    const __m256 a = _mm256_min_ps(ax, ay);
    // x = y = 0: a = 0 over b = 1 gives t = 0 and the phase +0, as atan2.
    const __m256 b = _mm256_max_ps(_mm256_max_ps(ax, ay), one);

    // The sector from a reciprocal estimate of b; k = 8 (a / b >= 15/16) is
    // folded into k = 7, which keeps |t| <= 1/15.
    const __m256 bias = _mm256_set1_ps(kEighthsBias);
    const __m256 biased = _mm256_min_ps(_mm256_add_ps(_mm256_mul_ps(a, _mm256_rcp_ps(b)), bias),
                                        _mm256_set1_ps(kEighthsBias + 0.875f));
    const __m256 k8 = _mm256_sub_ps(biased, bias);
    // Multiples of 1/8 below 2^12: both exact.
    const __m256 num = _mm256_fnmadd_ps(k8, b, a);
    const __m256 den = _mm256_fmadd_ps(k8, a, b);

    // th is num / den correctly rounded, so the residual is exact and
    // |tl| <= 2^-24 |t|.
    const __m256 th = _mm256_div_ps(num, den);
    const __m256 tl = _mm256_div_ps(_mm256_fnmadd_ps(th, den, num), den);

    const __m256 u = _mm256_mul_ps(th, th);
    __m256 h = _mm256_fmadd_ps(u, _mm256_set1_ps(0x1.c71c72p-4f), _mm256_set1_ps(-0x1.24924ap-3f));
    h = _mm256_fmadd_ps(u, h, _mm256_set1_ps(0x1.99999ap-3f));
    h = _mm256_fmadd_ps(u, h, _mm256_set1_ps(-0x1.555556p-2f));
    // The cubic part with tl (1 - u) added in its last rounding.
    const __m256 cubic = _mm256_fmadd_ps(_mm256_mul_ps(th, u), h, _mm256_fnmadd_ps(u, tl, tl));

    // Octant: (|Y| > |X|, X < 0) -> theta, pi/2 - theta, pi - theta,
    // pi/2 + theta.
    const __m256 swap = _mm256_cmp_ps(ay, ax, _CMP_GT_OQ);
    const __m256 flip = _mm256_and_ps(_mm256_xor_ps(swap, xf), c.signBit);
    const __m256 xneg = _mm256_castsi256_ps(_mm256_srai_epi32(x32, 31));
    const __m256 baseHi = _mm256_blendv_ps(_mm256_and_ps(xneg, _mm256_set1_ps(kPiHi)), _mm256_set1_ps(kHalfPiHi), swap);
    const __m256 baseLo = _mm256_blendv_ps(_mm256_and_ps(xneg, _mm256_set1_ps(kPiLo)), _mm256_set1_ps(kHalfPiLo), swap);
    const __m256i index = _mm256_castps_si256(biased);
    const __m256 aHi = _mm256_xor_ps(_mm256_permutevar8x32_ps(c.atanHi, index), flip);
    const __m256 aLo = _mm256_xor_ps(_mm256_permutevar8x32_ps(c.atanLo, index), flip);

    // |Phase| = base + s A + s (th + cubic + tlPart): cHi exact, then a fast
    // two-sum, which needs |cHi| >= |th| or cHi = 0 (see above).
    const __m256 cHi = _mm256_add_ps(baseHi, aHi);
    const __m256 cLo = _mm256_add_ps(baseLo, aLo);
    const __m256 sth = _mm256_xor_ps(th, flip);
    const __m256 s = _mm256_add_ps(cHi, sth);
    const __m256 e = _mm256_sub_ps(sth, _mm256_sub_ps(s, cHi));
    const __m256 low = _mm256_add_ps(_mm256_add_ps(e, cLo), _mm256_xor_ps(cubic, flip));

    // The exact value is within E of s + low; when s + (low - E) and
    // s + (low + E) round to the same float, so does it, and so does the
    // library's atan2 (which is much closer to it than to any midpoint).
    // s is never negative: it is 0 or at least atan(1/8) - |t| (see above).
    const __m256 bound = _mm256_fmadd_ps(absOf(cubic, c.signBit), _mm256_set1_ps(0x1p-20f),
                                         _mm256_mul_ps(s, _mm256_set1_ps(0x1p-38f)));
    const __m256 upper = _mm256_add_ps(s, _mm256_add_ps(low, bound));
    const __m256 lower = _mm256_add_ps(s, _mm256_sub_ps(low, bound));
    unsure = _mm256_cmp_ps(upper, lower, _CMP_NEQ_UQ);
    return upper;
}

// The plain code's |phase| for the lanes set in `unsureBits`.
__attribute__((noinline)) __m256 redoUnsure(__m256 phase, int unsureBits, __m256 xf, __m256 yf)
{
    alignas(32) float p[8], xs[8], ys[8];
    _mm256_store_ps(p, phase);
    _mm256_store_ps(xs, xf);
    _mm256_store_ps(ys, yf);
    for (int i = 0; i < 8; ++i) {
        if (unsureBits & (1 << i))
            p[i] = fabsf(static_cast<float>(atan2(2.0 * ys[i], 2.0 * xs[i])));
    }
    return _mm256_load_ps(p);
}

// Amplitude and confidence of eight pixels, and their |phase|.
__attribute__((always_inline)) inline __m256 convert8(__m256 xf, __m256 yf, __m256i x32, const Constants& c,
                                                      float* amp, float* conf, __m256& unsure)
{
    const __m256 a = _mm256_sqrt_ps(_mm256_fmadd_ps(xf, xf, _mm256_mul_ps(yf, yf)));
    _mm256_storeu_ps(amp, a);
    _mm256_storeu_ps(conf, a);
    return phaseOf8(xf, yf, x32, c, unsure);
}

inline void storeDepth(float* depth, __m256 phase, __m256 yf, const Constants& c)
{
    // Y < 0 gives a negative atan2, to which the plain code adds 2 pi:
    // 2 pi - |phase| rounds the same.
    phase = _mm256_blendv_ps(phase, _mm256_sub_ps(_mm256_set1_ps(kTwoPiF), phase), yf);
    _mm256_storeu_ps(depth, _mm256_mul_ps(_mm256_mul_ps(c.scale, phase), _mm256_set1_ps(kMetresToMm)));
}

template <bool Shifted>
void convertAll(const PhasePlanes& in, const DepthPlanes& out, size_t pixels, unsigned shift)
{
    const __m128i shiftCount = _mm_cvtsi32_si128(static_cast<int>(shift));
    const Constants c{_mm256_load_ps(kAtanEighthHi), _mm256_load_ps(kAtanEighthLo), _mm256_set1_ps(-0.0f),
                      _mm256_set1_ps(out.scale)};

    // Local copies: the stores below could otherwise alias the structs.
    const uint16_t* yPlus = in.yPlus;
    const uint16_t* yMinus = in.yMinus;
    const uint16_t* xPlus = in.xPlus;
    const uint16_t* xMinus = in.xMinus;
    float* depth = out.depth;
    float* amp = out.amp;
    float* conf = out.conf;

    size_t n = 0;
    for (; n + 16 <= pixels; n += 16) {
        const __m256i y = _mm256_sub_epi16(decode<Shifted>(yPlus + n, shiftCount),
                                           decode<Shifted>(yMinus + n, shiftCount));
        const __m256i x = _mm256_sub_epi16(decode<Shifted>(xPlus + n, shiftCount),
                                           decode<Shifted>(xMinus + n, shiftCount));
        const __m256i xLo = _mm256_cvtepi16_epi32(_mm256_castsi256_si128(x));
        const __m256i xHi = _mm256_cvtepi16_epi32(_mm256_extracti128_si256(x, 1));
        const __m256 xfLo = _mm256_cvtepi32_ps(xLo);
        const __m256 xfHi = _mm256_cvtepi32_ps(xHi);
        const __m256 yfLo = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm256_castsi256_si128(y)));
        const __m256 yfHi = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm256_extracti128_si256(y, 1)));

        __m256 unsureLo, unsureHi;
        __m256 phaseLo = convert8(xfLo, yfLo, xLo, c, amp + n, conf + n, unsureLo);
        __m256 phaseHi = convert8(xfHi, yfHi, xHi, c, amp + n + 8, conf + n + 8, unsureHi);
        const __m256 unsure = _mm256_or_ps(unsureLo, unsureHi);
        if (__builtin_expect(!_mm256_testz_ps(unsure, unsure), 0)) {
            phaseLo = redoUnsure(phaseLo, _mm256_movemask_ps(unsureLo), xfLo, yfLo);
            phaseHi = redoUnsure(phaseHi, _mm256_movemask_ps(unsureHi), xfHi, yfHi);
        }
        storeDepth(depth + n, phaseLo, yfLo, c);
        storeDepth(depth + n + 8, phaseHi, yfHi, c);
    }
    phaseToDepthScalar(in, out, n, pixels, shift);
}

} // namespace

void phaseToDepthAvx2(const PhasePlanes& in, const DepthPlanes& out, size_t pixels, unsigned shift)
{
    if (shift == 0)
        convertAll<false>(in, out, pixels, shift);
    else
        convertAll<true>(in, out, pixels, shift);
}

void decodeRowAvx2(const uint16_t* src, int16_t* dst, size_t width, unsigned shift)
{
    const __m128i count = _mm_cvtsi32_si128(static_cast<int>(shift));
    size_t c = 0;
    for (; c + 16 <= width; c += 16)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + c), _mm256_slli_epi16(decode<true>(src + c, count), 1));
    decodeRowPlain(src + c, dst + c, width - c, shift);
}

} // namespace Quorvex::detail

QUORVEX_TARGET_END

#endif
