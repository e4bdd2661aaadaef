#include "sim/VgaFrames.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "vendor/libsi4c/si4c.h"

namespace Quorvex::sim {

namespace {

constexpr int kSubFrames = SI4C_SUBFRAMES_PER_FREQ;

void writeEmbeddedRow(uint16_t* row, int width, int freqIndex, int subFrame, double freqHz)
{
    std::fill(row, row + width, 0);
    row[0] = SI4C_EMBEDDED_MARKER;
    row[1] = static_cast<uint16_t>(freqIndex);
    row[2] = static_cast<uint16_t>(subFrame);
    row[3] = static_cast<uint16_t>(std::lround(freqHz / 1e5));
}

uint16_t clampSample(double v, const CorrelationModel& model)
{
    v = std::min<double>(model.maxSample, std::max<double>(model.minSample, std::nearbyint(v)));
    return static_cast<uint16_t>(v);
}

// The raw layout both renderers fill: per frequency, four sub-frames, each an
// embedded row and then the image. `fill(freqIndex, subFrame, freqHz, image,
// pixels)` writes one sub-frame's image.
template <typename Fill>
void forEachSubFrame(uint16_t* out, int width, int height, bool singleFreq, Fill fill)
{
    const double freqs[2] = {SI4C_FREQ1_HZ, SI4C_FREQ2_HZ};
    const size_t rowWords = static_cast<size_t>(width);
    const size_t subFrameWords = rowWords * static_cast<size_t>(height + 1);
    const size_t pixels = rowWords * static_cast<size_t>(height);
    const int freqCount = singleFreq ? 1 : 2;
    for (int f = 0; f < freqCount; ++f) {
        for (int s = 0; s < kSubFrames; ++s) {
            uint16_t* sub = out + (static_cast<size_t>(f) * kSubFrames + s) * subFrameWords;
            writeEmbeddedRow(sub, width, f, s, freqs[f]);
            fill(f, s, freqs[f], sub + rowWords, pixels);
        }
    }
}

} // namespace

CorrelationModel vgaCorrelationModel()
{
    CorrelationModel m;
    m.gainAt1m = 600.0;
    m.offset = 2048.0;
    m.minSample = 0;
    m.maxSample = SI4C_SAMPLE_MAX;
    return m;
}

int vgaRawRows(int height, bool singleFreq)
{
    return (height + 1) * kSubFrames * (singleFreq ? 1 : 2);
}

size_t vgaFrameWords(int width, int height, bool singleFreq)
{
    return static_cast<size_t>(width) * static_cast<size_t>(vgaRawRows(height, singleFreq));
}

bool renderVgaFrame(const Scene& scene, int width, int height, bool singleFreq, uint16_t* out,
                    const VgaLight& light, NoiseSource* noise)
{
    if (scene.width != width || scene.height != height || width <= 0 || height <= 0)
        return false;
    forEachSubFrame(out, width, height, singleFreq,
                    [&](int, int s, double freqHz, uint16_t* image, size_t pixels) {
        for (size_t n = 0; n < pixels; ++n) {
            const ScenePixel& px = scene.pixels[n];
            const double ambient = light.ambient * px.reflectivity;
            if (s == kSubFrames - 1) {
                double v = ambient;
                if (noise && light.model.noise > 0.0)
                    v += light.model.noise * noise->gaussian();
                image[n] = clampSample(v, light.model);
                continue;
            }
            // Ambient light lifts all four phase samples alike.
            CorrelationModel model = light.model;
            model.offset += ambient;
            image[n] = static_cast<uint16_t>(correlationSample(px, freqHz, static_cast<unsigned>(s), model, noise));
        }
    });
    return true;
}

bool renderVgaFrame(PhysicalWorld& world, uint64_t frame, bool singleFreq, uint16_t* out, NoiseSource& noise)
{
    const int width = world.width();
    const int height = world.height();
    if (width <= 0 || height <= 0)
        return false;
    const CorrelationModel adc = vgaCorrelationModel();
    forEachSubFrame(out, width, height, singleFreq,
                    [&](int f, int s, double freqHz, uint16_t* image, size_t pixels) {
        const std::vector<PixelLight>& light =
            world.subFrameLight(freqHz, frame, static_cast<unsigned>(f * kSubFrames + s));
        if (world.cancelled())
            return;
        if (s == kSubFrames - 1) {
            for (size_t n = 0; n < pixels; ++n)
                image[n] = static_cast<uint16_t>(world.ambientSample(light[n], adc.maxSample, noise));
            return;
        }
        const double theta = s * (kPi / 2.0);
        const double c = std::cos(theta), sn = std::sin(theta);
        for (size_t n = 0; n < pixels; ++n) {
            const double offset = adc.offset + light[n].ambient / kElectronsPerLsb;
            image[n] = static_cast<uint16_t>(
                world.sample(light[n], c, sn, offset, adc.minSample, adc.maxSample, noise));
        }
    });
    return !world.cancelled();
}

} // namespace Quorvex::sim
