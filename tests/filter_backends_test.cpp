// Every filter backend against the plain code, bit for bit (a NaN matches
// any NaN): realistic frames of the physics model, random frames with
// invalid, saturated, NaN, infinite and negative values, sizes around the
// vector widths, the presets and every stage switched on and off, and the
// temporal state over a stream of frames.
#include "filters/FilterChain.h"
#include "filters/FilterKernels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "sim/SensorPhysics.h"

using namespace Quorvex;

namespace {

struct Frame {
    int w, h;
    std::vector<float> depth, amp;
};

// What the decoders deliver for the realistic world at 37.5 MHz (4000 mm),
// amplitude in their units (16 per sample unit), with the sensor's noise.
Frame realistic(sim::SceneKind kind, int w, int h, uint64_t seed)
{
    sim::PhysicsSettings settings;
    settings.realistic = true;
    sim::PhysicalWorld world(kind, sim::SceneParams{}, w, h, settings);
    const auto& light = world.lightAt(37500000.0, 0, 0.0);
    sim::NoiseSource noise(seed);
    Frame f{w, h, std::vector<float>(light.size()), std::vector<float>(light.size())};
    for (size_t i = 0; i < light.size(); ++i) {
        const double sigma = std::sqrt(light[i].ambient + 32.0 * light[i].total + 225.0) / 32.0 * std::sqrt(0.5);
        const double re = light[i].re + sigma * noise.gaussian();
        const double im = light[i].im + sigma * noise.gaussian();
        const double phase = std::atan2(im, re);
        f.depth[i] = static_cast<float>((phase < 0 ? phase + 2 * M_PI : phase) / (2 * M_PI) * 4000.0);
        f.amp[i] = static_cast<float>(16.0 * std::hypot(re, im));
    }
    return f;
}

// Random depths and amplitudes over and past every threshold, with a share
// of the values no decoder should deliver.
Frame randomFrame(int w, int h, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> depth(0.0f, 5000.0f), amp(0.0f, 20000.0f), pick(0.0f, 1.0f);
    Frame f{w, h, std::vector<float>(static_cast<size_t>(w) * h), std::vector<float>(static_cast<size_t>(w) * h)};
    const float specials[] = {0.0f, -0.0f, -30.0f, std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::infinity(), 1e30f};
    for (size_t i = 0; i < f.depth.size(); ++i) {
        // Patches of one depth, so that the 3 x 3 tests see both flat
        // surfaces and edges.
        f.depth[i] = (i % 7 < 4 && i > 0) ? f.depth[i - 1] + pick(rng) * 8.0f : depth(rng);
        f.amp[i] = amp(rng);
        const float r = pick(rng);
        if (r < 0.03f)
            f.depth[i] = specials[static_cast<size_t>(pick(rng) * 6) % 6];
        else if (r < 0.05f)
            f.amp[i] = specials[static_cast<size_t>(pick(rng) * 6) % 6];
    }
    return f;
}

::testing::AssertionResult sameBits(const std::vector<float>& got, const std::vector<float>& want)
{
    for (size_t i = 0; i < want.size(); ++i) {
        const bool bothNaN = std::isnan(got[i]) && std::isnan(want[i]);
        if (!bothNaN && std::memcmp(&got[i], &want[i], sizeof(float)) != 0)
            return ::testing::AssertionFailure() << "pixel " << i << ": " << got[i] << " vs plain " << want[i];
    }
    return ::testing::AssertionSuccess();
}

std::vector<FilterBackend> fastBackends()
{
    std::vector<FilterBackend> list = filterBackends();
    list.erase(list.begin());
    return list;
}

std::vector<Frame> frames()
{
    std::vector<Frame> list;
    list.push_back(realistic(sim::SceneKind::BOX, 240, 180, 1));
    list.push_back(realistic(sim::SceneKind::SPHERE, 240, 180, 2));
    list.push_back(realistic(sim::SceneKind::STEPS, 160, 120, 3));
    // Widths about one and two vectors wide, and not a multiple of one.
    for (int w : {3, 6, 9, 10, 11, 17, 18, 19, 37})
        list.push_back(randomFrame(w, 5, 10 + w));
    list.push_back(randomFrame(240, 180, 7));
    return list;
}

std::vector<std::pair<std::string, FilterParams>> parameterSets()
{
    std::vector<std::pair<std::string, FilterParams>> sets;
    for (const char* name : {"default", "near", "far"}) {
        FilterParams p;
        filterPreset(name, p);
        sets.emplace_back(name, p);
    }
    // Each stage off in turn, holes on, and a gap below zero (taken by the
    // plain code on every backend).
    bool FilterParams::*stages[] = {&FilterParams::confidence, &FilterParams::aliasing, &FilterParams::flying,
                                    &FilterParams::spatial, &FilterParams::temporal};
    const char* names[] = {"no confidence", "no aliasing", "no flying", "no spatial", "no temporal"};
    for (int i = 0; i < 5; ++i) {
        FilterParams p;
        p.*stages[i] = false;
        sets.emplace_back(names[i], p);
    }
    FilterParams holes;
    holes.holes = true;
    sets.emplace_back("holes", holes);
    FilterParams negative;
    negative.flyingGapMm = -5.0f;
    negative.flyingGapRel = 0.0f;
    sets.emplace_back("negative gap", negative);
    return sets;
}

} // namespace

TEST(FilterBackends, ScalarFirstAndKnownNames)
{
    const std::vector<FilterBackend> list = filterBackends();
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list.front(), FilterBackend::SCALAR);
    EXPECT_EQ(FilterChain().backend(), list.back());
    EXPECT_STREQ(to_str(FilterBackend::NEON), "neon");
    for (FilterBackend b : {FilterBackend::SCALAR, FilterBackend::AVX2, FilterBackend::NEON}) {
        FilterChain chain;
        EXPECT_EQ(chain.setBackend(b), detail::filterKernels(b) != nullptr) << to_str(b);
    }
}

// Each stage alone, on every frame and parameter set.
TEST(FilterBackends, StagesMatchThePlainCode)
{
    const detail::FilterKernels& plain = *detail::filterKernels(FilterBackend::SCALAR);
    for (FilterBackend b : fastBackends()) {
        const detail::FilterKernels& fast = *detail::filterKernels(b);
        using Stage = void (*)(const detail::FilterKernels&, const DepthImage&, const FilterParams&, float*);
        const std::pair<const char*, Stage> stages[] = {
            {"confidence", [](const detail::FilterKernels& k, const DepthImage& i, const FilterParams& p, float*) {
                 k.confidence(i, p);
             }},
            {"aliasing", [](const detail::FilterKernels& k, const DepthImage& i, const FilterParams& p, float*) {
                 k.aliasing(i, p);
             }},
            {"flying", [](const detail::FilterKernels& k, const DepthImage& i, const FilterParams& p, float* s) {
                 k.flying(i, p, s);
             }},
            {"spatial", [](const detail::FilterKernels& k, const DepthImage& i, const FilterParams& p, float* s) {
                 k.spatial(i, p, s);
             }},
            // The state plane starts with the frame's own noisy depth.
            {"temporal", [](const detail::FilterKernels& k, const DepthImage& i, const FilterParams& p, float* s) {
                 k.temporal(i, p, s);
             }},
        };
        for (const Frame& f : frames())
            for (const auto& [setName, p] : parameterSets())
                for (const auto& [stageName, run] : stages) {
                    std::vector<float> want = f.depth, got = f.depth;
                    std::vector<float> wantScratch(f.amp.rbegin(), f.amp.rend()), gotScratch = wantScratch;
                    run(plain, {want.data(), f.amp.data(), f.w, f.h, 4000.0f}, p, wantScratch.data());
                    run(fast, {got.data(), f.amp.data(), f.w, f.h, 4000.0f}, p, gotScratch.data());
                    EXPECT_TRUE(sameBits(got, want)) << to_str(b) << ", " << stageName << ", " << setName << ", "
                                                     << f.w << " x " << f.h;
                    if (std::string(stageName) == "temporal") {
                        EXPECT_TRUE(sameBits(gotScratch, wantScratch)) << to_str(b) << ", average, " << setName;
                    }
                }
    }
}

// The chain over a stream: the temporal state carries from frame to frame,
// and the range changes on the way (as `range` can at run time).
TEST(FilterBackends, ChainMatchesThePlainCodeOverAStream)
{
    const std::vector<Frame> list = frames();
    for (FilterBackend b : fastBackends())
        for (const auto& [setName, p] : parameterSets())
            for (const Frame& first : list) {
                FilterChain plain(p), fast(p);
                ASSERT_TRUE(plain.setBackend(FilterBackend::SCALAR));
                ASSERT_TRUE(fast.setBackend(b));
                for (int k = 0; k < 4; ++k) {
                    // Later frames of the same size: the first one again,
                    // then moved by one pixel (a moving edge), then noisier.
                    std::vector<float> want = first.depth;
                    if (k == 1) {
                        want.insert(want.begin(), want.back());
                        want.pop_back();
                    }
                    for (size_t i = 0; k == 3 && i < want.size(); i += 3)
                        want[i] += 25.0f;
                    std::vector<float> got = want;
                    const float range = k == 2 ? 2000.0f : 4000.0f;
                    plain.apply({want.data(), first.amp.data(), first.w, first.h, range});
                    fast.apply({got.data(), first.amp.data(), first.w, first.h, range});
                    EXPECT_TRUE(sameBits(got, want)) << to_str(b) << ", " << setName << ", frame " << k << ", "
                                                     << first.w << " x " << first.h;
                }
            }
}

// Values no decoder delivers are invalid, not passed on as depth.
TEST(FilterBackends, NonFiniteAndNegativeDepthInvalid)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (FilterBackend b : filterBackends()) {
        const detail::FilterKernels& k = *detail::filterKernels(b);
        // Nine pixels: one vector's worth and a tail on every backend.
        std::vector<float> depth = {nan, inf, -inf, -100.0f, 1000.0f, 1000.0f, nan, -0.0f, 1500.0f};
        std::vector<float> amp(depth.size(), 5000.0f);
        k.confidence({depth.data(), amp.data(), 9, 1, 4000.0f}, FilterParams{});
        const std::vector<float> expected = {0, 0, 0, 0, 1000, 1000, 0, 0, 1500};
        EXPECT_EQ(depth, expected) << to_str(b);
    }
}
