#include "device/PhaseToDepthKernels.h"

#if defined(__x86_64__)

#include <cstring>

#include <immintrin.h>

// Phase-to-depth for x86-64 with AVX2 and FMA, eight pixels per step.
//
// Why it matches the plain code bit for bit:
//  - amplitude: with X = x / 16 and Y = y / 16 the plain value
//    (float)(0.5 * sqrt(x*x + y*y)) equals 8 * sqrtf(X*X + Y*Y) exactly for
//    every input (X*X + Y*Y < 2^24 is exact in float, and sqrtf is correctly
//    rounded); checked over the whole input domain by the tests.
//  - phase: no double atan2 result on this input domain lies within 154
//    double ulps of a float rounding midpoint, so any atan2 accurate to a few
//    ulps rounds to the same float. The one below is accurate to about 4 ulps:
//
//      a = min(|X|, |Y|), b = max(|X|, |Y|), theta = atan(a / b) in [0, pi/4]
//      k = a / b rounded to the nearest quarter (integer compares), so
//      theta = atan(k / 4) + atan(t) with t = (4a - k b) / (4b + k a), whose
//      numerator and denominator are exact integers and |t| <= 1/8;
//      atan(t) = t + t u h(u), u = t^2, h the Taylor series of atan(t)/t - 1
//      to u^7: the first term left out is below u^8/17 <= 2^-52 relative.
//
//    and the octant is restored as atan2 does: pi/2 - theta when |Y| > |X|,
//    pi minus that when X < 0, negated when Y < 0; as c + atan(t) with the
//    constant c = base +- atan(k/4). No step cancels (c is 0 or at least
//    atan(1/4) > 2 |atan(t)|, and base +- atan(k/4) is at least pi/4), so
//    every rounding costs at most an ulp or so of the result.
//
// Everything in this file after the pragma is compiled for AVX2 + FMA and is
// only reached once the dispatcher has seen both in the CPU's feature bits.

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,fma")
#endif

namespace Quorvex::detail {

namespace {

constexpr double kAtanQuarter[5] = {
    0.0, 0.24497866312686414, 0.4636476090008061, 0.6435011087932844, 0.7853981633974483,
};
constexpr double kHalfPi = 1.5707963267948966;
constexpr double kPi = 3.141592653589793;
constexpr float kTwoPiF = 6.2831855f;
constexpr float kMetresToMm = 1000.0f;

// Sign-extended 11-bit sample after the right shift; the factor 16 of the
// decoded value is left out (it cancels in atan2 and is put back in the
// amplitude as 16 * 0.5 = 8).
inline __m128i decode(const uint16_t* p, __m128i shift)
{
    const __m128i w = _mm_srl_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), shift);
    return _mm_srai_epi16(_mm_slli_epi16(w, 5), 5);
}

// Widens the four low 16-bit lanes of `v` (masks or small integers) to 64 bits.
inline __m256d lanes64(__m128i v)
{
    return _mm256_castsi256_pd(_mm256_cvtepi16_epi64(v));
}

// atan(k / 4) for k = 0 ... 4, split into the low and the high 32 bits of
// each double: two lane permutes and a blend look up four entries faster
// than a gather does.
struct QuarterTable {
    __m256i low;
    __m256i high;
};

inline QuarterTable quarterTable()
{
    alignas(32) uint32_t low[8] = {};
    alignas(32) uint32_t high[8] = {};
    for (int k = 0; k < 5; ++k) {
        uint64_t bits;
        std::memcpy(&bits, &kAtanQuarter[k], sizeof bits);
        low[k] = static_cast<uint32_t>(bits);
        high[k] = static_cast<uint32_t>(bits >> 32);
    }
    return {_mm256_load_si256(reinterpret_cast<const __m256i*>(low)),
            _mm256_load_si256(reinterpret_cast<const __m256i*>(high))};
}

// The entries for the four low 16-bit lanes of k.
inline __m256d atanQuarter(const QuarterTable& table, __m128i k)
{
    const __m256i k64 = _mm256_cvtepu16_epi64(k);
    const __m256i index = _mm256_or_si256(k64, _mm256_slli_epi64(k64, 32));
    return _mm256_castsi256_pd(_mm256_blend_epi32(_mm256_permutevar8x32_epi32(table.low, index),
                                                  _mm256_permutevar8x32_epi32(table.high, index), 0xAA));
}

// atan2 in double, rounded to float, for the four low 16-bit lanes of the
// reduced operands.
inline __m128 phaseOf4(const QuarterTable& table, __m128i num, __m128i den, __m128i k, __m128i swap,
                       __m128i xneg, __m128i yneg)
{
    const __m256d t = _mm256_div_pd(_mm256_cvtepi32_pd(_mm_cvtepi16_epi32(num)),
                                    _mm256_cvtepi32_pd(_mm_cvtepi16_epi32(den)));
    // The division and the series are the long chain; Estrin's scheme keeps
    // the series short, and everything that does not depend on t (the
    // octant's constant and signs) is ready by the time t is.
    const __m256d u = _mm256_mul_pd(t, t);
    const __m256d u2 = _mm256_mul_pd(u, u);
    const __m256d u4 = _mm256_mul_pd(u2, u2);
    const __m256d h01 = _mm256_fmadd_pd(_mm256_set1_pd(1.0 / 5), u, _mm256_set1_pd(-1.0 / 3));
    const __m256d h23 = _mm256_fmadd_pd(_mm256_set1_pd(1.0 / 9), u, _mm256_set1_pd(-1.0 / 7));
    const __m256d h45 = _mm256_fmadd_pd(_mm256_set1_pd(1.0 / 13), u, _mm256_set1_pd(-1.0 / 11));
    const __m256d h = _mm256_fmadd_pd(
        u4, _mm256_fmadd_pd(_mm256_set1_pd(-1.0 / 15), u2, h45), _mm256_fmadd_pd(h23, u2, h01));
    const __m256d atanT = _mm256_fmadd_pd(_mm256_mul_pd(t, u), h, t);

    // swap, xneg: (0,0) theta, (1,0) pi/2 - theta, (0,1) pi - theta,
    // (1,1) pi/2 + theta; negated when Y < 0. theta = atan(k/4) + atanT, so
    // the phase is c + atanT with c = base +- atan(k/4), signs applied.
    const __m256d swap64 = lanes64(swap);
    const __m256d xneg64 = lanes64(xneg);
    const __m256d signBit = _mm256_set1_pd(-0.0);
    const __m256d ySign = _mm256_and_pd(lanes64(yneg), signBit);
    const __m256d base = _mm256_blendv_pd(_mm256_and_pd(xneg64, _mm256_set1_pd(kPi)),
                                          _mm256_set1_pd(kHalfPi), swap64);
    const __m256d flip = _mm256_xor_pd(_mm256_and_pd(_mm256_xor_pd(swap64, xneg64), signBit), ySign);
    const __m256d c = _mm256_add_pd(_mm256_xor_pd(base, ySign), _mm256_xor_pd(atanQuarter(table, k), flip));
    const __m256d phase = _mm256_add_pd(c, _mm256_xor_pd(atanT, flip));
    return _mm256_cvtpd_ps(phase);
}

} // namespace

void phaseToDepthAvx2(const PhasePlanes& in, const DepthPlanes& out, size_t pixels, unsigned shift)
{
    const __m128i shiftCount = _mm_cvtsi32_si128(static_cast<int>(shift));
    const __m256 scale = _mm256_set1_ps(out.scale);
    const __m256 metresToMm = _mm256_set1_ps(kMetresToMm);
    const __m256 twoPi = _mm256_set1_ps(kTwoPiF);
    const __m256 eight = _mm256_set1_ps(8.0f);
    const __m128i one = _mm_set1_epi16(1);
    const __m128i three = _mm_set1_epi16(3);
    const __m128i five = _mm_set1_epi16(5);
    const __m128i seven = _mm_set1_epi16(7);
    const QuarterTable table = quarterTable();

    size_t n = 0;
    for (; n + 8 <= pixels; n += 8) {
        const __m128i y = _mm_sub_epi16(decode(in.yPlus + n, shiftCount), decode(in.yMinus + n, shiftCount));
        const __m128i x = _mm_sub_epi16(decode(in.xPlus + n, shiftCount), decode(in.xMinus + n, shiftCount));

        // Amplitude: X*X + Y*Y in one multiply-add of interleaved pairs.
        const __m128i sumLo = _mm_madd_epi16(_mm_unpacklo_epi16(x, y), _mm_unpacklo_epi16(x, y));
        const __m128i sumHi = _mm_madd_epi16(_mm_unpackhi_epi16(x, y), _mm_unpackhi_epi16(x, y));
        const __m256 amp = _mm256_mul_ps(
            eight, _mm256_sqrt_ps(_mm256_cvtepi32_ps(_mm256_set_m128i(sumHi, sumLo))));
        _mm256_storeu_ps(out.amp + n, amp);
        _mm256_storeu_ps(out.conf + n, amp);

        // Octant reduction and the sector k (0..4), all exact in 16 bits:
        // 8a and 7b stay below 2^15.
        const __m128i ax = _mm_abs_epi16(x);
        const __m128i ay = _mm_abs_epi16(y);
        const __m128i a = _mm_min_epi16(ax, ay);
        const __m128i b = _mm_max_epi16(ax, ay);
        const __m128i a8 = _mm_slli_epi16(a, 3);
        const __m128i k = _mm_sub_epi16(
            _mm_setzero_si128(),
            _mm_add_epi16(_mm_add_epi16(_mm_cmpgt_epi16(a8, b), _mm_cmpgt_epi16(a8, _mm_mullo_epi16(b, three))),
                          _mm_add_epi16(_mm_cmpgt_epi16(a8, _mm_mullo_epi16(b, five)),
                                        _mm_cmpgt_epi16(a8, _mm_mullo_epi16(b, seven)))));
        const __m128i num = _mm_sub_epi16(_mm_slli_epi16(a, 2), _mm_mullo_epi16(k, b));
        // x = y = 0 gives a = b = 0: a denominator of 4 makes t = 0 and the
        // phase +0, as atan2(+0, +0).
        const __m128i den = _mm_add_epi16(_mm_slli_epi16(_mm_max_epi16(b, one), 2), _mm_mullo_epi16(k, a));
        const __m128i swap = _mm_cmpgt_epi16(ay, ax);
        const __m128i xneg = _mm_srai_epi16(x, 15);
        const __m128i yneg = _mm_srai_epi16(y, 15);

        const __m128 phaseLo = phaseOf4(table, num, den, k, swap, xneg, yneg);
        const __m128 phaseHi = phaseOf4(table, _mm_srli_si128(num, 8), _mm_srli_si128(den, 8), _mm_srli_si128(k, 8),
                                        _mm_srli_si128(swap, 8), _mm_srli_si128(xneg, 8), _mm_srli_si128(yneg, 8));
        __m256 phase = _mm256_set_m128(phaseHi, phaseLo);
        phase = _mm256_add_ps(phase, _mm256_and_ps(_mm256_cmp_ps(phase, _mm256_setzero_ps(), _CMP_LT_OQ), twoPi));
        _mm256_storeu_ps(out.depth + n, _mm256_mul_ps(_mm256_mul_ps(scale, phase), metresToMm));
    }
    phaseToDepthScalar(in, out, n, pixels, shift);
}

} // namespace Quorvex::detail

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
