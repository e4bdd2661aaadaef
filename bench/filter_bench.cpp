// The depth filters per frame against the phase-to-depth stage measured in
// the same run: each stage alone and the default chain, HQVGA and VGA, on
// every backend this CPU runs. Each filtered call starts from a fresh copy
// of the decoded frame; that copy is timed on its own and taken off, so
// the figures are the filters' own cost.

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench/BenchHarness.h"
#include "bench/BenchReference.h"
#include "device/PhaseToDepth.h"
#include "filters/FilterChain.h"
#include "filters/FilterKernels.h"

using namespace Quorvex;
using namespace Quorvex::bench;

namespace {

constexpr float kFrequency = 37500000.0f;
constexpr float kRangeMm = 4000.0f;

#if defined(__x86_64__)
constexpr const char* kArchitecture = "x86";
#elif defined(__aarch64__)
constexpr const char* kArchitecture = "aarch64";
#elif defined(__arm__)
constexpr const char* kArchitecture = "armv7";
#else
constexpr const char* kArchitecture = "other";
#endif

struct Size {
    const char* name;
    int width;
    int height;
};

// Phase planes of `pixels` words each, cut from the HQVGA bench frame's
// planes repeated: the phase-to-depth stage costs the same per pixel on any
// frame of the scene.
std::vector<uint16_t> rawFrame(size_t pixels)
{
    std::vector<uint16_t> hqvga(kQuorvexBenchFrameWords);
    quorvexBenchFrame(hqvga.data(), 0);
    const size_t plane = kQuorvexBenchFrameWords / 4;
    std::vector<uint16_t> raw(4 * pixels);
    for (size_t k = 0; k < 4; ++k)
        for (size_t i = 0; i < pixels; ++i)
            raw[k * pixels + i] = hqvga[k * plane + i % plane];
    return raw;
}

void benchSize(const Size& size)
{
    const size_t n = static_cast<size_t>(size.width) * static_cast<size_t>(size.height);
    std::vector<float> frame(n), amp(n), depth(n), average(n);
    std::vector<float> scratch(detail::filterScratchPixels(size.width, size.height)), spare(scratch.size());
    quorvexBenchDepthFrame(size.width, size.height, frame.data(), amp.data());

    const std::vector<uint16_t> raw = rawFrame(n);
    std::vector<float> pd(n), pa(n), pc(n);
    auto phase = [&] {
        phaseToDepth(raw.data(), pd.data(), pa.data(), pc.data(), n, 0, false, kFrequency);
        keep(pd.data());
    };
    auto restore = [&] {
        std::memcpy(depth.data(), frame.data(), n * sizeof(float));
        keep(depth.data());
    };
    const int calls = size.width > 320 ? 2 : 5;
    const Timing copy = compare(restore, phase, 15, calls);
    const std::string base = std::string("phase-to-depth, ") + size.name;
    const std::string sizeKey = figureKey(size.name);
    figure("phase_to_depth." + sizeKey + ".us", copy.baselineNs / 1000.0);
    std::printf("%s: phase-to-depth %.1f us per frame, copy of the depth %.1f us (taken off below)\n", size.name,
                copy.baselineNs / 1000.0, copy.stageNs / 1000.0);

    const FilterParams params;
    const detail::DepthImage img{depth.data(), amp.data(), size.width, size.height, kRangeMm};
    // The chain filters the restored depth in place, as the stages do.
    const FilterInput input{{depth.data(), size.width, size.height}, {amp.data(), size.width, size.height}, kRangeMm};
    for (FilterBackend backend : filterBackends()) {
        const detail::FilterKernels& k = *detail::filterKernels(backend);
        struct Stage {
            std::string name;
            std::function<void()> run;
        };
        FilterChain chain(params);
        chain.setBackend(backend);
        const detail::FilterPlanes planes{average.data(), scratch.data(), spare.data()};
        std::vector<Stage> stages;
        for (size_t i = 0; i < detail::kFilterStageCount; ++i) {
            const detail::FilterStage& stage = k.stages[i];
            stages.push_back({stage.name, [&] { stage.vector(img, params, planes); }});
        }
        stages.push_back({"default chain", [&] { chain.apply(input, {depth.data(), size.width, size.height}); }});
        for (const Stage& s : stages) {
            auto run = [&] {
                restore();
                s.run();
                keep(depth.data());
            };
            // The copy runs in the stage's rounds too, so that the two
            // medians are taken under the same conditions.
            Timing withCopy = compare(run, phase, 15, calls);
            const Timing copyAgain = compare(restore, phase, 15, calls);
            withCopy.stageNs -= copyAgain.stageNs;
            const std::string name = std::string("  ") + s.name + " [" + to_str(backend) + "], " + size.name;
            printRow(name.c_str(), base.c_str(), withCopy);
            const std::string stageKey = s.name == "default chain" ? "default" : figureKey(s.name);
            const std::string key = "filters." + stageKey + "." + sizeKey + "." + to_str(backend);
            figure(key + "_us", withCopy.stageNs / 1000.0);
            figure(key + "_ratio_to_phase_to_depth", withCopy.stageNs / withCopy.baselineNs);
            // The chain as this machine runs it by default: the fastest
            // backend, named by the architecture.
            if (stageKey == "default" && backend == filterBackends().back())
                figure("filters.default." + sizeKey + "." + kArchitecture + "_ratio_to_phase_to_depth",
                       withCopy.stageNs / withCopy.baselineNs);
        }
    }

    // Where the CPU has AVX-512, chains on AVX2 take its 16-lane build; the
    // 8-lane build, what a CPU with AVX2 alone runs, is measured here too.
    const detail::FilterKernels* avx2 = detail::filterKernels(FilterBackend::AVX2);
    const detail::FilterKernels* eightLanes = detail::filterKernelsAvx2();
    if (avx2 && eightLanes && avx2 != eightLanes) {
        const detail::FilterPlanes planes{average.data(), scratch.data(), spare.data()};
        // The default chain from its first frame, as a new FilterChain runs it.
        std::fill(average.begin(), average.end(), 0.0f);
        auto run = [&] {
            restore();
            eightLanes->chain(img, depth.data(), params, planes);
            keep(depth.data());
        };
        Timing withCopy = compare(run, phase, 15, calls);
        const Timing copyAgain = compare(restore, phase, 15, calls);
        withCopy.stageNs -= copyAgain.stageNs;
        const std::string name = std::string("  default chain [avx2, 8 lanes], ") + size.name;
        printRow(name.c_str(), base.c_str(), withCopy);
        const std::string key = "filters.default." + sizeKey + ".avx2_8_lanes";
        figure(key + "_us", withCopy.stageNs / 1000.0);
        figure(key + "_ratio_to_phase_to_depth", withCopy.stageNs / withCopy.baselineNs);
    }
}

} // namespace

int main()
{
    printHeader();
    benchSize({"HQVGA", 240, 180});
    benchSize({"VGA", 640, 480});
    return writeFigures("filter_bench") ? 0 : 1;
}
