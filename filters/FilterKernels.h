#pragma once

#include "filters/FilterChain.h"

// The filter backends behind the public stage functions. Private to the
// library (and its tests and benches): one table of entry points per
// backend, so that a backend can be chosen per chain and compared with the
// plain code in the tests.

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

struct FilterKernels {
    void (*confidence)(const DepthImage& img, const FilterParams& p);
    void (*aliasing)(const DepthImage& img, const FilterParams& p);
    void (*flying)(const DepthImage& img, const FilterParams& p, float* scratch);
    void (*spatial)(const DepthImage& img, const FilterParams& p, float* scratch);
    void (*temporal)(const DepthImage& img, const FilterParams& p, float* average);
    // The enabled stages in order, as FilterChain::apply runs them, with
    // two scratch planes of width * height floats.
    void (*chain)(const DepthImage& img, const FilterParams& p, float* average, float* scratch, float* spare);
};

// The plain code: the reference every other backend must match.
void confidenceScalar(const DepthImage& img, const FilterParams& p);
void aliasingScalar(const DepthImage& img, const FilterParams& p);
void flyingScalar(const DepthImage& img, const FilterParams& p, float* scratch);
void spatialScalar(const DepthImage& img, const FilterParams& p, float* scratch);
void temporalScalar(const DepthImage& img, const FilterParams& p, float* average);
void holesScalar(const DepthImage& img, const FilterParams& p, float* scratch);
void chainScalar(const DepthImage& img, const FilterParams& p, float* average, float* scratch, float* spare);

// The plain flying-pixel test of one pixel whose depth is valid (above 0):
// whether the stage removes it. Its window is cut at the image's edge.
// Invalid neighbours may be any value not above 0, or NaN.
bool flyingDrops(const DepthImage& img, const FilterParams& p, int x, int y);
// Its last step alone, for a pixel already found between two surfaces or
// dimmed: whether it lies on a smooth slope (and so stays).
bool flyingOnSmoothSlope(const DepthImage& img, const FilterParams& p, int x, int y);

// Null where this build has no such backend; the caller checks the CPU.
const FilterKernels* filterKernelsAvx2();
const FilterKernels* filterKernelsNeon();

// The table of `backend`, or null when this CPU (or build) cannot run it.
const FilterKernels* filterKernels(FilterBackend backend);

} // namespace Quorvex::detail
