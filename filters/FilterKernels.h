#pragma once

#include <cstddef>

#include "filters/FilterChain.h"

// The filter backends behind the public stage functions. Private to the
// library (and its tests and benches): one stage table, and per backend
// the chain built from it, so that a backend can be chosen per chain and
// compared with the plain code in the tests.

namespace Quorvex::detail {

// One frame's planes as the kernels take them: packed rows (width floats
// each), `depth` filtered in place, `amplitude` read.
struct DepthImage {
    float* depth;
    const float* amplitude;
    int width;
    int height;
    float rangeMm;
};

// The invalid pixels the fast chains keep around a copy of the image in
// their scratch planes.
constexpr int kFilterMargin = 2;

// Floats in each scratch plane of a width x height frame: a copy of the
// image with its margin, and four more rows.
constexpr size_t filterScratchPixels(int width, int height)
{
    return static_cast<size_t>(width + 2 * kFilterMargin) * static_cast<size_t>(height + 2 * kFilterMargin + 4);
}

// What a stage may use besides the frame: the temporal average of the
// stream (width * height floats) and two scratch planes
// (filterScratchPixels each).
struct FilterPlanes {
    float* average;
    float* scratch;
    float* spare;
};

// Every stage has this one signature, so that one walk over the table runs
// any of them.
using FilterStageFn = void (*)(const DepthImage& img, const FilterParams& p, const FilterPlanes& planes);

// The stages in the order the chain runs them: each one's switch in
// FilterParams, its plain function (FilterChain.cpp) and its vector
// function (FilterVector.h, compiled once per instruction set). A new stage
// is one line here and that pair of functions; the plain chain and every
// vector backend's general chain walk this list.
#define QUORVEX_FILTER_STAGES(STAGE)                                                                                   \
    STAGE(confidence, confidenceScalar, confidenceVector)                                                              \
    STAGE(aliasing, aliasingScalar, aliasingVector)                                                                    \
    STAGE(flying, flyingScalar, flyingVector)                                                                          \
    STAGE(spatial, spatialScalar, spatialVector)                                                                       \
    STAGE(temporal, temporalScalar, temporalVector)                                                                    \
    /* Off by default and cheap when on: the plain code on every backend. */                                          \
    STAGE(holes, holesScalar, holesScalar)

// One stage as a backend runs it. `vector` is the backend's own function,
// the plain one on the plain backend.
struct FilterStage {
    const char* name;
    bool FilterParams::*enabled;
    FilterStageFn plain;
    FilterStageFn vector;
};

#define QUORVEX_FILTER_COUNT_STAGE(flag, plain, vector) +1
constexpr size_t kFilterStageCount = 0 QUORVEX_FILTER_STAGES(QUORVEX_FILTER_COUNT_STAGE);
#undef QUORVEX_FILTER_COUNT_STAGE

// The plain stages: the reference every other backend must match.
#define QUORVEX_FILTER_DECLARE_STAGE(flag, plain, vector)                                                              \
    void plain(const DepthImage& img, const FilterParams& p, const FilterPlanes& planes);
QUORVEX_FILTER_STAGES(QUORVEX_FILTER_DECLARE_STAGE)
#undef QUORVEX_FILTER_DECLARE_STAGE

struct FilterKernels {
    // kFilterStageCount entries, in the order of QUORVEX_FILTER_STAGES.
    const FilterStage* stages;
    // The whole chain: `source` (packed rows of the frame's depth, as the
    // caller gave it, possibly the very pixels of img.depth) made valid
    // into img.depth (a depth in (0, kFilterMaxDepthMm] stays, anything
    // else is +0), then the enabled stages in order.
    void (*chain)(const DepthImage& img, const float* source, const FilterParams& p, const FilterPlanes& planes);
};

// The general chain: `source` made valid into img.depth, then the enabled
// stages of `stages` in order, each by its vector function (`vector`) or
// its plain one.
void runFilterStages(const FilterStage* stages, bool vector, const DepthImage& img, const float* source,
                     const FilterParams& p, const FilterPlanes& planes);

// The entry of the stage called `name` in `stages`; null for none.
const FilterStage* findFilterStage(const FilterStage* stages, const char* name);

// The plain flying-pixel test of one pixel whose depth is valid (above 0):
// whether the stage removes it. Its window is cut at the image's edge.
// Invalid neighbours may be any value not above 0, or NaN.
bool flyingDrops(const DepthImage& img, const FilterParams& p, int x, int y);
// Its last step alone, for a pixel already found between two surfaces or
// dimmed: whether it lies on a smooth slope (and so stays).
bool flyingOnSmoothSlope(const DepthImage& img, const FilterParams& p, int x, int y);

// Null where this build has no such backend; the caller checks the CPU.
const FilterKernels* filterKernelsAvx2();
const FilterKernels* filterKernelsAvx512();
const FilterKernels* filterKernelsNeon();

// The table of `backend`, or null when this CPU (or build) cannot run it.
const FilterKernels* filterKernels(FilterBackend backend);

} // namespace Quorvex::detail
