#pragma once

#include <vector>

// The CPU backends of the per-pixel code (phase-to-depth, the depth
// filters, the CSI converters) and what the running CPU offers them. Every
// backend writes the bits of the plain code; they differ in speed and in
// the CPUs that run them, so each is chosen at run time, never assumed
// from the build.

namespace Quorvex {

enum class CpuBackend {
    SCALAR, // plain C++, one pixel at a time: the reference
    AVX2,   // x86-64 with AVX2
    NEON,   // ARM with NEON: armv7 where the CPU has it, every aarch64
};

// "scalar", "avx2", "neon".
const char* to_str(CpuBackend backend);

// Feature bits of the running CPU; false on other architectures.
bool cpuHasAvx2();
bool cpuHasFma();
// AVX-512 foundation with its byte/word, doubleword/quadword and
// vector-length extensions: what the 16-lane filter kernels use.
bool cpuHasAvx512();
// Every aarch64 core has Advanced SIMD; 32-bit ARM systems also run on
// cores without it, so there the kernel's report decides.
bool cpuHasNeon();

// What a family of kernels can run on this CPU, `runs` deciding for each
// backend: SCALAR first, then the fastest other one it accepts (AVX2 before
// NEON; no CPU has both).
std::vector<CpuBackend> usableBackends(bool (*runs)(CpuBackend));
// The last of usableBackends(runs).
CpuBackend fastestBackend(bool (*runs)(CpuBackend));

} // namespace Quorvex

// For the files that hold the AVX2 kernels: everything between BEGIN and END
// is compiled for the given features (a string such as "avx2,fma") and must
// be reached only once the CPU has shown them. After BEGIN such a file
// defines its own kernels only: an out-of-line copy of an inline function
// shared with other files, compiled for AVX2, could be the one the linker
// keeps for all of them.
#define QUORVEX_PRAGMA(text) _Pragma(#text)
#if defined(__clang__)
#define QUORVEX_TARGET_BEGIN(features)                                                         \
    QUORVEX_PRAGMA(clang attribute push(__attribute__((target(features))), apply_to = function))
#define QUORVEX_TARGET_END QUORVEX_PRAGMA(clang attribute pop)
#else
#define QUORVEX_TARGET_BEGIN(features) QUORVEX_PRAGMA(GCC push_options) QUORVEX_PRAGMA(GCC target(features))
#define QUORVEX_TARGET_END QUORVEX_PRAGMA(GCC pop_options)
#endif
