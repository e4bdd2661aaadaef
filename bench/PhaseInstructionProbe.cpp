// Converts the bench frame `frames` times on one backend and does nothing
// else, so that an instruction counter can tell the cost of a frame from
// the difference of two runs (the start-up work is the same in both).
//   phase_instruction_probe BACKEND FRAMES     (BACKEND: scalar, avx2, neon)

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/BenchReference.h"
#include "device/PhaseToDepth.h"

using namespace Quorvex;

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s scalar|avx2|neon FRAMES\n", argv[0]);
        return 2;
    }
    PhaseToDepthBackend backend = PhaseToDepthBackend::SCALAR;
    bool known = false;
    for (PhaseToDepthBackend b : {PhaseToDepthBackend::SCALAR, PhaseToDepthBackend::AVX2, PhaseToDepthBackend::NEON}) {
        if (std::strcmp(argv[1], to_str(b)) == 0) {
            backend = b;
            known = true;
        }
    }
    const int frames = std::atoi(argv[2]);
    if (!known || frames < 0) {
        std::fprintf(stderr, "%s: unknown backend or bad frame count\n", argv[0]);
        return 2;
    }
    constexpr size_t kPixels = kQuorvexBenchFrameWords / 4;
    std::vector<uint16_t> raw(kQuorvexBenchFrameWords);
    std::vector<float> depth(kPixels), amp(kPixels), conf(kPixels);
    quorvexBenchFrame(raw.data(), 0);
    // A backend this CPU lacks is an error, not a silent scalar run.
    if (!phaseToDepthWith(backend, raw.data(), depth.data(), amp.data(), conf.data(), 0, 0, false, 37500000.0f)) {
        std::fprintf(stderr, "%s: backend %s cannot run here\n", argv[0], argv[1]);
        return 1;
    }
    for (int f = 0; f < frames; ++f)
        phaseToDepthWith(backend, raw.data(), depth.data(), amp.data(), conf.data(), kPixels, 0, false, 37500000.0f);
    return 0;
}
