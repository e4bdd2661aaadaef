// Filters the bench's decoded frame `frames` times on one backend and does
// nothing else, so that an instruction counter can tell the cost of a frame
// from the difference of two runs (start-up and set-up are the same in
// both). Each frame starts from a copy of the decoded depth, counted with it
// (a few thousand instructions).
//   filter_instruction_probe BACKEND FRAMES [hqvga|vga] [STAGE]
// BACKEND: scalar, avx2, neon; STAGE: chain (the default chain, the
// default) or the name of one stage (confidence, aliasing, flying, ...).

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/BenchReference.h"
#include "filters/FilterChain.h"
#include "filters/FilterKernels.h"

using namespace Quorvex;

int main(int argc, char** argv)
{
    if (argc < 3 || argc > 5) {
        std::fprintf(stderr, "usage: %s scalar|avx2|neon FRAMES [hqvga|vga] [STAGE]\n", argv[0]);
        return 2;
    }
    const detail::FilterKernels* kernels = nullptr;
    FilterBackend backend = FilterBackend::SCALAR;
    for (FilterBackend b : {FilterBackend::SCALAR, FilterBackend::AVX2, FilterBackend::NEON}) {
        if (std::strcmp(argv[1], to_str(b)) == 0) {
            backend = b;
            kernels = detail::filterKernels(b);
            if (!kernels) {
                // A backend this CPU lacks is an error, not a silent scalar run.
                std::fprintf(stderr, "%s: backend %s cannot run here\n", argv[0], argv[1]);
                return 1;
            }
        }
    }
    const int frames = std::atoi(argv[2]);
    const char* size = argc > 3 ? argv[3] : "hqvga";
    const char* stage = argc > 4 ? argv[4] : "chain";
    const bool vga = std::strcmp(size, "vga") == 0;
    if (!kernels || frames < 0 || (!vga && std::strcmp(size, "hqvga") != 0)) {
        std::fprintf(stderr, "%s: unknown backend or size, or bad frame count\n", argv[0]);
        return 2;
    }
    const int w = vga ? 640 : 240;
    const int h = vga ? 480 : 180;
    const size_t n = static_cast<size_t>(w) * h;
    std::vector<float> frame(n), amp(n), depth(n), average(n);
    std::vector<float> scratch(detail::filterScratchPixels(w, h)), spare(scratch.size());
    quorvexBenchDepthFrame(w, h, frame.data(), amp.data());
    const FilterParams params;
    FilterChain chain(params);
    chain.setBackend(backend);
    const detail::DepthImage img{depth.data(), amp.data(), w, h, 4000.0f};
    // The chain reads the decoded frame and writes the depth plane, as a
    // caller's would; it sizes its state on its first frame: done here,
    // outside the counted frames.
    const FilterInput input{{frame.data(), w, h}, {amp.data(), w, h}, 4000.0f};
    const ImageView<float> out(depth.data(), w, h);
    chain.apply(input, out);
    const bool whole = std::strcmp(stage, "chain") == 0;
    const detail::FilterStage* alone = whole ? nullptr : detail::findFilterStage(kernels->stages, stage);
    if (!whole && !alone) {
        std::fprintf(stderr, "%s: unknown stage %s\n", argv[0], stage);
        return 2;
    }
    const detail::FilterPlanes planes{average.data(), scratch.data(), spare.data()};
    for (int f = 0; f < frames; ++f) {
        std::memcpy(depth.data(), frame.data(), n * sizeof(float));
        if (whole)
            chain.apply(input, out);
        else
            alone->vector(img, params, planes);
    }
    return 0;
}
