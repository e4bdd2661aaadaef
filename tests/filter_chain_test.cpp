// The filter chain against scenes whose truth is known here: returns are
// summed as phasors (so mixed pixels, their depth between the surfaces and
// their amplitude drop come from the optics), depth noise follows the
// amplitude, and surfaces beyond the range wrap.
#include "filters/FilterChain.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <initializer_list>
#include <random>
#include <vector>

using namespace Quorvex;

namespace {

constexpr int W = 240;
constexpr int H = 180;
constexpr double kPi = 3.14159265358979323846;
constexpr double kGain = 6400.0;  // amplitude of a white target at 1 m (the simulated module)
constexpr double kNoise = 24.0;   // per-sample noise, amplitude units, as measured on weak returns

struct Surface {
    double depthMm;
    double reflectivity;
};

struct Rendered {
    std::vector<float> depth, amp, truth;
    std::vector<int> edge; // 1 where the pixel straddles two surfaces
};

// `at(x, y, sub)` gives the surface seen by sub-ray `sub` (0..15, 4 x 4).
template <typename F>
Rendered render(F at, double rangeMm, std::mt19937& rng, bool noise = true)
{
    Rendered r;
    r.depth.resize(W * H);
    r.amp.resize(W * H);
    r.truth.resize(W * H);
    r.edge.resize(W * H);
    std::normal_distribution<double> g(0.0, 1.0);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            std::complex<double> z;
            double first = -1.0;
            bool mixed = false;
            for (int s = 0; s < 16; ++s) {
                const Surface su = at(x + (s % 4 + 0.5) / 4.0, y + (s / 4 + 0.5) / 4.0);
                const double m = su.depthMm / 1000.0;
                z += std::polar(kGain * su.reflectivity / (m * m) / 16.0, 2 * kPi * su.depthMm / rangeMm);
                if (first < 0)
                    first = su.depthMm;
                mixed |= su.depthMm != first;
            }
            const size_t i = static_cast<size_t>(y) * W + x;
            double a = std::abs(z);
            double ph = std::arg(z);
            if (noise) {
                // Per-sample noise on x and y, as the decoder sees it.
                z += std::complex<double>(kNoise * g(rng), kNoise * g(rng)) * std::sqrt(0.5);
                a = std::abs(z);
                ph = std::arg(z);
            }
            if (ph < 0)
                ph += 2 * kPi;
            r.depth[i] = static_cast<float>(ph / (2 * kPi) * rangeMm);
            r.amp[i] = static_cast<float>(a);
            r.truth[i] = static_cast<float>(first);
            r.edge[i] = mixed;
        }
    return r;
}

// A box (1000 mm) before a wall (2000 mm), or its step edges.
Surface boxScene(double x, double y)
{
    if (x > 80 && x < 160.3 && y > 50.7 && y < 130)
        return {1000.0, 0.6};
    return {2000.0, 0.8};
}

// Filters `r` in place.
void run(FilterChain& chain, Rendered& r, float range)
{
    const ImageView<float> depth(r.depth.data(), W, H);
    ASSERT_EQ(chain.apply({depth, {r.amp.data(), W, H}, range}, depth), QuorvexSuccess);
}
void run(FilterChain&& chain, Rendered& r, float range) { run(chain, r, range); }

// The parameters with every stage but those named off: one stage alone.
FilterParams only(std::initializer_list<bool FilterParams::*> stages)
{
    FilterParams p;
    p.confidence = p.aliasing = p.flying = p.spatial = p.temporal = p.holes = false;
    for (bool FilterParams::*s : stages)
        p.*s = true;
    return p;
}

bool nearEdge(const Rendered& r, int x, int y, int margin)
{
    for (int dy = -margin; dy <= margin; ++dy)
        for (int dx = -margin; dx <= margin; ++dx) {
            const int xx = x + dx, yy = y + dy;
            if (xx < 0 || yy < 0 || xx >= W || yy >= H || r.edge[yy * W + xx])
                return true;
        }
    return false;
}

struct Counts {
    int flying = 0, flyingRemoved = 0, clean = 0, cleanKept = 0;
};

Counts count(const Rendered& raw, const std::vector<float>& filtered)
{
    Counts c;
    for (int y = 1; y < H - 1; ++y)
        for (int x = 1; x < W - 1; ++x) {
            const size_t i = y * W + x;
            if (raw.edge[i]) {
                // Mixed pixels that decode far from both surfaces.
                const float d = raw.depth[i];
                if (std::fabs(d - 1000.0f) > 50.0f && std::fabs(d - 2000.0f) > 50.0f) {
                    ++c.flying;
                    c.flyingRemoved += filtered[i] == 0.0f;
                }
            } else if (!nearEdge(raw, x, y, 2) && raw.depth[i] > 0.0f) {
                ++c.clean;
                c.cleanKept += filtered[i] > 0.0f;
            }
        }
    return c;
}

} // namespace

TEST(FilterChain, PresetsAreKnownByNameOnly)
{
    FilterParams p;
    for (const char* name : {"default", "near", "far"})
        EXPECT_TRUE(filterPreset(name, p)) << name;
    p.spatialDeltaMm = -1.0f;
    EXPECT_FALSE(filterPreset("nearest", p));
    EXPECT_FALSE(filterPreset(nullptr, p));
    EXPECT_EQ(p.spatialDeltaMm, -1.0f); // untouched by a refusal
    FilterParams d;
    ASSERT_TRUE(filterPreset("default", d));
    EXPECT_FALSE(d.holes);
}

// Flying pixels go, clean surfaces stay: per stage alone and for the chain.
TEST(FilterChain, FlyingPixelsRemovedSurfacesKept)
{
    std::mt19937 rng(1);
    Rendered raw = render(boxScene, 4000.0, rng);
    struct Case {
        const char* what;
        bool chain;
        double minRemoved, minKept;
    } cases[] = {{"flying stage alone", false, 0.95, 0.97}, {"default chain", true, 0.95, 0.97}};
    for (const Case& k : cases) {
        Rendered r = raw;
        run(FilterChain(k.chain ? FilterParams{} : only({&FilterParams::flying})), r, 4000.0f);
        const Counts c = count(raw, r.depth);
        ASSERT_GT(c.flying, 100) << k.what;
        EXPECT_GE(c.flyingRemoved, k.minRemoved * c.flying) << k.what << ": " << c.flyingRemoved << "/" << c.flying;
        EXPECT_GE(c.cleanKept, k.minKept * c.clean) << k.what << ": " << c.cleanKept << "/" << c.clean;
    }
}

// A wall beyond the 2000 mm range reads near and dim; one in range stays.
// Walls of reflectivity 0.6, as the simulated rooms have: the default
// gain takes the brightest target to be such a matt wall.
TEST(FilterChain, AliasedWallInvalidatedInRangeWallKept)
{
    struct Case {
        double wallMm;
        float range;
        bool wrapped;
    } cases[] = {{2500, 2000, true}, {3200, 2000, true}, {2500, 4000, false}, {1500, 2000, false},
                 {1900, 2000, false}};
    for (const Case& k : cases) {
        std::mt19937 rng(2);
        Rendered r = render([&](double, double) { return Surface{k.wallMm, 0.6}; }, k.range, rng);
        run(FilterChain(only({&FilterParams::confidence, &FilterParams::aliasing})), r, k.range);
        int kept = 0;
        for (float d : r.depth)
            kept += d > 0.0f;
        if (k.wrapped)
            EXPECT_LE(kept, 0.01 * W * H) << k.wallMm << " in " << k.range;
        else
            EXPECT_GE(kept, 0.99 * W * H) << k.wallMm << " in " << k.range;
    }
}

// The tilted wall across the end of the range: what lies beyond goes, the
// rest stays, and the cut follows the range the chain is given.
TEST(FilterChain, TiltedWallAcrossTheRange)
{
    auto tilted = [](double x, double) { return Surface{1900.0 + (x - 120.0) * 4.0, 0.6}; };
    for (float range : {2000.0f, 4000.0f}) {
        std::mt19937 rng(3);
        Rendered r = render(tilted, range, rng);
        run(FilterChain(), r, range);
        int beyond = 0, beyondKept = 0, inside = 0, insideKept = 0;
        for (int y = 1; y < H - 1; ++y)
            for (int x = 3; x < W - 3; ++x) {
                const double t = tilted(x + 0.5, 0).depthMm;
                if (std::fabs(t - range) < 30.0)
                    continue; // the wrap itself is an edge
                const bool kept = r.depth[y * W + x] > 0.0f;
                (t > range ? beyond : inside) += 1;
                (t > range ? beyondKept : insideKept) += kept;
            }
        EXPECT_LE(beyondKept, 0.01 * beyond) << range;
        EXPECT_GE(insideKept, 0.97 * inside) << range;
    }
}

// Static noise halves at least; a moving box leaves no trail.
TEST(FilterChain, NoiseDropsAndMotionLeavesNoTrail)
{
    FilterChain chain;
    double rawSq = 0, filtSq = 0;
    int n = 0;
    std::mt19937 rng(4);
    for (int f = 0; f < 20; ++f) {
        Rendered r = render([](double, double) { return Surface{1500.0, 0.8}; }, 4000.0, rng);
        const std::vector<float> before = r.depth;
        run(chain, r, 4000.0f);
        if (f < 10)
            continue; // the average settles
        for (int y = 2; y < H - 2; ++y)
            for (int x = 2; x < W - 2; ++x) {
                const size_t i = y * W + x;
                if (r.depth[i] <= 0.0f)
                    continue;
                rawSq += std::pow(before[i] - 1500.0, 2);
                filtSq += std::pow(r.depth[i] - 1500.0, 2);
                ++n;
            }
    }
    ASSERT_GT(n, 0);
    EXPECT_LE(std::sqrt(filtSq / n), 0.5 * std::sqrt(rawSq / n));

    // The box moves 3 pixels a frame: pixels it just left show the wall.
    FilterChain moving;
    double rawErr = 0, filtErr = 0;
    int m = 0;
    for (int f = 0; f < 12; ++f) {
        const double shift = 3.0 * f;
        auto scene = [&](double x, double y) { return boxScene(x - shift, y); };
        Rendered r = render(scene, 4000.0, rng);
        const std::vector<float> before = r.depth;
        run(moving, r, 4000.0f);
        for (int y = 1; y < H - 1; ++y)
            for (int x = 1; x < W - 1; ++x) {
                const size_t i = y * W + x;
                if (r.edge[i] || nearEdge(r, x, y, 1) || r.depth[i] <= 0.0f)
                    continue;
                rawErr += std::fabs(before[i] - r.truth[i]);
                filtErr += std::fabs(r.depth[i] - r.truth[i]);
                ++m;
            }
    }
    ASSERT_GT(m, 0);
    EXPECT_LE(filtErr / m, rawErr / m + 2.0);
}

TEST(FilterChain, HolesFilledOnlyWhenAsked)
{
    std::mt19937 rng(5);
    Rendered r = render([](double, double) { return Surface{1200.0, 0.8}; }, 4000.0, rng, false);
    r.depth[90 * W + 120] = 0.0f; // a lone hole
    r.depth[10 * W + 10] = 0.0f;
    r.depth[10 * W + 11] = 0.0f;
    r.depth[11 * W + 10] = 0.0f;
    r.depth[11 * W + 11] = 0.0f;
    r.depth[12 * W + 12] = 0.0f;
    Rendered off = r;
    FilterParams p;
    p.spatial = p.temporal = false;
    run(FilterChain(p), off, 4000.0f);
    EXPECT_EQ(off.depth[90 * W + 120], 0.0f);
    p.holes = true;
    run(FilterChain(p), r, 4000.0f);
    EXPECT_NEAR(r.depth[90 * W + 120], 1200.0f, 1.0f);
    // Inside a 2 x 2 hole a corner pixel sees only 5 valid neighbours.
    EXPECT_EQ(r.depth[10 * W + 10], 0.0f);
}

TEST(FilterChain, SaturatedAndWeakPixelsInvalid)
{
    std::vector<float> depth = {1000, 1000, 1000, 3000, 3000};
    std::vector<float> amp = {20000, 5000, 10, 5000, 100};
    FilterChain chain(only({&FilterParams::confidence}));
    ASSERT_EQ(chain.apply({{depth.data(), 5, 1}, {amp.data(), 5, 1}, 4000.0f}, {depth.data(), 5, 1}), QuorvexSuccess);
    // Predicted noise: 4000/(2 pi) * 48 / sqrt(2) / amp = 21600 / amp mm.
    const std::vector<float> expected = {0, 1000, 0, 3000, 0};
    EXPECT_EQ(depth, expected);
}

// Without noise: a face seen at a grazing angle (a steep plane) and a box's
// front stay whole, border included; one column of mixed pixels between two
// plateaus goes over its whole height, border rows included.
TEST(FilterChain, SteepFacesStayJumpsGoUpToTheBorder)
{
    struct Case {
        const char* what;
        float (*depth)(int x);
        int goneColumn; // -1: nothing may go
    } cases[] = {
        {"plane rising 40 mm per column", [](int x) { return 500.0f + 40.0f * std::min(x, 60); }, -1},
        {"plane rising 100 mm per column, then flat", [](int x) { return 1000.0f + 100.0f * std::min(x, 20); }, -1},
        {"plateaus 1000 and 2000 mm, one pixel between",
         [](int x) { return x < 40 ? 1000.0f : x == 40 ? 1500.0f : 2000.0f; }, 40},
    };
    for (const Case& k : cases) {
        std::vector<float> depth(W * H), amp(W * H);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                depth[y * W + x] = k.depth(x);
                amp[y * W + x] = 2000.0f; // one brightness: the gap test alone decides
            }
        FilterChain chain(only({&FilterParams::flying}));
        ASSERT_EQ(chain.apply({{depth.data(), W, H}, {amp.data(), W, H}, 4000.0f}, {depth.data(), W, H}),
                  QuorvexSuccess);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x)
                ASSERT_EQ(depth[y * W + x] == 0.0f, x == k.goneColumn) << k.what << " at " << x << "," << y;
    }
}

// The views: a padded or strided input, a separate or padded output and
// filtering in place give the same depth; views that break the rules are
// refused with the output untouched.
TEST(FilterChain, ViewsWithStridesInPlaceAndRefusals)
{
    std::mt19937 rng(6);
    Rendered r = render(boxScene, 4000.0, rng);
    std::vector<float> want(W * H);
    ASSERT_EQ(FilterChain().apply({{r.depth.data(), W, H}, {r.amp.data(), W, H}, 4000.0f}, {want.data(), W, H}),
              QuorvexSuccess);

    // Rows padded to 256 floats, depth and amplitude interleaved in one
    // buffer of 2 x 256 floats a row.
    constexpr int kPad = 256;
    std::vector<float> both(2 * kPad * H, -7.0f), out(kPad * H, -7.0f);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            both[2 * kPad * y + x] = r.depth[y * W + x];
            both[2 * kPad * y + kPad + x] = r.amp[y * W + x];
        }
    const size_t pairStride = 2 * kPad * sizeof(float);
    const ImageView<const float> depth(both.data(), W, H, pairStride);
    const ImageView<const float> amp(both.data() + kPad, W, H, pairStride);
    ASSERT_EQ(FilterChain().apply({depth, amp, 4000.0f}, {out.data(), W, H, kPad * sizeof(float)}), QuorvexSuccess);
    for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x)
            ASSERT_EQ(out[kPad * y + x], want[y * W + x]) << x << "," << y;
        ASSERT_EQ(out[kPad * y + W], -7.0f) << "padding written in row " << y;
    }
    // In place on the strided depth itself.
    const ImageView<float> inPlace(both.data(), W, H, pairStride);
    ASSERT_EQ(FilterChain().apply({inPlace, amp, 4000.0f}, inPlace), QuorvexSuccess);
    EXPECT_EQ(inPlace.at(100, 90), want[90 * W + 100]);
    EXPECT_EQ(inPlace.at(W - 1, H - 1), want[W * H - 1]);

    struct Refused {
        const char* what;
        FilterInput in;
        ImageView<float> out;
    };
    std::vector<float> target(W * H, -7.0f);
    const ImageView<const float> d(r.depth.data(), W, H), a(r.amp.data(), W, H);
    const ImageView<float> t(target.data(), W, H);
    const Refused cases[] = {
        {"sizes differ", {d, {r.amp.data(), H, W}, 4000.0f}, t},
        {"output of another size", {d, a, 4000.0f}, {target.data(), W - 1, H}},
        {"stride under a row", {{r.depth.data(), W, H, (W - 1) * sizeof(float)}, a, 4000.0f}, t},
        {"stride not of whole floats", {{r.depth.data(), W / 2, H, W * sizeof(float) + 2}, {r.amp.data(), W / 2, H}, 4000.0f},
         {target.data(), W / 2, H}},
        {"no pixels", {{r.depth.data(), 0, H}, {r.amp.data(), 0, H}, 4000.0f}, {target.data(), 0, H}},
        {"null plane", {{static_cast<const float*>(nullptr), W, H}, a, 4000.0f}, t},
        {"output over the amplitude", {d, a, 4000.0f}, {r.amp.data(), W, H}},
        {"output shifted over the depth", {d, a, 4000.0f}, {r.depth.data() + 1, W - 1 + 1, H - 1}},
        {"range 0", {d, a, 0.0f}, t},
        {"range NaN", {d, a, std::nanf("")}, t},
        {"range infinite", {d, a, INFINITY}, t},
    };
    for (const Refused& k : cases) {
        EXPECT_EQ(FilterChain().apply(k.in, k.out), QuorvexInvalidParameter) << k.what;
        EXPECT_EQ(target[0], -7.0f) << k.what;
    }
}

// Every preset lies in the ranges; a value outside one is refused by
// setParams (the old parameters stay) and by a chain built with it.
TEST(FilterChain, ParametersOutOfRangeRefused)
{
    for (const char* name : {"default", "near", "far"}) {
        FilterParams p;
        ASSERT_TRUE(filterPreset(name, p));
        EXPECT_TRUE(filterParamsValid(p)) << name;
    }
    struct Case {
        const char* name;
        void (*set)(FilterParams&);
    } cases[] = {
        {"temporal_alpha", [](FilterParams& p) { p.temporalAlpha = 0.0f; }},
        {"temporal_alpha", [](FilterParams& p) { p.temporalAlpha = 1.5f; }},
        {"spatial_delta_mm", [](FilterParams& p) { p.spatialDeltaMm = std::nanf(""); }},
        {"flying_gap_mm", [](FilterParams& p) { p.flyingGapMm = -1.0f; }},
        {"max_noise", [](FilterParams& p) { p.maxNoise = INFINITY; }},
        {"saturation", [](FilterParams& p) { p.saturation = 0.0f; }},
        {"hole_min_neighbours", [](FilterParams& p) { p.holeMinNeighbours = 9; }},
        {"hole_min_neighbours", [](FilterParams& p) { p.holeMinNeighbours = 0; }},
    };
    std::vector<float> depth(16, 1000.0f), amp(16, 3000.0f);
    for (const Case& k : cases) {
        FilterParams p;
        k.set(p);
        const char* bad = nullptr;
        EXPECT_FALSE(filterParamsValid(p, &bad)) << k.name;
        EXPECT_STREQ(bad, k.name);
        ASSERT_NE(filterParamRange(k.name), nullptr) << k.name;
        FilterChain chain;
        EXPECT_EQ(chain.setParams(p), QuorvexInvalidParameter) << k.name;
        EXPECT_TRUE(filterParamsValid(chain.params())) << k.name;
        EXPECT_EQ(FilterChain(p).apply({{depth.data(), 4, 4}, {amp.data(), 4, 4}, 4000.0f}, {depth.data(), 4, 4}),
                  QuorvexInvalidParameter)
            << k.name;
    }
    EXPECT_EQ(filterParamRange("spatial"), nullptr);
    EXPECT_EQ(filterParamRange(nullptr), nullptr);
}
