#include "bench/BenchReference.h"

#include <cmath>

#include "sim/SceneModel.h"
#include "sim/SensorPhysics.h"

extern "C" {

void quorvexBenchFrame(uint16_t* raw, unsigned shift)
{
    using namespace Quorvex::sim;
    SceneParams params;
    params.depthNoiseMm = 2.0;
    const Scene scene = makeScene(SceneKind::BOX, kHqvgaWidth, kHqvgaHeight, params);
    CorrelationModel model;
    model.noise = 3.0;
    NoiseSource noise(11);
    renderHqvgaSubFrames(scene, 37500000.0, 4000, shift, raw, model, &noise);
}

void quorvexPlainPhaseToDepth(const uint16_t* raw, float* depth, float* amp, float* conf,
                              size_t pixels, unsigned shift, int nearPairing, float freq)
{
    const uint16_t* p0 = raw;
    const uint16_t* p1 = raw + pixels;
    const uint16_t* p2 = raw + 2 * pixels;
    const uint16_t* p3 = raw + 3 * pixels;
    const float scale = 300000000.0f / (freq * 12.566371f);
    auto decode = [shift](uint16_t w) {
        const int32_t v = static_cast<int32_t>((static_cast<uint32_t>(w) >> shift) & 0x7FFu);
        return ((v ^ 0x400) - 0x400) * 16;
    };
    for (size_t n = 0; n < pixels; ++n) {
        const int32_t s0 = decode(p0[n]), s1 = decode(p1[n]), s2 = decode(p2[n]), s3 = decode(p3[n]);
        const int32_t y = nearPairing ? s1 - s3 : s2 - s0;
        const int32_t x = nearPairing ? s2 - s0 : s3 - s1;
        float phase = static_cast<float>(std::atan2(static_cast<double>(y), static_cast<double>(x)));
        if (phase < 0.0f)
            phase += 6.2831855f;
        depth[n] = scale * phase * 1000.0f;
        const double xd = x, yd = y;
        const float a = static_cast<float>(0.5 * std::sqrt(xd * xd + yd * yd));
        amp[n] = a;
        conf[n] = a;
    }
}

void quorvexBenchDepthFrame(int width, int height, float* depth, float* amp)
{
    using namespace Quorvex::sim;
    constexpr double kFreq = 37500000.0;
    constexpr double kRangeMm = 4000.0;
    constexpr double kTwoPi = 6.283185307179586;
    PhysicsSettings settings;
    settings.realistic = true;
    PhysicalWorld world(SceneKind::BOX, SceneParams{}, width, height, settings);
    const std::vector<PixelLight>& light = world.lightAt(kFreq, 0, 0.0);
    NoiseSource noise(29);
    for (size_t i = 0; i < light.size(); ++i) {
        // Each sample's noise (shot noise of both taps and read noise, in
        // sample units) reaches each component of Z halved twice over the
        // difference of two samples.
        const PixelLight& l = light[i];
        const double electrons = l.ambient + kElectronsPerLsb * l.total;
        const double sigma = std::sqrt(electrons + settings.readNoiseE * settings.readNoiseE) /
                             kElectronsPerLsb * std::sqrt(0.5);
        const double re = l.re + sigma * noise.gaussian();
        const double im = l.im + sigma * noise.gaussian();
        double phase = std::atan2(im, re);
        if (phase < 0.0)
            phase += kTwoPi;
        depth[i] = static_cast<float>(phase / kTwoPi * kRangeMm);
        // The decoders' amplitude unit: 16 per sample unit.
        amp[i] = static_cast<float>(16.0 * std::sqrt(re * re + im * im));
    }
}

} // extern "C"
