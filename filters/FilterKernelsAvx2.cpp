#include "filters/FilterKernels.h"

#if defined(__x86_64__)

#include <cstddef>
#include <cstdint>

#include <immintrin.h>

// Everything after the pragma is compiled for AVX2 and reached only once
// the dispatcher has seen AVX2 in the CPU's feature bits. FMA stays off:
// the stages must round as the plain code does.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

#define QUORVEX_FILTER_LANES 8
#include "filters/FilterVector.h"

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace Quorvex::detail {

const FilterKernels* filterKernelsAvx2() { return &kVectorKernels; }

} // namespace Quorvex::detail

#else

namespace Quorvex::detail {

const FilterKernels* filterKernelsAvx2() { return nullptr; }

} // namespace Quorvex::detail

#endif
