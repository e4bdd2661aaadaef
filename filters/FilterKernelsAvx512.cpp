#include "filters/FilterKernels.h"

#if defined(__x86_64__)

#include <cstddef>
#include <cstdint>

// GCC 12's AVX-512 intrinsics fill the lanes an unmasked operation leaves
// undefined from a variable initialised with itself, which -Wuninitialized
// reports wherever one is inlined; nothing of ours is left uninitialised.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include "common/CpuBackend.h"

// The stages sixteen pixels a vector, for x86-64 CPUs with AVX-512
// (foundation, byte/word, doubleword/quadword and vector-length
// extensions). Its comparisons give masks in k-registers, which the selects
// and the tests of whether any lane is set take as they are: fewer
// instructions than AVX2's mask vectors even where the CPU splits each
// 512-bit operation in two. Reached only once the dispatcher has seen every
// one of those features; FMA stays off as in the AVX2 file.
QUORVEX_TARGET_BEGIN("avx2,avx512f,avx512bw,avx512dq,avx512vl")

#define QUORVEX_FILTER_KMASK 1
#define QUORVEX_FILTER_LANES 16
#include "filters/FilterVector.h"

QUORVEX_TARGET_END

namespace Quorvex::detail {

const FilterKernels* filterKernelsAvx512() { return &kVectorKernels; }

} // namespace Quorvex::detail

#else

namespace Quorvex::detail {

const FilterKernels* filterKernelsAvx512() { return nullptr; }

} // namespace Quorvex::detail

#endif
