#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

#include "camera/TofTypes.h"
#include "common/CpuBackend.h"

// Post-processing of time-of-flight depth: stages that invalidate what a
// sensor reports but did not measure (weak, saturated, aliased and mixed
// pixels), then smooth what remains in space and time. FilterChain runs
// them over image views (inputs read-only, the output separate or in
// place) and holds the one piece of state (the temporal average) of a
// stream and its own scratch planes; switching stages off in FilterParams
// gives any one stage alone.
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

// The values a numeric parameter accepts: finite, from `min` to `max`
// (`min` itself excluded where said), whole numbers only where said.
// `name` is the parameter's snake_case spelling (the Python package's).
struct FilterParamRange {
    const char* name;
    double min;
    double max;
    bool minExcluded;
    bool integer;
};
// The range of the parameter named `name`; null for a switch or an unknown
// name.
const FilterParamRange* filterParamRange(const char* name);
// Whether every parameter of `p` lies in its range; where one does not,
// `bad` (when given) is its name.
bool filterParamsValid(const FilterParams& p, const char** bad = nullptr);

// Depths above this are no measurement (a damaged recording, a wrong
// unit) and are invalid, as NaN, infinities and depths not above 0 are:
// far beyond any module's range, and small enough that no sum of a 3 x 3
// window overflows.
constexpr float kFilterMaxDepthMm = 1.0e6f;

// One plane of an image, borrowed: pixel (x, y) is at
// `(char*)data + y * strideBytes` plus x elements. Strides are in bytes
// here and everywhere in this header; a stride is at least
// width * sizeof(T) and a multiple of sizeof(T) (rows padded by an
// allocator, or a region of a larger image).
template <typename T>
struct ImageView {
    T* data = nullptr;
    int width = 0;
    int height = 0;
    size_t strideBytes = 0;

    ImageView() = default;
    // Rows packed one after another.
    ImageView(T* pixels, int w, int h)
        : data(pixels), width(w), height(h), strideBytes(w > 0 ? sizeof(T) * static_cast<size_t>(w) : 0)
    {
    }
    ImageView(T* pixels, int w, int h, size_t stride) : data(pixels), width(w), height(h), strideBytes(stride) {}
    // A mutable view passes where a read-only one is asked for.
    template <typename U, typename = std::enable_if_t<std::is_same_v<const U, T> && !std::is_same_v<U, T>>>
    ImageView(const ImageView<U>& other) // NOLINT: implicit on purpose, as T* to const T*
        : data(other.data), width(other.width), height(other.height), strideBytes(other.strideBytes)
    {
    }

    T* row(int y) const
    {
        using Byte = std::conditional_t<std::is_const_v<T>, const unsigned char, unsigned char>;
        return reinterpret_cast<T*>(reinterpret_cast<Byte*>(data) + static_cast<size_t>(y) * strideBytes);
    }
    T& at(int x, int y) const { return row(y)[x]; }
};

// What one frame gives the filters. Depth in millimetres, 0 = invalid;
// the amplitude plane of the same width and height.
struct FilterInput {
    ImageView<const float> depth;
    ImageView<const float> amplitude;
    float rangeMm = 0.0f;
};

// Implementations of the chain. All of them write the same bits for every
// input; they differ in speed and in the CPUs that run them. The hole
// filler runs the plain code on every backend: it is off by default and
// cheap when on.
using FilterBackend = CpuBackend;

// The backends this CPU can run: SCALAR first, the one new chains use
// last.
std::vector<FilterBackend> filterBackends();

// The stages in order, with the temporal state of one stream.
//
// Sharing: every member may be called from any thread, also while another
// thread is inside apply(); the chain serialises them with its own lock
// (a frame waits for the one before it, parameters change between frames).
// The temporal state belongs to one stream, though: frames of two streams
// through one chain are averaged together where their sizes match, and a
// frame of another size restarts it. Give each stream its own chain (a
// copy takes the parameters and the backend, not the state).
class FilterChain final {
public:
    explicit FilterChain(const FilterParams& params = FilterParams{});
    FilterChain(const FilterChain& other);
    FilterChain& operator=(const FilterChain&) = delete;

    FilterParams params() const;
    // New parameters take effect with the next frame; the temporal average
    // survives unless the temporal stage is switched off. Parameters
    // outside their range (filterParamsValid) are refused with
    // QuorvexInvalidParameter and nothing changes; a chain constructed with
    // such parameters refuses to filter until it is given valid ones.
    TofErrorCode setParams(const FilterParams& params);
    // Forgets the temporal average (a new stream, a jump in the scene).
    void reset();

    // Filters `in` into `out`, which has the input's width and height and
    // is either the very pixels of `in.depth` (filtering in place) or
    // overlaps neither input. Every pixel of `out` is then a depth in
    // (0, kFilterMaxDepthMm] or 0 (invalid): whatever stages are on, NaN,
    // infinities, depths not above 0 and above the maximum come out as 0.
    // The chain sizes its own state and scratch planes with the first frame
    // of a size (a change of size restarts the temporal state); later
    // frames allocate nothing. QuorvexInvalidParameter, `out` untouched, for
    // views that break these rules, a range that is not a positive finite
    // number, or parameters out of range.
    TofErrorCode apply(const FilterInput& in, const ImageView<float>& out);

    // The implementation this chain runs (the fastest one by default).
    // False, and nothing changed, when this CPU cannot run `backend`.
    bool setBackend(FilterBackend backend);
    FilterBackend backend() const;

private:
    mutable std::mutex mutex_;
    FilterParams params_;
    bool paramsValid_;
    FilterBackend backend_;
    std::vector<float> average_;
    // Two planes: the fast chain passes its intermediate depth between
    // them.
    std::vector<float> scratch_;
    std::vector<float> spare_;
    // Packed copies of strided planes, sized when first needed.
    std::vector<float> work_;
    std::vector<float> amplitude_;
    int width_ = 0;
    int height_ = 0;
};

} // namespace Quorvex
