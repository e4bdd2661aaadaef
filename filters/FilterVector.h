// The filter stages on vectors of floats, written once over a few
// primitives and compiled by each SIMD backend (FilterKernelsAvx2.cpp,
// FilterKernelsAvx512.cpp, FilterKernelsNeon.cpp) for its own instruction
// set. Included only there, after the includes and target options.
//
// Why every backend writes the bits the plain code writes:
//  - each lane performs the plain code's float operations in its order
//    (the sources are built without contraction into fused multiply-adds);
//    a comparison and a select stand for each `?:`, and std::max(c, x) of a
//    parameter c is done by an instruction that picks c when x is NaN;
//  - the 3 x 3 stages read an input in which every invalid depth is a NaN
//    (invalidCode): a NaN fails each of the comparisons by which the plain
//    code skips a neighbour whose depth is not positive, so the skip costs
//    nothing;
//  - the spatial mean adds all nine terms in the plain code's order, with
//    +0 for a neighbour left out, which changes no sum;
//  - the flying-pixel stage settles most vectors with two cheap tests that
//    imply the plain code's answer (FlyingTerms::at): the window's extremes
//    (exact, taken as integers over the coded depth), then a bound on the
//    brightest neighbour across the gap; a vector they leave open takes the
//    full per-neighbour code. (The spatial stage has no such test: sensor
//    noise alone takes a neighbour out of its delta too often for one to
//    pay.)
// Parameters the fast code does not cover (a negative gap or delta lets a
// pixel be its own neighbour, a negative amplitude ratio turns the bound
// around; NaN parameters) go to the plain code.
//
// armv7's NEON flushes denormal floats to zero; no depth, amplitude or
// threshold of the filters comes near 1e-38, so it changes no result that a
// decoder can produce (the backends are compared on such frames).
//
// Everything here has internal linkage and calls nothing inline from
// elsewhere, so no copy built for one instruction set can stand in for
// another at link time.

#if defined(QUORVEX_FILTER_NEON32)
#include <arm_neon.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

// The windows' loops are unrolled whole: their terms then live in
// registers instead of an array in memory.
#define QUORVEX_UNROLL _Pragma("GCC unroll 9")
// The per-vector window code inlined into its row loop, its constants in
// registers.
#define QUORVEX_ALWAYS_INLINE inline __attribute__((always_inline))
#define QUORVEX_LAMBDA_INLINE __attribute__((always_inline))
// The flying-pixel stage's full test out of line, so that the common case
// keeps its registers; with AVX-512's 32 there are enough for both, and
// inlined it takes a tenth off the stage alone (measured; the same in the
// chain).
// GCC leaves the slope test, called from the full test, out of line in the
// AVX-512 build, its window passed through memory: inlined there too.
#if defined(QUORVEX_FILTER_KMASK)
#define QUORVEX_EDGE_INLINE QUORVEX_ALWAYS_INLINE
#define QUORVEX_SLOPE_INLINE QUORVEX_ALWAYS_INLINE
#else
#define QUORVEX_EDGE_INLINE __attribute__((noinline))
#define QUORVEX_SLOPE_INLINE
#endif

namespace Quorvex::detail {
namespace {

// --- primitives ------------------------------------------------------------

#if defined(QUORVEX_FILTER_NEON32)

// armv7: GCC builds float vector arithmetic for NEON only under unsafe
// maths (NEON is not IEEE in denormals), so every float operation is an
// intrinsic, behind operators.
constexpr int kLanes = 4;
struct VF {
    float32x4_t v;
};
struct VI {
    uint32x4_t v;
};
inline VF operator+(VF a, VF b) { return {vaddq_f32(a.v, b.v)}; }
inline VF operator-(VF a, VF b) { return {vsubq_f32(a.v, b.v)}; }
inline VF operator*(VF a, VF b) { return {vmulq_f32(a.v, b.v)}; }
// GCC 12's vcgtq_f32 and kin are plain vector comparisons, which it then
// splits into VFP ones for the reason above: the instructions by hand.
inline VI greater(VF a, VF b)
{
    uint32x4_t r;
    __asm__("vcgt.f32 %q0, %q1, %q2" : "=w"(r) : "w"(a.v), "w"(b.v));
    return {r};
}
inline VI greaterEqual(VF a, VF b)
{
    uint32x4_t r;
    __asm__("vcge.f32 %q0, %q1, %q2" : "=w"(r) : "w"(a.v), "w"(b.v));
    return {r};
}
inline VI operator<(VF a, VF b) { return greater(b, a); }
inline VI operator>(VF a, VF b) { return greater(a, b); }
inline VI operator<=(VF a, VF b) { return greaterEqual(b, a); }
inline VI operator>=(VF a, VF b) { return greaterEqual(a, b); }
inline VI operator==(VF a, VF b) { return {vceqq_f32(a.v, b.v)}; }
inline VI operator&(VI a, VI b) { return {vandq_u32(a.v, b.v)}; }
inline VI operator|(VI a, VI b) { return {vorrq_u32(a.v, b.v)}; }
inline VI operator~(VI a) { return {vmvnq_u32(a.v)}; }
inline VI andNot(VI a, VI b) { return {vbicq_u32(a.v, b.v)}; } // a & ~b
inline VF load(const float* p) { return {vld1q_f32(p)}; }
inline void store(float* p, VF a) { vst1q_f32(p, a.v); }
inline void storeMask(uint32_t* p, VI m) { vst1q_u32(p, m.v); }
inline VF splat(float x) { return {vdupq_n_f32(x)}; }
inline VI zeroMask() { return {vdupq_n_u32(0)}; }
inline VF select(VI m, VF a, VF b) { return {vbslq_f32(m.v, a.v, b.v)}; }
inline VF keepIf(VI m, VF a) { return {vreinterpretq_f32_u32(vandq_u32(m.v, vreinterpretq_u32_f32(a.v)))}; }
// |a| <= b for b >= 0 or NaN.
inline VI absAtMost(VF a, VF b) { return {vcaleq_f32(a.v, b.v)}; }
inline VI absAbove(VF a, VF b) { return {vcagtq_f32(a.v, b.v)}; }
inline VF absOf(VF a) { return {vabsq_f32(a.v)}; }
// std::max(c, x) for a parameter c (never NaN): c where x is NaN.
inline VF maxParam(VF c, VF x) { return select(c < x, x, c); }
// Running maximum of amplitudes: `b` never NaN, `x` left out when NaN.
inline VF maxKeep(VF b, VF x) { return select(b < x, x, b); }
// Window extremes: any NaN makes the result NaN here.
inline VF minAcc(VF m, VF x) { return {vminq_f32(m.v, x.v)}; }
inline VF maxAcc(VF m, VF x) { return {vmaxq_f32(m.v, x.v)}; }
// Extremes of coded depth compared as integers (see invalidCode).
inline VF minCoded(VF a, VF b)
{
    return {vreinterpretq_f32_u32(vminq_u32(vreinterpretq_u32_f32(a.v), vreinterpretq_u32_f32(b.v)))};
}
inline VF maxCoded(VF a, VF b)
{
    return {vreinterpretq_f32_s32(vmaxq_s32(vreinterpretq_s32_f32(a.v), vreinterpretq_s32_f32(b.v)))};
}
inline VF fromBits(uint32_t bits) { return {vreinterpretq_f32_u32(vdupq_n_u32(bits))}; }
inline bool anyLane(VI m)
{
    const uint32x2_t half = vorr_u32(vget_low_u32(m.v), vget_high_u32(m.v));
    return (vget_lane_u32(half, 0) | vget_lane_u32(half, 1)) != 0;
}
// One count per set lane (masks are all ones).
inline VI countUp(VI count, VI m) { return {vsubq_u32(count.v, m.v)}; }
// No NEON division on armv7: the VFP unit's, lane by lane, correctly
// rounded as everywhere else.
// The lanes of q0 and q1 are s0-s3 and s4-s7: the divisions read and
// write them in place (lane by lane through the general registers, as
// the intrinsics would have it, costs five times the instructions).
inline VF divide(VF a, VI count)
{
    register float32x4_t q asm("q0") = a.v;
    register float32x4_t c asm("q1") = vcvtq_f32_u32(count.v);
    __asm__("vdiv.f32 s0, s0, s4\n\t"
            "vdiv.f32 s1, s1, s5\n\t"
            "vdiv.f32 s2, s2, s6\n\t"
            "vdiv.f32 s3, s3, s7"
            : "+w"(q)
            : "w"(c));
    return {q};
}

#elif defined(QUORVEX_FILTER_KMASK)

// AVX-512, 16 lanes: a comparison gives a mask in a k-register, which the
// selects, the masked additions and the tests of any lane take as it is
// (the compiler's vector extensions would widen each one to a vector of
// lanes). Measured on a CPU that splits each 512-bit operation in two: 16
// lanes beat 8 (ymm registers with the same k-register masks) by a tenth
// of the chain's time.
constexpr int kLanes = 16;
static_assert(QUORVEX_FILTER_LANES == 16, "the k-register primitives are written for zmm registers");
#define QUORVEX_V(name) _mm512_##name
using VFBits = __m512;
using VIBits = __m512i;
using MaskBits = __mmask16;
inline VFBits asFloats(VIBits a) { return _mm512_castsi512_ps(a); }
inline VIBits asInts(VFBits a) { return _mm512_castps_si512(a); }
inline void storeInts(void* p, VIBits a) { _mm512_storeu_si512(p, a); }
inline VIBits zeroInts() { return _mm512_setzero_si512(); }
inline VIBits andInts(VIBits a, VIBits b) { return _mm512_and_si512(a, b); }
struct VF {
    VFBits v;
};
struct VI {
    MaskBits v;
};
// The spatial mean's counts, one 32-bit integer a lane.
struct VC {
    VIBits v;
};
inline VF operator+(VF a, VF b) { return {QUORVEX_V(add_ps)(a.v, b.v)}; }
inline VF operator-(VF a, VF b) { return {QUORVEX_V(sub_ps)(a.v, b.v)}; }
inline VF operator*(VF a, VF b) { return {QUORVEX_V(mul_ps)(a.v, b.v)}; }
// Ordered comparisons: false where either operand is NaN, as in C++.
inline VI operator<(VF a, VF b) { return {QUORVEX_V(cmp_ps_mask)(a.v, b.v, _CMP_LT_OQ)}; }
inline VI operator>(VF a, VF b) { return {QUORVEX_V(cmp_ps_mask)(a.v, b.v, _CMP_GT_OQ)}; }
inline VI operator<=(VF a, VF b) { return {QUORVEX_V(cmp_ps_mask)(a.v, b.v, _CMP_LE_OQ)}; }
inline VI operator>=(VF a, VF b) { return {QUORVEX_V(cmp_ps_mask)(a.v, b.v, _CMP_GE_OQ)}; }
inline VI operator&(VI a, VI b) { return {static_cast<MaskBits>(a.v & b.v)}; }
inline VI operator|(VI a, VI b) { return {static_cast<MaskBits>(a.v | b.v)}; }
inline VI operator~(VI a) { return {static_cast<MaskBits>(~a.v)}; }
inline VI andNot(VI a, VI b) { return {static_cast<MaskBits>(a.v & ~b.v)}; } // a & ~b
inline VF load(const float* p) { return {QUORVEX_V(loadu_ps)(p)}; }
inline void store(float* p, VF a) { QUORVEX_V(storeu_ps)(p, a.v); }
inline void storeMask(uint32_t* p, VI m) { storeInts(p, QUORVEX_V(movm_epi32)(m.v)); }
inline VF splat(float x) { return {QUORVEX_V(set1_ps)(x)}; }
inline VI zeroMask() { return {0}; }
inline VF select(VI m, VF a, VF b) { return {QUORVEX_V(mask_blend_ps)(m.v, b.v, a.v)}; }
inline VF keepIf(VI m, VF a) { return {QUORVEX_V(maskz_mov_ps)(m.v, a.v)}; }
// acc + keepIf(m, x) in one masked addition: the lanes left out keep
// `acc`, which adding +0 would not change (the sums are never -0).
inline VF addIf(VF acc, VI m, VF x) { return {QUORVEX_V(mask_add_ps)(acc.v, m.v, acc.v, x.v)}; }
inline VF absOf(VF a) { return {asFloats(andInts(asInts(a.v), QUORVEX_V(set1_epi32)(0x7fffffff)))}; }
inline VI absAtMost(VF a, VF b) { return absOf(a) <= b; }
inline VI absAbove(VF a, VF b) { return absOf(a) > b; }
// maxps and minps return their second operand when either is NaN: the
// operands in the order the AVX2 code's `?:` gives them.
inline VF maxParam(VF c, VF x) { return {QUORVEX_V(max_ps)(x.v, c.v)}; }
inline VF maxKeep(VF b, VF x) { return {QUORVEX_V(max_ps)(x.v, b.v)}; }
// maxKeep(b, keepIf(m, x)) in one masked maximum: a lane left out keeps
// `b`, as the maximum of `b` (never below 0) and +0 does.
inline VF maxKeepIf(VF b, VI m, VF x) { return {QUORVEX_V(mask_max_ps)(b.v, m.v, x.v, b.v)}; }
inline VF minAcc(VF m, VF x) { return {QUORVEX_V(min_ps)(x.v, m.v)}; }
inline VF maxAcc(VF m, VF x) { return {QUORVEX_V(max_ps)(x.v, m.v)}; }
// Extremes of coded depth compared as integers (see invalidCode).
inline VF minCoded(VF a, VF b) { return {asFloats(QUORVEX_V(min_epu32)(asInts(a.v), asInts(b.v)))}; }
inline VF maxCoded(VF a, VF b) { return {asFloats(QUORVEX_V(max_epi32)(asInts(a.v), asInts(b.v)))}; }
inline VF fromBits(uint32_t bits) { return {asFloats(QUORVEX_V(set1_epi32)(static_cast<int>(bits)))}; }
inline bool anyLane(VI m) { return m.v != 0; }
inline VC zeroCount() { return {zeroInts()}; }
inline VC countUp(VC count, VI m) { return {QUORVEX_V(mask_add_epi32)(count.v, m.v, count.v, QUORVEX_V(set1_epi32)(1))}; }
inline VF divide(VF a, VC count) { return {QUORVEX_V(div_ps)(a.v, QUORVEX_V(cvtepi32_ps)(count.v))}; }
#undef QUORVEX_V

#else

// x86-64 (AVX2) and aarch64: the compiler's vector extensions.
constexpr int kLanes = QUORVEX_FILTER_LANES;
typedef float VF __attribute__((vector_size(4 * kLanes)));
typedef int32_t VI __attribute__((vector_size(4 * kLanes)));
typedef uint32_t VU __attribute__((vector_size(4 * kLanes)));
inline VI andNot(VI a, VI b) { return a & ~b; }
// Extremes of coded depth compared as integers (see invalidCode).
inline VF minCoded(VF a, VF b)
{
    const VU x = reinterpret_cast<VU>(a);
    const VU y = reinterpret_cast<VU>(b);
    return reinterpret_cast<VF>(x < y ? x : y);
}
inline VF maxCoded(VF a, VF b)
{
    const VI x = reinterpret_cast<VI>(a);
    const VI y = reinterpret_cast<VI>(b);
    return reinterpret_cast<VF>(x > y ? x : y);
}
inline VF fromBits(uint32_t bits) { return reinterpret_cast<VF>(VU{} + bits); }
#if defined(__aarch64__)
// GCC folds the offsets of the windows' neighbours into the NEON load's
// address only for the intrinsic (a copy through memcpy takes an add of
// its own per load): 100 K instructions per HQVGA frame.
inline VF load(const float* p) { return vld1q_f32(p); }
#else
inline VF load(const float* p)
{
    VF v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}
#endif
#if defined(__aarch64__)
inline void store(float* p, VF a) { vst1q_f32(p, a); }
#else
inline void store(float* p, VF a) { __builtin_memcpy(p, &a, sizeof a); }
#endif
inline void storeMask(uint32_t* p, VI m) { __builtin_memcpy(p, &m, sizeof m); }
inline VF splat(float x) { return VF{} + x; }
inline VI zeroMask() { return VI{}; }
inline VF select(VI m, VF a, VF b) { return m ? a : b; }
inline VF keepIf(VI m, VF a) { return reinterpret_cast<VF>(reinterpret_cast<VI>(a) & m); }
inline VI countUp(VI count, VI m) { return count - m; }
inline VF divide(VF a, VI count) { return a / __builtin_convertvector(count, VF); }
#if defined(__aarch64__)
inline VI absAtMost(VF a, VF b) { return reinterpret_cast<VI>(vcaleq_f32(a, b)); }
inline VF absOf(VF a) { return vabsq_f32(a); }
inline VI absAbove(VF a, VF b) { return reinterpret_cast<VI>(vcagtq_f32(a, b)); }
// fmaxnm picks the number over a NaN: c where x is NaN, as std::max(c, x).
inline VF maxParam(VF c, VF x) { return vmaxnmq_f32(c, x); }
inline VF maxKeep(VF b, VF x) { return vmaxnmq_f32(b, x); }
inline VF minAcc(VF m, VF x) { return vminq_f32(m, x); }
inline VF maxAcc(VF m, VF x) { return vmaxq_f32(m, x); }
inline bool anyLane(VI m) { return vmaxvq_u32(reinterpret_cast<uint32x4_t>(m)) != 0; }
#else
inline VF absOf(VF a) { return reinterpret_cast<VF>(reinterpret_cast<VI>(a) & 0x7fffffff); }
inline VI absAtMost(VF a, VF b) { return absOf(a) <= b; }
inline VI absAbove(VF a, VF b) { return absOf(a) > b; }
// `c < x ? x : c` is one maxps (which returns its second operand when
// either is NaN).
inline VF maxParam(VF c, VF x) { return c < x ? x : c; }
inline VF maxKeep(VF b, VF x) { return b < x ? x : b; }
// The running value as the second operand: a NaN neighbour is dropped, a
// NaN first value stays.
inline VF minAcc(VF m, VF x) { return x < m ? x : m; }
inline VF maxAcc(VF m, VF x) { return x > m ? x : m; }
inline bool anyLane(VI m)
{
    const __m256i bits = reinterpret_cast<__m256i>(m);
    return !_mm256_testz_si256(bits, bits);
}
#endif

#endif


#if !defined(QUORVEX_FILTER_KMASK)
// The spatial mean's counts: a mask vector's lanes (all ones) subtracted.
using VC = VI;
inline VC zeroCount() { return zeroMask(); }
inline VF addIf(VF acc, VI m, VF x) { return acc + keepIf(m, x); }
inline VF maxKeepIf(VF b, VI m, VF x) { return maxKeep(b, keepIf(m, x)); }
#endif

// The same literal as the plain code's: the threshold must round alike.
constexpr float kTwoPiV = 6.28318530717958647692f;

// The flying-pixel pairs' amplitude bound from the two rows' shared window
// rows (FlyingTerms::settlePair), where it pays.
#if defined(__x86_64__)
constexpr bool kShareBrightest = true;
#else
constexpr bool kShareBrightest = false;
#endif

// Runs `fn(i)` for the vectors from pixel i = 0, kLanes, ... of `n`
// pixels, the last one moved back to end at n (overlapping its
// predecessor): only for stages that give the same result when run twice
// over a pixel. Needs n >= kLanes.
template <typename Fn>
QUORVEX_ALWAYS_INLINE void pointwiseTwiceSafe(size_t n, Fn fn)
{
    const size_t last = n - kLanes;
    // Two vectors an iteration halve the loop's own instructions: 11 K
    // fewer per HQVGA frame on aarch64; on armv7 it costs 6 K.
#if !defined(QUORVEX_FILTER_NEON32)
    _Pragma("GCC unroll 2")
#endif
    for (size_t i = 0; i < last; i += kLanes)
        fn(i);
    fn(last);
}

size_t pixelsOf(const DepthImage& img) { return static_cast<size_t>(img.width) * static_cast<size_t>(img.height); }

bool isNumber(float x) { return x == x; }

// --- the point stages ------------------------------------------------------

struct ConfidenceTerms {
    VF k, floor, maxNoise, minAmp, saturation, zero, infinity;

    ConfidenceTerms(const DepthImage& img, const FilterParams& p)
        : k(splat(img.rangeMm / kTwoPiV * p.sampleNoise * 0.70710678f)), floor(splat(p.noiseFloorMm)),
          maxNoise(splat(p.maxNoise)), minAmp(splat(p.minAmplitude)), saturation(splat(p.saturation)),
          zero(splat(0.0f)), infinity(splat(__builtin_inff()))
    {
    }

    VI keep(VF d, VF a) const { return (d > zero) & (d < infinity) & keepFinite(d, a); }

    // For a depth already known to be a positive finite number.
    VI keepFinite(VF d, VF a) const
    {
        const VF limit = maxParam(floor, maxNoise * d);
        return (a >= minAmp) & (a < saturation) & (k <= limit * a);
    }
};

struct AliasTerms {
    VF range, gain;

    AliasTerms(const DepthImage& img, const FilterParams& p) : range(splat(img.rangeMm)), gain(splat(p.aliasGain * 1e6f)) {}

    VI alias(VF d, VF a) const
    {
        const VF far = d + range;
        return a * far * far <= gain;
    }
};

bool pointFits(const DepthImage& img, const FilterParams& p)
{
    return pixelsOf(img) >= static_cast<size_t>(kLanes) && isNumber(p.noiseFloorMm);
}

void confidenceVector(const DepthImage& img, const FilterParams& p, const FilterPlanes& planes)
{
    if (!pointFits(img, p)) {
        confidenceScalar(img, p, planes);
        return;
    }
    const ConfidenceTerms t(img, p);
    float* const depth = img.depth;
    const float* const amp = img.amplitude;
    pointwiseTwiceSafe(pixelsOf(img), [&](size_t i) QUORVEX_LAMBDA_INLINE {
        const VF d = load(depth + i);
        store(depth + i, keepIf(t.keep(d, load(amp + i)), d));
    });
}

void aliasingVector(const DepthImage& img, const FilterParams& p, const FilterPlanes& planes)
{
    if (!pointFits(img, p)) {
        aliasingScalar(img, p, planes);
        return;
    }
    const AliasTerms t(img, p);
    float* const depth = img.depth;
    const float* const amp = img.amplitude;
    pointwiseTwiceSafe(pixelsOf(img), [&](size_t i) QUORVEX_LAMBDA_INLINE {
        const VF d = load(depth + i);
        store(depth + i, keepIf(~t.alias(d, load(amp + i)), d));
    });
}

template <bool B>
struct Switch {
    static constexpr bool value = B;
};
using On = Switch<true>;
using Off = Switch<false>;

// The value of every invalid pixel in a coded plane: a NaN, which fails
// each comparison by which the plain code skips a neighbour whose depth is
// not positive, with its sign bit set. Compared as integers it is then
// above every valid depth (a positive number, whose bits order as the
// number does) unsigned and below every one signed: the unsigned minimum
// and the signed maximum of a window are those of its valid depths.
constexpr uint32_t kInvalidCodeBits = 0xffc00000u;
VF invalidCode() { return fromBits(kInvalidCodeBits); }
float invalidCodeScalar()
{
    float f;
    __builtin_memcpy(&f, &kInvalidCodeBits, sizeof f);
    return f;
}

// The `n` pixels from `depth` into `out` coded, invalid ones the invalid
// code: with Validate, a depth as a caller gave it is valid in
// (0, kFilterMaxDepthMm], else any depth above 0; then the point stages
// that are on. With `ampOut`, the amplitudes are copied there on the way
// (the chain's padded plane: one pass over the row instead of two).
template <typename Validate, typename ConfidenceOn, typename AliasingOn>
QUORVEX_ALWAYS_INLINE void codedRange(const ConfidenceTerms& confidence, const AliasTerms& aliasing,
                                      const float* depth, const float* amp, float* out, size_t n,
                                      float* ampOut = nullptr)
{
    // Copies whose address no store can reach: their vectors stay in
    // registers through the loop wherever this is inlined.
    const ConfidenceTerms c = confidence;
    const AliasTerms al = aliasing;
    const VF code = invalidCode();
    const VF maxDepth = splat(kFilterMaxDepthMm);
    pointwiseTwiceSafe(n, [&](size_t i) QUORVEX_LAMBDA_INLINE {
        const VF d = load(depth + i);
        const VF a = load(amp + i);
        VI keep = d > c.zero;
        if (Validate::value)
            keep = keep & (d <= maxDepth);
        if (ConfidenceOn::value)
            keep = keep & (Validate::value ? c.keepFinite(d, a) : c.keep(d, a));
        if (AliasingOn::value)
            keep = andNot(keep, al.alias(d, a));
        store(out + i, select(keep, d, code));
        if (ampOut)
            store(ampOut + i, a);
    });
}

// The whole of `img` coded into `out`, no point stage (the 3 x 3 stages
// alone).
void coded(const DepthImage& img, const FilterParams& p, float* out)
{
    codedRange<Off, Off, Off>(ConfidenceTerms(img, p), AliasTerms(img, p), img.depth, img.amplitude, out,
                              pixelsOf(img));
}

struct TemporalTerms {
    VF alpha, deltaMm, deltaRel, zero;

    explicit TemporalTerms(const FilterParams& p)
        : alpha(splat(p.temporalAlpha)), deltaMm(splat(p.temporalDeltaMm)), deltaRel(splat(p.temporalDeltaRel)),
          zero(splat(0.0f))
    {
    }

    // The new average (and filtered depth) from depth `d` and average `m`.
    VF step(VF d, VF m) const
    {
        const VF delta = maxParam(deltaMm, deltaRel * d);
        const VI restart = (m <= zero) | absAbove(d - m, delta);
        const VF next = select(restart, d, m + alpha * (d - m));
        return keepIf(d > zero, next);
    }
};

// A negative delta flips the sense of the absolute comparisons below.
bool temporalFits(const FilterParams& p) { return isNumber(p.temporalDeltaMm) && !(p.temporalDeltaMm < 0.0f); }

// The average must not be stepped twice: whole vectors, then the last few
// pixels through zero-padded locals (the lanes are independent).
QUORVEX_ALWAYS_INLINE void temporalRange(const TemporalTerms& t, float* depth, float* average, size_t n)
{
    size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        const VF m = t.step(load(depth + i), load(average + i));
        store(average + i, m);
        store(depth + i, m);
    }
    if (i == n)
        return;
    float d[kLanes] = {};
    float a[kLanes] = {};
    __builtin_memcpy(d, depth + i, (n - i) * sizeof(float));
    __builtin_memcpy(a, average + i, (n - i) * sizeof(float));
    store(a, t.step(load(d), load(a)));
    __builtin_memcpy(depth + i, a, (n - i) * sizeof(float));
    __builtin_memcpy(average + i, a, (n - i) * sizeof(float));
}

void temporalVector(const DepthImage& img, const FilterParams& p, const FilterPlanes& planes)
{
    if (!temporalFits(p)) {
        temporalScalar(img, p, planes);
        return;
    }
    temporalRange(TemporalTerms(p), img.depth, planes.average, pixelsOf(img));
}

// --- the 3 x 3 stages ------------------------------------------------------

// The 3 x 3 stages run their row loops over vectors starting at x = 1,
// 1 + kLanes, ... covering columns 1 to w - 2, the last one moved back to
// end at w - 2: it overlaps its predecessor, which is harmless as the body
// reads nothing it writes. Needs w >= kLanes + 2. (Plain loops rather than
// a function taking the body: the body must be inlined with its constants
// in registers.)
template <typename Fn>
QUORVEX_ALWAYS_INLINE void rowVectors(int w, Fn fn)
{
    const int last = w - 1 - kLanes;
    for (int x = 1; x < last; x += kLanes)
        fn(x);
    fn(last);
}

bool windowFits(const DepthImage& img) { return img.width >= kLanes + 2 && img.height >= 3; }

bool flyingFits(const DepthImage& img, const FilterParams& p)
{
    // The amplitude bound of FlyingTerms::at holds for a ratio not below 0.
    return windowFits(img) && isNumber(p.flyingGapMm) && !(p.flyingGapMm < 0.0f) && !(p.flyingGapRel < 0.0f) &&
           !(p.flyingAmpRatio < 0.0f);
}

bool spatialFits(const DepthImage& img, const FilterParams& p)
{
    return windowFits(img) && isNumber(p.spatialDeltaMm) && !(p.spatialDeltaMm < 0.0f) &&
           !(p.spatialDeltaRel < 0.0f);
}

struct FlyingTerms {
    const FilterParams& p;
    VF gapMm, gapRel, ratio, zero;
    float dropped;

    VF slopeTol;
    // The vector slope test compares absolute values: a negative (or NaN)
    // tolerance is left to the plain code.
    bool slopeFits;

    FlyingTerms(const FilterParams& params, float drop)
        : p(params), gapMm(splat(p.flyingGapMm)), gapRel(splat(p.flyingGapRel)), ratio(splat(p.flyingAmpRatio)),
          zero(splat(0.0f)), dropped(drop), slopeTol(splat(p.flyingSlopeTol)),
          slopeFits(p.flyingSlopeTol >= 0.0f)
    {
    }

    QUORVEX_SLOPE_INLINE VI smoothSlope(const float* s, size_t c, size_t w, VF sc, VF gap, const VF (&d)[8]) const;

    // The flying-pixel test of the pixels from `c` = (x, y) of `view`, whose
    // depth is coded (invalidCode): the centre's depth where it stays,
    // `dropped` where it goes, `otherwise` where it is invalid.
    //
    // Two cheap tests settle most vectors. The window's extremes over its
    // valid depths (invalidCode) tell whether any neighbour is nearer or
    // farther than the gap, exactly as the per-neighbour comparisons do. A
    // pixel with only one side of an edge (not between two surfaces) is
    // dimmed only when its amplitude is below the ratio of its brightest
    // neighbour across the gap; no neighbour is brighter than the brightest
    // of all eight, so an amplitude at or above the ratio of that settles
    // it. (A NaN amplitude makes that bound NaN or leaves it out; either way
    // no pixel is settled wrongly.) What remains takes the full test.
    QUORVEX_ALWAYS_INLINE VF at(const DepthImage& view, size_t c, int x, int y, VF otherwise) const
    {
        const size_t w = static_cast<size_t>(view.width);
        const Rows r{view.depth + c - w, view.depth + c, view.amplitude + c};
        return at(r, w, 0, view, c, x, y, otherwise);
    }

    // Rows of a window: the first depth, the centre's depth and its
    // amplitude; the rows lie `w` floats apart in both planes.
    struct Rows {
        const float* up;
        const float* mid;
        const float* amid;
    };

    // The same for the pixels at offset `i` of rows `r` (pixel `c` =
    // (x, y) of `view`): row loops keep their pointers in registers.
    QUORVEX_ALWAYS_INLINE VF at(const Rows& r, size_t w, size_t i, const DepthImage& view, size_t c, int x, int y,
                                VF otherwise) const
    {
        const float* up = r.up + i;
        const float* mid = r.mid + i;
        const float* dn = mid + w;
        const VF d[8] = {load(up - 1), load(up), load(up + 1), load(mid - 1),
                         load(mid + 1), load(dn - 1), load(dn), load(dn + 1)};
        VF mn = d[0];
        VF mx = d[0];
        QUORVEX_UNROLL
        for (int k = 1; k < 8; ++k) {
            mn = minCoded(mn, d[k]);
            mx = maxCoded(mx, d[k]);
        }
        return settle(r, w, i, view, c, x, y, otherwise, load(mid), mn, mx);
    }

    // The extremes of the coded depth at `q - 1`, `q` and `q + 1`.
    static QUORVEX_ALWAYS_INLINE void rowExtremes(const float* q, VF& mn, VF& mx)
    {
        const VF a = load(q - 1);
        const VF b = load(q);
        const VF e = load(q + 1);
        mn = minCoded(minCoded(a, b), e);
        mx = maxCoded(maxCoded(a, b), e);
    }

    // at() for two rows at once, the pixels at offset `i` of rows `r` and
    // those below them (`out0`, `out1`): their windows share two rows, whose
    // extremes are taken once. The extremes here take in the centre too,
    // which decides nothing: a valid centre is neither nearer nor farther
    // than itself by a gap not below 0, and an invalid one is coded below
    // every valid depth signed and above every one unsigned.
    QUORVEX_ALWAYS_INLINE void atPair(const Rows& r, size_t w, size_t i, const DepthImage& view, size_t c, int x,
                                      int y, VF otherwise, VF& out0, VF& out1) const
    {
        const float* up = r.up + i;
        VF mnUp, mxUp, mnMid, mxMid, mnDn, mxDn, mnDn2, mxDn2;
        rowExtremes(up, mnUp, mxUp);
        rowExtremes(up + w, mnMid, mxMid);
        rowExtremes(up + 2 * w, mnDn, mxDn);
        rowExtremes(up + 3 * w, mnDn2, mxDn2);
        const VF mnShared = minCoded(mnMid, mnDn);
        const VF mxShared = maxCoded(mxMid, mxDn);
        if (kShareBrightest) {
            settlePair(r, w, i, view, c, x, y, otherwise, load(up + w), load(up + 2 * w), minCoded(mnUp, mnShared),
                       maxCoded(mxUp, mxShared), minCoded(mnShared, mnDn2), maxCoded(mxShared, mxDn2), out0, out1);
            return;
        }
        out0 = settle(r, w, i, view, c, x, y, otherwise, load(up + w), minCoded(mnUp, mnShared),
                      maxCoded(mxUp, mxShared));
        const Rows below{r.up + w, r.mid + w, r.amid + w};
        out1 = settle(below, w, i, view, c + w, x, y + 1, otherwise, load(up + 2 * w), minCoded(mnShared, mnDn2),
                      maxCoded(mxShared, mxDn2));
    }

    // The brightest amplitude at `q - 1`, `q` and `q + 1`, and 0, as the
    // signed maximum of their bits (a bound, not an amplitude): a
    // positive amplitude's bits order as the number does and a negative
    // one's lie below 0; a NaN with its sign clear makes the bound NaN,
    // which settles no pixel, one with its sign set drops out, as the
    // plain code drops every NaN from its maximum.
    static QUORVEX_ALWAYS_INLINE VF rowBrightest(const float* q)
    {
        return maxCoded(maxCoded(load(q - 1), load(q)), load(q + 1));
    }

    // settle() for the two rows of atPair: the brightest amplitudes of the
    // two window rows they share taken once. The bound takes in the
    // centre's own amplitude, which for a ratio up to 1 settles the same
    // pixels.
    QUORVEX_ALWAYS_INLINE void settlePair(const Rows& r, size_t w, size_t i, const DepthImage& view, size_t c, int x,
                                          int y, VF otherwise, VF sc0, VF sc1, VF mn0, VF mx0, VF mn1, VF mx1,
                                          VF& out0, VF& out1) const
    {
        const VI valid0 = sc0 > zero;
        const VF gap0 = maxParam(gapMm, gapRel * sc0);
        const VI nearer0 = mn0 < sc0 - gap0;
        const VI farther0 = mx0 > sc0 + gap0;
        const VI edge0 = valid0 & (nearer0 | farther0);
        out0 = select(valid0, sc0, otherwise);
        const VI valid1 = sc1 > zero;
        const VF gap1 = maxParam(gapMm, gapRel * sc1);
        const VI nearer1 = mn1 < sc1 - gap1;
        const VI farther1 = mx1 > sc1 + gap1;
        const VI edge1 = valid1 & (nearer1 | farther1);
        out1 = select(valid1, sc1, otherwise);
        if (!anyLane(edge0 | edge1))
            return;
        const float* amid = r.amid + i;
        const VF shared = maxCoded(maxCoded(rowBrightest(amid), rowBrightest(amid + w)), zero);
        const VF brightest0 = maxCoded(rowBrightest(amid - w), shared);
        const VF brightest1 = maxCoded(shared, rowBrightest(amid + 2 * w));
        const VI unsure0 = edge0 & ((nearer0 & farther0) | ~(load(amid) >= ratio * brightest0));
        const VI unsure1 = edge1 & ((nearer1 & farther1) | ~(load(amid + w) >= ratio * brightest1));
        if (anyLane(unsure0))
            out0 = fullTest(view, c, x, y, otherwise, nearer0, farther0, unsure0);
        if (anyLane(unsure1))
            out1 = fullTest(view, c + w, x, y + 1, otherwise, nearer1, farther1, unsure1);
    }

    // The rest of at(), from the extremes `mn`, `mx` of the window of the
    // centre `sc` (its valid depths, and maybe the centre's own).
    QUORVEX_ALWAYS_INLINE VF settle(const Rows& r, size_t w, size_t i, const DepthImage& view, size_t c, int x, int y,
                                    VF otherwise, VF sc, VF mn, VF mx) const
    {
        const VI valid = sc > zero;
        const VF gap = maxParam(gapMm, gapRel * sc);
        const VI nearer = mn < sc - gap;
        const VI farther = mx > sc + gap;
        const VI edge = valid & (nearer | farther);
        const VF kept = select(valid, sc, otherwise);
        // Measured: the branch pays on every backend, also where about
        // every other vector of a noisy wall takes it.
        if (!anyLane(edge))
            return kept;
        const float* amid = r.amid + i;
        const float* aup = amid - w;
        const float* adn = amid + w;
        const VF a[8] = {load(aup - 1), load(aup), load(aup + 1), load(amid - 1),
                         load(amid + 1), load(adn - 1), load(adn), load(adn + 1)};
        VF brightest = zero;
        QUORVEX_UNROLL
        for (int k = 0; k < 8; ++k)
            brightest = maxAcc(brightest, a[k]);
        const VI unsure = edge & ((nearer & farther) | ~(load(amid) >= ratio * brightest));
        if (!anyLane(unsure))
            return kept;
        return fullTest(view, c, x, y, otherwise, nearer, farther, unsure);
    }

    // The full test of the lanes `open` the cheap tests left open (valid
    // pixels with an edge). A pixel on a smooth slope stays whatever its
    // neighbours' amplitudes, as does one the cheap tests settled, and one
    // between two surfaces is suspect whatever they are: in the AVX-512
    // build the slope comes first, and the brightest neighbour across the
    // gap is found only where a pixel's fate hangs on it.
    QUORVEX_ALWAYS_INLINE VF fullTest(const DepthImage& view, size_t c, int x, int y, VF otherwise, VI nearer,
                                      VI farther, VI open) const
    {
#if defined(QUORVEX_FILTER_KMASK)
        if (slopeFits && y >= 2 && y + 2 < view.height && x >= 2 && x + kLanes + 1 < view.width) {
            const size_t w = static_cast<size_t>(view.width);
            const float* up = view.depth + c - w;
            const float* mid = view.depth + c;
            const float* dn = view.depth + c + w;
            const VF sc = load(mid);
            const VI valid = sc > zero;
            const VF gap = maxParam(gapMm, gapRel * sc);
            const VF d[8] = {load(up - 1),  load(up), load(up + 1), load(mid - 1),
                             load(mid + 1), load(dn - 1), load(dn), load(dn + 1)};
            const VI between = nearer & farther;
            const VI smooth = smoothSlope(view.depth, c, w, sc, gap, d);
            VI suspect = open & between;
            if (anyLane(andNot(andNot(open, between), smooth))) {
                const VF lo = sc - gap;
                const VF hi = sc + gap;
                const float* amid = view.amplitude + c;
                const float* aup = amid - w;
                const float* adn = amid + w;
                const VF a[8] = {load(aup - 1),  load(aup), load(aup + 1), load(amid - 1),
                                 load(amid + 1), load(adn - 1), load(adn), load(adn + 1)};
                VF brightest = zero;
                QUORVEX_UNROLL
                for (int k = 0; k < 8; ++k)
                    brightest = maxKeepIf(brightest, (d[k] < lo) | (d[k] > hi), a[k]);
                const VI dimmed = (nearer | farther) & (load(amid) < ratio * brightest);
                suspect = valid & (between | dimmed);
            }
            return select(andNot(suspect, smooth), splat(dropped), select(valid, sc, otherwise));
        }
#else
        (void)open;
#endif
        return edgeAt(view, c, x, y, otherwise, nearer, farther);
    }

    // The full test, for a vector with a depth edge in some window, whose
    // `nearer` and `farther` the extremes already told (out of line where
    // QUORVEX_EDGE_INLINE says so).
    QUORVEX_EDGE_INLINE VF edgeAt(const DepthImage& view, size_t c, int x, int y, VF otherwise, VI nearer,
                                        VI farther) const
    {
        const size_t w = static_cast<size_t>(view.width);
        const float* up = view.depth + c - w;
        const float* mid = view.depth + c;
        const float* dn = view.depth + c + w;
        const VF sc = load(mid);
        const VI valid = sc > zero;
        const VF gap = maxParam(gapMm, gapRel * sc);
        const VF lo = sc - gap;
        const VF hi = sc + gap;
        const VF d[8] = {load(up - 1), load(up), load(up + 1), load(mid - 1),
                         load(mid + 1), load(dn - 1), load(dn), load(dn + 1)};
        const float* amp = view.amplitude;
        const float* aup = amp + c - w;
        const float* amid = amp + c;
        const float* adn = amp + c + w;
        const VF a[8] = {load(aup - 1), load(aup), load(aup + 1), load(amid - 1),
                         load(amid + 1), load(adn - 1), load(adn), load(adn + 1)};
        VF brightest = zero;
        QUORVEX_UNROLL
        for (int k = 0; k < 8; ++k)
            brightest = maxKeepIf(brightest, (d[k] < lo) | (d[k] > hi), a[k]);
        const VI between = nearer & farther;
        const VI dimmed = (nearer | farther) & (load(amid) < ratio * brightest);
        const VI suspect = valid & (between | dimmed);
        const VF kept = select(valid, sc, otherwise);
        if (!anyLane(suspect))
            return kept;
        const int h = view.height;
        if (slopeFits && y >= 2 && y + 2 < h && x >= 2 && x + kLanes + 1 < view.width) {
            const VI smooth = smoothSlope(view.depth, c, w, sc, gap, d);
            return select(andNot(suspect, smooth), splat(dropped), kept);
        }
        // Near the border the slope's line leaves the image: the plain
        // code's test, per pixel.
        uint32_t lanes[kLanes];
        float out[kLanes];
        storeMask(lanes, suspect);
        store(out, kept);
        for (int k = 0; k < kLanes; ++k) {
            if (lanes[k] && !flyingOnSmoothSlope(view, p, x + k, y))
                out[k] = dropped;
        }
        return load(out);
    }
};

// Whether each pixel lies on a smooth slope, as the plain code decides it,
// for pixels at least two away from the border: of the four lines through
// the pixel the steepest one whose two neighbours are valid (and steeper
// than the gap; the first of equals), then the bend at the centre and at
// one of its ends. NaN-coded depth makes every validity test part of a
// comparison. `d` is the window as in FlyingTerms::at.
QUORVEX_ALWAYS_INLINE VI smoothSlopeAt(const float* s, size_t c, size_t w, VF sc, VF gap, VF tol, const VF (&d)[8])
{
    // Lines as (minus side, plus side): along x, along y, the diagonal
    // down-right and the diagonal up-right.
    const VF m1s[4] = {d[3], d[1], d[0], d[5]};
    const VF p1s[4] = {d[4], d[6], d[7], d[2]};
    const float* mid = s + c;
    const VF m2s[4] = {load(mid - 2), load(mid - 2 * w), load(mid - 2 * w - 2), load(mid + 2 * w - 2)};
    const VF p2s[4] = {load(mid + 2), load(mid + 2 * w), load(mid + 2 * w + 2), load(mid - 2 * w + 2)};
    VF steepest = gap;
    VI found = zeroMask();
    VF m1 = sc, p1 = sc, m2 = sc, p2 = sc;
    QUORVEX_UNROLL
    for (int k = 0; k < 4; ++k) {
        const VF slope = p1s[k] - m1s[k];
#if defined(QUORVEX_FILTER_NEON32)
        // The magnitude's own instruction costs armv7 more than it saves
        // (some 800 instructions per HQVGA frame under qemu): there the
        // absolute comparison, and the magnitude by a select.
        const VI steeper = absAbove(slope, steepest);
        steepest = select(steeper, select(slope < splat(0.0f), splat(0.0f) - slope, slope), steepest);
#else
        // |slope| as the plain code's fabs: a steeper slope is never 0, so
        // the sign of a zero cannot reach `steepest`.
        const VF magnitude = absOf(slope);
        const VI steeper = magnitude > steepest;
        steepest = select(steeper, magnitude, steepest);
#endif
        found = found | steeper;
        m1 = select(steeper, m1s[k], m1);
        p1 = select(steeper, p1s[k], p1);
        m2 = select(steeper, m2s[k], m2);
        p2 = select(steeper, p2s[k], p2);
    }
    const VF two = splat(2.0f);
    const VI bent = absAbove(m1 + p1 - two * sc, tol);
    const VI minusSide = absAtMost(m2 + sc - two * m1, tol);
    const VI plusSide = absAtMost(p2 + sc - two * p1, tol);
    return andNot(found, bent) & (minusSide | plusSide);
}

QUORVEX_SLOPE_INLINE VI FlyingTerms::smoothSlope(const float* s, size_t c, size_t w, VF sc, VF gap, const VF (&d)[8]) const
{
    return smoothSlopeAt(s, c, w, sc, gap, gap * slopeTol, d);
}

// Row `y` of the flying-pixel stage from `view` (coded depth) into `out`:
// the depth where a pixel stays, `dropped` where it goes, and where it is
// invalid `original` (the stage's input, which may be `out` itself) or,
// without one, `dropped`. Reads `view` two rows either side.
QUORVEX_ALWAYS_INLINE void flyingRow(const FlyingTerms& t, const DepthImage& view, float* out, const float* original,
                                     int y)
{
    const int w = view.width;
    const size_t row = static_cast<size_t>(y) * static_cast<size_t>(w);
    const float* s = view.depth;
    // The border: pixel by pixel, on the window cut at the image's edge.
    auto border = [&](int x) {
        const size_t c = row + static_cast<size_t>(x);
        const float sc = s[c];
        out[c] = sc > 0.0f ? (flyingDrops(view, t.p, x, y) ? t.dropped : sc) : original ? original[c] : t.dropped;
    };
    if (y == 0 || y == view.height - 1) {
        for (int x = 0; x < w; ++x)
            border(x);
        return;
    }
    border(0);
    border(w - 1);
    if (original) {
        rowVectors(w, [&](int x) QUORVEX_LAMBDA_INLINE {
            const size_t c = row + static_cast<size_t>(x);
            store(out + c, t.at(view, c, x, y, load(original + c)));
        });
    } else {
        const VF drop = splat(t.dropped);
        rowVectors(w, [&](int x) QUORVEX_LAMBDA_INLINE {
            const size_t c = row + static_cast<size_t>(x);
            store(out + c, t.at(view, c, x, y, drop));
        });
    }
}

struct SpatialTerms {
    VF deltaMm, deltaRel, zero;

    explicit SpatialTerms(const FilterParams& p)
        : deltaMm(splat(p.spatialDeltaMm)), deltaRel(splat(p.spatialDeltaRel)), zero(splat(0.0f))
    {
    }

    // The spatial mean of the pixels from `c` in NaN-coded `s`; where the
    // centre is invalid, `otherwise`.
    // `finiteDepth`: every valid depth is finite (the confidence stage ran),
    // so the centre is always within the delta of itself.
    template <bool finiteDepth = false>
    QUORVEX_ALWAYS_INLINE VF at(const float* s, size_t c, size_t w, VF otherwise) const
    {
        return rowsAt<finiteDepth>(s + c - w, s + c, s + c + w, otherwise);
    }

    // The same from the pixels at `mid` of one row and those above and
    // below them.
    template <bool finiteDepth = false>
    QUORVEX_ALWAYS_INLINE VF rowsAt(const float* up, const float* mid, const float* dn, VF otherwise) const
    {
        const VF sc = load(mid);
        const VI valid = sc > zero;
        const VF delta = maxParam(deltaMm, deltaRel * sc);
        const VF d[9] = {load(up - 1),  load(up), load(up + 1), load(mid - 1), sc,
                         load(mid + 1), load(dn - 1), load(dn), load(dn + 1)};
        VF part = zero;
        VC count = zeroCount();
        QUORVEX_UNROLL
        for (int k = 0; k < 9; ++k) {
            if (finiteDepth && k == 4) {
                // Where the centre is invalid the sum is not used.
                part = part + sc;
                count = countUp(count, valid);
                continue;
            }
            const VI same = absAtMost(d[k] - sc, delta);
            part = addIf(part, same, d[k]);
            count = countUp(count, same);
        }
        return select(valid, divide(part, count), otherwise);
    }
};

void flyingVector(const DepthImage& img, const FilterParams& p, const FilterPlanes& planes)
{
    if (!flyingFits(img, p)) {
        flyingScalar(img, p, planes);
        return;
    }
    float* const scratch = planes.scratch;
    coded(img, p, scratch);
    const DepthImage view{scratch, img.amplitude, img.width, img.height, img.rangeMm};
    const FlyingTerms t(p, 0.0f);
    for (int y = 0; y < img.height; ++y)
        flyingRow(t, view, img.depth, img.depth, y);
}

void spatialVector(const DepthImage& img, const FilterParams& p, const FilterPlanes& planes)
{
    if (!spatialFits(img, p)) {
        spatialScalar(img, p, planes);
        return;
    }
    float* const scratch = planes.scratch;
    coded(img, p, scratch);
    const SpatialTerms t(p);
    const size_t w = static_cast<size_t>(img.width);
    for (int y = 1; y + 1 < img.height; ++y) {
        const size_t row = static_cast<size_t>(y) * w;
        rowVectors(img.width, [&](int x) QUORVEX_LAMBDA_INLINE {
            const size_t c = row + static_cast<size_t>(x);
            // An invalid centre keeps its own value, as in the plain code;
            // reading it back is safe: the mean is written only where the
            // centre is valid.
            store(img.depth + c, t.at(scratch, c, w, load(img.depth + c)));
        });
    }
}

#define QUORVEX_FILTER_VECTOR_STAGE(flag, plain, vector) {#flag, &FilterParams::flag, plain, vector},
const FilterStage kVectorStages[] = {QUORVEX_FILTER_STAGES(QUORVEX_FILTER_VECTOR_STAGE)};
#undef QUORVEX_FILTER_VECTOR_STAGE

// Measured (instructions under qemu, time on x86): the temporal average in
// the spatial mean's pass saves 33 K instructions per HQVGA frame on
// aarch64, but costs armv7 97 K (its sixteen vector registers spill) and
// x86 a tenth of the chain's time.
#if defined(__aarch64__)
constexpr bool kFuseTemporal = true;
#else
constexpr bool kFuseTemporal = false;
#endif
// The same for the amplitude's copy into the padded plane inside the point
// stages' pass: 29 K fewer on aarch64, 31 K more on armv7.
#if defined(QUORVEX_FILTER_NEON32)
constexpr bool kFuseAmplitudeCopy = false;
#else
constexpr bool kFuseAmplitudeCopy = true;
#endif
// Two rows per pass of the flying-pixel test and of the spatial mean,
// sharing the loads (and the extremes) of the rows their windows have in
// common. Measured per HQVGA frame: the flying-pixel pairs save 136 K
// instructions on aarch64 and 80 K on armv7, the spatial pairs 32 K on
// aarch64 but cost armv7 100 K (spills); on x86 both together take a few
// per cent off the chain's time.
#if defined(QUORVEX_FILTER_NEON32)
constexpr bool kPairFlying = true;
constexpr bool kPairSpatial = false;
#else
constexpr bool kPairFlying = true;
constexpr bool kPairSpatial = true;
#endif

// The default chain's shape (point stages, flying pixels, spatial, then
// temporal, holes or not) in one sweep down the frame, each pass a few rows
// behind the one before so that the rows it reads are still in the cache:
// the point stages from the source into a coded plane, the flying-pixel
// test from that into a ring of rows, then the spatial mean and the
// temporal average into the depth. Other shapes walk the stage table.
//
// The coded depth and a copy of the amplitude lie in planes with a margin
// of kFilterMargin invalid pixels around the image: a window cut at the
// image's edge and one whose outer pixels are invalid are judged alike
// (neither proves an edge nor continues a slope), so the border takes the
// vector code too.
void chainVector(const DepthImage& img, const float* source, const FilterParams& p, const FilterPlanes& planes)
{
    if (!(p.flying && p.spatial) || !flyingFits(img, p) || !spatialFits(img, p) || !pointFits(img, p) ||
        (p.temporal && !temporalFits(p))) {
        runFilterStages(kVectorStages, true, img, source, p, planes);
        return;
    }
    constexpr int m = kFilterMargin;
    const int w = img.width;
    const int h = img.height;
    const size_t sw = static_cast<size_t>(w);
    const size_t pw = sw + 2 * m;
    const size_t padded = pw * static_cast<size_t>(h + 2 * m);
    float* const coded = planes.scratch;
    float* const amp = planes.spare;
    // Four rows of the flying-pixel stage's result (three are read at a
    // time, one is written), each with one pixel either side.
    float* const ring = planes.spare + padded;
    auto ringRow = [&](int y) { return ring + static_cast<size_t>(y & 3) * pw + m; };

    // The margin: invalid depth, and an amplitude that is never read as a
    // neighbour's across a gap (its depth is invalid) but bounds the
    // brightest one, which 0 does.
    const VF code = invalidCode();
    const VF zero = splat(0.0f);
    auto fillRows = [&](size_t from, size_t to) {
        pointwiseTwiceSafe((to - from) * pw, [&](size_t i) QUORVEX_LAMBDA_INLINE {
            store(coded + from * pw + i, code);
            store(amp + from * pw + i, zero);
        });
    };
    fillRows(0, m);
    fillRows(static_cast<size_t>(h) + m, static_cast<size_t>(h) + 2 * m);

    const ConfidenceTerms ct(img, p);
    const AliasTerms al(img, p);
    auto pointRow = [&](int y) {
        const size_t row = static_cast<size_t>(y) * sw;
        float* const c = coded + static_cast<size_t>(y + m) * pw;
        float* const a = amp + static_cast<size_t>(y + m) * pw;
        for (int k = 0; k < m; ++k) {
            c[k] = c[pw - 1 - k] = invalidCodeScalar();
            a[k] = a[pw - 1 - k] = 0.0f;
        }
        const float* d = source + row;
        const float* ai = img.amplitude + row;
        float* const ampOut = kFuseAmplitudeCopy ? a + m : nullptr;
        if (!kFuseAmplitudeCopy)
            __builtin_memcpy(a + m, ai, sizeof(float) * sw);
        // The switches decided once per row, outside the pixel loop.
        if (p.confidence && p.aliasing)
            codedRange<On, On, On>(ct, al, d, ai, c + m, sw, ampOut);
        else if (p.confidence)
            codedRange<On, On, Off>(ct, al, d, ai, c + m, sw, ampOut);
        else if (p.aliasing)
            codedRange<On, Off, On>(ct, al, d, ai, c + m, sw, ampOut);
        else
            codedRange<On, Off, Off>(ct, al, d, ai, c + m, sw, ampOut);
    };

    // The flying-pixel test on the padded planes: every pixel of the image
    // is at least kFilterMargin from their edge.
    const DepthImage view{coded, amp, static_cast<int>(pw), h + 2 * m, img.rangeMm};
    const FlyingTerms ft(p, __builtin_nanf(""));
    const VF drop = splat(__builtin_nanf(""));
    auto flyingRowPadded = [&](int y) {
        const size_t row = static_cast<size_t>(y + m) * pw + m;
        float* const out = ringRow(y);
        out[-1] = out[w] = __builtin_nanf("");
        const int last = w - kLanes;
        const FlyingTerms::Rows rows{coded + row - pw, coded + row, amp + row};
        auto one = [&](int x) QUORVEX_LAMBDA_INLINE {
            const size_t i = static_cast<size_t>(x);
            store(out + x, ft.at(rows, pw, i, view, row + i, x + m, y + m, drop));
        };
        for (int x = 0; x < last; x += kLanes)
            one(x);
        one(last);
    };
    // Rows y and y + 1 in one pass.
    auto flyingPairPadded = [&](int y) {
        const size_t row = static_cast<size_t>(y + m) * pw + m;
        float* const out0 = ringRow(y);
        float* const out1 = ringRow(y + 1);
        out0[-1] = out0[w] = out1[-1] = out1[w] = __builtin_nanf("");
        const int last = w - kLanes;
        const FlyingTerms::Rows rows{coded + row - pw, coded + row, amp + row};
        auto two = [&](int x) QUORVEX_LAMBDA_INLINE {
            const size_t i = static_cast<size_t>(x);
            VF f0, f1;
            ft.atPair(rows, pw, i, view, row + i, x + m, y + m, drop, f0, f1);
            store(out0 + x, f0);
            store(out1 + x, f1);
        };
        for (int x = 0; x < last; x += kLanes)
            two(x);
        two(last);
    };

    const SpatialTerms spatial(p);
    const TemporalTerms temporal(p);
    // The spatial mean of `rows` rows from y (1 or 2: the second shares
    // two of the first one's window rows), and where kFuseTemporal says so
    // with the temporal stage on its average in the same pass (the mean is
    // never stored and read back). The row's last vector overlaps the one
    // before it: its averages are read before that one steps them, so that
    // no pixel is stepped twice.
    auto spatialRows = [&](int y, auto finiteDepth, auto temporalOn, auto pair) {
        constexpr bool finite = decltype(finiteDepth)::value;
        constexpr bool two = decltype(pair)::value;
        // As in codedRange: the terms in registers through the loop.
        const SpatialTerms st = spatial;
        const TemporalTerms tt = temporal;
        const float* up = ringRow(y - 1);
        const float* mid = ringRow(y);
        const float* dn = ringRow(y + 1);
        const float* dn2 = two ? ringRow(y + 2) : nullptr;
        float* const d0 = img.depth + static_cast<size_t>(y) * sw;
        float* const avg0 = planes.average + static_cast<size_t>(y) * sw;
        float* const d1 = d0 + sw;
        float* const avg1 = avg0 + sw;
        const int last = w - 1 - kLanes;
        if (!decltype(temporalOn)::value) {
            // Both means before either store: the loads of their shared
            // rows are then one.
            rowVectors(w, [&](int x) QUORVEX_LAMBDA_INLINE {
                const VF mean0 = st.rowsAt<finite>(up + x, mid + x, dn + x, zero);
                if (two)
                    store(d1 + x, st.rowsAt<finite>(mid + x, dn + x, dn2 + x, zero));
                store(d0 + x, mean0);
            });
            return;
        }
        const VF lastAverage0 = load(avg0 + last);
        const VF lastAverage1 = two ? load(avg1 + last) : zero;
        auto one = [&](int x, VF m0, VF m1) QUORVEX_LAMBDA_INLINE {
            const VF next0 = tt.step(st.rowsAt<finite>(up + x, mid + x, dn + x, zero), m0);
            if (two) {
                const VF next1 = tt.step(st.rowsAt<finite>(mid + x, dn + x, dn2 + x, zero), m1);
                store(avg1 + x, next1);
                store(d1 + x, next1);
            }
            store(avg0 + x, next0);
            store(d0 + x, next0);
        };
        for (int x = 1; x < last; x += kLanes)
            one(x, load(avg0 + x), two ? load(avg1 + x) : zero);
        one(last, lastAverage0, lastAverage1);
    };
    // Rows y to y + count - 1 (count 2 only for two inner rows) of the
    // depth from the flying-pixel rows.
    auto lastRows = [&](int y, int count) {
        // The spatial stage leaves the border as the flying-pixel stage
        // left it, invalid pixels 0.
        if (y == 0 || y == h - 1) {
            float* const d = img.depth + static_cast<size_t>(y) * sw;
            const float* f = ringRow(y);
            for (size_t x = 0; x < sw; ++x)
                d[x] = f[x] > 0.0f ? f[x] : 0.0f;
            if (p.temporal)
                temporalRange(temporal, d, planes.average + static_cast<size_t>(y) * sw, sw);
            return;
        }
        for (int k = 0; k < count; ++k) {
            float* const d = img.depth + static_cast<size_t>(y + k) * sw;
            const float* f = ringRow(y + k);
            d[0] = f[0] > 0.0f ? f[0] : 0.0f;
            d[sw - 1] = f[sw - 1] > 0.0f ? f[sw - 1] : 0.0f;
            if (p.temporal && kFuseTemporal) {
                float* const avg = planes.average + static_cast<size_t>(y + k) * sw;
                temporalRange(temporal, d, avg, 1);
                temporalRange(temporal, d + sw - 1, avg + sw - 1, 1);
            }
        }
        auto run = [&](auto pair) {
            if (p.temporal && kFuseTemporal) {
                if (p.confidence)
                    spatialRows(y, On{}, On{}, pair);
                else
                    spatialRows(y, Off{}, On{}, pair);
            } else if (p.confidence) {
                spatialRows(y, On{}, Off{}, pair);
            } else {
                spatialRows(y, Off{}, Off{}, pair);
            }
        };
        if (count == 2)
            run(Switch<kPairSpatial>{});
        else
            run(Off{});
        if (p.temporal && !kFuseTemporal)
            temporalRange(temporal, img.depth + static_cast<size_t>(y) * sw,
                          planes.average + static_cast<size_t>(y) * sw, sw * static_cast<size_t>(count));
    };
    // One sweep down the frame: rows of the source coded up to two below
    // the flying-pixel rows being tested (their slope test reads that far),
    // and rows of the depth filtered as soon as the flying-pixel rows
    // either side of them are there. The ring holds four of those: a row
    // is tested only once the one four above it is no longer read. In
    // place, the depth's row r is written after the source's row r was read.
    int codedRows = 0;
    int filteredRows = 0;
    auto codeTo = [&](int rows) {
        for (; codedRows < std::min(rows, h); ++codedRows)
            pointRow(codedRows);
    };
    auto filterTo = [&](int flown) {
        while (filteredRows < h) {
            const int y = filteredRows;
            // Pairs of inner rows where the backend takes them so.
            const bool pair = kPairSpatial && y >= 1 && y + 2 <= h - 1;
            const int count = pair ? 2 : 1;
            if (flown < std::min(y + count + 1, h))
                return;
            lastRows(y, count);
            filteredRows += count;
        }
    };
    for (int y = 0; y < h;) {
        if (kPairFlying && y + 1 < h) {
            codeTo(y + 4);
            flyingPairPadded(y);
            y += 2;
        } else {
            codeTo(y + 3);
            flyingRowPadded(y);
            y += 1;
        }
        filterTo(y);
    }
    if (p.holes)
        holesScalar(img, p, planes);
}

const FilterKernels kVectorKernels{kVectorStages, chainVector};

} // namespace
} // namespace Quorvex::detail
