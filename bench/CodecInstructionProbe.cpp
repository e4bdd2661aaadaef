// Encodes the bench frame's depth (compressedDepth) and amplitude (linear
// rice, the whole plane coding) `frames` times and does nothing else, so
// that an instruction counter can tell the cost of a frame from the
// difference of two runs.
//   codec_instruction_probe FRAMES [depth|amplitude]   (default: both)

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/BenchReference.h"
#include "codec/CompressedDepth.h"
#include "codec/LinearRice.h"
#include "device/PhaseToDepth.h"

using namespace Quorvex;

int main(int argc, char** argv)
{
    const char* part = argc == 3 ? argv[2] : "both";
    const bool depthPart = std::strcmp(part, "amplitude") != 0, ampPart = std::strcmp(part, "depth") != 0;
    if (argc < 2 || argc > 3 || std::atoi(argv[1]) < 0 || (!depthPart && !ampPart) ||
        (std::strcmp(part, "both") && std::strcmp(part, "depth") && std::strcmp(part, "amplitude"))) {
        std::fprintf(stderr, "usage: %s FRAMES [depth|amplitude]\n", argv[0]);
        return 2;
    }
    const int frames = std::atoi(argv[1]);
    constexpr size_t kPixels = kQuorvexBenchFrameWords / 4;
    constexpr uint32_t kCols = 240, kRows = 180;
    static_assert(kPixels == size_t{kCols} * kRows, "the bench frame is one HQVGA frame");
    std::vector<uint16_t> raw(kQuorvexBenchFrameWords);
    std::vector<float> depth(kPixels), amp(kPixels), conf(kPixels);
    quorvexBenchFrame(raw.data(), 0);
    phaseToDepth(raw.data(), depth.data(), amp.data(), conf.data(), kPixels, 0, false, 37500000.0f);
    std::vector<uint8_t> depthOut(compressedDepthMaxBytes(kCols, kRows)), ampOut(linearRiceMaxBytes(kCols, kRows));
    std::vector<uint16_t> scratch(kPixels);
    size_t bytes = 0;
    for (int f = 0; f < frames; ++f) {
        if (depthPart)
            bytes = encodeCompressedDepth(depth.data(), kCols, kRows, depthOut.data());
        if (ampPart)
            encodeLinearRiceFloat(amp.data(), kCols, kRows, scratch.data(), ampOut.data());
    }
    std::printf("depth payload: %zu bytes\n", bytes);
    return 0;
}
