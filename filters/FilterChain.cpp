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

namespace {

// Fractions of a depth or of a brightness lie in [0, 1]; distances are
// bounded by the largest depth the chain accepts, amplitudes by far more
// than any module reports (16-bit samples, scaled by 16 for VGA): within
// these every threshold the stages compute stays finite.
constexpr double kMaxAmplitude = 1.0e9;
struct NumericParam {
    FilterParamRange range;
    float FilterParams::*member;
};
const NumericParam kNumericParams[] = {
    {{"sample_noise", 0.0, kMaxAmplitude, false, false}, &FilterParams::sampleNoise},
    {{"max_noise", 0.0, 1.0, false, false}, &FilterParams::maxNoise},
    {{"noise_floor_mm", 0.0, kFilterMaxDepthMm, false, false}, &FilterParams::noiseFloorMm},
    {{"min_amplitude", 0.0, kMaxAmplitude, false, false}, &FilterParams::minAmplitude},
    // At 0 or below no pixel would be kept.
    {{"saturation", 0.0, kMaxAmplitude, true, false}, &FilterParams::saturation},
    {{"alias_gain", 0.0, kMaxAmplitude, false, false}, &FilterParams::aliasGain},
    {{"flying_gap_mm", 0.0, kFilterMaxDepthMm, false, false}, &FilterParams::flyingGapMm},
    {{"flying_gap_rel", 0.0, 1.0, false, false}, &FilterParams::flyingGapRel},
    {{"flying_amp_ratio", 0.0, 1.0, false, false}, &FilterParams::flyingAmpRatio},
    {{"flying_slope_tol", 0.0, 1.0, false, false}, &FilterParams::flyingSlopeTol},
    {{"spatial_delta_mm", 0.0, kFilterMaxDepthMm, false, false}, &FilterParams::spatialDeltaMm},
    {{"spatial_delta_rel", 0.0, 1.0, false, false}, &FilterParams::spatialDeltaRel},
    // 0 would freeze the average at its first frame; above 1 (or below 0)
    // it leaves the interval between the old average and the new depth.
    {{"temporal_alpha", 0.0, 1.0, true, false}, &FilterParams::temporalAlpha},
    {{"temporal_delta_mm", 0.0, kFilterMaxDepthMm, false, false}, &FilterParams::temporalDeltaMm},
    {{"temporal_delta_rel", 0.0, 1.0, false, false}, &FilterParams::temporalDeltaRel},
};
// A 3 x 3 window has 8 neighbours; 0 would "fill" a pixel from none.
const FilterParamRange kHoleNeighbours{"hole_min_neighbours", 1.0, 8.0, false, true};

bool inRange(const FilterParamRange& r, double v)
{
    return std::isfinite(v) && (r.minExcluded ? v > r.min : v >= r.min) && v <= r.max &&
           (!r.integer || v == std::floor(v));
}

} // namespace

const FilterParamRange* filterParamRange(const char* name)
{
    if (!name)
        return nullptr;
    for (const NumericParam& p : kNumericParams)
        if (std::strcmp(p.range.name, name) == 0)
            return &p.range;
    return std::strcmp(kHoleNeighbours.name, name) == 0 ? &kHoleNeighbours : nullptr;
}

bool filterParamsValid(const FilterParams& p, const char** bad)
{
    for (const NumericParam& n : kNumericParams)
        if (!inRange(n.range, static_cast<double>(p.*n.member))) {
            if (bad)
                *bad = n.range.name;
            return false;
        }
    if (!inRange(kHoleNeighbours, static_cast<double>(p.holeMinNeighbours))) {
        if (bad)
            *bad = kHoleNeighbours.name;
        return false;
    }
    return true;
}

namespace detail {

void confidenceScalar(const DepthImage& img, const FilterParams& p, const FilterPlanes&)
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

void aliasingScalar(const DepthImage& img, const FilterParams& p, const FilterPlanes&)
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

void flyingScalar(const DepthImage& img, const FilterParams& p, const FilterPlanes& planes)
{
    float* const scratch = planes.scratch;
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

void spatialScalar(const DepthImage& img, const FilterParams& p, const FilterPlanes& planes)
{
    float* const scratch = planes.scratch;
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

void temporalScalar(const DepthImage& img, const FilterParams& p, const FilterPlanes& planes)
{
    float* const average = planes.average;
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

void holesScalar(const DepthImage& img, const FilterParams& p, const FilterPlanes& planes)
{
    float* const scratch = planes.scratch;
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

namespace {

// The one rule for what enters the stages, on every backend: a depth is
// either valid or +0. (-0 too becomes +0: the backends compare bits.)
inline float validDepthMm(float d) { return d > 0.0f && d <= kFilterMaxDepthMm ? d : 0.0f; }

} // namespace

void runFilterStages(const FilterStage* stages, bool vector, const DepthImage& img, const float* source,
                     const FilterParams& p, const FilterPlanes& planes)
{
    const size_t n = static_cast<size_t>(img.width) * static_cast<size_t>(img.height);
    for (size_t i = 0; i < n; ++i)
        img.depth[i] = validDepthMm(source[i]);
    for (size_t s = 0; s < kFilterStageCount; ++s) {
        const FilterStage& stage = stages[s];
        if (p.*stage.enabled)
            (vector ? stage.vector : stage.plain)(img, p, planes);
    }
}

const FilterStage* findFilterStage(const FilterStage* stages, const char* name)
{
    for (size_t s = 0; s < kFilterStageCount; ++s)
        if (std::strcmp(stages[s].name, name) == 0)
            return &stages[s];
    return nullptr;
}

namespace {

#define QUORVEX_FILTER_PLAIN_STAGE(flag, plain, vector) {#flag, &FilterParams::flag, plain, plain},
const FilterStage kPlainStages[] = {QUORVEX_FILTER_STAGES(QUORVEX_FILTER_PLAIN_STAGE)};
#undef QUORVEX_FILTER_PLAIN_STAGE

void chainScalar(const DepthImage& img, const float* source, const FilterParams& p, const FilterPlanes& planes)
{
    runFilterStages(kPlainStages, false, img, source, p, planes);
}

} // namespace

const FilterKernels* filterKernels(FilterBackend backend)
{
    static const FilterKernels scalar{kPlainStages, chainScalar};
    switch (backend) {
    case FilterBackend::SCALAR:
        return &scalar;
    case FilterBackend::AVX2:
        // One name for both x86 vector builds: where the CPU has AVX-512
        // its 16-lane kernels are the faster (measured in filter_bench),
        // and they write the same bits.
        if (cpuHasAvx2() && cpuHasAvx512() && filterKernelsAvx512())
            return filterKernelsAvx512();
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

} // namespace

std::vector<FilterBackend> filterBackends()
{
    return usableBackends(canRun);
}

namespace {

bool viewFits(const ImageView<const float>& v, int w, int h)
{
    return v.data && v.width == w && v.height == h && v.strideBytes >= sizeof(float) * static_cast<size_t>(w) &&
           v.strideBytes % sizeof(float) == 0;
}

bool packed(const ImageView<const float>& v) { return v.strideBytes == sizeof(float) * static_cast<size_t>(v.width); }

// Whether the bytes two views reach share any.
bool overlap(const ImageView<const float>& a, const ImageView<const float>& b)
{
    auto end = [](const ImageView<const float>& v) {
        return reinterpret_cast<uintptr_t>(v.data) + static_cast<size_t>(v.height - 1) * v.strideBytes +
               sizeof(float) * static_cast<size_t>(v.width);
    };
    const uintptr_t a0 = reinterpret_cast<uintptr_t>(a.data);
    const uintptr_t b0 = reinterpret_cast<uintptr_t>(b.data);
    if (!(a0 < end(b) && b0 < end(a)))
        return false;
    // Planes interleaved row by row in one buffer (depth and amplitude of
    // a row side by side) share a stride and no byte.
    if (a.strideBytes != b.strideBytes)
        return true;
    const uintptr_t s = a.strideBytes;
    const uintptr_t gap = b0 >= a0 ? (b0 - a0) % s : s - (a0 - b0) % s;
    const uintptr_t rowA = sizeof(float) * static_cast<size_t>(a.width);
    const uintptr_t rowB = sizeof(float) * static_cast<size_t>(b.width);
    return !(gap >= rowA && gap + rowB <= s);
}

} // namespace

FilterChain::FilterChain(const FilterParams& params)
    : params_(params), paramsValid_(filterParamsValid(params)), backend_(fastestFilterBackend())
{
}

FilterChain::FilterChain(const FilterChain& other)
{
    std::lock_guard<std::mutex> lock(other.mutex_);
    params_ = other.params_;
    paramsValid_ = other.paramsValid_;
    backend_ = other.backend_;
}

FilterParams FilterChain::params() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return params_;
}

FilterBackend FilterChain::backend() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return backend_;
}

bool FilterChain::setBackend(FilterBackend backend)
{
    if (!detail::filterKernels(backend))
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    backend_ = backend;
    return true;
}

TofErrorCode FilterChain::setParams(const FilterParams& params)
{
    if (!filterParamsValid(params))
        return QuorvexInvalidParameter;
    std::lock_guard<std::mutex> lock(mutex_);
    params_ = params;
    paramsValid_ = true;
    if (!params_.temporal)
        std::fill(average_.begin(), average_.end(), 0.0f);
    return QuorvexSuccess;
}

void FilterChain::reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::fill(average_.begin(), average_.end(), 0.0f);
}

TofErrorCode FilterChain::apply(const FilterInput& in, const ImageView<float>& out)
{
    const int w = in.depth.width;
    const int h = in.depth.height;
    const ImageView<const float> target = out;
    if (w <= 0 || h <= 0 || !viewFits(in.depth, w, h) || !viewFits(in.amplitude, w, h) || !viewFits(target, w, h))
        return QuorvexInvalidParameter;
    const bool inPlace = target.data == in.depth.data && target.strideBytes == in.depth.strideBytes;
    if ((!inPlace && overlap(target, in.depth)) || overlap(target, in.amplitude))
        return QuorvexInvalidParameter;
    if (!(in.rangeMm > 0.0f && in.rangeMm < kInfinity))
        return QuorvexInvalidParameter;

    std::lock_guard<std::mutex> lock(mutex_);
    if (!paramsValid_)
        return QuorvexInvalidParameter;
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    const size_t sw = static_cast<size_t>(w);
    if (w != width_ || h != height_) {
        average_.assign(n, 0.0f);
        scratch_.assign(detail::filterScratchPixels(w, h), 0.0f);
        spare_.assign(detail::filterScratchPixels(w, h), 0.0f);
        work_.clear();
        amplitude_.clear();
        width_ = w;
        height_ = h;
    }
    // The stages run in place on packed rows: the output itself when it is
    // packed, else a plane of the chain's own. The chain reads the depth
    // where it is when packed (and makes it valid on the way).
    float* depth = out.data;
    if (!packed(target)) {
        work_.resize(n);
        depth = work_.data();
    }
    const float* source = in.depth.data;
    if (!packed(in.depth)) {
        for (int y = 0; y < h; ++y)
            std::memcpy(depth + static_cast<size_t>(y) * sw, in.depth.row(y), sizeof(float) * sw);
        source = depth;
    }
    const float* amplitude = in.amplitude.data;
    if (!packed(in.amplitude)) {
        amplitude_.resize(n);
        for (int y = 0; y < h; ++y)
            std::memcpy(amplitude_.data() + static_cast<size_t>(y) * sw, in.amplitude.row(y), sizeof(float) * sw);
        amplitude = amplitude_.data();
    }
    detail::filterKernels(backend_)->chain({depth, amplitude, w, h, in.rangeMm}, source, params_,
                                           {average_.data(), scratch_.data(), spare_.data()});
    if (depth != out.data) {
        for (int y = 0; y < h; ++y)
            std::memcpy(out.row(y), depth + static_cast<size_t>(y) * sw, sizeof(float) * sw);
    }
    return QuorvexSuccess;
}

} // namespace Quorvex
