#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/CpuBackend.h"

namespace Quorvex {

// Pure arithmetic of the 240 x 180 module: sample decoding, the RAW
// re-packing and phase-to-depth. Kept apart from the device so that the
// loops can be tuned (or vectorised) without touching device state.

// Decodes one sensor word: shift right, keep the low 11 bits as a two's-
// complement value and scale by 16. Result in -16384 ... 16368.
inline int32_t decodeSample(uint16_t word, unsigned shift)
{
    const int32_t v = static_cast<int32_t>((static_cast<uint32_t>(word) >> shift) & 0x7FFu);
    return ((v ^ 0x400) - 0x400) * 16;
}

// Re-packs `planes` phase planes of `width` x `rows` words (stored plane
// after plane) into one interleaved image: row i of plane k becomes row
// planes * i + k, decoded.
void repackPhasePlanes(const uint16_t* raw, int16_t* out, size_t width, size_t rows, size_t planes,
                       unsigned shift);

// Converts four phase planes of `pixels` words each (stored plane after
// plane, starting at `raw`) into depth (mm), amplitude and confidence.
// `nearPairing` selects the pairing of the 2000 mm range; `freq` is the
// modulation frequency in Hz. The arithmetic is fixed bit for bit: atan2 in
// double, the depth expression in float, the amplitude's root in double.
// Runs on the fastest backend this CPU has (chosen once).
void phaseToDepth(const uint16_t* raw, float* depth, float* amp, float* conf, size_t pixels,
                  unsigned shift, bool nearPairing, float freq);

// Implementations of phaseToDepth. All of them write the same bits for
// every input; they differ only in speed and in the CPUs that run them.
// AVX2 here also needs FMA.
using PhaseToDepthBackend = CpuBackend;

// The backends this CPU can run: SCALAR first, the one phaseToDepth uses
// last.
std::vector<PhaseToDepthBackend> phaseToDepthBackends();

// phaseToDepth on the given backend. False, and nothing written, when this
// CPU (or this build) cannot run it.
bool phaseToDepthWith(PhaseToDepthBackend backend, const uint16_t* raw, float* depth, float* amp,
                      float* conf, size_t pixels, unsigned shift, bool nearPairing, float freq);

} // namespace Quorvex
