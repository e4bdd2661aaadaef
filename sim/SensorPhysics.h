#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/SceneModel.h"

// The realistic world: what a time-of-flight pixel collects from the scene
// model's geometry, and how its samples come out of it.
//
// Optics. Each pixel is sampled by n x n sub-rays spread evenly over its
// area; each returns a phasor of amplitude A_i = A1m * rho_i / d_i^2 (d in
// metres, rho the reflectivity including the cosine of incidence, A1m the
// amplitude of a perfect reflector at 1 m) and phase 4*pi*f*d_i/c. The pixel
// sees their mean, Z = mean(A_i e^{i phi_i}): a pixel straddling an edge
// decodes between the two depths with less amplitude than either, and the
// phase only exists modulo 2*pi (aliasing). In a concave scene (the corner)
// light also reaches a surface over one bounce off another surface; that
// path's phasor is added (two-bounce multipath, diffuse surfaces).
//
// Sensor. Two taps per pixel collect the photo-electrons; for the sample
// taken with the reference advanced by theta they receive
//     tap_A = (ambient + g*M + g*Re(Z e^{i theta})) / 2,
//     tap_B = (ambient + g*M - g*Re(Z e^{i theta})) / 2,
// M = mean(|A_i|) the pixel's whole return, g the conversion gain in
// electrons per sample unit (LSB). A tap holds at most `full well`
// electrons. The sample is (tap_A - tap_B)/g: the ambient cancels in it,
// its shot noise (variance tap_A + tap_B electrons^2) does not; read noise
// adds `read noise` electrons rms per sample. Samples are rounded and
// clipped to the converter's range.
//
// Time. Sub-frames are 1 ms apart; with sub-frame motion each sees the
// scene where it is at its own time, so an edge moving across the four
// images decodes wrong along it.

namespace Quorvex::sim {

// Conversion gain: electrons per sample unit.
constexpr double kElectronsPerLsb = 32.0;
// Exposure of the realistic modules, fixed (no auto-exposure): amplitude in
// sample units of a perfect reflector 1 m away, facing the camera.
constexpr double kRealisticAmplitudeAt1m = 400.0;
// Sub-frames of one frame are this far apart.
constexpr double kSubFrameSpacingMs = 1.0;

struct PhysicsSettings {
    // false: the ideal world (one ray per pixel, the configured constant
    // noise); the fields below are then unused.
    bool realistic = false;
    // Sub-rays per pixel side.
    int supersample = 4;
    bool shotNoise = true;
    // Electrons rms per sample.
    double readNoiseE = 15.0;
    // Electrons per sample a perfect reflector sends from light that is not
    // the camera's; a surface of albedo rho sends rho times that, at any
    // angle to the camera.
    double ambientE = 2000.0;
    // Electrons per tap.
    double fullWellE = 36000.0;
    bool multipath = true;
    bool subframeMotion = true;
};

enum class MotionDirection {
    AWAY,  // the scene moves away from the camera
    RIGHT, // the scene slides to the right, across the view
};

// How the scene moves: `mmPerFrame` each frame, back to the start every
// `period` frames (sawtooth), frames `framePeriodMs` apart.
struct SceneMotion {
    MotionDirection direction = MotionDirection::AWAY;
    double mmPerFrame = 0.0;
    uint32_t period = 10;
    double framePeriodMs = 1000.0 / 30.0;

    // Displacement (mm) of the scene `msIntoFrame` after frame `frame`
    // began.
    double offsetAt(uint64_t frame, double msIntoFrame) const;
    // Camera origin that sees the still scene as the moved scene looks.
    void originAt(uint64_t frame, double msIntoFrame, double origin[3]) const;
};

// Light one pixel gathers, in sample units (see above).
struct PixelLight {
    float re;      // Re Z
    float im;      // Im Z
    float total;   // M
    float ambient; // electrons per sample
};

// Renders realistic samples of one scene. Not thread-safe; nothing is
// allocated per frame once each modulation frequency has been seen.
class PhysicalWorld {
public:
    PhysicalWorld(SceneKind kind, const SceneParams& params, int width, int height,
                  const PhysicsSettings& settings, const SceneMotion& motion = {});

    int width() const { return imageWidth; }
    int height() const { return imageHeight; }
    bool moving() const { return motion.mmPerFrame != 0.0; }
    // Whether a frame's light can differ from the last one's.
    bool changing() const { return moving() || geometry.changesEveryFrame(); }

    // A flag another thread may raise to abandon the frame being rendered
    // (a heavy world takes minutes per frame); null for none. Once it is
    // raised, renders return at the next pixel or row, their results
    // meaningless (renderHqvga and renderVgaFrame answer false), and
    // nothing half-computed is kept for later frames.
    void setCancel(const std::atomic<bool>* flag) { cancel = flag; }
    bool cancelled() const { return cancel && cancel->load(std::memory_order_relaxed); }

    // The light of every pixel at `freqHz`, for the scene as it is
    // `msIntoFrame` after frame `frame` began (rows of `width`).
    const std::vector<PixelLight>& lightAt(double freqHz, uint64_t frame, double msIntoFrame);
    // Light of the sub-frames of one frame: sub-frame k is taken
    // k * kSubFrameSpacingMs after the frame began (with sub-frame motion;
    // otherwise all at the frame's start).
    const std::vector<PixelLight>& subFrameLight(double freqHz, uint64_t frame, unsigned k);

    // One sample of a pixel: reference advanced by `thetaRad`, converter
    // range minSample..maxSample, `offset` sample units added (the
    // converter's dark level).
    int16_t sample(const PixelLight& light, double thetaRad, double offset, int minSample, int maxSample,
                   NoiseSource& noise) const;
    // The same with the advance given by its cosine and sine, for a whole
    // plane at one advance.
    int16_t sample(const PixelLight& light, double cosTheta, double sinTheta, double offset, int minSample,
                   int maxSample, NoiseSource& noise) const;

    // The pixel's ambient light alone (both taps, the camera's light off),
    // with its noise, in sample units 0..maxSample.
    int ambientSample(const PixelLight& light, int maxSample, NoiseSource& noise) const;

    // Four sub-frames of the 240 x 180 module (as renderHqvgaSubFrames
    // lays them out) for frame `frame`. False for another image size.
    bool renderHqvga(uint64_t frame, double freqHz, int rangeMm, unsigned shift, uint16_t* out,
                     NoiseSource& noise);

    // false: every moving image is traced whole, as the reference the
    // faster path (a sideways motion before a wall retraces only the
    // pixels the objects can reach) is checked against; the light is the
    // same either way.
    void setTraceObjectsOnly(bool on) { traceObjectsOnly = on; }

private:
    struct Cached {
        double freqHz;
        std::vector<PixelLight> light;
    };
    static const std::vector<PixelLight>* cachedAt(const std::vector<Cached>& cache, double freqHz);
    // A new entry for freqHz, the cache emptied first once it holds every
    // frequency a module can use.
    static std::vector<PixelLight>& newCached(std::vector<Cached>& cache, double freqHz);
    // The rectangle, in the pinhole's normalised image coordinates (x/z,
    // y/z), that holds a pixel's sub-ray directions.
    struct Footprint {
        float x0, x1, y0, y1;
    };
    // Convex outline of an object hull seen from one origin, in the same
    // coordinates, anticlockwise (at most 8 corners).
    struct Outline {
        int count;
        double x[8], y[8];
        double x0, x1, y0, y1; // its bounding box
    };

    // Both false (or null) when cancelled part way.
    bool computeLight(double freqHz, const double origin[3], std::vector<PixelLight>& out);
    const std::vector<PixelLight>* multipathAt(double freqHz);
    const std::vector<PixelLight>* wallAt(double freqHz);
    // Sub-ray directions and pixel footprints, once; false when cancelled.
    bool prepareRays();
    template <bool WallOnly>
    // `face`: the box face every sub-ray enters by, or null to trace them.
    PixelLight pixelLight(size_t pixel, int u, int v, double freqHz, const double origin[3],
                          const double turnedOrigin[3], const SceneGeometry::FaceView* face,
                          const PixelLight* wall) const;
    // The outlines of the objects' hulls seen from `origin`; false when
    // some corner is not ahead of it (then everything is traced).
    bool objectOutlines(const double origin[3], Outline* outlines, int& count) const;

    // Not const: a scene that changes with every frame is set to it.
    SceneGeometry geometry;
    const int imageWidth;
    const int imageHeight;
    const PhysicsSettings settings;
    const SceneMotion motion;
    std::vector<Cached> still;
    std::vector<Cached> bounced;
    std::vector<Cached> walls;
    // Unit sub-ray directions (x, y, z per sub-ray, pixel by pixel), kept
    // when small enough: a lens takes a Newton solve per ray, a pinhole a
    // square root and divisions.
    std::vector<double> subRays;
    // The same directions turned into the box's frame, for the box scene.
    std::vector<double> turnedRays;
    std::vector<Footprint> footprints;
    bool raysReady = false;
    bool traceObjectsOnly = true;
    std::vector<PixelLight> scratch;
    bool scratchValid = false;
    uint64_t scratchFrame = 0;
    double scratchFreq = 0.0;
    const std::atomic<bool>* cancel = nullptr;
};

} // namespace Quorvex::sim
