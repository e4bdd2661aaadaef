#include "device/PhaseToDepth.h"

#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "device/PhaseToDepthKernels.h"

namespace Quorvex {

namespace {

constexpr float kTwoPi = 6.2831855f;
constexpr float kFourPi = 12.566371f;
constexpr float kSpeedOfLight = 300000000.0f;
constexpr float kMetresToMm = 1000.0f;

bool canRun(PhaseToDepthBackend backend)
{
    switch (backend) {
    case PhaseToDepthBackend::SCALAR:
        return true;
    case PhaseToDepthBackend::AVX2:
        // Every AVX2 CPU made so far also has FMA, but the two are separate
        // feature bits and the kernel uses both.
        return cpuHasAvx2() && cpuHasFma();
    case PhaseToDepthBackend::NEON:
        // 32-bit Raspberry Pi OS also runs on cores without NEON (ARM11),
        // so the build cannot assume it.
        return cpuHasNeon();
    }
    return false;
}

} // namespace

namespace detail {

void phaseToDepthScalar(const PhasePlanes& in, const DepthPlanes& out, size_t begin, size_t end,
                        unsigned shift)
{
    for (size_t n = begin; n < end; ++n) {
        const int32_t y = decodeSample(in.yPlus[n], shift) - decodeSample(in.yMinus[n], shift);
        const int32_t x = decodeSample(in.xPlus[n], shift) - decodeSample(in.xMinus[n], shift);

        float phase = static_cast<float>(std::atan2(static_cast<double>(y), static_cast<double>(x)));
        if (phase < 0.0f)
            phase += kTwoPi;
        out.depth[n] = out.scale * phase * kMetresToMm;

        const double xd = x;
        const double yd = y;
        const float a = static_cast<float>(0.5 * std::sqrt(xd * xd + yd * yd));
        out.amp[n] = a;
        out.conf[n] = a;
    }
}

} // namespace detail

namespace detail {

void decodeRowPlain(const uint16_t* src, int16_t* dst, size_t width, unsigned shift)
{
    size_t c = 0;
#if defined(__SSE2__)
    // Every x86-64 CPU has SSE2. The sample's sign bit moved to bit 15 and
    // back down by one: sign extension and the factor 16 in two shifts.
    const __m128i count = _mm_cvtsi32_si128(static_cast<int>(shift));
    for (; c + 8 <= width; c += 8) {
        const __m128i w = _mm_srl_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + c)), count);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + c), _mm_srai_epi16(_mm_slli_epi16(w, 5), 1));
    }
#endif
    for (; c < width; ++c)
        dst[c] = static_cast<int16_t>(decodeSample(src[c], shift));
}

} // namespace detail

void repackPhasePlanes(const uint16_t* raw, int16_t* out, size_t width, size_t rows, size_t planes,
                       unsigned shift)
{
    // Chosen once, as the phase-to-depth backend is.
#if defined(__x86_64__)
    static const auto decodeRow = canRun(PhaseToDepthBackend::AVX2) ? detail::decodeRowAvx2 : detail::decodeRowPlain;
#elif defined(__arm__) || defined(__aarch64__)
    static const auto decodeRow = canRun(PhaseToDepthBackend::NEON) ? detail::decodeRowNeon : detail::decodeRowPlain;
#else
    const auto decodeRow = detail::decodeRowPlain;
#endif
    const size_t planeWords = width * rows;
    for (size_t i = 0; i < rows; ++i) {
        for (size_t k = 0; k < planes; ++k)
            decodeRow(raw + k * planeWords + i * width, out + (planes * i + k) * width, width, shift);
    }
}

std::vector<PhaseToDepthBackend> phaseToDepthBackends()
{
    return usableBackends(canRun);
}

bool phaseToDepthWith(PhaseToDepthBackend backend, const uint16_t* raw, float* depth, float* amp,
                      float* conf, size_t pixels, unsigned shift, bool nearPairing, float freq)
{
    if (!canRun(backend))
        return false;
    const uint16_t* p0 = raw;
    const uint16_t* p1 = raw + pixels;
    const uint16_t* p2 = raw + 2 * pixels;
    const uint16_t* p3 = raw + 3 * pixels;
    // The two pairings sample the correlation a quarter cycle apart.
    const detail::PhasePlanes in = nearPairing ? detail::PhasePlanes{p1, p3, p2, p0}
                                               : detail::PhasePlanes{p2, p0, p3, p1};
    // Hoisting the scale keeps the evaluation order of the depth expression
    // (scale * phase) * 1000 intact; it is the same float every pixel.
    const detail::DepthPlanes out{depth, amp, conf, kSpeedOfLight / (freq * kFourPi)};

    switch (backend) {
    case PhaseToDepthBackend::SCALAR:
        detail::phaseToDepthScalar(in, out, 0, pixels, shift);
        return true;
    case PhaseToDepthBackend::AVX2:
#if defined(__x86_64__)
        detail::phaseToDepthAvx2(in, out, pixels, shift);
        return true;
#else
        return false;
#endif
    case PhaseToDepthBackend::NEON:
#if defined(__arm__) || defined(__aarch64__)
        detail::phaseToDepthNeon(in, out, pixels, shift);
        return true;
#else
        return false;
#endif
    }
    return false;
}

void phaseToDepth(const uint16_t* raw, float* depth, float* amp, float* conf, size_t pixels,
                  unsigned shift, bool nearPairing, float freq)
{
    // Probed once; the capture thread calls this for every frame.
    static const PhaseToDepthBackend backend = fastestBackend(canRun);
    phaseToDepthWith(backend, raw, depth, amp, conf, pixels, shift, nearPairing, freq);
}

} // namespace Quorvex
