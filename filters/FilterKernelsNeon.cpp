#include "filters/FilterKernels.h"

#if defined(__aarch64__) || defined(__arm__)

#include <cstddef>
#include <cstdint>

// On armv7 this file alone is built with NEON (see CMakeLists.txt) and is
// reached only where the CPU reports it.
#if defined(__arm__) && !defined(__aarch64__)
#define QUORVEX_FILTER_NEON32 1
#endif
#define QUORVEX_FILTER_LANES 4
#include "filters/FilterVector.h"

namespace Quorvex::detail {

const FilterKernels* filterKernelsNeon() { return &kVectorKernels; }

} // namespace Quorvex::detail

#else

namespace Quorvex::detail {

const FilterKernels* filterKernelsNeon() { return nullptr; }

} // namespace Quorvex::detail

#endif
