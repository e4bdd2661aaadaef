#pragma once

#include <cstddef>
#include <cstdint>

// Shared by the C++ and the Python benches (through ctypes, hence C names).
extern "C" {

// Words in one HQVGA raw frame: four 240 x 180 phase planes.
constexpr size_t kQuorvexBenchFrameWords = 4 * 240 * 180;

// Fills `raw` (kQuorvexBenchFrameWords words) with the frame every bench
// converts: a box in front of a wall, with sensor noise, at 37.5 MHz.
void quorvexBenchFrame(uint16_t* raw, unsigned shift);

// The HQVGA phase-to-depth conversion written plainly, one pixel at a time,
// as it was before any fast path: the baseline of the phase benches.
void quorvexPlainPhaseToDepth(const uint16_t* raw, float* depth, float* amp, float* conf,
                              size_t pixels, unsigned shift, int nearPairing, float freq);

// Depth (mm) and amplitude planes of `width` x `height` as the decoders
// deliver them for the realistic world's box scene at 37.5 MHz (range
// 4000 mm): mixed pixels at the edges, shot and read noise. The frame the
// depth filter benches filter.
void quorvexBenchDepthFrame(int width, int height, float* depth, float* amp);
}
