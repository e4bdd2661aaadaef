#pragma once

#include <cstddef>
#include <cstdint>

// Internal to the phase-to-depth code: the per-backend kernels behind
// phaseToDepthWith. Each kernel converts pixels [0, pixels) and may hand a
// tail it does not vectorise to phaseToDepthScalar.

namespace Quorvex::detail {

// The four phase planes with the pairing already applied: y = yPlus -
// yMinus, x = xPlus - xMinus (decoded samples).
struct PhasePlanes {
    const uint16_t* yPlus;
    const uint16_t* yMinus;
    const uint16_t* xPlus;
    const uint16_t* xMinus;
};

// Output planes and the per-frame constants.
struct DepthPlanes {
    float* depth;
    float* amp;
    float* conf;
    // 300,000,000 / (f * 4 pi), evaluated once per frame in float.
    float scale;
};

// decodeSample on `width` words of one row, into `dst`; the plain version
// uses whatever vectors every CPU of its architecture has.
void decodeRowPlain(const uint16_t* src, int16_t* dst, size_t width, unsigned shift);

void phaseToDepthScalar(const PhasePlanes& in, const DepthPlanes& out, size_t begin, size_t end,
                        unsigned shift);

#if defined(__x86_64__)
void phaseToDepthAvx2(const PhasePlanes& in, const DepthPlanes& out, size_t pixels, unsigned shift);
void decodeRowAvx2(const uint16_t* src, int16_t* dst, size_t width, unsigned shift);
#endif

#if defined(__arm__) || defined(__aarch64__)
void phaseToDepthNeon(const PhasePlanes& in, const DepthPlanes& out, size_t pixels, unsigned shift);
void decodeRowNeon(const uint16_t* src, int16_t* dst, size_t width, unsigned shift);
#endif

} // namespace Quorvex::detail
