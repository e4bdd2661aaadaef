#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/CpuBackend.h"

// Post-processing of time-of-flight depth: stages that invalidate what a
// sensor reports but did not measure (weak, saturated, aliased and mixed
// pixels), then smooth what remains in space and time. Every stage is a pure
// function over planes; FilterChain holds the one piece of state (the
// temporal average) per stream and the scratch planes, sized once.
//
// Units: depth in millimetres (0 = invalid), amplitude in the units of the
// module's amplitude plane, range in millimetres (the unambiguous distance
// of the modulation frequency in use).

namespace Quorvex {

struct FilterParams {
    // --- confidence: a pixel is kept when the depth noise its amplitude
    // predicts, sigma = range / (2 pi) * noise / (sqrt(2) * amplitude),
    // is at most max(noiseFloorMm, maxNoise * depth): weak returns of far
    // or dark surfaces go, bright near ones stay.
    bool confidence = true;
    float sampleNoise = 24.0f;   // per-sample noise in amplitude units (measured on weak returns)
    float maxNoise = 0.03f;      // allowed predicted noise, fraction of the depth
    float noiseFloorMm = 10.0f;  // allowed predicted noise at any depth, mm
    float minAmplitude = 16.0f;  // below this nothing is trusted
    // Amplitude of a clipped pixel: its samples hit the end of their range
    // and its phase (and so its depth) is meaningless.
    float saturation = 15500.0f;

    // --- aliasing: a surface beyond the range comes back near. Its
    // amplitude is at most aliasGain * (1 m / (depth + range))^2 (aliasGain:
    // amplitude of the brightest target expected at 1 m, here a matt wall
    // facing the camera; a perfect reflector gives 6400); a pixel that
    // bright or darker is dropped. Faces seen at a grazing angle are as
    // dark as an aliased wall: a higher gain drops them too.
    bool aliasing = true;
    float aliasGain = 5000.0f;

    // --- flying pixels: 3 x 3 depth-gap test. A pixel with a neighbour
    // nearer and one farther by more than the gap lies between two
    // surfaces; one beside a gap whose amplitude fell below flyingAmpRatio
    // of its brightest neighbour is a mixed return too. Either is kept when
    // it lies on a smooth slope: along some direction the depths of the
    // 5-pixel line bend by at most flyingSlopeTol * gap on one side (a
    // face seen at a grazing angle, not a jump between two surfaces).
    bool flying = true;
    float flyingGapMm = 30.0f;
    float flyingGapRel = 0.02f;  // the gap grows with depth (noise does)
    float flyingAmpRatio = 0.85f;
    float flyingSlopeTol = 0.6f;

    // --- spatial: 3 x 3 mean over the neighbours within spatialDelta of
    // the centre (edges are kept because the other side is left out).
    bool spatial = true;
    float spatialDeltaMm = 20.0f;
    float spatialDeltaRel = 0.02f;

    // --- temporal: exponential average per pixel, restarted where the new
    // depth leaves the average by more than the delta (motion: no trails).
    bool temporal = true;
    float temporalAlpha = 0.4f;  // weight of the new frame
    float temporalDeltaMm = 20.0f;
    float temporalDeltaRel = 0.02f;

    // --- holes: an invalid pixel with at least holeMinNeighbours valid
    // neighbours in its 3 x 3 window takes their nearest depth. Off by
    // default: it invents data.
    bool holes = false;
    int holeMinNeighbours = 6;
};

// Named parameter sets: "default", "near" (under about 1 m: finer gaps,
// less smoothing), "far" (beyond 2 m: wider gaps, more smoothing). False
// for any other name, `out` untouched.
bool filterPreset(const char* name, FilterParams& out);

// One frame's planes. `depth` is filtered in place; `amplitude` is read.
struct DepthImage {
    float* depth;
    const float* amplitude;
    int width;
    int height;
    float rangeMm;
};

// Stages one at a time (pure: no state); each writes 0 where it
// invalidates and leaves pixels already 0 at 0.
void filterConfidence(const DepthImage& img, const FilterParams& p);
void filterAliasing(const DepthImage& img, const FilterParams& p);
// Scratch: width * height floats.
void filterFlyingPixels(const DepthImage& img, const FilterParams& p, float* scratch);
void filterSpatial(const DepthImage& img, const FilterParams& p, float* scratch);
void filterHoles(const DepthImage& img, const FilterParams& p, float* scratch);
// `average` holds the previous average (0 = none) and is updated.
void filterTemporal(const DepthImage& img, const FilterParams& p, float* average);

// Implementations of the stages and the chain. All of them write the same
// bits for every input (NaN compares equal to NaN); they differ in speed and
// in the CPUs that run them. The hole filler runs the plain code on every
// backend: it is off by default and cheap when on.
using FilterBackend = CpuBackend;

// The backends this CPU can run: SCALAR first, the one the stage functions
// and new chains use last.
std::vector<FilterBackend> filterBackends();

// The stages in order, with the temporal state of one stream.
class FilterChain final {
public:
    explicit FilterChain(const FilterParams& params = FilterParams{});

    const FilterParams& params() const { return params_; }
    // New parameters take effect with the next frame; the temporal average
    // survives unless the temporal stage is switched off.
    void setParams(const FilterParams& params);
    // Forgets the temporal average (a new stream, a jump in the scene).
    void reset();

    // Filters `img.depth` in place. The first frame of a size sizes the
    // state (a change of size restarts it); later frames allocate nothing.
    void apply(const DepthImage& img);

    // The implementation this chain runs (the fastest one by default).
    // False, and nothing changed, when this CPU cannot run `backend`.
    bool setBackend(FilterBackend backend);
    FilterBackend backend() const { return backend_; }

private:
    FilterParams params_;
    FilterBackend backend_;
    std::vector<float> average_;
    // Two planes: the fast chain passes its intermediate depth between
    // them.
    std::vector<float> scratch_;
    std::vector<float> spare_;
    int width_ = 0;
    int height_ = 0;
};

} // namespace Quorvex
