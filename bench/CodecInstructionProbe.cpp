// Encodes the depth and amplitude planes of the bench's decoded frame
// `frames` times and does nothing else, so that an instruction counter can
// tell the cost of a frame from the difference of two runs.
//   codec_instruction_probe FRAMES [depth|amplitude|both|lz4] [hqvga|vga]
// depth: compressedDepth (RVL); amplitude: linear rice, rounding included;
// both: the two, as a depth-coded recording writes them; lz4: the baseline
// they are held to, liblz4's default compression of the same two planes as
// an lz4 recording holds them (float32, depth in metres with NaN for no
// reading), each plane one call. lz4 is there only when the probe was built
// against liblz4 (QUORVEX_BENCH_LZ4_ROOT).

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/BenchReference.h"
#include "codec/CompressedDepth.h"
#include "codec/LinearRice.h"

#ifdef QUORVEX_PROBE_LZ4
#include <lz4.h>
#endif

using namespace Quorvex;

int main(int argc, char** argv)
{
    const char* part = argc > 2 ? argv[2] : "both";
    const char* size = argc > 3 ? argv[3] : "hqvga";
    const bool lz4 = std::strcmp(part, "lz4") == 0;
    const bool both = std::strcmp(part, "both") == 0;
    const bool depthPart = both || std::strcmp(part, "depth") == 0;
    const bool ampPart = both || std::strcmp(part, "amplitude") == 0;
    const bool vga = std::strcmp(size, "vga") == 0;
    if (argc < 2 || argc > 4 || std::atoi(argv[1]) < 0 || !(depthPart || ampPart || lz4) ||
        (!vga && std::strcmp(size, "hqvga") != 0)) {
        std::fprintf(stderr, "usage: %s FRAMES [depth|amplitude|both|lz4] [hqvga|vga]\n", argv[0]);
        return 2;
    }
#ifndef QUORVEX_PROBE_LZ4
    if (lz4) {
        std::fprintf(stderr, "%s: built without liblz4\n", argv[0]);
        return 1;
    }
#endif
    const int frames = std::atoi(argv[1]);
    const uint32_t cols = vga ? 640 : 240, rows = vga ? 480 : 180;
    const size_t pixels = size_t{cols} * rows;
    std::vector<float> depth(pixels), amp(pixels);
    quorvexBenchDepthFrame(static_cast<int>(cols), static_cast<int>(rows), depth.data(), amp.data());
    std::vector<uint8_t> depthOut(compressedDepthMaxBytes(cols, rows)), ampOut(linearRiceMaxBytes(cols, rows));
    std::vector<uint16_t> scratch(pixels);
    size_t bytes = 0;
#ifdef QUORVEX_PROBE_LZ4
    if (lz4) {
        std::vector<float> metres(pixels);
        for (size_t i = 0; i < pixels; ++i)
            metres[i] = depth[i] == 0.0f ? NAN : depth[i] / 1000.0f;
        const int planeBytes = static_cast<int>(pixels * sizeof(float));
        std::vector<char> out(static_cast<size_t>(LZ4_compressBound(planeBytes)));
        for (int f = 0; f < frames; ++f) {
            bytes = static_cast<size_t>(LZ4_compress_default(reinterpret_cast<const char*>(metres.data()),
                                                             out.data(), planeBytes, static_cast<int>(out.size())));
            bytes += static_cast<size_t>(LZ4_compress_default(reinterpret_cast<const char*>(amp.data()), out.data(),
                                                              planeBytes, static_cast<int>(out.size())));
        }
    }
#endif
    for (int f = 0; f < frames && !lz4; ++f) {
        bytes = 0;
        if (depthPart)
            bytes += encodeCompressedDepth(depth.data(), cols, rows, depthOut.data());
        if (ampPart)
            bytes += encodeLinearRiceFloat(amp.data(), cols, rows, scratch.data(), ampOut.data());
    }
    std::printf("payload: %zu bytes\n", bytes);
    return 0;
}
