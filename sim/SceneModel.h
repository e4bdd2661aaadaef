#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Simulated world: a known scene and the correlation samples a four-phase
// time-of-flight module would report for it. Written from the physics alone
// (nothing here calls the library's decoders), so the decoders can be checked
// against ground truth.
//
// Physics used throughout:
//   - light travels to the target and back: phase = 4*pi*f*d / c, with the
//     true speed of light c = 299,792,458 m/s and d the radial distance from
//     the camera centre;
//   - a correlation sample taken with the reference advanced by theta is
//         offset + A * cos(phase + theta),
//     theta = step * 90 degrees for step 0..3;
//   - A = gain * reflectivity / d^2 (d in metres): the returned light falls
//     off with the square of the distance; `reflectivity` already holds the
//     cosine of the incidence angle;
//   - samples are rounded to the nearest integer and saturate at the ends
//     of the 11-bit two's-complement range (-1024 ... 1023).
//
// The 240 x 180 module delivers four sub-frames P0..P3 per frame. The
// device pairs them as y = P2 - P0, x = P3 - P1 except in the 2000 mm range,
// where it uses y = P1 - P3, x = P2 - P0. Since step 0 gives A*cos(phase),
// step 1 -A*sin, step 2 -A*cos and step 3 A*sin, atan2(y, x) yields the
// phase exactly when the sub-frames carry these steps:
//
//   | range           | P0           | P1           | P2           | P3           |
//   |-----------------|--------------|--------------|--------------|--------------|
//   | 2000 mm         | step 2, 180° | step 3, 270° | step 0, 0°   | step 1, 90°  |
//   | any other range | step 1, 90°  | step 2, 180° | step 3, 270° | step 0, 0°   |
//
// i.e. sub-frame k carries step (k + 2) mod 4 in the 2000 mm range and
// (k + 1) mod 4 otherwise: the two orders differ by a quarter cycle.
// `hqvgaSubFrameStep` encodes this table.
//
// Word encoding: the sample is written as a 12-bit two's-complement value
// (bit 11 repeats the sign) in bits shift .. shift + 11 of a 16-bit word;
// the other bits are zero. Shift 4 matches the Jetson boards, whose
// receiver hands the 12-bit pixel over four bits up; shift 0 the others.

namespace Quorvex::sim {

constexpr double kSpeedOfLight = 299792458.0; // m/s
constexpr double kPi = 3.14159265358979323846;

// One pixel of a scene: radial distance from the camera centre (mm, > 0)
// and the fraction of light it sends back towards the camera (0 ... 1).
struct ScenePixel {
    float depthMm;
    float reflectivity;
};

// A scene as the camera sees it: row-major pixels, `width` x `height`.
struct Scene {
    Scene() = default;
    Scene(int w, int h) : width(w), height(h), pixels(static_cast<size_t>(w) * h) {}

    ScenePixel& at(int x, int y) { return pixels[static_cast<size_t>(y) * width + x]; }
    const ScenePixel& at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }

    int width = 0;
    int height = 0;
    std::vector<ScenePixel> pixels;
};

enum class SceneKind {
    // A plane facing the camera at `distance` mm, turned about the vertical
    // axis so that the depth grows from left to right.
    TILTED_WALL,
    // A bright sphere in front of a grey wall.
    SPHERE,
    // A box with three visible faces of different brightness in front of a
    // grey wall.
    BOX,
};

// Parameters of the built-in scenes. Distances in mm. The camera is a
// pinhole with its optical axis through the image centre and the given
// horizontal field of view.
struct SceneParams {
    double fieldOfViewDeg = 60.0;
    double distanceMm = 1500.0;   // wall at the centre (TILTED_WALL) or background wall
    double tiltDeg = 35.0;        // TILTED_WALL
    double objectDistanceMm = 1000.0; // centre of the sphere or front face of the box
    double objectSizeMm = 350.0;  // sphere radius or half the box's edge
    float wallAlbedo = 0.6f;
    float objectAlbedo = 0.9f;
    // Gaussian depth noise (standard deviation in mm), 0 for none; drawn
    // from `seed` so a scene is reproducible.
    double depthNoiseMm = 0.0;
    uint64_t seed = 1;
};

Scene makeScene(SceneKind kind, int width, int height, const SceneParams& params = {});

// Reproducible Gaussian noise (splitmix64 + Box-Muller), identical on every
// platform for a given seed.
class NoiseSource {
public:
    explicit NoiseSource(uint64_t seed) : state(seed) {}
    // Uniform in (0, 1].
    double uniform();
    // Standard normal.
    double gaussian();

private:
    uint64_t state;
    bool haveSpare = false;
    double spare = 0.0;
};

// Sensor side of the model: how light becomes a sample.
struct CorrelationModel {
    // Amplitude in sample units of a perfect reflector at 1 m.
    double gainAt1m = 400.0;
    // Common offset of all four samples (ambient light, dark level); it
    // cancels in the differences the decoders use.
    double offset = 0.0;
    // Standard deviation of the per-sample noise, in sample units; used only
    // when a NoiseSource is given.
    double noise = 0.0;
    int minSample = -1024;
    int maxSample = 1023;
};

// Round-trip phase in radians, not wrapped.
double phaseOf(double depthMm, double freqHz);
// Correlation amplitude A of a pixel, in sample units, before saturation.
double amplitudeOf(const ScenePixel& pixel, const CorrelationModel& model);
// The ideal (unrounded, unsaturated, noiseless) sample at reference advance
// `thetaRad`.
double correlationValue(const ScenePixel& pixel, double freqHz, double thetaRad,
                        const CorrelationModel& model);
// The sample a module reports at phase step `step` (0..3, 90° apart):
// noise (if `noise` is given), rounding and saturation applied.
int16_t correlationSample(const ScenePixel& pixel, double freqHz, unsigned step,
                          const CorrelationModel& model, NoiseSource* noise = nullptr);
// One whole plane of samples at `step`, row-major, scene.width x scene.height.
void renderCorrelationPlane(const Scene& scene, double freqHz, unsigned step,
                            const CorrelationModel& model, NoiseSource* noise, int16_t* out);
// 12-bit two's-complement word, moved up by `shift` bits.
uint16_t encodeSample(int16_t sample, unsigned shift);

// 240 x 180 module.
constexpr int kHqvgaWidth = 240;
constexpr int kHqvgaHeight = 180;
constexpr size_t kHqvgaPlaneWords = static_cast<size_t>(kHqvgaWidth) * kHqvgaHeight;

// The modulation frequency the module runs at for a RANGE value, given the
// frequency before it (other values leave the frequency unchanged).
double hqvgaFrequencyFor(int rangeMm, double previousHz);
// The phase step sub-frame k (0..3) carries in the range `rangeMm`; see the
// table above.
unsigned hqvgaSubFrameStep(int rangeMm, unsigned k);
// Four sub-frames as the module delivers them (P0..P3 back to back, each
// 240 x 180 words) for `scene` (which must be 240 x 180), modulated at
// `freqHz`, ordered for `rangeMm`, encoded with `shift`. False (nothing
// written) for a scene of another size.
bool renderHqvgaSubFrames(const Scene& scene, double freqHz, int rangeMm, unsigned shift,
                          uint16_t* out, const CorrelationModel& model = {},
                          NoiseSource* noise = nullptr);

} // namespace Quorvex::sim
