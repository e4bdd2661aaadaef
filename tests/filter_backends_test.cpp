// Every filter backend against the plain code, bit for bit (a NaN matches
// any NaN): realistic frames of the physics model, random frames with
// invalid, saturated, NaN, infinite and negative values, sizes around the
// vector widths, the presets and every stage switched on and off, and the
// temporal state over a stream of frames.
#include "filters/FilterChain.h"
#include "filters/FilterKernels.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sim/SensorPhysics.h"

using namespace Quorvex;
using detail::DepthImage;

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
                              std::numeric_limits<float>::infinity(), 1e30f, -std::numeric_limits<float>::infinity(),
                              3e38f};
    for (size_t i = 0; i < f.depth.size(); ++i) {
        // Patches of one depth, so that the 3 x 3 tests see both flat
        // surfaces and edges.
        f.depth[i] = (i % 7 < 4 && i > 0) ? f.depth[i - 1] + pick(rng) * 8.0f : depth(rng);
        f.amp[i] = amp(rng);
        const float r = pick(rng);
        if (r < 0.03f)
            f.depth[i] = specials[static_cast<size_t>(pick(rng) * 8) % 8];
        else if (r < 0.05f)
            f.amp[i] = specials[static_cast<size_t>(pick(rng) * 8) % 8];
    }
    return f;
}

// A wall with one step along each row, at a column that moves from row to
// row, a mixed pixel on the step and a steep smooth ramp beside it: the
// flying-pixel test finds only a few pixels of a vector open, in its first
// half, its second, across the two, or at the end of a row.
Frame fewOpen(int w, int h)
{
    Frame f{w, h, std::vector<float>(static_cast<size_t>(w) * h), std::vector<float>(static_cast<size_t>(w) * h)};
    for (int y = 0; y < h; ++y) {
        const int step = (y * 5 + y / 3) % w;
        for (int x = 0; x < w; ++x) {
            const size_t i = static_cast<size_t>(y) * w + x;
            f.depth[i] = 1000.0f + 0.25f * static_cast<float>(x) + (x >= step ? 600.0f : 0.0f);
            f.amp[i] = 3000.0f - static_cast<float>((x * 37 + y * 11) % 500);
            if (x == step - 1) {
                f.depth[i] += 300.0f;
                f.amp[i] = y % 2 ? 400.0f : 2900.0f;
            }
            // The ramp: nearer and farther neighbours, but a smooth line.
            const int ramp = (step + w / 2) % w;
            if (y % 3 == 0 && x >= ramp && x < ramp + 4)
                f.depth[i] += 90.0f * static_cast<float>(x - ramp + 1);
        }
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

// Every vector build of the stages this CPU runs. The dispatcher hands out
// one build per backend (on x86 the widest the CPU takes), so the narrower
// ones are taken here directly: each must match the plain code wherever it
// is the one chosen.
struct VectorKernels {
    const char* name;
    const detail::FilterKernels* kernels;
};

std::vector<VectorKernels> vectorKernels()
{
    std::vector<VectorKernels> list;
    if (cpuHasAvx2() && detail::filterKernelsAvx2())
        list.push_back({"avx2", detail::filterKernelsAvx2()});
    if (cpuHasAvx2() && cpuHasAvx512() && detail::filterKernelsAvx512())
        list.push_back({"avx512", detail::filterKernelsAvx512()});
    if (cpuHasNeon() && detail::filterKernelsNeon())
        list.push_back({"neon", detail::filterKernelsNeon()});
    return list;
}

std::vector<Frame> frames()
{
    std::vector<Frame> list;
    list.push_back(realistic(sim::SceneKind::BOX, 240, 180, 1));
    list.push_back(realistic(sim::SceneKind::SPHERE, 240, 180, 2));
    list.push_back(realistic(sim::SceneKind::STEPS, 160, 120, 3));
    // Widths about one and two vectors wide, and not a multiple of one.
    for (int w : {3, 6, 9, 10, 11, 17, 18, 19, 33, 34, 35, 37, 51})
        list.push_back(randomFrame(w, 5, 10 + w));
    // As few rows as the 3 x 3 stages take, and one more.
    list.push_back(randomFrame(13, 3, 5));
    list.push_back(randomFrame(21, 4, 6));
    // Heights that leave one row over, or none, when the chain takes its
    // rows two at a time.
    list.push_back(randomFrame(23, 6, 8));
    list.push_back(randomFrame(29, 7, 9));
    list.push_back(randomFrame(45, 33, 11));
    list.push_back(randomFrame(240, 180, 7));
    // Vectors with only some lanes open, on widths a multiple of the widest
    // vector and not one of any.
    list.push_back(fewOpen(64, 24));
    list.push_back(fewOpen(61, 24));
    list.push_back(fewOpen(27, 9));
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
    // Each stage off in turn, holes on, and a gap below zero (which a chain
    // refuses; the stages take it to the plain code on every backend).
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
    // The amplitude ratio at its ends (the fast flying-pixel test bounds
    // the brightest neighbour by the ratio), and below them.
    for (float ratio : {0.0f, 1.0f, -0.5f}) {
        FilterParams p;
        p.flyingAmpRatio = ratio;
        sets.emplace_back("amplitude ratio " + std::to_string(ratio), p);
    }
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
    // Where the CPU has AVX-512, chains on AVX2 take the 16-lane build.
    if (cpuHasAvx2()) {
        EXPECT_EQ(detail::filterKernels(FilterBackend::AVX2),
                  cpuHasAvx512() ? detail::filterKernelsAvx512() : detail::filterKernelsAvx2());
    }
}

// Each stage of the table alone, on every frame and parameter set.
TEST(FilterBackends, StagesMatchThePlainCode)
{
    const detail::FilterKernels& plain = *detail::filterKernels(FilterBackend::SCALAR);
    for (const VectorKernels& v : vectorKernels()) {
        const detail::FilterKernels& fast = *v.kernels;
        for (const Frame& f : frames())
            for (const auto& [setName, p] : parameterSets())
                for (size_t s = 0; s < detail::kFilterStageCount; ++s) {
                    ASSERT_STREQ(fast.stages[s].name, plain.stages[s].name);
                    std::vector<float> want = f.depth, got = f.depth;
                    // The state plane starts with the frame's own noisy depth.
                    std::vector<float> wantAverage = f.depth, gotAverage = wantAverage;
                    std::vector<float> wantScratch(f.amp.rbegin(), f.amp.rend()), gotScratch;
                    wantScratch.resize(detail::filterScratchPixels(f.w, f.h), 7.0f);
                    gotScratch = wantScratch;
                    std::vector<float> wantSpare = wantScratch, gotSpare = wantScratch;
                    plain.stages[s].plain({want.data(), f.amp.data(), f.w, f.h, 4000.0f}, p,
                                          {wantAverage.data(), wantScratch.data(), wantSpare.data()});
                    fast.stages[s].vector({got.data(), f.amp.data(), f.w, f.h, 4000.0f}, p,
                                          {gotAverage.data(), gotScratch.data(), gotSpare.data()});
                    const std::string what = std::string(v.name) + ", " + fast.stages[s].name + ", " + setName +
                                             ", " + std::to_string(f.w) + " x " + std::to_string(f.h);
                    EXPECT_TRUE(sameBits(got, want)) << what;
                    EXPECT_TRUE(sameBits(gotAverage, wantAverage)) << what << ", average";
                }
    }
}

// Every combination of stages, on every backend: the backend's chain (the
// fused passes of the default shape, or its walk over the stage table)
// against the same table walked by each stage's vector function and by
// each plain function, from a source apart and in place, over two frames
// (the second one on a temporal average).
TEST(FilterBackends, ChainMatchesTheStageTableForEveryCombination)
{
    const detail::FilterKernels& plain = *detail::filterKernels(FilterBackend::SCALAR);
    const std::vector<Frame> list = frames();
    for (unsigned mask = 0; mask < (1u << detail::kFilterStageCount); ++mask) {
        FilterParams p;
        for (size_t s = 0; s < detail::kFilterStageCount; ++s)
            p.*plain.stages[s].enabled = (mask >> s) & 1u;
        for (const Frame& f : list) {
            // Runs 0 .. 2 (plain stages, each backend's vector stages, its
            // chain) of one backend on `state`: the depth and the planes.
            struct State {
                std::vector<float> depth, average, scratch, spare;
            };
            auto fresh = [&] {
                const size_t n = f.depth.size();
                // Scratch planes left dirty by whatever ran before.
                const size_t scratch = detail::filterScratchPixels(f.w, f.h);
                return State{std::vector<float>(n, -1.0f), std::vector<float>(n, 0.0f),
                             std::vector<float>(scratch, 7.0f), std::vector<float>(scratch, 7.0f)};
            };
            // The second frame differs from the first, mostly within the
            // temporal stage's gap (averaged), now and then beyond it
            // (restarted): a pass that steps a pixel twice shows only then.
            std::vector<float> second = f.depth;
            for (size_t i = 0; i < second.size(); ++i)
                if (second[i] > 0.0f)
                    second[i] += i % 13 == 0 ? 60.0f : float(int(i * 7 % 11) - 5) * 1.5f;
            auto run = [&](const detail::FilterKernels& k, int how, State& st, int frame) {
                // The first frame from a source apart, the second in place.
                if (frame == 1)
                    st.depth = second;
                const float* source = frame == 1 ? st.depth.data() : f.depth.data();
                const DepthImage img{st.depth.data(), f.amp.data(), f.w, f.h, 4000.0f};
                const detail::FilterPlanes planes{st.average.data(), st.scratch.data(), st.spare.data()};
                if (how == 2)
                    k.chain(img, source, p, planes);
                else
                    detail::runFilterStages(k.stages, how == 1, img, source, p, planes);
            };
            State want = fresh();
            const std::vector<VectorKernels> kernels = vectorKernels();
            std::vector<State> got(2 * kernels.size());
            for (State& st : got)
                st = fresh();
            for (int frame = 0; frame < 2; ++frame) {
                run(plain, 0, want, frame);
                size_t g = 0;
                for (const VectorKernels& v : kernels)
                    for (int how = 1; how <= 2; ++how, ++g) {
                        run(*v.kernels, how, got[g], frame);
                        const std::string what = std::string(v.name) + (how == 1 ? ", vector stages" : ", chain") +
                                                 ", stages " + std::to_string(mask) + ", " + std::to_string(f.w) +
                                                 " x " + std::to_string(f.h) + ", frame " + std::to_string(frame);
                        ASSERT_TRUE(sameBits(got[g].depth, want.depth)) << what;
                        ASSERT_TRUE(sameBits(got[g].average, want.average)) << what << ", average";
                    }
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
                // Sets out of range are the stages' concern: a chain refuses them.
                if (!filterParamsValid(p))
                    continue;
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
                    ASSERT_EQ(plain.apply({{want.data(), first.w, first.h}, {first.amp.data(), first.w, first.h}, range},
                                          {want.data(), first.w, first.h}),
                              QuorvexSuccess);
                    ASSERT_EQ(fast.apply({{got.data(), first.w, first.h}, {first.amp.data(), first.w, first.h}, range},
                                         {got.data(), first.w, first.h}),
                              QuorvexSuccess);
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
    std::vector<VectorKernels> list = vectorKernels();
    list.insert(list.begin(), {"scalar", detail::filterKernels(FilterBackend::SCALAR)});
    for (const VectorKernels& v : list) {
        const detail::FilterStage& confidence = *detail::findFilterStage(v.kernels->stages, "confidence");
        // Nine pixels: one vector's worth and a tail on the 4- and 8-lane
        // builds; seventeen: the same for 16 lanes.
        std::vector<float> depth = {nan, inf, -inf, -100.0f, 1000.0f, 1000.0f, nan, -0.0f, 1500.0f};
        std::vector<float> expected = {0, 0, 0, 0, 1000, 1000, 0, 0, 1500};
        for (int n : {9, 17}) {
            std::vector<float> d, want;
            for (int i = 0; i < n; ++i) {
                d.push_back(depth[static_cast<size_t>(i) % depth.size()]);
                want.push_back(expected[static_cast<size_t>(i) % expected.size()]);
            }
            std::vector<float> amp(d.size(), 5000.0f);
            confidence.vector({d.data(), amp.data(), n, 1, 4000.0f}, FilterParams{}, {nullptr, nullptr, nullptr});
            EXPECT_EQ(d, want) << v.name << ", " << n << " pixels";
        }
    }
}

// Whatever stages are on, on every backend and every width (under, at and
// over one and two vectors, odd ones), every pixel comes out 0 or a depth
// in (0, kFilterMaxDepthMm]: NaN, infinities, negative depths and depths
// beyond the maximum are 0, and the backends agree bit for bit.
TEST(FilterBackends, EveryInvalidPixelIsZeroWhateverStagesAreOn)
{
    bool FilterParams::*stages[] = {&FilterParams::confidence, &FilterParams::aliasing, &FilterParams::flying,
                                    &FilterParams::spatial,    &FilterParams::temporal, &FilterParams::holes};
    std::vector<Frame> list;
    for (int w : {1, 2, 3, 4, 5, 7, 9, 10, 11, 13, 17, 19, 23, 33, 34, 35})
        list.push_back(randomFrame(w, w % 3 + 3, 100 + w));
    for (Frame& f : list) {
        // Every kind of value no decoder delivers, next to valid ones, on
        // every frame whatever the random draw gave.
        const float specials[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                                  -std::numeric_limits<float>::infinity(), -100.0f, -0.0f, 3e38f, 2e6f};
        for (size_t i = 0; i < f.depth.size(); i += 3)
            f.depth[i] = specials[(i / 3) % 7];
    }
    for (unsigned mask = 0; mask < 64; ++mask) {
        FilterParams p;
        for (int s = 0; s < 6; ++s)
            p.*stages[s] = (mask >> s) & 1u;
        for (const Frame& f : list) {
            std::vector<float> want;
            for (FilterBackend b : filterBackends()) {
                FilterChain chain(p);
                ASSERT_TRUE(chain.setBackend(b));
                std::vector<float> got(f.depth.size(), -1.0f);
                // Twice: the second frame runs on a temporal average.
                for (int k = 0; k < 2; ++k)
                    ASSERT_EQ(chain.apply({{f.depth.data(), f.w, f.h}, {f.amp.data(), f.w, f.h}, 4000.0f},
                                          {got.data(), f.w, f.h}),
                              QuorvexSuccess);
                for (size_t i = 0; i < got.size(); ++i) {
                    const float d = f.depth[i];
                    const bool validIn = d > 0.0f && d <= kFilterMaxDepthMm;
                    const bool validOut = got[i] > 0.0f && got[i] <= kFilterMaxDepthMm;
                    // 0 is +0: -0 would differ in bits from the other backends'.
                    ASSERT_TRUE(validOut || (got[i] == 0.0f && !std::signbit(got[i])))
                        << to_str(b) << ", stages " << mask << ", " << f.w << " x " << f.h << ", pixel " << i
                        << ": " << got[i];
                    if (!validIn && !p.holes) {
                        ASSERT_EQ(got[i], 0.0f) << to_str(b) << ", stages " << mask << ", input " << d;
                    }
                }
                if (want.empty())
                    want = got;
                else
                    EXPECT_TRUE(sameBits(got, want)) << to_str(b) << ", stages " << mask << ", " << f.w << " x " << f.h;
            }
        }
    }
}

// One chain shared by two threads whose streams differ in size: every
// frame filtered whole, as the chain alone would. Each thread repeats its
// own frame, so the temporal average (kept or restarted by the other
// stream's frames) gives the same depth whatever the interleaving.
TEST(FilterBackends, OneChainSharedByTwoStreamsOfDifferentSizes)
{
    const Frame frames[] = {realistic(sim::SceneKind::BOX, 240, 180, 21), randomFrame(37, 23, 22)};
    std::vector<float> want[2];
    for (int s = 0; s < 2; ++s) {
        const Frame& f = frames[s];
        want[s].resize(f.depth.size());
        FilterChain alone;
        ASSERT_EQ(alone.apply({{f.depth.data(), f.w, f.h}, {f.amp.data(), f.w, f.h}, 4000.0f}, {want[s].data(), f.w, f.h}),
                  QuorvexSuccess);
    }
    FilterChain shared;
    std::atomic<int> mismatches{0};
    auto stream = [&](int s, int loops) {
        const Frame& f = frames[s];
        std::vector<float> got(f.depth.size());
        for (int k = 0; k < loops; ++k) {
            const TofErrorCode status =
                shared.apply({{f.depth.data(), f.w, f.h}, {f.amp.data(), f.w, f.h}, 4000.0f}, {got.data(), f.w, f.h});
            if (status != QuorvexSuccess || !sameBits(got, want[s]))
                ++mismatches;
            // Parameters and state change under the other thread's frames.
            if (k % 7 == 0)
                shared.reset();
            if (k % 11 == 0)
                shared.setParams(FilterParams{});
        }
    };
    std::thread big(stream, 0, 40);
    std::thread small(stream, 1, 400);
    big.join();
    small.join();
    EXPECT_EQ(mismatches.load(), 0);
}
