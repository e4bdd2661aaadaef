#include "filters/FilterKernels.h"

#if defined(__x86_64__)

#include <cstddef>
#include <cstdint>

#include <immintrin.h>

#include "common/CpuBackend.h"

// Everything after the pragma is compiled for AVX2 and reached only once
// the dispatcher has seen AVX2 in the CPU's feature bits. FMA stays off:
// the stages must round as the plain code does.
QUORVEX_TARGET_BEGIN("avx2")

#define QUORVEX_FILTER_LANES 8
#include "filters/FilterVector.h"

QUORVEX_TARGET_END

namespace Quorvex::detail {

const FilterKernels* filterKernelsAvx2() { return &kVectorKernels; }

} // namespace Quorvex::detail

#else

namespace Quorvex::detail {

const FilterKernels* filterKernelsAvx2() { return nullptr; }

} // namespace Quorvex::detail

#endif
