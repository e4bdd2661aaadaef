#include "filters/FilterChain.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "filters/FilterKernels.h"

namespace Quorvex {

namespace {

constexpr float kTwoPi = 6.28318530717958647692f;
constexpr float kInfinity = std::numeric_limits<float>::infinity();

// The spatial and hole stages leave the one-pixel border as it is; the
// flying-pixel stage judges it on the part of the window it has.
inline size_t at(int x, int y, int w) { return static_cast<size_t>(y) * static_cast<size_t>(w) + x; }

} // namespace

bool filterPreset(const char* name, FilterParams& out)
{
    if (!name)
        return false;
    FilterParams p;
    if (std::strcmp(name, "default") == 0) {
        out = p;
        return true;
    }
    if (std::strcmp(name, "near") == 0) {
        p.flyingGapMm = 20.0f;
        p.spatialDeltaMm = 10.0f;
        p.temporalDeltaMm = 10.0f;
        p.noiseFloorMm = 5.0f;
        out = p;
        return true;
    }
    if (std::strcmp(name, "far") == 0) {
        // Wider gaps dropped a fifth of the mixed pixels of the steps at
        // 1.2 to 2.4 m; the relative part already grows with the noise.
        p.flyingGapMm = 40.0f;
        p.flyingGapRel = 0.025f;
        p.spatialDeltaMm = 40.0f;
        p.temporalDeltaMm = 40.0f;
        p.temporalAlpha = 0.3f;
        p.maxNoise = 0.03f;
        out = p;
        return true;
    }
    return false;
}

namespace detail {

void confidenceScalar(const DepthImage& img, const FilterParams& p)
{
    const size_t n = static_cast<size_t>(img.width) * static_cast<size_t>(img.height);
    // sigma <= limit  <=>  k / amp <= limit  with k = range/(2 pi) * noise / sqrt(2):
    // compared as k <= limit * amp, no division per pixel.
    const float k = img.rangeMm / kTwoPi * p.sampleNoise * 0.70710678f;
    for (size_t i = 0; i < n; ++i) {
        const float d = img.depth[i];
        const float a = img.amplitude[i];
        const float limit = std::max(p.noiseFloorMm, p.maxNoise * d);
        // A depth that is not a positive finite distance (a NaN or an
        // infinity from a damaged recording) is no measurement either.
        const bool keep = d > 0.0f && d < kInfinity && a >= p.minAmplitude && a < p.saturation && k <= limit * a;
        img.depth[i] = keep ? d : 0.0f;
    }
}

void aliasingScalar(const DepthImage& img, const FilterParams& p)
{
    const size_t n = static_cast<size_t>(img.width) * static_cast<size_t>(img.height);
    // amp * ((d + range) / 1000)^2 <= gain: a target beyond the range
    // could give this amplitude, one at d would be implausibly dark.
    const float g = p.aliasGain * 1e6f;
    for (size_t i = 0; i < n; ++i) {
        const float d = img.depth[i];
        const float far = d + img.rangeMm;
        const bool alias = img.amplitude[i] * far * far <= g;
        img.depth[i] = alias ? 0.0f : d;
    }
}

namespace {

// A pixel on a steep but smooth surface (a face seen at a grazing angle)
// has a neighbour nearer and one farther by more than the gap, as a mixed
// pixel does; what tells them apart is that the slope goes on past the
// neighbour: d[-1] + d[+1] - 2 d[0] and d[-2] + d[0] - 2 d[-1] (or the
// same on the + side) both stay within the tolerance on a surface, while a
// pixel between two plateaus breaks the line on both sides. Samples off the image or invalid (0)
// never continue a line.
inline float sampleAt(const DepthImage& img, int x, int y)
{
    if (x < 0 || y < 0 || x >= img.width || y >= img.height)
        return 0.0f;
    return img.depth[at(x, y, img.width)];
}

bool onSmoothSlope(const DepthImage& img, int x, int y, float dc, float gap, float tol)
{
    // The line that counts is the steepest one through the pixel: a slanted
    // edge also bends smoothly along itself.
    static const int kDirs[4][2] = {{1, 0}, {0, 1}, {1, 1}, {1, -1}};
    int best = -1;
    float steepest = gap;
    for (int k = 0; k < 4; ++k) {
        const float m1 = sampleAt(img, x - kDirs[k][0], y - kDirs[k][1]);
        const float p1 = sampleAt(img, x + kDirs[k][0], y + kDirs[k][1]);
        if (m1 > 0.0f && p1 > 0.0f && std::fabs(p1 - m1) > steepest) {
            steepest = std::fabs(p1 - m1);
            best = k;
        }
    }
    if (best < 0)
        return false;
    const int sx = kDirs[best][0];
    const int sy = kDirs[best][1];
    const float m1 = sampleAt(img, x - sx, y - sy);
    const float p1 = sampleAt(img, x + sx, y + sy);
    if (std::fabs(m1 + p1 - 2.0f * dc) > tol)
        return false;
    const float m2 = sampleAt(img, x - 2 * sx, y - 2 * sy);
    const float p2 = sampleAt(img, x + 2 * sx, y + 2 * sy);
    return (m2 > 0.0f && std::fabs(m2 + dc - 2.0f * m1) <= tol) ||
           (p2 > 0.0f && std::fabs(p2 + dc - 2.0f * p1) <= tol);
}

} // namespace

bool flyingDrops(const DepthImage& img, const FilterParams& p, int x, int y)
{
    const int w = img.width;
    const int h = img.height;
    const float* d = img.depth;
    const float dc = d[at(x, y, w)];
    const float gap = std::max(p.flyingGapMm, p.flyingGapRel * dc);
    bool nearer = false;
    bool farther = false;
    float brightest = 0.0f;
    // The window is cut at the image's edge: the border is judged
    // on the neighbours it has.
    for (int qy = std::max(y - 1, 0); qy <= std::min(y + 1, h - 1); ++qy) {
        for (int qx = std::max(x - 1, 0); qx <= std::min(x + 1, w - 1); ++qx) {
            const size_t q = at(qx, qy, w);
            const float dq = d[q];
            // An invalidated neighbour is unknown: it neither
            // proves nor disproves an edge.
            if (dq <= 0.0f)
                continue;
            const bool n = dq < dc - gap;
            const bool f = dq > dc + gap;
            nearer |= n;
            farther |= f;
            if (n || f)
                brightest = std::max(brightest, img.amplitude[q]);
        }
    }
    if (!nearer && !farther)
        return false;
    const bool between = nearer && farther;
    const bool dimmed = img.amplitude[at(x, y, w)] < p.flyingAmpRatio * brightest;
    return (between || dimmed) && !onSmoothSlope(img, x, y, dc, gap, gap * p.flyingSlopeTol);
}

bool flyingOnSmoothSlope(const DepthImage& img, const FilterParams& p, int x, int y)
{
    const float dc = img.depth[at(x, y, img.width)];
    const float gap = std::max(p.flyingGapMm, p.flyingGapRel * dc);
    return onSmoothSlope(img, x, y, dc, gap, gap * p.flyingSlopeTol);
}

void flyingScalar(const DepthImage& img, const FilterParams& p, float* scratch)
{
    const int w = img.width;
    const int h = img.height;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const size_t c = at(x, y, w);
            const float dc = img.depth[c];
            scratch[c] = dc;
            if (dc > 0.0f && flyingDrops(img, p, x, y))
                scratch[c] = 0.0f;
        }
    }
    std::memcpy(img.depth, scratch, sizeof(float) * static_cast<size_t>(w) * h);
}

void spatialScalar(const DepthImage& img, const FilterParams& p, float* scratch)
{
    const int w = img.width;
    const int h = img.height;
    const float* d = img.depth;
    std::memcpy(scratch, d, sizeof(float) * static_cast<size_t>(w) * h);
    for (int y = 1; y + 1 < h; ++y) {
        for (int x = 1; x + 1 < w; ++x) {
            const size_t c = at(x, y, w);
            const float dc = d[c];
            if (dc <= 0.0f)
                continue;
            const float delta = std::max(p.spatialDeltaMm, p.spatialDeltaRel * dc);
            float sum = 0.0f;
            float count = 0.0f;
            for (int dy = -1; dy <= 1; ++dy) {
                for (int dx = -1; dx <= 1; ++dx) {
                    const float dq = d[at(x + dx, y + dy, w)];
                    // Invalid neighbours (0) fail the test: |0 - dc| = dc > delta
                    // for every depth the modules report.
                    const bool same = std::fabs(dq - dc) <= delta && dq > 0.0f;
                    sum += same ? dq : 0.0f;
                    count += same ? 1.0f : 0.0f;
                }
            }
            scratch[c] = sum / count;
        }
    }
    std::memcpy(img.depth, scratch, sizeof(float) * static_cast<size_t>(w) * h);
}

void temporalScalar(const DepthImage& img, const FilterParams& p, float* average)
{
    const size_t n = static_cast<size_t>(img.width) * static_cast<size_t>(img.height);
    const float a = p.temporalAlpha;
    for (size_t i = 0; i < n; ++i) {
        const float d = img.depth[i];
        const float m = average[i];
        const float delta = std::max(p.temporalDeltaMm, p.temporalDeltaRel * d);
        // No average yet, or the surface moved: start again from this frame
        // instead of dragging the old depth behind the edge.
        const bool restart = m <= 0.0f || std::fabs(d - m) > delta;
        const float next = restart ? d : m + a * (d - m);
        // An invalid pixel stays invalid and forgets its history.
        average[i] = d > 0.0f ? next : 0.0f;
        img.depth[i] = average[i];
    }
}

void holesScalar(const DepthImage& img, const FilterParams& p, float* scratch)
{
    const int w = img.width;
    const int h = img.height;
    const float* d = img.depth;
    std::memcpy(scratch, d, sizeof(float) * static_cast<size_t>(w) * h);
    for (int y = 1; y + 1 < h; ++y) {
        for (int x = 1; x + 1 < w; ++x) {
            const size_t c = at(x, y, w);
            if (d[c] > 0.0f)
                continue;
            int count = 0;
            float nearest = 0.0f;
            for (int dy = -1; dy <= 1; ++dy) {
                for (int dx = -1; dx <= 1; ++dx) {
                    const float dq = d[at(x + dx, y + dy, w)];
                    if (dq <= 0.0f)
                        continue;
                    ++count;
                    // The nearest surface, not a mean: a mean of two
                    // surfaces would be a flying pixel of our own making.
                    nearest = nearest == 0.0f ? dq : std::min(nearest, dq);
                }
            }
            if (count >= p.holeMinNeighbours)
                scratch[c] = nearest;
        }
    }
    std::memcpy(img.depth, scratch, sizeof(float) * static_cast<size_t>(w) * h);
}

void chainScalar(const DepthImage& img, const FilterParams& p, float* average, float* scratch, float*)
{
    if (p.confidence)
        confidenceScalar(img, p);
    if (p.aliasing)
        aliasingScalar(img, p);
    if (p.flying)
        flyingScalar(img, p, scratch);
    if (p.spatial)
        spatialScalar(img, p, scratch);
    if (p.temporal)
        temporalScalar(img, p, average);
    if (p.holes)
        holesScalar(img, p, scratch);
}

const FilterKernels* filterKernels(FilterBackend backend)
{
    static const FilterKernels scalar{confidenceScalar, aliasingScalar, flyingScalar,
                                      spatialScalar,    temporalScalar, chainScalar};
    switch (backend) {
    case FilterBackend::SCALAR:
        return &scalar;
    case FilterBackend::AVX2:
        return cpuHasAvx2() ? filterKernelsAvx2() : nullptr;
    case FilterBackend::NEON:
        return cpuHasNeon() ? filterKernelsNeon() : nullptr;
    }
    return nullptr;
}

} // namespace detail

namespace {

bool canRun(FilterBackend backend)
{
    return detail::filterKernels(backend) != nullptr;
}

FilterBackend fastestFilterBackend()
{
    return fastestBackend(canRun);
}

// Probed once: the capture thread filters every frame.
const detail::FilterKernels& fastest()
{
    static const detail::FilterKernels* const kernels = detail::filterKernels(fastestFilterBackend());
    return *kernels;
}

} // namespace

std::vector<FilterBackend> filterBackends()
{
    return usableBackends(canRun);
}

void filterConfidence(const DepthImage& img, const FilterParams& p) { fastest().confidence(img, p); }
void filterAliasing(const DepthImage& img, const FilterParams& p) { fastest().aliasing(img, p); }
void filterFlyingPixels(const DepthImage& img, const FilterParams& p, float* scratch) { fastest().flying(img, p, scratch); }
void filterSpatial(const DepthImage& img, const FilterParams& p, float* scratch) { fastest().spatial(img, p, scratch); }
void filterTemporal(const DepthImage& img, const FilterParams& p, float* average) { fastest().temporal(img, p, average); }
void filterHoles(const DepthImage& img, const FilterParams& p, float* scratch) { detail::holesScalar(img, p, scratch); }

FilterChain::FilterChain(const FilterParams& params) : params_(params), backend_(fastestFilterBackend()) {}

bool FilterChain::setBackend(FilterBackend backend)
{
    if (!detail::filterKernels(backend))
        return false;
    backend_ = backend;
    return true;
}

void FilterChain::setParams(const FilterParams& params)
{
    params_ = params;
    if (!params_.temporal)
        reset();
}

void FilterChain::reset()
{
    std::fill(average_.begin(), average_.end(), 0.0f);
}

void FilterChain::apply(const DepthImage& img)
{
    if (!img.depth || !img.amplitude || img.width <= 0 || img.height <= 0)
        return;
    if (img.width != width_ || img.height != height_) {
        const size_t n = static_cast<size_t>(img.width) * static_cast<size_t>(img.height);
        average_.assign(n, 0.0f);
        scratch_.assign(n, 0.0f);
        spare_.assign(n, 0.0f);
        width_ = img.width;
        height_ = img.height;
    }
    detail::filterKernels(backend_)->chain(img, params_, average_.data(), scratch_.data(), spare_.data());
}

} // namespace Quorvex
