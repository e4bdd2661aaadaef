#include "device/PhaseToDepth.h"

#include <cmath>

namespace Quorvex {

namespace {

constexpr float kTwoPi = 6.2831855f;
constexpr float kFourPi = 12.566371f;
constexpr float kSpeedOfLight = 300000000.0f;
constexpr float kMetresToMm = 1000.0f;

} // namespace

void repackPhasePlanes(const uint16_t* raw, int16_t* out, size_t width, size_t rows, size_t planes,
                       unsigned shift)
{
    const size_t planeWords = width * rows;
    for (size_t i = 0; i < rows; ++i) {
        for (size_t k = 0; k < planes; ++k) {
            const uint16_t* src = raw + k * planeWords + i * width;
            int16_t* dst = out + (planes * i + k) * width;
            for (size_t c = 0; c < width; ++c)
                dst[c] = static_cast<int16_t>(decodeSample(src[c], shift));
        }
    }
}

void phaseToDepth(const uint16_t* raw, float* depth, float* amp, float* conf, size_t pixels,
                  unsigned shift, bool nearPairing, float freq)
{
    const uint16_t* p0 = raw;
    const uint16_t* p1 = raw + pixels;
    const uint16_t* p2 = raw + 2 * pixels;
    const uint16_t* p3 = raw + 3 * pixels;
    // Hoisting the scale keeps the evaluation order of the depth expression
    // (scale * phase) * 1000 intact; it is the same float every pixel.
    const float scale = kSpeedOfLight / (freq * kFourPi);

    for (size_t n = 0; n < pixels; ++n) {
        const int32_t s0 = decodeSample(p0[n], shift);
        const int32_t s1 = decodeSample(p1[n], shift);
        const int32_t s2 = decodeSample(p2[n], shift);
        const int32_t s3 = decodeSample(p3[n], shift);
        // The two pairings sample the correlation a quarter cycle apart.
        const int32_t y = nearPairing ? s1 - s3 : s2 - s0;
        const int32_t x = nearPairing ? s2 - s0 : s3 - s1;

        float phase = static_cast<float>(std::atan2(static_cast<double>(y), static_cast<double>(x)));
        if (phase < 0.0f)
            phase += kTwoPi;
        depth[n] = scale * phase * kMetresToMm;

        const double xd = x;
        const double yd = y;
        const float a = static_cast<float>(0.5 * std::sqrt(xd * xd + yd * yd));
        amp[n] = a;
        conf[n] = a;
    }
}

} // namespace Quorvex
